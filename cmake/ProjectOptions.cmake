# Build settings as INTERFACE targets, linked PRIVATE where they apply, so
# nothing leaks into global flags or into whoever consumes our targets.

option(RIDGE_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
option(RIDGE_REQUIRE_TESTS "Fail to configure when GoogleTest is missing" OFF)
option(RIDGE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

add_library(ridge_warnings INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(ridge_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wold-style-cast
    $<$<BOOL:${RIDGE_WARNINGS_AS_ERRORS}>:-Werror>)
endif()

# The tool and its library use neither exceptions nor RTTI; saying so to the
# compiler keeps it that way. Sanitizers apply to everything we build.
add_library(ridge_options INTERFACE)
if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  target_compile_options(ridge_options INTERFACE -fno-exceptions -fno-rtti)
endif()

add_library(ridge_sanitizers INTERFACE)
if(RIDGE_SANITIZE)
  set(_ridge_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(ridge_sanitizers INTERFACE ${_ridge_san})
  target_link_options(ridge_sanitizers INTERFACE ${_ridge_san})
endif()
target_link_libraries(ridge_options INTERFACE ridge_sanitizers)

# The tool needs only libc at run time: dropping libstdc++ and libm from its
# dynamic dependencies saves their loading at every start.
add_library(ridge_lean_binary INTERFACE)
include(CheckLinkerFlag)
check_linker_flag(CXX "LINKER:--as-needed" RIDGE_LINKER_AS_NEEDED)
if(RIDGE_LINKER_AS_NEEDED)
  target_link_options(ridge_lean_binary INTERFACE "LINKER:--as-needed")
endif()
