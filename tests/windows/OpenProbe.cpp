// A program the runtime's publications carry as a file to run: it appends
// the path it was started from, and a line end, to the file that
// FOLIVANT_OPEN_PROBE names, and ends. So a test sees where the runtime put
// the file and that the shell started it.

#include <windows.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t report[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"FOLIVANT_OPEN_PROBE", report, MAX_PATH) == 0)
        return 1;
    wchar_t self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    const std::wstring line = std::wstring(self, length) + L"\n";
    const HANDLE file = CreateFileW(report, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    const BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)),
                              &written, nullptr);
    CloseHandle(file);
    return ok ? 0 : 1;
}
