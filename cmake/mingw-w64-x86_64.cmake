# Cross-compiling for 64-bit Windows with Debian's mingw-w64 toolchain, the posix-threads flavour
# (std::thread and std::mutex need it). The runtime libraries are linked statically, so the
# executable runs on a bare Windows, or under wine, without any DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MINGW_TRIPLET}-windres)
set(CMAKE_ASM_NASM_COMPILER nasm)

# Libraries and headers come from the mingw-w64 sysroot and from the folder the Windows
# dependencies are installed into (scripts/build-windows-jpeg.sh), never from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLET})
if(DEFINED POW2BMP_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${POW2BMP_WINDOWS_DEPS})
  list(APPEND CMAKE_PREFIX_PATH ${POW2BMP_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static takes winpthread as a static library too.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
