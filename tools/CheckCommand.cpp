// check SITE_DIR [--config FILE]: what a reader would meet in the packed
// publication, found before packing. Every HTML page and style sheet of the
// site is read, each local reference is resolved the way the engine and the
// runtime resolve it, and every problem becomes one line
//
//     FILE:LINE: reference -> entry: problem
//
// on standard output. Exit code 1 when there is an error, 0 otherwise.

#include "tools/PackTool.h"
#include "tools/SiteReferences.h"

#include "base/Text.h"
#include "archive/ZipWriter.h"
#include "shared/FvpResolver.h"
#include "shared/IniFiles.h"
#include "shared/LinkActions.h"
#include "shared/PublicationSettings.h"
#include "shared/StrUtils.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace Folivant::Tools {

namespace {

const char* const Usage = "folivant-pack check SITE_DIR [--config FILE]";

class TReport {
public:
    explicit TReport(std::FILE* out) : FOut(out) {}
    enum TLevel { Error, Warning, Information };
    void Line(const std::string& file, int line, const std::string& subject, TLevel level,
              const std::string& text) {
        static const char* const Names[] = {"error", "warning", "info"};
        std::fprintf(FOut, "%s:%d: %s: %s: %s\n", file.c_str(), line, subject.c_str(), Names[level],
                     text.c_str());
        if (level == Error)
            ++Errors;
    }
    int Errors = 0;

private:
    std::FILE* FOut;
};

// The site as the packed archive will hold it: an archive of the same entry
// names, opened by the runtime's reader, and the runtime's request
// resolution over it.
class TSiteArchive {
public:
    explicit TSiteArchive(const std::vector<TSiteEntry>& entries) {
        {
            Archive::TZipWriter writer(FBytes);
            writer.AddBytes("fv-config", {}, false);
            for (const TSiteEntry& e : entries) {
                if (e.Directory)
                    writer.AddDirectory(e.Name);
                else if (!SameAsciiText(e.Name, "fv-config"))
                    writer.AddBytes(e.Name, {}, false);
            }
            writer.Finish();
        }
        FZip.Password = Archive::ArchivePassword;
        FZip.SetStream(&FBytes);
        FResolver = std::make_unique<Shared::TFvpResolver>(FZip, nullptr);
    }

    struct TFound {
        String Requested; // the entry name the request asks for
        String Entry;     // the name the archive holds, empty when none
    };
    // Resolves an absolute fvp URL as the runtime resolves a request for it.
    TFound Resolve(const std::string& url) const {
        const String request = Utf8ToString(url.substr(url.find(':') + 1));
        TFound found;
        found.Requested = Shared::TFvpResolver::EntryName(request);
        // Shown as the author wrote it: percent-encoded UTF-8 as its text.
        std::string bytes;
        bool narrow = true;
        for (const char16_t c : found.Requested) {
            narrow = narrow && c <= 0xFF;
            bytes.push_back(static_cast<char>(c));
        }
        if (narrow && IsWellFormedUtf8(bytes))
            found.Requested = Utf8ToString(bytes);
        const String name = FResolver->FindEntry(request);
        if (!name.empty()) {
            found.Requested = name;
            found.Entry = FZip.Entry(FZip.FindFile(name)).Name;
        }
        return found;
    }

    // The name the archive's lookup finds for name; another one when two
    // entries differ only in letter case.
    String Found(const String& name) const {
        const int index = FZip.FindFile(name);
        return index < 0 ? String() : FZip.Entry(index).Name;
    }

private:
    TMemoryStream FBytes;
    Archive::TZipReader FZip;
    std::unique_ptr<Shared::TFvpResolver> FResolver;
};

bool HasExtension(const std::string& name, std::initializer_list<const char*> kinds) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || name.find('/', dot) != std::string::npos)
        return false;
    return std::any_of(kinds.begin(), kinds.end(),
                       [&](const char* k) { return SameAsciiText(name.substr(dot), k); });
}

