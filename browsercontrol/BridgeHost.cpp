#include "browsercontrol/BridgeHost.h"

#include "base/PosixFiles.h"
#include "base/Text.h"
#include "browsercontrol/WebBrowserControl.h"
#include "platform/ui/Application.h"
#include "shared/FvpScheme.h"
#include "platform/gtk/GlibOwner.h"

#include <glib-unix.h>
#include <glib/gstdio.h>
#include <webkit2/webkit2.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

// The extension module's bytes, placed in the executable at build time.
extern "C" const unsigned char FolivantBridgeModule[];
extern "C" const unsigned char FolivantBridgeModuleEnd[];

namespace Folivant::BrowserControl {

using Platform::TGString;

namespace {

const char* const ModuleName = "folivant-bridge.so";
const char* const LockName = ".lock";
const char* const ChannelName = "bridge";
const char* const ModuleTempPrefix = ".module-";
const char* const ModuleFolderPrefix = "bridge-";
const char* const ChannelFolderPrefix = "folivant-bridge-";

std::vector<TWebBrowserControl*>& Controls() {
    static std::vector<TWebBrowserControl*> controls;
    return controls;
}

std::string ModuleBytes() {
    return std::string(reinterpret_cast<const char*>(FolivantBridgeModule),
                       static_cast<std::size_t>(FolivantBridgeModuleEnd - FolivantBridgeModule));
}

// A folder only this user can enter: a real folder (not a link), owned by
// the user, with no access for anyone else.
bool IsPrivateFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

// Whether path is a regular file of this user holding exactly bytes.
bool HoldsExactly(const std::string& path, const std::string& bytes) {
    const TFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || static_cast<std::size_t>(st.st_size) != bytes.size())
        return false;
    std::string content(bytes.size(), '\0');
    return ReadFull(fd.Get(), content.data(), content.size()) == content.size() && content == bytes;
}

// Writes bytes to path through a new file beside it and a rename, so that
// a reader never sees a partial module.
bool WriteAtomically(const std::string& folder, const std::string& path, const std::string& bytes) {
    TReplacement module(folder + "/" + ModuleTempPrefix + "XXXXXX");
    return module.Valid() && module.Write(bytes) && module.Commit(path, 0500);
}

// Every run holds a shared lock on this file in the module folder it uses,
// and the channel's folder holds one its run locks alone; a folder whose
// lock nobody holds is no longer used.

TFd ModuleLock;

// Takes the shared lock of the module folder for the life of the run. A
// run of another version may be removing the folder as unused at the same
// time; a lock file it has already unlinked is no lock, so the folder is
// made again and the lock taken anew.
bool LockModuleFolder(const std::string& folder) {
    const std::string path = folder + "/" + LockName;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ::mkdir(folder.c_str(), 0700);
        if (!IsPrivateFolder(folder))
            return false;
        TFd lock(::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        struct stat held {
        }, linked{};
        if (!lock.Valid() || ::flock(lock.Get(), LOCK_SH) != 0 || ::fstat(lock.Get(), &held) != 0)
            return false;
        if (::lstat(path.c_str(), &linked) == 0 && linked.st_ino == held.st_ino &&
            linked.st_dev == held.st_dev && held.st_nlink > 0) {
            ModuleLock = std::move(lock);
            return true;
        }
    }
    return false;
}

// The process id in a channel folder's name ("folivant-bridge-<pid>-" and
// six characters), 0 when the name is not one.
pid_t ChannelFolderPid(const std::string& name) {
    const std::size_t prefix = std::strlen(ChannelFolderPrefix);
    if (name.compare(0, prefix, ChannelFolderPrefix) != 0)
        return 0;
    std::size_t at = prefix;
    long long pid = 0;
    while (at < name.size() && g_ascii_isdigit(name[at]) && pid < 1'000'000'000)
        pid = pid * 10 + (name[at++] - '0');
    if (at == prefix || at >= name.size() || name[at] != '-' || name.size() - at - 1 != 6)
        return 0;
    return static_cast<pid_t>(pid);
}

bool IsModuleFolderName(const std::string& name) {
    const std::size_t prefix = std::strlen(ModuleFolderPrefix);
    return name.size() == prefix + 32 && name.compare(0, prefix, ModuleFolderPrefix) == 0 &&
           std::all_of(name.begin() + prefix, name.end(),
                       [](char c) { return g_ascii_isxdigit(c) && !g_ascii_isupper(c); });
}

// Removes the folder name of parent when it is a folder (not a link) of
// this user with no access for others, its lock file is nobody's, and, for
// a channel's folder, its process is gone. Only the files the runtime puts
// there go (for a module folder: the module, its unfinished copies and the
// lock); a folder holding anything else stays.
bool RemoveIfUnused(int parent, const std::string& name, bool channel) {
    TFd dir(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!dir.Valid() || ::fstat(dir.Get(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 0777) != 0700)
        return false;
    TFd lock(::openat(dir.Get(), LockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat lockInfo {};
    if (!lock.Valid() || ::fstat(lock.Get(), &lockInfo) != 0 || !S_ISREG(lockInfo.st_mode) ||
        ::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0)
        return false;
    if (channel) {
        const pid_t pid = ChannelFolderPid(name);
        if (pid <= 0 || ::kill(pid, 0) == 0 || errno == EPERM)
            return false;
        ::unlinkat(dir.Get(), ChannelName, 0);
    } else {
        ::unlinkat(dir.Get(), ModuleName, 0);
        std::vector<std::string> temporary;
        if (DIR* entries = ::fdopendir(::dup(dir.Get()))) {
            while (const dirent* entry = ::readdir(entries))
                if (std::strncmp(entry->d_name, ModuleTempPrefix, std::strlen(ModuleTempPrefix)) ==
                    0)
                    temporary.emplace_back(entry->d_name);
            ::closedir(entries);
        }
        for (const std::string& file : temporary)
            ::unlinkat(dir.Get(), file.c_str(), 0);
    }
    // The lock goes last and is released only after the folder: until then
    // no other run takes the folder for its own.
    ::unlinkat(dir.Get(), LockName, 0);
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
}

// The folder holding the module: named after the module's content in the
// user's cache folder, written once and checked on every start; a fresh
// private folder for this run when that one cannot be used.
std::string ModuleFolder() {
    const std::string bytes = ModuleBytes();
    if (bytes.empty())
        return std::string();
    const TGString digest(g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size()));
    const std::string name = ModuleFolderPrefix + std::string(digest.Get()).substr(0, 32);
    const TGString base(g_build_filename(g_get_user_cache_dir(), "folivant", nullptr));
    g_mkdir_with_parents(base, 0700);
    std::string folder = std::string(base.Get()) + "/" + name;
    std::string path = folder + "/" + ModuleName;
    if (LockModuleFolder(folder) &&
        (HoldsExactly(path, bytes) ||
         (WriteAtomically(folder, path, bytes) && HoldsExactly(path, bytes))))
        return folder;
    const TGString run(g_dir_make_tmp("folivant-bridge-XXXXXX", nullptr));
    if (run == nullptr)
        return std::string();
    folder = run.Get();
    path = folder + "/" + ModuleName;
    if (IsPrivateFolder(folder) && WriteAtomically(folder, path, bytes) &&
        HoldsExactly(path, bytes))
        return folder;
    return std::string();
}

std::string ChannelFolder;
std::string ChannelPath;

TFd ChannelLock;

void RemoveChannel() {
    if (!ChannelPath.empty())
        ::unlink(ChannelPath.c_str());
    if (!ChannelFolder.empty())
        ::unlink((ChannelFolder + "/" + LockName).c_str());
    if (!ChannelFolder.empty())
        ::rmdir(ChannelFolder.c_str());
}

// Reads one "<type><length>:<text>" field of UTF-16 length from text.
bool NextField(const String& text, std::size_t& pos, char16_t& type, String& body) {
    if (pos >= text.size())
        return false;
    type = text[pos++];
    std::size_t length = 0;
    bool digits = false;
    while (pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9') {
        length = length * 10 + static_cast<std::size_t>(text[pos] - u'0');
        if (length > text.size())
            return false;
        digits = true;
        ++pos;
    }
    if (!digits || pos >= text.size() || text[pos] != u':')
        return false;
    ++pos;
    if (text.size() - pos < length)
        return false;
    body = text.substr(pos, length);
    pos += length;
    return true;
}

const String NotAvailable = u"XThe host function is not available here";

// One call from a page: its page id, its document and top document, and
// the request the control answers.
String Answer(const std::string& message) {
    const String text = Utf8ToString(message);
    std::size_t pos = 0;
    char16_t type = 0;
    String page, frameUrl, topUrl;
    if (!NextField(text, pos, type, page) || type != u'i' ||
        !NextField(text, pos, type, frameUrl) || type != u's' ||
        !NextField(text, pos, type, topUrl) || type != u's')
        return NotAvailable;
    if (!IsPublicationCaller(StringToUtf8(frameUrl).c_str(), StringToUtf8(topUrl).c_str()))
        return NotAvailable;
    const std::uint64_t pageId = std::strtoull(StringToUtf8(page).c_str(), nullptr, 10);
    for (TWebBrowserControl* control : Controls())
        if (webkit_web_view_get_page_id(control->WebView()) == pageId)
            // A closed window's page reaches nothing.
            return control->Unloaded() ? NotAvailable : control->HandleHostCall(text.substr(pos));
    return NotAvailable;
}

gboolean ServeConnection(gint fd, GIOCondition condition, gpointer) {
    const bool served = Platform::GuardCallback(
        [&] {
            std::uint32_t size = 0;
            std::string message;
            if ((condition & G_IO_IN) == 0 || ReadFull(fd, &size, sizeof size) != sizeof size ||
                size > (64u << 20))
                return false;
            message.resize(size);
            if (ReadFull(fd, message.data(), size) != size)
                return false;
            const std::string answer = StringToUtf8(Answer(message));
            const std::uint32_t length = static_cast<std::uint32_t>(answer.size());
            return SendFull(fd, &length, sizeof length) == sizeof length &&
                   SendFull(fd, answer.data(), answer.size()) == answer.size();
        },
        false);
    if (served)
        return G_SOURCE_CONTINUE;
    ::close(fd);
    return G_SOURCE_REMOVE;
}

gboolean AcceptConnection(gint fd, GIOCondition, gpointer) {
    Platform::GuardCallback([&] {
        TFd connection(::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.Valid())
            return;
        // Only processes of this user reach the channel's folder; the check
        // is repeated on the connection itself.
        struct ucred peer {};
        socklen_t length = sizeof peer;
        if (::getsockopt(connection.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            peer.uid != ::geteuid())
            return;
        // A process that stops in the middle of a request does not hold up
        // the window for long.
        timeval timeout{5, 0};
        ::setsockopt(connection.Get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(connection.Get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        g_unix_fd_add(connection.Release(),
                      static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), ServeConnection,
                      nullptr);
    });
    return G_SOURCE_CONTINUE;
}

// Opens the channel's socket in a new private folder of the user's runtime
// folder; its path is what the module connects to.
bool OpenChannel() {
    const std::string name = ChannelFolderPrefix + std::to_string(::getpid()) + "-XXXXXX";
    std::string pattern = std::string(g_get_user_runtime_dir()) + "/" + name;
    if (::mkdtemp(pattern.data()) == nullptr) {
        pattern = std::string(g_get_tmp_dir()) + "/" + name;
        if (::mkdtemp(pattern.data()) == nullptr)
            return false;
    }
    ChannelFolder = pattern;
    ChannelPath = pattern + "/" + ChannelName;
    std::atexit(RemoveChannel);
    // The run's lock on its channel folder, taken before the file has its
    // name: a folder whose lock file is there is locked.
    const std::string lockPath = pattern + "/" + LockName;
    std::string temporary = lockPath + "-XXXXXX";
    TFd lock(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!lock.Valid() || ::flock(lock.Get(), LOCK_EX) != 0 ||
        ::rename(temporary.c_str(), lockPath.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    ChannelLock = std::move(lock);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (ChannelPath.size() >= sizeof address.sun_path)
        return false;
    std::strcpy(address.sun_path, ChannelPath.c_str());
    TFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.Valid() ||
        ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener.Get(), 16) != 0)
        return false;
    g_unix_fd_add(listener.Release(), G_IO_IN, AcceptConnection, nullptr);
    return true;
}

} // namespace

bool HasFvpScheme(const char* url) {
    const std::string_view scheme = Shared::FvpSchemeUtf8;
    return url != nullptr && g_ascii_strncasecmp(url, scheme.data(), scheme.size()) == 0 &&
           url[scheme.size()] == ':';
}

bool IsPublicationCaller(const char* frameUrl, const char* topUrl) {
    if (frameUrl == nullptr || !HasFvpScheme(topUrl))
        return false;
    return HasFvpScheme(frameUrl) || std::strcmp(frameUrl, "about:blank") == 0 ||
           std::strcmp(frameUrl, "about:srcdoc") == 0;
}

int RemoveUnusedBridgeFolders(const std::vector<std::string>& channelParents,
                              const std::string& moduleParent) {
    int removed = 0;
    auto sweep = [&](const std::string& parentPath, bool channel) {
        TFd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!parent.Valid())
            return;
        std::vector<std::string> names;
        if (DIR* entries = ::fdopendir(::dup(parent.Get()))) {
            while (const dirent* entry = ::readdir(entries)) {
                const std::string name = entry->d_name;
                if (channel ? ChannelFolderPid(name) > 0 : IsModuleFolderName(name))
                    names.push_back(name);
            }
            ::closedir(entries);
        }
        for (const std::string& name : names)
            if (RemoveIfUnused(parent.Get(), name, channel))
                ++removed;
    };
    for (const std::string& parent : channelParents)
        sweep(parent, true);
    sweep(moduleParent, false);
    return removed;
}

bool InstallBridge(WebKitWebContext* context) {
    const std::string folder = ModuleFolder();
    if (folder.empty() || !OpenChannel())
        return false;
    // What runs killed before their end, and runtimes of other versions
    // no longer running, left behind.
    TGString cache(g_build_filename(g_get_user_cache_dir(), "folivant", nullptr));
    RemoveUnusedBridgeFolders({g_get_user_runtime_dir(), g_get_tmp_dir()}, cache.Get());
    webkit_web_context_set_web_extensions_directory(context, folder.c_str());
    webkit_web_context_add_path_to_sandbox(context, folder.c_str(), TRUE);
    webkit_web_context_add_path_to_sandbox(context, ChannelFolder.c_str(), FALSE);
    webkit_web_context_set_web_extensions_initialization_user_data(
        context, g_variant_new_string(ChannelPath.c_str()));
    return true;
}

void AttachBridge(TWebBrowserControl* control) {
    Controls().push_back(control);
}

void DetachBridge(TWebBrowserControl* control) {
    auto& controls = Controls();
    controls.erase(std::remove(controls.begin(), controls.end(), control), controls.end());
}

} // namespace Folivant::BrowserControl
