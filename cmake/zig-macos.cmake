# Cross-builds for macOS from Linux with Zig 0.11.0 (scripts/fetch-zig.sh installs it): its
# clang with the Darwin libc headers, LLVM's libc++ (linked in statically) and its Mach-O linker.
#
#   CORVANELLE_MACOS_ARCH  x86_64 or arm64 (the presets macos-x86_64 and macos-arm64 set it)
#   CORVANELLE_ZIG         the zig executable; by default where scripts/fetch-zig.sh puts it
#
# Nothing from the Linux system's include or library folders reaches the compiler: Zig brings
# its own Darwin headers, and Boost's headers come from a folder holding only `boost`.

set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR "${CORVANELLE_MACOS_ARCH}")
# try_compile projects read this file again: hand them the same choices.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVANELLE_MACOS_ARCH CORVANELLE_ZIG)

if(CORVANELLE_MACOS_ARCH STREQUAL "x86_64")
    set(corvanelle_zig_target x86_64-macos)
elseif(CORVANELLE_MACOS_ARCH STREQUAL "arm64")
    set(corvanelle_zig_target aarch64-macos)
else()
    message(FATAL_ERROR "CORVANELLE_MACOS_ARCH must be x86_64 or arm64, not '${CORVANELLE_MACOS_ARCH}'")
endif()

if(NOT CORVANELLE_ZIG)
    if(DEFINED ENV{CORVANELLE_CACHE_DIR})
        set(corvanelle_cache "$ENV{CORVANELLE_CACHE_DIR}")
    elseif(DEFINED ENV{XDG_CACHE_HOME})
        set(corvanelle_cache "$ENV{XDG_CACHE_HOME}/corvanelle-control")
    else()
        set(corvanelle_cache "$ENV{HOME}/.cache/corvanelle-control")
    endif()
    set(CORVANELLE_ZIG "${corvanelle_cache}/zig-0.11.0/package/zig" CACHE FILEPATH
        "The zig executable that cross-builds for macOS")
endif()
if(NOT EXISTS "${CORVANELLE_ZIG}")
    message(FATAL_ERROR "${CORVANELLE_ZIG} is missing: run scripts/fetch-zig.sh, or set CORVANELLE_ZIG")
endif()

# CMake wants one executable per tool; Zig is one executable with sub-commands. Small wrapper
# scripts beside Zig's installation (not in the source tree) name the sub-command and the target,
# and keep Zig's caches (where it builds libc++ for each target once) beside it too.
get_filename_component(corvanelle_zig_home "${CORVANELLE_ZIG}" DIRECTORY)
get_filename_component(corvanelle_zig_home "${corvanelle_zig_home}" DIRECTORY)
set(corvanelle_wrappers "${corvanelle_zig_home}/wrappers/${corvanelle_zig_target}")
foreach(tool cc c++ ar ranlib)
    if(tool MATCHES "^c")
        set(command "${tool} -target ${corvanelle_zig_target}")
    else()
        set(command "${tool}")
    endif()
    set(script "#!/bin/sh\nexport ZIG_GLOBAL_CACHE_DIR='${corvanelle_zig_home}/cache'\nexport ZIG_LOCAL_CACHE_DIR='${corvanelle_zig_home}/cache'\n")
    if(tool MATCHES "^c")
        # CMake asks the linker to be verbose (-Wl,-v) when it probes the compiler; Zig's
        # linker takes no such option. Dropped, the probe learns the rest.
        string(APPEND script "for arg do\n    shift\n    [ \"$arg\" = -Wl,-v ] || set -- \"$@\" \"$arg\"\ndone\n")
    endif()
    string(APPEND script "exec '${CORVANELLE_ZIG}' ${command} \"$@\"\n")
    set(path "${corvanelle_wrappers}/${tool}")
    if(EXISTS "${path}")
        file(READ "${path}" existing)
    else()
        set(existing "")
    endif()
    if(NOT existing STREQUAL script)
        file(WRITE "${path}.tmp" "${script}")
        file(CHMOD "${path}.tmp" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
            GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        file(RENAME "${path}.tmp" "${path}")
    endif()
endforeach()

set(CMAKE_C_COMPILER "${corvanelle_wrappers}/cc")
set(CMAKE_CXX_COMPILER "${corvanelle_wrappers}/c++")
set(CMAKE_AR "${corvanelle_wrappers}/ar" CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB "${corvanelle_wrappers}/ranlib" CACHE FILEPATH "Archive indexer")
# No Apple SDK: Zig's own Darwin headers and libSystem stubs stand in for it. Architecture and
# minimum macOS reach the compiler through -target and -mmacosx-version-min.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)
# Only used when installing rewrites a library path, which these programs never need; Debian's
# LLVM has one that reads and writes Mach-O.
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool
    install_name_tool)

# The same bytes from any checkout: source and build paths leave the programs' file names
# (__FILE__ in Boost's error locations) relative, and the linker keeps no debug map, which would
# name every object file, ours and the libc++ ones in Zig's cache.
foreach(lang C CXX)
    set(CMAKE_${lang}_FLAGS_INIT
        "-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/boost-headers/=")
endforeach()
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-S")

# Look for headers and libraries only where the build is told to, never in the Linux system's.
set(CMAKE_FIND_ROOT_PATH "${corvanelle_zig_home}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Boost.JSON is used header-only: a folder holding just a link to Debian's `boost` folder, so
# that the compiler is never given /usr/include (the Linux C library's headers) itself.
get_property(corvanelle_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT corvanelle_in_try_compile AND NOT CORVANELLE_BOOST_INCLUDE_DIR)
    set(corvanelle_boost_only "${CMAKE_BINARY_DIR}/boost-headers")
    if(NOT EXISTS "${corvanelle_boost_only}/boost")
        file(MAKE_DIRECTORY "${corvanelle_boost_only}")
        file(CREATE_LINK /usr/include/boost "${corvanelle_boost_only}/boost" SYMBOLIC)
    endif()
    set(CORVANELLE_BOOST_INCLUDE_DIR "${corvanelle_boost_only}" CACHE PATH
        "Folder holding Boost's headers (boost/json/...), 1.81 or newer")
endif()

# The test programs cannot run here: list their tests when CTest runs them (on a Mac), not
# after each build.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
