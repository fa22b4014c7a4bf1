# Shared part of the two mingw-w64 toolchain files; they set MEREL_TRIPLET and the processor.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${MEREL_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MEREL_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${MEREL_TRIPLET}-windres)
set(MEREL_WIDL ${MEREL_TRIPLET}-widl)
set(MEREL_WINDMC ${MEREL_TRIPLET}-windmc)
set(CMAKE_FIND_ROOT_PATH /usr/${MEREL_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Programs run on machines without the mingw runtime DLLs: link everything in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
