// The program's own resources on Windows come from its resource section
// through the system's resource functions: RCDATA, a type of the program's
// own, and the icon group given back as the icon file it was made from.
#include "platform/ProgramResources.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Folivant {
namespace {

std::string Text(const std::optional<std::span<const std::uint8_t>>& data) {
    return data ? std::string(reinterpret_cast<const char*>(data->data()), data->size())
                : std::string("(none)");
}

TEST(WindowsProgramResources, TheProgramReadsItsOwnResources) {
    using Platform::OwnResource;
    const auto source = Testing::SourceDir();
    const std::string icon = Testing::ReadFileBytes(source / "tests" / "windows" / "probe.ico");
    const std::string style =
        Testing::ReadFileBytes(source / "resources" / "styles" / "Amakrits.style");

    EXPECT_EQ(Text(OwnResource("RCDATA", "FOLDATA")), icon);
    EXPECT_EQ(Text(OwnResource("rcdata", "FolData")), icon) << "names ignore letter case";
    EXPECT_EQ(Text(OwnResource("VCLSTYLE", "Amakrits")), style);
    EXPECT_EQ(Text(OwnResource("ICON", "MAINICON")), icon);
    // Asked again, the same bytes.
    EXPECT_EQ(OwnResource("ICON", "MAINICON")->data(), OwnResource("icon", "mainicon")->data());

    EXPECT_FALSE(OwnResource("RCDATA", "MISSING"));
    EXPECT_FALSE(OwnResource("VCLSTYLE", "FOLDATA"));
    EXPECT_FALSE(OwnResource("NOSUCHTYPE", "FOLDATA"));
    EXPECT_EQ(Platform::OwnResourceNames("VCLSTYLE"),
              (std::vector<std::string>{"AMAKRITS", "KEYLOCK"}));
    EXPECT_TRUE(Platform::OwnResourceNames("NOSUCHTYPE").empty());
}

} // namespace
} // namespace Folivant
