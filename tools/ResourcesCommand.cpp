// resources LIST --runtime FILE -o OUT: appends the runtime's own resources.
// Each line of LIST is "TYPE NAME LANGUAGE ENCODING PATH" (PATH relative to
// the list's folder, "#" starts a comment line). ENCODING "raw" stores the
// file as it is; "vclstyle" stores "VCL_STYLE 1.0" and a zlib stream of it.

#include "tools/PackTool.h"

#include "base/Text.h"

#include <zlib.h>

#include <fstream>
#include <sstream>

namespace Folivant::Tools {

namespace {

const char* const Usage = "folivant-pack resources LIST --runtime FILE -o OUT";

std::string ReadWholeFile(const std::filesystem::path& path, const std::string& where) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EPackError(Utf8ToString(where + ": cannot read " + path.string()));
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad())
        throw EPackError(Utf8ToString(where + ": cannot read " + path.string()));
    return bytes.str();
}

std::string StyleResource(const std::string& bytes, const std::string& where) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    std::string out = "VCL_STYLE 1.0";
    const std::size_t header = out.size();
    out.resize(header + size);
    if (compress2(reinterpret_cast<Bytef*>(out.data() + header), &size,
                  reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        throw EPackError(Utf8ToString(where + ": compression failed"));
    out.resize(header + size);
    return out;
}

} // namespace

int ResourcesCommand(std::span<const std::string> args) {
    const TArguments a = ParseArguments(args, {"runtime", "output"}, 1, Usage);
    const auto runtime = a.Option("runtime");
    const auto output = a.Option("output");
    if (!runtime || !output)
        throw EPackError(
            Utf8ToString(std::string("--runtime and -o are required; usage: ") + Usage));
    const std::filesystem::path list = a.Positional[0];
    const std::filesystem::path folder = list.has_parent_path() ? list.parent_path() : ".";

    std::istringstream lines(ReadWholeFile(list, list.string()));
    std::vector<Platform::TNewResource> resources;
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        const std::string where = list.string() + ":" + std::to_string(number);
        std::istringstream fields(line);
        std::string type, name, language, encoding, path;
        if (!(fields >> type) || type[0] == '#')
            continue;
        if (!(fields >> name >> language >> encoding) || !(fields >> std::ws) ||
            !std::getline(fields, path) || path.empty())
            throw EPackError(Utf8ToString(where + ": expected TYPE NAME LANGUAGE ENCODING PATH"));
        while (!path.empty() && (path.back() == ' ' || path.back() == '\t' || path.back() == '\r'))
            path.pop_back();
        char* end = nullptr;
        const unsigned long lang = std::strtoul(language.c_str(), &end, 10);
        if (end == language.c_str() || *end != 0 || lang > 0xFFFF)
            throw EPackError(Utf8ToString(where + ": bad language " + language));
        Platform::TNewResource r;
        r.Type = type;
        r.Name = name;
        r.Language = static_cast<std::uint16_t>(lang);
        const std::string bytes = ReadWholeFile(folder / path, where);
        if (encoding == "raw")
            r.Bytes = bytes;
        else if (encoding == "vclstyle")
            r.Bytes = StyleResource(bytes, where);
        else
            throw EPackError(Utf8ToString(where + ": unknown encoding " + encoding));
        resources.push_back(std::move(r));
    }
    WriteRuntimeResources(*runtime, *output, resources);
    return 0;
}

} // namespace Folivant::Tools
