#include "platform/ui/StylePalette.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

using namespace Folivant;
using Platform::ReadStylePalette;
using Platform::TRgb;

namespace {

TEST(StylePalette, ColoursReadInEveryFormAndMissingOnesTakeTheirKin) {
    struct TCase {
        const char* Sheet;
        bool HasPalette;
        TRgb Background, Base, Hover, Caption;
    };
    const TRgb white{255, 255, 255};
    const TCase cases[] = {
        // Short, long and very long forms; fv_base given, the rest from kin.
        {"@define-color fv_bg #abc; @define-color fv_fg #000000;\n"
         "@define-color fv_base #123456789; @define-color fv_accent #FfEeDdCcBbAa;",
         true,
         {0xAA, 0xBB, 0xCC},
         {0x12, 0x45, 0x78},
         {0xAA, 0xBB, 0xCC},
         {0xFF, 0xDD, 0xBB}},
        // A later definition wins; a reference to one defined before counts.
        {"@define-color fv_bg #111111; @define-color fv_fg #222222;"
         "@define-color fv_bg #ffffff; @define-color shade #010203;"
         "@define-color fv_button @shade; @define-color fv_caption @fv_fg;",
         true,
         white,
         white,
         {1, 2, 3},
         {0x22, 0x22, 0x22}},
        // Bad hex, a wrong digit count, an unknown reference: as if undefined.
        {"@define-color fv_bg #ffffff; @define-color fv_fg #000;"
         "@define-color fv_base #12345g; @define-color fv_hover #1234;"
         "@define-color fv_button @nothing; @define-color fv_caption rgb(1,2,3);",
         true,
         white,
         white,
         white,
         {0, 0, 0}},
        // Definitions inside comments do not count; without fv_bg no palette.
        {"/* @define-color fv_bg #ffffff; */ @define-color fv_fg #000;", false, {}, {}, {}, {}},
        {"@define-color fv_bg #ffffff; @define-color fv_fg #00", false, {}, {}, {}, {}},
        {"@define-color fv_bgx #fff; @define-color fv_fg #000; @define-colorfv_bg #fff;",
         false,
         {},
         {},
         {},
         {}},
        {"", false, {}, {}, {}, {}},
        {"@define-color", false, {}, {}, {}, {}},
        {"@define-color fv_bg #fff; @define-color fv_fg #000; /* unclosed",
         true,
         white,
         white,
         white,
         {0, 0, 0}},
    };
    for (const TCase& c : cases) {
        const auto palette = ReadStylePalette(c.Sheet);
        ASSERT_EQ(palette.has_value(), c.HasPalette) << c.Sheet;
        if (!palette)
            continue;
        EXPECT_EQ((*palette)[Platform::scBackground], c.Background) << c.Sheet;
        EXPECT_EQ((*palette)[Platform::scBase], c.Base) << c.Sheet;
        EXPECT_EQ((*palette)[Platform::scHover], c.Hover) << c.Sheet;
        EXPECT_EQ((*palette)[Platform::scCaption], c.Caption) << c.Sheet;
    }
}

// Every style the runtime carries defines each part itself, and no two
// styles share a palette.
TEST(StylePalette, EachShippedStyleHasAPaletteOfItsOwn) {
    const auto folder = Testing::SourceDir() / "resources" / "styles";
    std::set<std::string> seen;
    int styles = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.path().extension() != ".style")
            continue;
        ++styles;
        const std::string sheet = Testing::ReadFileBytes(entry.path());
        for (const auto name : Platform::StylePaletteNames)
            EXPECT_NE(sheet.find("@define-color " + std::string(name) + " #"), std::string::npos)
                << entry.path() << " " << name;
        const auto palette = ReadStylePalette(sheet);
        ASSERT_TRUE(palette) << entry.path();
        std::string key;
        for (const TRgb& colour : palette->Colours)
            key += {static_cast<char>(colour.R), static_cast<char>(colour.G),
                    static_cast<char>(colour.B)};
        EXPECT_TRUE(seen.insert(key).second) << entry.path();
    }
    EXPECT_EQ(styles, 22);
}

} // namespace
