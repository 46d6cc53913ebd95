# Shared part of the mingw-w64 toolchain files; FOLIVANT_MINGW_TRIPLET names
# the target.
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR "${FOLIVANT_MINGW_TRIPLET}")

set(CMAKE_C_COMPILER ${FOLIVANT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${FOLIVANT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${FOLIVANT_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${FOLIVANT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime libraries: the executables then need only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