// How the runtime's link check treats a navigation to url: "" for a page,
// otherwise the setting that makes it a save or a program start.
std::string LinkKind(const std::string& url, const Shared::TPublicationSettings& settings) {
    String ext = Shared::TLinkActions::ExtensionOf(Utf8ToString(url));
    std::erase(ext, u'.');
    const auto listed = [&](const String& setting) {
        if (setting.empty())
            return false;
        const auto kinds = Shared::TStrUtils::ExplodeStrings(u" ", setting);
        return std::find(kinds.begin(), kinds.end(), ext) != kinds.end();
    };
    if (listed(settings.ExtractFileExts))
        return "offered for saving (ExtractFileExts)";
    if (listed(settings.ExecuteFileExts))
        return "extracted and started as a program (ExecuteFileExts)";
    return {};
}

class TChecker {
public:
    TChecker(const std::vector<TSiteEntry>& entries, std::FILE* out)
        : FArchive(entries), FReport(out) {}

    // Reports one reference of file (an entry name) against the page's base URL.
    void Reference(const std::string& file, const std::string& base, const TReference& ref) {
        const std::string url = ResolveReference(base, ref.Text);
        if (url.empty())
            return; // another scheme, or only a fragment
        const auto found = FArchive.Resolve(url);
        const std::string subject = ref.Text + " -> " + Utf8(found.Requested);
        if (found.Requested.empty()) {
            FReport.Line(file, ref.Line, ref.Text + " -> (none)", TReport::Error,
                         "a malformed %-escape; the request finds no entry");
        } else if (found.Entry.empty()) {
            const bool nonAscii = std::any_of(ref.Text.begin(), ref.Text.end(),
                                              [](char c) { return (c & 0x80) != 0; });
            FReport.Line(file, ref.Line, subject, TReport::Error,
                         "no such entry" + (nonAscii ? FHint : std::string()));
        } else if (found.Entry != found.Requested) {
            FReport.Line(file, ref.Line, subject, TReport::Warning,
                         "the entry is \"" + Utf8(found.Entry) +
                             "\"; letter case differs (works here, fails on a web server)");
        }
        if (ref.Navigation && !found.Entry.empty()) {
            const std::string kind = LinkKind(url, FSettings);
            if (!kind.empty())
                FReport.Line(file, ref.Line, subject, TReport::Information, kind);
        }
    }

    void Settings(const std::string& shown, const Shared::TStringLines& lines);

    // Entries the lookup never finds: another differs only in letter case.
    void Shadowed(const std::vector<TSiteEntry>& entries) {
        for (const TSiteEntry& e : entries) {
            const String name = Utf8ToString(e.Name);
            const String found = FArchive.Found(name);
            if (found != name && !SameAsciiText(e.Name, "fv-config"))
                FReport.Line(e.Name, 1, e.Name + " -> " + Utf8(found), TReport::Warning,
                             "another entry differs only in letter case; the runtime always "
                             "finds that one, never this");
        }
    }
    void Page(const TSiteEntry& entry);

    int Errors() const { return FReport.Errors; }
    TReport& Report() { return FReport; }
    std::string FirstScriptPage;
    int ScriptPages = 0;

private:
    TSiteArchive FArchive;
    TReport FReport;
    Shared::TPublicationSettings FSettings = {};
    std::string FHint; // said with a missing non-ASCII reference of the page
};

String Trimmed(const String& text) {
    std::size_t from = 0, to = text.size();
    while (from < to && text[from] < 33)
        ++from;
    while (to > from && text[to - 1] < 33)
        --to;
    return text.substr(from, to - from);
}

