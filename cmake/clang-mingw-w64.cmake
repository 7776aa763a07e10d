# Cross build for 64-bit Windows with Debian's clang and lld, against the MinGW-w64 headers and
# libraries installed for GCC 12 (posix thread model, as in mingw-w64.cmake). Clang finds MinGW's
# C++ headers and the posix libraries only when told where they are.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOLM_MINGW_GCC /usr/lib/gcc/x86_64-w64-mingw32/12-posix)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CXX_FLAGS_INIT
    "-isystem ${TOLM_MINGW_GCC}/include/c++ -isystem ${TOLM_MINGW_GCC}/include/c++/x86_64-w64-mingw32")
# lld takes archives in any order, so winpthreads (std::thread, std::mutex) can come first.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -static -L${TOLM_MINGW_GCC} -lpthread")
