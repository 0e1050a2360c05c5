// What a directory holds, entry by entry, to compare before and after a run.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include "picture.hpp"

inline std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Entry {
    std::filesystem::perms mode;
    std::string content;
};
using Snapshot = std::map<std::string, Entry>;

// What an entry holds, not following a link and never waiting on a FIFO.
inline std::string content_of(const std::filesystem::directory_entry& entry)
{
    namespace fs = std::filesystem;
    if (entry.is_symlink()) {
        return "link to " + fs::read_symlink(entry.path()).string();
    }
    if (entry.is_directory()) {
        return "directory of " +
               std::to_string(std::distance(fs::directory_iterator(entry.path()), {}));
    }
    if (entry.is_fifo()) {
        return "a FIFO";
    }
    const fs::perms mode = entry.status().permissions();
    if ((mode & fs::perms::owner_read) != fs::perms::none) {
        return slurp(entry.path());
    }
    // Write-only, so only root reads it as it stands: its mode is given back.
    fs::permissions(entry.path(), mode | fs::perms::owner_read);
    std::string content = slurp(entry.path());
    fs::permissions(entry.path(), mode);
    return content;
}

inline Snapshot snapshot(const std::filesystem::path& dir)
{
    Snapshot entries;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        entries[entry.path().filename()] = {.mode = entry.symlink_status().permissions(),
                                            .content = content_of(entry)};
    }
    return entries;
}

// One line per entry: its name, mode and size, and a digest of what it holds.
inline std::string describe(const Snapshot& entries)
{
    std::string text;
    for (const auto& [name, entry] : entries) {
        const Entry& has = entry;  // named, so cppcheck sees the members read
        std::array<char, 64> line{};
        std::snprintf(line.data(), line.size(), ": mode %04o, %zu bytes, digest %016zx\n",
                      static_cast<unsigned>(has.mode), has.content.size(),
                      std::hash<std::string>{}(has.content));
        text += name + line.data();
    }
    return text;
}

// Fails where the listings differ, showing where each file first differs, its header as text.
inline void expect_entries(const Snapshot& got, const Snapshot& want, const char* why = "")
{
    std::string differences;
    for (const auto& [name, entry] : want) {
        if (got.contains(name) && got.at(name).content != entry.content) {
            differences += name + ": " + first_difference(got.at(name).content, entry.content);
        }
    }
    EXPECT_EQ(describe(got), describe(want)) << why << "\n" << differences;
}
