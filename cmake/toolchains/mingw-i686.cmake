# Cross build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686),
# the runtime's specified target. See mingw-x86_64.cmake. No emulator: these
# machines cannot run 32-bit code, so its programs are built and checked
# structurally only.
set(FOLIVANT_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
