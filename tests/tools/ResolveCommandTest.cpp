#include "support/TestSupport.h"
#include "support/ZipSupport.h"

#include <gtest/gtest.h>

using namespace Folivant::Testing;

TEST(ResolveCommand, PrintsTheEntryNameAndTheServedBytes) {
    TempDir dir;
    WriteFileBytes(dir / "pub.zip", BuildZip([](Folivant::Archive::TZipWriter& w) {
                       w.AddBytes("site/index.html", "<html>index</html>");
                       w.AddBytes("site/My Photo.jpg", std::string("\0\1\2", 3));
                       w.AddBytes("site/empty.txt", "");
                       w.AddBytes("site/\xc3\xa9t\xc3\xa9.html", "ete");
                   }));
    const struct {
        const char* Url;
        std::string Out;
    } cases[] = {
        {"fvp://site/index.html", "site/index.html\n<html>index</html>"},
        {"FVP:///site/index.html/?lang=en#top", "site/index.html/\n"},
        {"fvp://SITE/INDEX.HTML#x", "SITE/INDEX.HTML\n<html>index</html>"},
        {"fvp://site/My%20Photo.jpg", std::string("site/My Photo.jpg\n\0\1\2", 21)},
        {"fvp://site/empty.txt", "site/empty.txt\n"},
        {"fvp://site/%C3%A9t%C3%A9.html", "site/\xc3\xa9t\xc3\xa9.html\nete"},
        {"fvp://site/missing.html", "site/missing.html\n"},
        {"fvp://site/100%.html", "\n"},
        {"fvp:", "\n"},
        {"http://site/index.html", "\n"},
        {"no scheme at all", "\n"},
    };
    for (const auto& c : cases) {
        const auto r =
            RunProcess({PackTool().string(), "resolve", (dir / "pub.zip").string(), c.Url});
        EXPECT_EQ(r.ExitCode, 0) << c.Url << ": " << r.Stderr;
        EXPECT_EQ(r.Stdout, c.Out) << c.Url;
    }
    const auto bad =
        RunProcess({PackTool().string(), "resolve", (dir / "nothing.zip").string(), "fvp://x"});
    EXPECT_EQ(bad.ExitCode, 2);
}