void TChecker::Settings(const std::string& shown, const Shared::TStringLines& lines) {
    using namespace Shared;
    TMemIniFile ini;
    ini.SetStrings(lines);
    FSettings = ReadPublicationSettings(ini);

    // The lines of the last [Folivant] section: only that one counts.
    const String wanted = UpperCaseUnicode(SettingsSection);
    std::optional<std::size_t> begin;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const String line = Trimmed(lines[i]);
        if (line.size() >= 2 && line.front() == u'[' && line.back() == u']' &&
            UpperCaseUnicode(Trimmed(line.substr(1, line.size() - 2))) == wanted)
            begin = i + 1;
    }
    int indexLine = 1;
    if (!begin) {
        FReport.Line(shown, 1, "[Folivant]", TReport::Warning,
                     "no [Folivant] section; every setting takes its default");
    } else {
        std::map<String, std::size_t> last; // upper-cased key -> line index
        for (std::size_t i = *begin; i < lines.size(); ++i) {
            const String line = Trimmed(lines[i]);
            if (line.empty() || line.front() == u';')
                continue;
            if (line.front() == u'[' && line.back() == u']')
                break;
            const std::size_t equals = line.find(u'=');
            const int number = static_cast<int>(i + 1);
            if (equals == String::npos) {
                FReport.Line(shown, number, Utf8(line), TReport::Warning,
                             "not a Key=value line; the runtime ignores it");
                continue;
            }
            const String key = Trimmed(line.substr(0, equals));
            const String upper = UpperCaseUnicode(key);
            const auto known = std::find_if(
                PublicationSettingKeys.begin(), PublicationSettingKeys.end(),
                [&](const TSettingKey& k) { return UpperCaseUnicode(k.Name) == upper; });
            if (known == PublicationSettingKeys.end()) {
                FReport.Line(shown, number, Utf8(key), TReport::Warning,
                             "not a setting the runtime knows; it is ignored");
                continue;
            }
            if (const auto before = last.find(upper); before != last.end())
                FReport.Line(
                    shown, static_cast<int>(before->second + 1), Utf8(key), TReport::Warning,
                    "set again on line " + std::to_string(number) + "; this line is ignored");
            last[upper] = i;
            const String value = Trimmed(line.substr(equals + 1));
            const std::string subject = Utf8(key) + "=" + Utf8(value);
            std::int32_t n = 0;
            if (known->Type != TSettingType::stString && !TryIniStrToInt(value, n)) {
                FReport.Line(shown, number, subject, TReport::Warning,
                             "not a number; the runtime uses the default " +
                                 std::to_string(known->DefaultNumber));
            } else if (upper == u"APPBORDERSTYLE" && (n < 0 || n > 5)) {
                FReport.Line(shown, number, subject, TReport::Warning,
                             "not a border style (0 to 5); the runtime uses 2 (sizeable)");
            }
            if (upper == u"INDEXPAGE")
                indexLine = number;
        }
    }

    // The first page: the runtime navigates to "fvp://" followed by the value.
    const std::string index = Utf8(FSettings.IndexPage);
    if (index.empty()) {
        FReport.Line(shown, indexLine, "IndexPage", TReport::Error,
                     "no IndexPage; the publication would show no page");
        return;
    }
    const std::string url = ResolveReference("fvp://", "fvp://" + index);
    const auto page = FArchive.Resolve(url);
    const std::string subject = "IndexPage=" + index + " -> " + Utf8(page.Requested);
    if (page.Entry.empty())
        FReport.Line(shown, indexLine, subject, TReport::Error, "no such entry in the site");
    else if (page.Entry != page.Requested)
        FReport.Line(shown, indexLine, subject, TReport::Warning,
                     "the entry is \"" + Utf8(page.Entry) + "\"; letter case differs");
    if (!page.Requested.empty() && page.Requested.find(u'/') == String::npos)
        FReport.Line(shown, indexLine, subject, TReport::Warning,
                     "a page at the top of the site: its relative links resolve below \"fvp://" +
                         Utf8(page.Requested) + "/\"; keep the site in a folder of its own");
}

