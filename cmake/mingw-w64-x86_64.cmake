# Cross-compiles for 64-bit Windows with MinGW-w64's GCC (POSIX threads, so libgomp and
# std::thread work), finding libraries only in MinGW's sysroot and in .deps/win64/, the
# cache scripts/build-windows.sh fills. Every program links the compiler's runtimes
# statically, so an .exe needs only the DLLs Windows itself ships.

# CMake also includes this file as its rules override, after its platform files have
# set their library suffixes (.dll.a first): then it only narrows them to archives, so
# that find_library (FindOpenMP's libgomp, say) never picks an import library, which
# would make the program need the DLL even under -static.
if(DEFINED CMAKE_FIND_LIBRARY_SUFFIXES)
    set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
    return()
endif()
set(CMAKE_USER_MAKE_RULES_OVERRIDE "${CMAKE_CURRENT_LIST_FILE}")

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVANE_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${ORVANE_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${ORVANE_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# The cache may be moved elsewhere (for a build outside the repository) by
# -DORVANE_WIN64_DEPS=...; try_compile projects get the same value passed on.
if(NOT ORVANE_WIN64_DEPS)
    get_filename_component(ORVANE_WIN64_DEPS "${CMAKE_CURRENT_LIST_DIR}/../.deps/win64" ABSOLUTE)
endif()
set(ORVANE_WIN64_DEPS "${ORVANE_WIN64_DEPS}" CACHE PATH "Windows libraries built by build-windows.sh")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVANE_WIN64_DEPS)

# Host libraries and headers must never leak into a Windows build; host programs
# (the build tools) are still found on the PATH. The CImg header that setup.sh
# extracts is the same for every target, so its folder is a root too.
get_filename_component(ORVANE_CIMG_ROOT "${CMAKE_CURRENT_LIST_DIR}/../.deps/cimg" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_MINGW_TRIPLE} "${ORVANE_WIN64_DEPS}" "${ORVANE_CIMG_ROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static takes libstdc++, libgcc, winpthread and libgomp from their archives; without
# it the .exe would need DLLs from the compiler's directory that Windows does not have.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Lets CMake run the built programs (gtest_discover_tests, ctest, try_run) under Wine.
get_filename_component(ORVANE_WINE_RUN "${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${ORVANE_WINE_RUN}")
