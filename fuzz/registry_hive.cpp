// Arbitrary bytes as the registry's hive file: read as they are, and once
// more with the right checksum line appended, so that the body's grammar is
// reached and not only the checksum. Nothing may crash, and a text that
// reads as a hive must write out as a text that reads back as the same hive
// and writes out the same again.
//
// With FOLIVANT_FUZZ_WRITE_SEEDS=<folder> the target writes its seed hive
// bodies into the folder and exits.

#include "platform/RegistryHive.h"

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

using namespace Folivant;
using namespace Folivant::Platform;

namespace {

void CheckRoundTrip(std::string_view text) {
    THive hive;
    if (!ParseHive(text, hive))
        return;
    const std::string written = SerializeHive(hive);
    THive again;
    if (!ParseHive(written, again) || SerializeHive(again) != written)
        __builtin_trap();
}

std::string Sealed(std::string_view body) {
    char trailer[32];
    std::snprintf(
        trailer, sizeof trailer, "end %08lx\n",
        crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size())));
    return std::string(body) + trailer;
}

void WriteSeeds(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder);
    THive hive;
    hive.Keys.push_back(THiveKey{u"", {THiveValue{u"root", 1, {0x41, 0}}}});
    hive.Keys.push_back(
        THiveKey{u"Software\\Folivant", {THiveValue{u"Name", 4, {0x11, 0x27, 0, 0}}}});
    hive.Keys.push_back(THiveKey{u"Software\\Folivant\\Deep",
                                 {THiveValue{u"q\"b\\s\t\u00E9\xD800", 3, {}},
                                  THiveValue{u"\U0001F600", 11, {1, 2, 3, 4, 5, 6, 7, 8}}}});
    // The body without its checksum line, as the sealed reading sees it.
    std::string text = SerializeHive(hive);
    text.erase(text.rfind("end "));
    std::ofstream(folder / "seed-0.txt", std::ios::binary) << text;
    std::ofstream(folder / "seed-1.txt", std::ios::binary) << Sealed(text);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (const char* folder = std::getenv("FOLIVANT_FUZZ_WRITE_SEEDS");
        folder != nullptr && *folder != 0) {
        WriteSeeds(folder);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    CheckRoundTrip(text);
    CheckRoundTrip(Sealed(text));
    return 0;
}
