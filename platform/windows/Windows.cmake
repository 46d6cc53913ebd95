# The Windows build of the portable libraries: the archive library with the
# Windows files of the platform layer behind it. Included by the top-level
# CMakeLists.txt when WIN32 (a mingw-w64 toolchain of cmake/toolchains) and
# by tests/windows, which adds the tests. bzip2 and LZMA have no Windows
# library in Debian: those methods read as unsupported there. libdeflate and
# nettle have none either: CRC-32 comes from zlib, HMAC-SHA256 from CNG
# (compat/).
get_filename_component(FOLIVANT_ROOT ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(FOLIVANT_WINDOWS_DIR ${FOLIVANT_ROOT}/platform/windows)
include(${FOLIVANT_ROOT}/cmake/Units.cmake)

find_package(ZLIB REQUIRED)

set(FOLIVANT_WINDOWS_WARNINGS -Wall -Wextra -Wno-unused-parameter -Wno-missing-field-initializers)
if(FOLIVANT_WERROR)
  list(APPEND FOLIVANT_WINDOWS_WARNINGS -Werror)
endif()

# Every Windows target: Unicode API, Windows 8 and later (WaitOnAddress), no min/max macros.
add_library(folivant_windows_flags INTERFACE)
target_compile_definitions(folivant_windows_flags INTERFACE UNICODE _UNICODE NOMINMAX
  _WIN32_WINNT=0x0602 WINVER=0x0602)
target_include_directories(folivant_windows_flags INTERFACE ${FOLIVANT_ROOT})
target_compile_options(folivant_windows_flags INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:${FOLIVANT_WINDOWS_WARNINGS}>)

# The POSIX file helpers of the archive folder have no place on Windows.
folivant_glob_units(FOLIVANT_WIN_ARCHIVE_SOURCES ${FOLIVANT_ROOT}/archive ZipDecodersBzip2Lzma
  PosixFiles)
add_library(folivant_archive STATIC ${FOLIVANT_WIN_ARCHIVE_SOURCES}
  ${FOLIVANT_WINDOWS_DIR}/SystemFile.cpp ${FOLIVANT_WINDOWS_DIR}/CodePages.cpp
  ${FOLIVANT_WINDOWS_DIR}/WaitValue.cpp ${FOLIVANT_WINDOWS_DIR}/ZipMethodsAbsent.cpp)
target_include_directories(folivant_archive PUBLIC ${FOLIVANT_WINDOWS_DIR}/compat)
target_link_libraries(folivant_archive PUBLIC folivant_windows_flags ZLIB::ZLIB bcrypt user32 synchronization)

# The platform layer's portable services on Windows: the registry, the
# temporary folder and the special folders.
add_library(folivant_platform_core STATIC ${FOLIVANT_WINDOWS_DIR}/Registry.cpp
  ${FOLIVANT_WINDOWS_DIR}/TemporaryFolder.cpp ${FOLIVANT_WINDOWS_DIR}/SpecialFolders.cpp)
target_link_libraries(folivant_platform_core PUBLIC folivant_archive advapi32 shell32)

# The portable units of shared/ and platform/ that need no other system
# service than the ones above.
set(FOLIVANT_WINDOWS_SHARED_UNITS IniFiles PublicationSettings JsConstants)
folivant_units(FOLIVANT_WIN_SHARED_SOURCES ${FOLIVANT_ROOT}/shared ${FOLIVANT_WINDOWS_SHARED_UNITS})
folivant_units(FOLIVANT_WIN_PLATFORM_SOURCES ${FOLIVANT_ROOT}/platform HttpHead MediaCache)
add_library(folivant_shared STATIC ${FOLIVANT_WIN_SHARED_SOURCES} ${FOLIVANT_WIN_PLATFORM_SOURCES})
target_link_libraries(folivant_shared PUBLIC folivant_platform_core)
