#include "platform/SystemServices.h"

#include "base/Text.h"

#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/random.h>
#include <unistd.h>
#include <wctype.h>

#include <fstream>
#include <iterator>
#include <string>

namespace Folivant::Platform {

String ProcessFileName() {
    std::string path(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n <= 0)
            return String();
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return Utf8ToString(path);
        }
        path.resize(path.size() * 2);
    }
}

String ProcessCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    String line;
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        String arg = Utf8ToString(std::string_view(raw).substr(start, end - start));
        bool quote = arg.empty();
        for (char16_t c : arg)
            if (c <= 32)
                quote = true;
        if (!line.empty())
            line += u' ';
        // The splitting rule never keeps a double quote in a word.
        String clean;
        for (char16_t c : arg)
            if (c != u'"')
                clean += c;
        line += quote ? u"\"" + clean + u"\"" : clean;
        start = end + 1;
    }
    return line;
}

bool SystemRandom(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = getrandom(bytes + got, size - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// The system's default locale (the environment's LC_NUMERIC); when that
// locale is not installed, the calling thread's current one.
String LocaleDecimalSeparator() {
    std::string radix;
    if (locale_t system = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr))) {
        radix = nl_langinfo_l(RADIXCHAR, system);
        freelocale(system);
    } else {
        radix = nl_langinfo(RADIXCHAR);
    }
    return Utf8ToString(radix);
}

namespace {

// The user's character-class locale, made once from the environment; the
// process-wide locale set by setlocale is not touched.
locale_t UserCtypeLocale() {
    static const locale_t locale = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
        if (made == static_cast<locale_t>(nullptr))
            made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return made;
    }();
    return locale;
}

} // namespace

char16_t LocaleUpperCase(char16_t unit) {
    const locale_t locale = UserCtypeLocale();
    if (locale == static_cast<locale_t>(nullptr))
        return unit;
    const wint_t upper = towupper_l(static_cast<wint_t>(unit), locale);
    return upper <= 0xFFFF ? static_cast<char16_t>(upper) : unit;
}

bool IsUnicodeLetter(char32_t c) {
    // The C.UTF-8 locale classifies every script; it does not depend on the
    // user's locale settings.
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (unicode == static_cast<locale_t>(0))
        return false;
    return iswalpha_l(static_cast<wint_t>(c), unicode) != 0;
}

void AppendLine(const char* path, std::string_view line) {
    // One write per line with O_APPEND keeps the lines of several processes
    // (and of the web process helpers) whole.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    const ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
}

} // namespace Folivant::Platform
