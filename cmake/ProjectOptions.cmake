# Build settings as INTERFACE targets, linked PRIVATE where they apply, so
# nothing leaks into global flags or our targets' consumers (g++, clang++).

option(RIDGE_WARNINGS_AS_ERRORS "Treat compiler warnings as errors" OFF)
option(RIDGE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

add_library(ridge_warnings INTERFACE)
target_compile_options(ridge_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wold-style-cast
  $<$<BOOL:${RIDGE_WARNINGS_AS_ERRORS}>:-Werror>)

# The tool and its library use neither exceptions nor RTTI; saying so to the
# compiler keeps it that way. Sanitizers apply to everything we build.
add_library(ridge_options INTERFACE)
target_compile_options(ridge_options INTERFACE -fno-exceptions -fno-rtti)
add_library(ridge_sanitizers INTERFACE)
if(RIDGE_SANITIZE)
  set(_ridge_san -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(ridge_sanitizers INTERFACE ${_ridge_san})
  target_link_options(ridge_sanitizers INTERFACE ${_ridge_san})
endif()
target_link_libraries(ridge_options INTERFACE ridge_sanitizers ridge_platform)

# 64-bit file offsets and time on 32-bit targets too, however it is built: file
# calls that take any size or inode number, the lock's struct as the kernel
# takes it. No off_t or time_t crosses to code built apart, so they cost nothing.
add_library(ridge_platform INTERFACE)
target_compile_definitions(ridge_platform INTERFACE _FILE_OFFSET_BITS=64 _TIME_BITS=64)

# The tool needs only libc at run time: dropping libstdc++ and libm from its
# dynamic dependencies saves their loading at every start.
add_library(ridge_lean_binary INTERFACE)
include(CheckLinkerFlag)
check_linker_flag(CXX "LINKER:--as-needed" RIDGE_LINKER_AS_NEEDED)
if(RIDGE_LINKER_AS_NEEDED)
  target_link_options(ridge_lean_binary INTERFACE "LINKER:--as-needed")
endif()

# The hardening of Debian 13's hardening=+all, however users build it: stack
# protector and clash protection, control flow protection where the target has
# it, format strings checked, fortified libc calls where the optimiser can check
# buffer sizes, a read-only relocation table resolved at start-up; each flag
# only where the compiler or linker takes it.
add_library(ridge_hardening INTERFACE)
include(CheckCXXCompilerFlag)
foreach(flag IN ITEMS -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "RIDGE_CXX_HAS${flag}" has_flag)
  check_cxx_compiler_flag(${flag} ${has_flag})
  if(${has_flag})
    target_compile_options(ridge_hardening INTERFACE ${flag})
  endif()
endforeach()
# Without -Wformat beside it, -Werror=format-security is itself an error.
set(CMAKE_REQUIRED_FLAGS -Wformat)
check_cxx_compiler_flag(-Werror=format-security RIDGE_CXX_HAS_FORMAT_SECURITY)
unset(CMAKE_REQUIRED_FLAGS)
if(RIDGE_CXX_HAS_FORMAT_SECURITY)
  target_compile_options(ridge_hardening INTERFACE -Wformat -Werror=format-security)
endif()

# Fortified libc calls at level 2 in the optimised builds, unless a level is
# already chosen: by the packager's flags (dpkg-buildflags, -D_FORTIFY_SOURCE=3,
# or -U to go without) or by the compiler itself (Ubuntu's gcc defines 3 when
# optimising), asked anew at every configure. A sanitizer build goes without:
# fortified calls would bypass the sanitizers' interceptors.
set(CMAKE_TRY_COMPILE_CONFIGURATION Release)
include(CheckCXXSourceCompiles)
unset(RIDGE_FORTIFY_LEVEL_OPEN CACHE)
check_cxx_source_compiles("#ifdef _FORTIFY_SOURCE\n#error chosen\n#endif\nint main() {}"
  RIDGE_FORTIFY_LEVEL_OPEN)
unset(CMAKE_TRY_COMPILE_CONFIGURATION)
if(RIDGE_FORTIFY_LEVEL_OPEN AND NOT "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_RELEASE} \
    ${CMAKE_CXX_FLAGS_RELWITHDEBINFO} ${CMAKE_CXX_FLAGS_MINSIZEREL}" MATCHES "_FORTIFY_SOURCE")
  set(_ridge_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
  target_compile_options(ridge_hardening INTERFACE
    "$<$<AND:$<NOT:$<BOOL:${RIDGE_SANITIZE}>>,${_ridge_optimised}>:-D_FORTIFY_SOURCE=2>")
endif()
foreach(flag IN ITEMS relro now)
  check_linker_flag(CXX "LINKER:-z,${flag}" RIDGE_LINKER_HAS_Z_${flag})
  if(RIDGE_LINKER_HAS_Z_${flag})
    target_link_options(ridge_hardening INTERFACE "LINKER:-z,${flag}")
  endif()
endforeach()
# Position-independent executables, so the tool's address is randomised too.
include(CheckPIESupported)
check_pie_supported()
