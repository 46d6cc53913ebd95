// folivant-pack COMMAND ...: the command table and the one place where
// failures become a line on standard error and exit code 2.

#include "tools/PackTool.h"

#include "base/Text.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

using namespace Folivant::Tools;

namespace {

struct TCommand {
    const char* Name;
    const char* Usage;
    const char* Summary;
    int (*Run)(std::span<const std::string> args);
};

// To add a command: write tools/<Name>Command.cpp, declare its function in
// PackTool.h and add its line here.
const TCommand Commands[] = {
    {"pack",
     "pack SITE_DIR [--config FILE] [--runtime FILE] [--icon PNG|ICO] [--title TEXT]\n"
     "       [--company TEXT] [--version A.B.C.D] [--check] -o OUT",
     "pack a site folder into a publication executable (--check: check it first;\n"
     "    --icon: a PNG image, or for a Windows runtime also an ICO file, all of whose images\n"
     "    become the executable's icon group; --title, --company, --version (1 to 4 numbers\n"
     "    up to 65535): a Windows runtime's version information, an error for a Linux runtime)",
     PackCommand},
    {"check", "check SITE_DIR [--config FILE]",
     "report references to missing entries and settings the runtime would ignore", CheckCommand},
    {"run", "run SITE_DIR [--config FILE] [--runtime FILE] [--icon PNG] [-- ARG...]",
     "pack into a temporary file, run it with the arguments, remove it", RunCommand},
    {"embed", "embed ARCHIVE [--runtime FILE] -o OUT",
     "put an existing archive, byte for byte, into a publication executable", EmbedCommand},
    {"list", "list PUB", "list the entries: index, name, method, compressed and full size",
     ListCommand},
    {"find", "find PUB NAME", "print the index the runtime finds for NAME, or -1", FindCommand},
    {"cat", "cat PUB NAME", "write the bytes the runtime extracts for NAME", CatCommand},
    {"settings", "settings PUB", "print every publication setting as the runtime reads it",
     SettingsCommand},
    {"resolve", "resolve PUB URL", "print the entry name URL resolves to, then the bytes served",
     ResolveCommand},
    {"resources", "resources LIST --runtime FILE -o OUT",
     "append the runtime's own resources listed in LIST", ResourcesCommand},
};

void PrintHelp(std::FILE* to) {
    std::fputs("usage: folivant-pack COMMAND [ARGS]\n\n"
               "PUB is a publication executable or a bare ZIP archive.\n\ncommands:\n",
               to);
    for (const TCommand& c : Commands)
        std::fprintf(to, "  %-72s %s\n", c.Usage, c.Summary);
}

// A failure is reported as exactly one line.
void Report(const char* command, std::string message) {
    for (char& c : message) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    std::fprintf(stderr, "folivant-pack %s: %s\n", command, message.c_str());
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        PrintHelp(stderr);
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        PrintHelp(stdout);
        return 0;
    }
    for (const TCommand& c : Commands) {
        if (args[0] != c.Name)
            continue;
        try {
            return c.Run(std::span<const std::string>(args).subspan(1));
        } catch (const Folivant::Exception& e) {
            Report(c.Name, Utf8(e.Message()));
        } catch (const std::exception& e) {
            Report(c.Name, e.what());
        }
        return 2;
    }
    std::fprintf(stderr, "folivant-pack: unknown command %s (see folivant-pack --help)\n",
                 args[0].c_str());
    return 2;
}
