#include "shared/IniFiles.h"

#include "base/Text.h"

#include <string_view>

namespace Folivant::Shared {

namespace {

// Trimming removes every code below 33: spaces and control characters.
std::u16string_view Trim(std::u16string_view s) {
    std::size_t first = 0;
    while (first < s.size() && s[first] < 33)
        ++first;
    std::size_t last = s.size();
    while (last > first && s[last - 1] < 33)
        --last;
    return s.substr(first, last - first);
}

} // namespace

TStringLines TextToLines(const String& fullText) {
    const std::u16string_view text = std::u16string_view(fullText).substr(0, fullText.find(u'\0'));
    TStringLines lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char16_t c = text[i];
        if (c == u'\r' || c == u'\n') {
            lines.emplace_back(text.substr(start, i - start));
            ++i;
            if (c == u'\r' && i < text.size() && text[i] == u'\n')
                ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}

TStringLines StreamToLines(TStream& stream) {
    const std::int64_t position = stream.Position();
    const std::int64_t size = stream.Size();
    std::string bytes;
    if (size > position) {
        bytes.resize(static_cast<std::size_t>(size - position));
        bytes.resize(static_cast<std::size_t>(stream.Read(bytes.data(), size - position)));
    }
    const std::string_view b(bytes);
    String text;
    if (b.starts_with("\xEF\xBB\xBF"))
        text = Utf8ToString(b.substr(3));
    else if (b.starts_with("\xFF\xFE"))
        text = Utf16LEToString(b.data() + 2, b.size() - 2);
    else if (b.starts_with("\xFE\xFF"))
        text = Utf16BEToString(b.data() + 2, b.size() - 2);
    else
        text = AnsiToString(b);
    return TextToLines(text);
}

TMemIniFile::TMemIniFile(String fileName, TIniEncoding encoding)
    : FFileName(std::move(fileName)), FEncoding(encoding) {}

void TMemIniFile::Clear() {
    FSections.clear();
}

void TMemIniFile::SetStrings(const TStringLines& lines) {
    Clear();
    TSection* current = nullptr;
    for (const String& raw : lines) {
        const std::u16string_view line = Trim(raw);
        if (line.empty() || line.front() == u';')
            continue;
        if (line.size() >= 2 && line.front() == u'[' && line.back() == u']') {
            // A repeated section name opens another section; lookups use
            // the last one.
            TSection section;
            section.Name = String(Trim(line.substr(1, line.size() - 2)));
            section.UpperName = UpperCaseUnicode(section.Name);
            FSections.push_back(std::move(section));
            current = &FSections.back();
            continue;
        }
        if (current == nullptr)
            continue;
        TLine stored;
        const std::size_t equals = line.find(u'=');
        if (equals == std::u16string_view::npos) {
            stored.Text = String(line);
        } else {
            const std::u16string_view name = Trim(line.substr(0, equals));
            const std::u16string_view value = Trim(line.substr(equals + 1));
            stored.Text = String(name) + u"=" + String(value);
            stored.UpperName = UpperCaseUnicode(name);
            stored.ValueStart = name.size() + 1;
            stored.HasValue = true;
        }
        current->Lines.push_back(std::move(stored));
    }
}

TStringLines TMemIniFile::SectionLines(std::size_t index) const {
    TStringLines out;
    for (const TLine& line : FSections.at(index).Lines)
        out.push_back(line.Text);
    return out;
}

const TMemIniFile::TLine* TMemIniFile::FindLine(const String& section, const String& key) const {
    const String upperSection = UpperCaseUnicode(section);
    for (auto s = FSections.rbegin(); s != FSections.rend(); ++s) {
        if (s->UpperName != upperSection)
            continue;
        // Only the last section of that name counts, even for keys that only
        // an earlier one holds.
        const String upperKey = UpperCaseUnicode(key);
        for (auto l = s->Lines.rbegin(); l != s->Lines.rend(); ++l) {
            if (l->HasValue && l->UpperName == upperKey)
                return &*l;
        }
        return nullptr;
    }
    return nullptr;
}

String TMemIniFile::ReadString(const String& section, const String& key, const String& def) const {
    const TLine* line = FindLine(section, key);
    return line != nullptr ? line->Text.substr(line->ValueStart) : def;
}

bool TryIniStrToInt(const String& original, std::int32_t& value) {
    String text = original;
    if (text.size() >= 3 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X'))
        text.replace(0, 2, u"$");
    std::size_t i = 0;
    while (i < text.size() && text[i] == u' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }
    bool hex = false;
    if (i < text.size() && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < text.size() && text[i] == u'0' &&
               (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        hex = true;
        i += 2;
    }
    if (i == text.size())
        return false;
    std::uint64_t magnitude = 0;
    const std::size_t digits = text.size() - i;
    if (hex) {
        if (digits > 8)
            return false;
        for (; i < text.size(); ++i) {
            const int d = HexDigitValue(text[i]);
            if (d < 0)
                return false;
            magnitude = magnitude * 16 + static_cast<unsigned>(d);
        }
        // Hexadecimal digits give the 32-bit pattern: $FFFFFFFF is -1.
        const auto pattern = static_cast<std::uint32_t>(magnitude);
        const std::uint32_t result = negative ? 0u - pattern : pattern;
        value = static_cast<std::int32_t>(result);
        return true;
    }
    for (; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9')
            return false;
        magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - u'0');
        if (magnitude > 2147483648u)
            return false;
    }
    if (!negative && magnitude > 2147483647u)
        return false;
    value = negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude))
                     : static_cast<std::int32_t>(magnitude);
    return true;
}

std::int32_t TMemIniFile::ReadInteger(const String& section, const String& key,
                                      std::int32_t def) const {
    std::int32_t value = 0;
    return TryIniStrToInt(ReadString(section, key, String()), value) ? value : def;
}

bool TMemIniFile::ReadBool(const String& section, const String& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

} // namespace Folivant::Shared