void TChecker::Page(const TSiteEntry& entry) {
    const bool html = HasExtension(entry.Name, {".html", ".htm", ".xhtml", ".shtml"});
    const bool css = HasExtension(entry.Name, {".css"});
    if (!html && !css)
        return;
    std::string bytes;
    try {
        TFileStream in(entry.Path, TFileMode::fmOpenRead);
        bytes.resize(static_cast<std::size_t>(in.Size()));
        if (in.Read(bytes.data(), static_cast<std::int64_t>(bytes.size())) !=
            static_cast<std::int64_t>(bytes.size()))
            throw EPackError(u"cannot be read");
    } catch (const Exception& e) {
        FReport.Line(entry.Name, 1, entry.Name, TReport::Error,
                     "cannot be read: " + Utf8(e.Message()));
        return;
    }
    const std::string raw = bytes;
    if (bytes.find('\0') != std::string::npos && !bytes.starts_with("\xFF\xFE") &&
        !bytes.starts_with("\xFE\xFF")) {
        FReport.Line(entry.Name, 1, entry.Name, TReport::Warning,
                     "not a text file (it holds NUL bytes); its references are not checked");
        return;
    }
    // Pages are read as the engine reads them; a style sheet is UTF-8, or
    // Windows-1252 when it is not.
    bool declaredNone = false;
    if (html)
        bytes = HtmlText(bytes, declaredNone);
    else if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.erase(0, 3);
    else if (!IsWellFormedUtf8(bytes))
        bytes = StringToUtf8(DecodeCodePage(bytes, 1252));
    // A UTF-8 page that declares no encoding is read as Windows-1252, so
    // its non-ASCII references go astray; the error says why.
    FHint.clear();
    if (html && declaredNone && IsWellFormedUtf8(raw) &&
        std::any_of(raw.begin(), raw.end(), [](char c) { return (c & 0x80) != 0; }))
        FHint = " (the page is UTF-8 but declares no encoding, so it is read as Windows-1252; "
                "add <meta charset=\"utf-8\">)";
    TPageReferences found = html ? HtmlReferences(bytes) : CssReferences(bytes, 1);
    if (!found.NotChecked.empty())
        FReport.Line(entry.Name, 1, entry.Name, TReport::Warning,
                     found.NotChecked + "; its references are not checked");
    // A <base> element moves every relative reference of the page.
    std::string base = PageUrl(entry.Name);
    if (found.Base)
        base = ResolveReference(base, *found.Base);
    for (const TReference& ref : found.References)
        Reference(entry.Name, base, ref);
    if (found.HasScripts && ScriptPages++ == 0)
        FirstScriptPage = entry.Name;
}

} // namespace

int CheckSite(const std::filesystem::path& site, const std::optional<std::filesystem::path>& config,
              std::FILE* out) {
    const std::vector<TSiteEntry> entries = CollectSite(site, config.has_value());
    TChecker checker(entries, out);

    std::optional<std::filesystem::path> settingsFile = config;
    if (!settingsFile) {
        for (const TSiteEntry& e : entries)
            if (!e.Directory && SameAsciiText(e.Name, "fv-config"))
                settingsFile = e.Path;
    }
    if (settingsFile) {
        const std::string bytes = ConfigBytes(*settingsFile, false);
        TReadOnlyMemoryStream stream(bytes.data(), static_cast<std::int64_t>(bytes.size()));
        checker.Settings(settingsFile->string(), Shared::StreamToLines(stream));
    } else {
        checker.Report().Line((site / "fv-config").string(), 1, "fv-config", TReport::Error,
                              "no settings file; the publication would show no page "
                              "(give one with --config or put fv-config into the site)");
    }

    checker.Shadowed(entries);
    for (const TSiteEntry& e : entries)
        if (!e.Directory)
            checker.Page(e);
    if (checker.ScriptPages > 0)
        std::fprintf(out,
                     "note: %d page(s) have scripts (the first is %s); references their scripts "
                     "build are out of reach of this check\n",
                     checker.ScriptPages, checker.FirstScriptPage.c_str());
    std::fflush(out);
    return checker.Errors();
}

int CheckCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {"config"}, 1, Usage);
    std::optional<std::filesystem::path> config;
    if (const auto c = a.Option("config"))
        config = *c;
    return CheckSite(a.Positional[0], config, stdout) > 0 ? 1 : 0;
}

} // namespace Folivant::Tools
