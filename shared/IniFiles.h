#pragma once

// The in-memory settings object: INI text split into sections of name=value
// lines, looked up without regard to case. It is filled once from the
// publication's settings entry and never written back.

#include "base/Classes.h"

#include <cstdint>
#include <vector>

namespace Folivant::Shared {

using TStringLines = std::vector<String>;

// Reads every byte from the stream's position to its end and splits the
// decoded text into lines. A UTF-8, UTF-16LE or UTF-16BE byte-order mark
// chooses the encoding; without one the bytes are in the ANSI code page.
// Lines end at CR, LF or CR LF; the text ends at its first NUL.
TStringLines StreamToLines(TStream& stream);
TStringLines TextToLines(const String& text);

enum class TIniEncoding { Utf16LE };

class TMemIniFile {
public:
    // The object has no backing file when fileName is empty; the encoding is
    // the one a save would use, and nothing is ever saved.
    explicit TMemIniFile(String fileName = String(), TIniEncoding encoding = TIniEncoding::Utf16LE);

    const String& FileName() const { return FFileName; }
    TIniEncoding Encoding() const { return FEncoding; }

    // Replaces the whole content with the sections read from lines.
    void SetStrings(const TStringLines& lines);
    void Clear();

    // The value of the last line named key in the last section named
    // section, or def. Names compare after Unicode upper-casing.
    String ReadString(const String& section, const String& key, const String& def) const;
    // The value as a 32-bit integer (decimal, or hexadecimal after "$", "x",
    // "0x"), or def when it is no such number.
    std::int32_t ReadInteger(const String& section, const String& key, std::int32_t def) const;
    // ReadInteger with 1 or 0 as default, true when not 0.
    bool ReadBool(const String& section, const String& key, bool def) const;

    // The sections in text order with their stored lines (name=value, or a
    // line without "=" unchanged).
    std::size_t SectionCount() const { return FSections.size(); }
    const String& SectionName(std::size_t index) const { return FSections.at(index).Name; }
    TStringLines SectionLines(std::size_t index) const;

private:
    struct TLine {
        String Text;      // name=value as stored
        String UpperName; // empty key part for lines without "="
        std::size_t ValueStart = 0;
        bool HasValue = false;
    };
    struct TSection {
        String Name;
        String UpperName;
        std::vector<TLine> Lines;
    };
    const TLine* FindLine(const String& section, const String& key) const;

    String FFileName;
    TIniEncoding FEncoding;
    std::vector<TSection> FSections;
};

// Converts text as ReadInteger does; false when it is no 32-bit number.
bool TryIniStrToInt(const String& text, std::int32_t& value);

} // namespace Folivant::Shared
