#include "platform/RegistryHive.h"

#include "base/Text.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

namespace Folivant::Platform {

namespace {

constexpr const char* HiveHeader = "FolivantRegistry 1\n";
constexpr std::size_t MaxNameLength = 255; // one key name

String Folded(const String& s) {
    return UpperCaseUnicode(s);
}

// The hive file reads:
//
// FolivantRegistry 1
// key "Software\\Folivant"
// value "Name" 4 11270000
// end 3315d26e
//
// Names are quoted UTF-8 with \\, \" and \xHH (control bytes) escapes and
// \uXXXX for a UTF-16 unit that is half of no pair; data is lower-case
// hexadecimal ("-" when empty). The last line holds the CRC-32 of everything
// before it, so a file that was changed or cut short reads as damaged.

void AppendQuoted(std::string& out, const String& s) {
    out += '"';
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char16_t c = s[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            out += StringToUtf8(s.substr(i, 2));
            ++i;
        } else if (high || low) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += LowerHexDigits[c >> 4];
            out += LowerHexDigits[c & 15];
        } else {
            out += StringToUtf8(std::u16string_view(&s[i], 1));
        }
    }
    out += '"';
}

// The file's hexadecimal is lower case only.
int HexDigit(char c) {
    return c >= 'A' && c <= 'F' ? -1 : HexDigitValue(static_cast<unsigned char>(c));
}

class THiveParser {
public:
    explicit THiveParser(std::string_view text) : FText(text) {}

    bool Parse(THive& hive) {
        const std::size_t endLine = FText.rfind("\nend ");
        if (FText.substr(0, std::strlen(HiveHeader)) != HiveHeader || endLine == std::string::npos)
            return false;
        const std::string_view body = FText.substr(0, endLine + 1);
        const std::string_view trailer = FText.substr(endLine + 5);
        char expected[16];
        std::snprintf(
            expected, sizeof expected, "%08lx\n",
            crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
        if (trailer != expected)
            return false;
        FPos = std::strlen(HiveHeader);
        FText = body;
        THiveKey* current = nullptr;
        while (FPos < FText.size()) {
            if (Take("key ")) {
                String path;
                if (!Quoted(path) || !Take("\n") || FindHiveKey(hive, path) != nullptr ||
                    !JoinKeyPath(String(), path))
                    return false;
                hive.Keys.push_back(THiveKey{path, {}});
                current = &hive.Keys.back();
            } else if (Take("value ")) {
                THiveValue value;
                if (current == nullptr || !Quoted(value.Name) || !Take(" ") ||
                    !Number(value.Type) || !Take(" ") || !Data(value.Data) || !Take("\n") ||
                    FindHiveValue(*current, value.Name) != nullptr)
                    return false;
                current->Values.push_back(std::move(value));
            } else {
                return false;
            }
        }
        if (FindHiveKey(hive, String()) == nullptr)
            hive.Keys.insert(hive.Keys.begin(), THiveKey{});
        return true;
    }

private:
    bool Take(std::string_view s) {
        if (FText.substr(FPos, s.size()) != s)
            return false;
        FPos += s.size();
        return true;
    }

    bool Flush(std::string& bytes, String& out) {
        if (!IsWellFormedUtf8(bytes))
            return false;
        out += Utf8ToString(bytes);
        bytes.clear();
        return true;
    }

    bool Quoted(String& out) {
        if (!Take("\""))
            return false;
        std::string bytes;
        while (FPos < FText.size()) {
            const char c = FText[FPos++];
            if (c == '"')
                return Flush(bytes, out);
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                bytes += c;
                continue;
            }
            if (FPos >= FText.size())
                return false;
            const char e = FText[FPos++];
            if (e == '"' || e == '\\') {
                bytes += e;
            } else if (e == 'x' && FPos + 2 <= FText.size() && HexDigit(FText[FPos]) >= 0 &&
                       HexDigit(FText[FPos + 1]) >= 0) {
                bytes += static_cast<char>(HexDigit(FText[FPos]) * 16 + HexDigit(FText[FPos + 1]));
                FPos += 2;
            } else if (e == 'u' && FPos + 4 <= FText.size()) {
                unsigned unit = 0;
                for (int i = 0; i < 4; ++i) {
                    const int d = HexDigit(FText[FPos + i]);
                    if (d < 0)
                        return false;
                    unit = unit * 16 + static_cast<unsigned>(d);
                }
                FPos += 4;
                if (!Flush(bytes, out))
                    return false;
                out += static_cast<char16_t>(unit);
            } else {
                return false;
            }
        }
        return false;
    }

    bool Number(std::uint32_t& out) {
        std::uint64_t value = 0;
        const std::size_t start = FPos;
        while (FPos < FText.size() && FText[FPos] >= '0' && FText[FPos] <= '9' &&
               FPos - start < 10) {
            value = value * 10 + static_cast<unsigned>(FText[FPos] - '0');
            ++FPos;
        }
        if (FPos == start || value > 0xFFFFFFFFu)
            return false;
        out = static_cast<std::uint32_t>(value);
        return true;
    }

    bool Data(TBytes& out) {
        if (Take("-"))
            return true;
        const std::size_t start = FPos;
        while (FPos + 1 < FText.size() && HexDigit(FText[FPos]) >= 0 &&
               HexDigit(FText[FPos + 1]) >= 0) {
            out.push_back(
                static_cast<std::uint8_t>(HexDigit(FText[FPos]) * 16 + HexDigit(FText[FPos + 1])));
            FPos += 2;
        }
        return FPos > start;
    }

    std::string_view FText;
    std::size_t FPos = 0;
};

} // namespace

bool SameRegistryName(const String& a, const String& b) {
    return a.size() == b.size() && Folded(a) == Folded(b);
}

THiveKey* FindHiveKey(THive& hive, const String& path) {
    const String folded = Folded(path);
    for (auto& key : hive.Keys)
        if (key.Path.size() == path.size() && Folded(key.Path) == folded)
            return &key;
    return nullptr;
}

THiveValue* FindHiveValue(THiveKey& key, const String& name) {
    for (auto& value : key.Values)
        if (SameRegistryName(value.Name, name))
            return &value;
    return nullptr;
}

std::optional<String> JoinKeyPath(const String& base, const String& subKey) {
    if (subKey.empty())
        return base;
    String result = base;
    std::size_t start = 0;
    while (start <= subKey.size()) {
        std::size_t end = subKey.find(u'\\', start);
        if (end == String::npos)
            end = subKey.size();
        if (end == start || end - start > MaxNameLength)
            return std::nullopt;
        if (!result.empty())
            result += u'\\';
        result.append(subKey, start, end - start);
        start = end + 1;
    }
    return result;
}

bool ParseHive(std::string_view text, THive& hive) {
    return THiveParser(text).Parse(hive);
}

std::string SerializeHive(const THive& hive) {
    std::string out = HiveHeader;
    for (const auto& key : hive.Keys) {
        if (key.Path.empty() && key.Values.empty())
            continue;
        out += "key ";
        AppendQuoted(out, key.Path);
        out += '\n';
        for (const auto& value : key.Values) {
            out += "value ";
            AppendQuoted(out, value.Name);
            out += ' ';
            out += std::to_string(value.Type);
            out += ' ';
            if (value.Data.empty())
                out += '-';
            for (const auto b : value.Data) {
                out += LowerHexDigits[b >> 4];
                out += LowerHexDigits[b & 15];
            }
            out += '\n';
        }
    }
    char trailer[32];
    std::snprintf(
        trailer, sizeof trailer, "end %08lx\n",
        crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())));
    return out + trailer;
}

} // namespace Folivant::Platform
