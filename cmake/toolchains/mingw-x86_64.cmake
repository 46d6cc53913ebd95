# Cross build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The -posix compilers have std::thread and std::mutex; libgcc, libstdc++ and
# winpthread are linked statically so that the programs need only system
# DLLs. Tests run under wine64.
set(FOLIVANT_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(FOLIVANT_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(FOLIVANT_WINE64 NAMES wine64)
if(FOLIVANT_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${FOLIVANT_WINE64})
endif()
