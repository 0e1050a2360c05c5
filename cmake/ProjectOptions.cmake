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

# The hardening Debian gives every package it builds, for the build users get
# whatever way they build it: stack protector and clash protection, control
# flow protection where the target has it, fortified libc calls where the
# optimiser can check buffer sizes, a read-only relocation table resolved at
# start-up. Each flag only where the compiler or linker takes it. Fortified
# calls would bypass the sanitizers' interceptors, so a sanitizer build goes
# without them.
add_library(ridge_hardening INTERFACE)
include(CheckCXXCompilerFlag)
foreach(flag IN ITEMS -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "RIDGE_CXX_HAS${flag}" has_flag)
  check_cxx_compiler_flag(${flag} ${has_flag})
  if(${has_flag})
    target_compile_options(ridge_hardening INTERFACE ${flag})
  endif()
endforeach()
# True in the builds whose libc calls are fortified; the tests ask it too.
set(RIDGE_FORTIFIED
  "$<AND:$<NOT:$<BOOL:${RIDGE_SANITIZE}>>,$<CONFIG:Release,RelWithDebInfo,MinSizeRel>>")
target_compile_options(ridge_hardening INTERFACE
  "$<${RIDGE_FORTIFIED}:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
foreach(flag IN ITEMS relro now)
  check_linker_flag(CXX "LINKER:-z,${flag}" RIDGE_LINKER_HAS_Z_${flag})
  if(RIDGE_LINKER_HAS_Z_${flag})
    target_link_options(ridge_hardening INTERFACE "LINKER:-z,${flag}")
  endif()
endforeach()
# Position-independent executables, so the tool's address is randomised too.
include(CheckPIESupported)
check_pie_supported()
