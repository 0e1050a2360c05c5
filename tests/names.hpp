// Program names shared by the writer's and the tool's tests.
#pragma once

#include <string>

// Program names can be paths of several thousand bytes.
inline const std::string& long_path()
{
    static const std::string path = std::string("/").append(6000, 'd').append("/RidgeTexture");
    return path;
}
