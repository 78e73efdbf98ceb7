# Cross toolchain: 64-bit Windows with clang 16 and lld 16 on Debian's
# MinGW-w64 headers, C runtime and POSIX-thread libstdc++ (the one Windows
# toolchain that emits Control Flow Guard data).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-16)
set(CMAKE_CXX_COMPILER clang++-16)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_AR /usr/lib/llvm-16/bin/llvm-ar)
set(CMAKE_RANLIB /usr/lib/llvm-16/bin/llvm-ranlib)
set(VQ_DLLTOOL /usr/lib/llvm-16/bin/llvm-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not find Debian's MinGW GCC folder by itself: libstdc++'s
# headers and the GCC support libraries come from there. The POSIX-thread
# libstdc++ needs winpthreads, which g++-posix added on its own.
set(VQ_MINGW_GCC_DIR /usr/lib/gcc/${TOOLCHAIN_PREFIX}/12-posix)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${VQ_MINGW_GCC_DIR}/include/c++ -isystem ${VQ_MINGW_GCC_DIR}/include/c++/${TOOLCHAIN_PREFIX} -isystem ${VQ_MINGW_GCC_DIR}/include/c++/backward")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=/usr/bin/ld.lld-16 -L${VQ_MINGW_GCC_DIR} -lpthread")
