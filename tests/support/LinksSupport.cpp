#include "LinksSupport.h"

#include "base/Classes.h"
#include "archive/ZipWriter.h"

#include <cmath>

namespace Folivant::Testing {

namespace {

void PutU16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void PutU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

} // namespace

WavImage MakeWav(unsigned frames, unsigned rate, unsigned channels) {
    WavImage image;
    for (unsigned i = 0; i < frames; ++i)
        for (unsigned c = 0; c < channels; ++c) {
            const double v = std::sin(i * 0.05 * (c + 1)) * 12000.0 + (i % 7) * 3.0;
            PutU16(image.Pcm, static_cast<std::uint16_t>(static_cast<std::int16_t>(v)));
        }
    const auto dataSize = static_cast<std::uint32_t>(image.Pcm.size());
    std::string& f = image.File;
    f += "RIFF";
    PutU32(f, 36 + dataSize);
    f += "WAVEfmt ";
    PutU32(f, 16);
    PutU16(f, 1);
    PutU16(f, static_cast<std::uint16_t>(channels));
    PutU32(f, rate);
    PutU32(f, rate * channels * 2);
    PutU16(f, static_cast<std::uint16_t>(channels * 2));
    PutU16(f, 16);
    f += "data";
    PutU32(f, dataSize);
    f += image.Pcm;
    return image;
}

std::uint32_t Fnv1a(const std::string& bytes) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : bytes)
        hash = (hash ^ c) * 16777619u;
    return hash;
}

std::string MakeArchive(const std::vector<std::pair<std::string, std::string>>& entries) {
    TMemoryStream out;
    Archive::TZipWriter writer(out);
    for (const auto& [name, content] : entries)
        writer.AddBytes(name, content);
    writer.Finish();
    return out.ToString();
}

} // namespace Folivant::Testing
