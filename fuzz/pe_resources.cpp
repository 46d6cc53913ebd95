// Arbitrary bytes as a Windows runtime given to the packer: read the
// resource tree, and where it reads, write FOLDATA into it. Only EPeError
// may leave; a written file must read back with FOLDATA holding the bytes
// written and every other resource with its bytes unchanged.
//
// With FOLIVANT_FUZZ_WRITE_SEEDS=<folder> the target writes seed executables
// (PE32 and PE32+, with and without resources) into the folder and exits.

#include "tools/PeResources.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace Folivant::Tools;

namespace {

void Put(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The smallest executable a linker makes: headers, one code section.
std::vector<std::uint8_t> Executable(bool is64) {
    std::vector<std::uint8_t> b(0x400, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put(b, 0x3C, 0x40, 4);
    std::memcpy(b.data() + 0x40, "PE\0\0", 4);
    const std::size_t optional = 0x58;
    Put(b, 0x44, is64 ? 0x8664 : 0x14C, 2);
    Put(b, 0x46, 1, 2);
    Put(b, 0x54, is64 ? 240 : 224, 2);
    Put(b, optional, is64 ? 0x20B : 0x10B, 2);
    Put(b, optional + 32, 0x1000, 4);
    Put(b, optional + 36, 0x200, 4);
    Put(b, optional + 56, 0x2000, 4);
    Put(b, optional + 60, 0x200, 4);
    Put(b, optional + (is64 ? 108 : 92), 16, 4);
    const std::size_t text = optional + (is64 ? 240 : 224);
    std::memcpy(b.data() + text, ".text", 5);
    Put(b, text + 8, 0x100, 4);
    Put(b, text + 12, 0x1000, 4);
    Put(b, text + 16, 0x200, 4);
    Put(b, text + 20, 0x200, 4);
    return b;
}

std::span<const std::uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

void WriteSeeds(const std::filesystem::path& folder) {
    const std::string style = "VCL_STYLE 1.0", icon = "icon", archive = "PK archive";
    int n = 0;
    for (const bool is64 : {false, true}) {
        const auto plain = Executable(is64);
        const auto rich = AddPeResources(
            plain, {{PeTypeName("VCLSTYLE"), PeResourceName("AMAKRITS"), 1033, Bytes(style)},
                    {PeTypeName("ICON"), PeResourceName("#1"), 0, Bytes(icon)},
                    {PeTypeName("RCDATA"), PeResourceName("FOLDATA"), 1033, Bytes(archive)}});
        for (const auto* seed : {&plain, &rich}) {
            std::ofstream out(folder / ("seed" + std::to_string(n++)), std::ios::binary);
            out.write(reinterpret_cast<const char*>(seed->data()),
                      static_cast<std::streamsize>(seed->size()));
        }
    }
}

[[noreturn]] void Fault(const char* what) {
    std::fprintf(stderr, "pe_resources: %s\n", what);
    std::abort();
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
    const std::span<const std::uint8_t> file(data, size);
    std::vector<TPeResource> before;
    try {
        const TPeImage image(file);
        before = image.Resources();
        for (const auto& r : before)
            if (r.Offset + r.Size > size)
                Fault("a resource's data lies outside the file");
    } catch (const EPeError&) {
        return 0;
    }
    const std::string payload = "FOLDATA bytes";
    const TPeName type = PeTypeName("RCDATA"), name = PeResourceName("FOLDATA");
    std::vector<std::uint8_t> written;
    try {
        written = AddPeResources(file, {{type, name, 1033, Bytes(payload)}});
    } catch (const EPeError&) {
        return 0;
    }
    try {
        const TPeImage image(written);
        const TPeResource* foldata = image.Find(type, name);
        if (foldata == nullptr || image.Data(*foldata).size() != payload.size() ||
            std::memcmp(image.Data(*foldata).data(), payload.data(), payload.size()) != 0)
            Fault("FOLDATA does not read back");
        for (const auto& r : before) {
            if (r.Type == type && r.Name == name)
                continue;
            bool found = false;
            for (const auto& w : image.Resources())
                found =
                    found || (w.Type == r.Type && w.Name == r.Name && w.Language == r.Language &&
                              w.Size == r.Size &&
                              std::memcmp(data + r.Offset, written.data() + w.Offset, r.Size) == 0);
            if (!found)
                Fault("a resource was lost");
        }
        if (image.StoredCheckSum() != PeCheckSum(written, image.OptionalHeaderOffset() + 64))
            Fault("wrong checksum");
    } catch (const EPeError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        Fault("the written file does not read back");
    }
    return 0;
}
