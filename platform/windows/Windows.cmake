# The Windows build of the portable libraries: base/ with its Windows files
# (base/windows/), archive/ without bzip2 and LZMA (archive/windows/) and the
# Windows files of the platform's interfaces (platform/windows/). Included by the top-level
# CMakeLists.txt when WIN32 (a mingw-w64 toolchain of cmake/toolchains) and
# by tests/windows, which adds the tests. bzip2 and LZMA have no Windows
# library in Debian: those methods read as unsupported there. libdeflate and
# nettle have none either: CRC-32 comes from zlib, HMAC-SHA256 from CNG
# (compat/).
get_filename_component(FOLIVANT_ROOT ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(FOLIVANT_WINDOWS_DIR ${FOLIVANT_ROOT}/platform/windows)

# Linked statically, as everything else: the programs need only system DLLs.
set(ZLIB_USE_STATIC_LIBS ON)
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

add_library(folivant_base STATIC
  ${FOLIVANT_ROOT}/base/Classes.cpp
  ${FOLIVANT_ROOT}/base/Text.cpp
  ${FOLIVANT_ROOT}/base/windows/CodePages.cpp
  ${FOLIVANT_ROOT}/base/windows/SystemFile.cpp
  ${FOLIVANT_ROOT}/base/windows/WaitValue.cpp)
target_link_libraries(folivant_base PUBLIC folivant_windows_flags bcrypt user32 synchronization)

add_library(folivant_archive STATIC
  ${FOLIVANT_ROOT}/archive/ZipDecoders.cpp
  ${FOLIVANT_ROOT}/archive/ZipDecryptWorker.cpp
  ${FOLIVANT_ROOT}/archive/ZipDirectory.cpp
  ${FOLIVANT_ROOT}/archive/ZipNames.cpp
  ${FOLIVANT_ROOT}/archive/ZipReader.cpp
  ${FOLIVANT_ROOT}/archive/ZipWriter.cpp
  ${FOLIVANT_ROOT}/archive/windows/ZipMethodsAbsent.cpp)
target_include_directories(folivant_archive PUBLIC ${FOLIVANT_WINDOWS_DIR}/compat)
target_link_libraries(folivant_archive PUBLIC folivant_base ZLIB::ZLIB bcrypt)

# The platform's portable cores, and the Windows files behind its
# interfaces: the program's own resources, the registry, the temporary
# folder, the special folders and the shared units' system services.
add_library(folivant_platform STATIC
  ${FOLIVANT_ROOT}/platform/HttpHead.cpp
  ${FOLIVANT_ROOT}/platform/MediaCache.cpp)
target_link_libraries(folivant_platform PUBLIC folivant_base)

add_library(folivant_platform_windows STATIC
  ${FOLIVANT_ROOT}/platform/windows/ProgramResources.cpp
  ${FOLIVANT_ROOT}/platform/windows/Registry.cpp
  ${FOLIVANT_ROOT}/platform/windows/SpecialFolders.cpp
  ${FOLIVANT_ROOT}/platform/windows/SystemServices.cpp
  ${FOLIVANT_ROOT}/platform/windows/TemporaryFolder.cpp)
target_link_libraries(folivant_platform_windows PUBLIC folivant_platform advapi32 shell32 bcrypt)

# The system's portable units of shared/ on the Windows files above.
add_library(folivant_shared STATIC
  ${FOLIVANT_ROOT}/shared/AsyncPlugProto.cpp
  ${FOLIVANT_ROOT}/shared/BrowserJs.cpp
  ${FOLIVANT_ROOT}/shared/Component.cpp
  ${FOLIVANT_ROOT}/shared/FvpResolver.cpp
  ${FOLIVANT_ROOT}/shared/GlobalMainForm.cpp
  ${FOLIVANT_ROOT}/shared/IEBrowserFix.cpp
  ${FOLIVANT_ROOT}/shared/IniFiles.cpp
  ${FOLIVANT_ROOT}/shared/JsConstants.cpp
  ${FOLIVANT_ROOT}/shared/LinkActions.cpp
  ${FOLIVANT_ROOT}/shared/MediaEntries.cpp
  ${FOLIVANT_ROOT}/shared/PublicationSettings.cpp
  ${FOLIVANT_ROOT}/shared/StrUtils.cpp
  ${FOLIVANT_ROOT}/shared/TemporalFiles.cpp
  ${FOLIVANT_ROOT}/shared/Trace.cpp
  ${FOLIVANT_ROOT}/shared/UrlMonApi.cpp)
target_link_libraries(folivant_shared PUBLIC folivant_archive folivant_platform
  folivant_platform_windows)

# The Windows files behind the platform's window-level interfaces
# (platform/ui): the application's message loop and posted calls, forms with
# the main icon, text boxes, pictures and image controls, message boxes, the save dialog, the shell, sound, the
# tray icon, system names and text widths, and the URL-moniker session of the system with the
# protocol components' hidden windows.
# The portable part of platform/ui (failure texts, the closed message box's
# answer, the key map, the style manager's lookup, the tray icon's tool tip).
add_library(folivant_platform_ui STATIC
  ${FOLIVANT_ROOT}/platform/ui/Application.cpp
  ${FOLIVANT_ROOT}/platform/ui/KeyMap.cpp
  ${FOLIVANT_ROOT}/platform/ui/MessageBox.cpp
  ${FOLIVANT_ROOT}/platform/ui/StyleManager.cpp
  ${FOLIVANT_ROOT}/platform/ui/StylePalette.cpp
  ${FOLIVANT_ROOT}/platform/ui/TrayIcon.cpp)
target_link_libraries(folivant_platform_ui PUBLIC folivant_shared folivant_platform ZLIB::ZLIB)

add_library(folivant_platform_ui_windows STATIC
  ${FOLIVANT_ROOT}/platform/windows/Application.cpp
  ${FOLIVANT_ROOT}/platform/windows/Forms.cpp
  ${FOLIVANT_ROOT}/platform/windows/MainIcon.cpp
  ${FOLIVANT_ROOT}/platform/windows/MediaBridge.cpp
  ${FOLIVANT_ROOT}/platform/windows/MessageBox.cpp
  ${FOLIVANT_ROOT}/platform/windows/Picture.cpp
  ${FOLIVANT_ROOT}/platform/windows/SaveDialog.cpp
  ${FOLIVANT_ROOT}/platform/windows/Shell.cpp
  ${FOLIVANT_ROOT}/platform/windows/Sound.cpp
  ${FOLIVANT_ROOT}/platform/windows/StyleDrawing.cpp
  ${FOLIVANT_ROOT}/platform/windows/StyleManager.cpp
  ${FOLIVANT_ROOT}/platform/windows/SystemInfo.cpp
  ${FOLIVANT_ROOT}/platform/windows/TrayIcon.cpp
  ${FOLIVANT_ROOT}/platform/windows/UrlMon.cpp)
target_link_libraries(folivant_platform_ui_windows PUBLIC folivant_platform_ui folivant_shared
  urlmon ole32 uuid user32 gdi32 msimg32 windowscodecs winmm comdlg32 shell32 comctl32 dwmapi)

# The browser control on Windows (browsercontrol/windows/), on the layers above.
add_subdirectory(${FOLIVANT_ROOT}/browsercontrol/windows
  ${CMAKE_BINARY_DIR}/browsercontrol-windows)

# The system's window-level units and the runtime on the Windows files.
add_library(folivant_desktop STATIC
  ${FOLIVANT_ROOT}/desktop/BrowserForm.cpp
  ${FOLIVANT_ROOT}/desktop/LinkServices.cpp
  ${FOLIVANT_ROOT}/desktop/StylesUtils.cpp
  ${FOLIVANT_ROOT}/desktop/SysUtils.cpp)
target_link_libraries(folivant_desktop PUBLIC folivant_browsercontrol_windows
  folivant_platform_ui_windows folivant_shared)

add_library(folivant_runtime_lib STATIC
  ${FOLIVANT_ROOT}/runtime/ExeHtmlSite.cpp
  ${FOLIVANT_ROOT}/runtime/MainForm.cpp
  ${FOLIVANT_ROOT}/runtime/RestrictedForm.cpp
  ${FOLIVANT_ROOT}/runtime/Startup.cpp)
target_link_libraries(folivant_runtime_lib PUBLIC folivant_desktop)

# The runtime's own resources of resources/resources.list as PE resources
# compiled by windres: the style files encoded as the style manager reads
# them ("VCL_STYLE 1.0" and a zlib stream, made by perl's zlib module), the
# icon as MAINICON from its .ico twin, and the version information.
enable_language(RC)
file(STRINGS ${FOLIVANT_ROOT}/CMakeLists.txt folivant_project REGEX "^project\\(Folivant VERSION")
string(REGEX MATCH "VERSION ([0-9]+)\\.([0-9]+)" folivant_version "${folivant_project}")
set(folivant_version_commas "${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}, 0, 0")
set(folivant_version_text "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}")
set(runtime_rc_dir ${CMAKE_BINARY_DIR}/runtime-resources)
set(runtime_rc "// The runtime's own resources, made from resources/resources.list.
#include <winver.h>
LANGUAGE 9, 1
")
set(runtime_rc_inputs)
file(STRINGS ${FOLIVANT_ROOT}/resources/resources.list resource_lines REGEX "^[A-Z]")
foreach(line IN LISTS resource_lines)
  separate_arguments(fields UNIX_COMMAND "${line}")
  list(GET fields 0 type)
  list(GET fields 1 name)
  list(GET fields 3 encoding)
  list(GET fields 4 path)
  set(source ${FOLIVANT_ROOT}/resources/${path})
  if(encoding STREQUAL "vclstyle")
    set(encoded ${runtime_rc_dir}/${name}.vclstyle)
    add_custom_command(OUTPUT ${encoded}
      COMMAND perl -MCompress::Zlib -e
        "local $/; open(I, '<:raw', $ARGV[0]) or die; open(O, '>:raw', $ARGV[1]) or die; print O 'VCL_STYLE 1.0', compress(<I>); close(O) or die"
        ${source} ${encoded}
      DEPENDS ${source} VERBATIM)
    set(source ${encoded})
  elseif(type STREQUAL "ICON")
    string(REGEX REPLACE "\\.png$" ".ico" source ${source})
  endif()
  list(APPEND runtime_rc_inputs ${source})
  string(APPEND runtime_rc "${name} ${type} \"${source}\"\n")
endforeach()
string(APPEND runtime_rc "
1 VERSIONINFO
FILEVERSION ${folivant_version_commas}
PRODUCTVERSION ${folivant_version_commas}
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_APP
BEGIN
  BLOCK \"StringFileInfo\"
  BEGIN
    BLOCK \"040904b0\"
    BEGIN
      VALUE \"ProductName\", \"Folivant\"
      VALUE \"FileDescription\", \"Folivant runtime\"
      VALUE \"FileVersion\", \"${folivant_version_text}\"
      VALUE \"ProductVersion\", \"${folivant_version_text}\"
    END
  END
  BLOCK \"VarFileInfo\"
  BEGIN
    VALUE \"Translation\", 0x409, 1200
  END
END
")
file(CONFIGURE OUTPUT ${runtime_rc_dir}/folivant-runtime.rc CONTENT "${runtime_rc}")
set_source_files_properties(${runtime_rc_dir}/folivant-runtime.rc PROPERTIES
  OBJECT_DEPENDS "${runtime_rc_inputs}")

# The program, a GUI program (linked statically by the toolchain).
add_executable(folivant-runtime WIN32 ${FOLIVANT_ROOT}/runtime/Program.cpp
  ${runtime_rc_dir}/folivant-runtime.rc)
target_link_libraries(folivant-runtime PRIVATE folivant_runtime_lib)
