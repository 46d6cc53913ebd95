// The temporary folder and the run's private folder on Windows: the user's
// temporary folder from GetTempPathW; a run folder holds a lock file the run
// keeps open without sharing for its whole life, so that a later run can
// tell an abandoned folder (its lock file can be deleted, its process is
// gone) from a live one.
#include "platform/TemporaryFolder.h"

#include "base/Text.h"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace Folivant::Platform {

namespace {

constexpr wchar_t LockFileName[] = L".lock";
// Folders nested deeper than this inside a run folder are left alone.
constexpr int MaxRemovalDepth = 16;

std::mutex RunFolderGuard;
std::wstring OwnFolder; // full path without the trailing "\", empty when none
std::wstring OwnFolderName;
HANDLE OwnLock = INVALID_HANDLE_VALUE;

std::wstring Wide(const String& text) {
    return std::wstring(text.begin(), text.end());
}

String FromWide(const std::wstring& text) {
    return String(text.begin(), text.end());
}

String ErrorText(DWORD error) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    String out = n != 0 ? FromWide(std::wstring(text, n)) : u"Error " + S(std::to_string(error));
    if (text != nullptr)
        LocalFree(text);
    while (!out.empty() && (out.back() == u'\n' || out.back() == u'\r' || out.back() == u' '))
        out.pop_back();
    return out;
}

// The process id in a run folder's name, or 0 when the name is not one.
DWORD RunFolderPid(const std::wstring& name) {
    const std::size_t prefix = std::strlen(RunFolderPrefix);
    if (name.size() <= prefix)
        return 0;
    for (std::size_t i = 0; i < prefix; ++i)
        if (name[i] != static_cast<wchar_t>(RunFolderPrefix[i]))
            return 0;
    std::size_t at = prefix;
    unsigned long long pid = 0;
    while (at < name.size() && name[at] >= L'0' && name[at] <= L'9' && pid < 1'000'000'000) {
        pid = pid * 10 + (name[at] - L'0');
        ++at;
    }
    if (at == prefix || at >= name.size() || name[at] != L'-' || name.size() - at - 1 != 6)
        return 0;
    return static_cast<DWORD>(pid);
}

bool ProcessAlive(DWORD pid) {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr)
        return GetLastError() == ERROR_ACCESS_DENIED; // exists, of another user
    const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
}

// Deletes everything inside folder. Links and junctions are removed as
// themselves and never followed out of the folder.
void RemoveContents(const std::wstring& folder, int depth) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = folder + L"\\" + name;
        const DWORD attributes = found.dwFileAttributes;
        if (attributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && depth < MaxRemovalDepth)
                RemoveContents(path, depth + 1);
            RemoveDirectoryW(path.c_str());
        } else {
            DeleteFileW(path.c_str());
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

std::wstring RandomSuffix() {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::wstring out;
    for (int i = 0; i < 6; ++i)
        out.push_back(static_cast<wchar_t>(kLetters[random() % (sizeof(kLetters) - 1)]));
    return out;
}

} // namespace

String TemporaryDir() {
    wchar_t buffer[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
    if (n == 0 || n > MAX_PATH + 1)
        return u"C:\\Windows\\Temp\\";
    std::wstring dir(buffer, n);
    if (dir.back() != L'\\')
        dir.push_back(L'\\');
    return FromWide(dir);
}

String RunFolder(const String& parent) {
    std::lock_guard<std::mutex> lock(RunFolderGuard);
    if (!OwnFolder.empty())
        return FromWide(OwnFolder + L"\\");
    std::wstring base = Wide(parent);
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/'))
        base.pop_back();
    const std::wstring stem =
        base + L"\\" +
        std::wstring(RunFolderPrefix, RunFolderPrefix + std::strlen(RunFolderPrefix)) +
        std::to_wstring(GetCurrentProcessId()) + L"-";
    // CreateDirectoryW fails on an existing name: the folder is new.
    std::wstring path;
    DWORD error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 100 && error == ERROR_ALREADY_EXISTS; ++attempt) {
        path = stem + RandomSuffix();
        error = CreateDirectoryW(path.c_str(), nullptr) ? ERROR_SUCCESS : GetLastError();
    }
    if (error != ERROR_SUCCESS)
        throw EStreamError(u"Cannot create folder \"" + FromWide(path) + u"\". " +
                           ErrorText(error));
    const HANDLE held =
        CreateFileW((path + L"\\" + LockFileName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        RemoveContents(path, 0);
        RemoveDirectoryW(path.c_str());
        throw EStreamError(u"Cannot create folder \"" + FromWide(path) + u"\". " +
                           ErrorText(error));
    }
    OwnFolder = path;
    OwnFolderName = path.substr(path.rfind(L'\\') + 1);
    OwnLock = held;
    return FromWide(OwnFolder + L"\\");
}

void RemoveRunFolder() {
    std::lock_guard<std::mutex> lock(RunFolderGuard);
    if (OwnFolder.empty())
        return;
    // The lock file cannot go while it is open; everything else goes first,
    // so that no other run takes the folder for an abandoned one meanwhile.
    RemoveContents(OwnFolder, 0);
    CloseHandle(OwnLock);
    OwnLock = INVALID_HANDLE_VALUE;
    DeleteFileW((OwnFolder + L"\\" + LockFileName).c_str());
    RemoveDirectoryW(OwnFolder.c_str());
    OwnFolder.clear();
    OwnFolderName.clear();
}

int RemoveAbandonedRunFolders(const String& parent) {
    std::wstring base = Wide(parent);
    while (!base.empty() && (base.back() == L'\\' || base.back() == L'/'))
        base.pop_back();
    std::vector<std::wstring> candidates;
    WIN32_FIND_DATAW found;
    const std::wstring pattern =
        base + L"\\" +
        std::wstring(RunFolderPrefix, RunFolderPrefix + std::strlen(RunFolderPrefix)) + L"*";
    HANDLE search = FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        // Only real folders: a link or junction with a run folder's name is
        // never entered.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
            RunFolderPid(found.cFileName) > 0)
            candidates.emplace_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);

    std::wstring own;
    {
        std::lock_guard<std::mutex> lock(RunFolderGuard);
        own = OwnFolderName;
    }
    int removed = 0;
    for (const std::wstring& name : candidates) {
        if (name == own || ProcessAlive(RunFolderPid(name)))
            continue;
        const std::wstring path = base + L"\\" + name;
        // A live run keeps its lock file open without sharing: it cannot be
        // deleted then.
        const std::wstring lockFile = path + L"\\" + LockFileName;
        if (!DeleteFileW(lockFile.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            continue;
        RemoveContents(path, 0);
        if (RemoveDirectoryW(path.c_str()))
            ++removed;
    }
    return removed;
}

} // namespace Folivant::Platform
