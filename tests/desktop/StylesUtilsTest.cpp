#include "desktop/StylesUtils.h"

#include "base/Text.h"
#include "platform/ExeResources.h"
#include "platform/gtk/FormsGtk.h"
#include "platform/gtk/StyleManagerGtk.h"

#include "support/TestSupport.h"

#include <gtk/gtk.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace Folivant::Platform;
using Folivant::String;
using Folivant::StringToUtf8;
using Folivant::Utf8ToString;
using Folivant::Shared::TStringList;
using Folivant::Shared::TStylesUtils;
using Folivant::Testing::RunProcess;
using Folivant::Testing::RuntimeExe;
using Folivant::Testing::TempDir;

namespace {

// The resource names and recorded names of the embedded styles.
const std::map<std::string, String> Styles = {
    {"AMAKRITS", u"Amakrits"},
    {"AMETHYSTKAMRI", u"Amethyst Kamri"},
    {"AQUAGRAPHITE", u"Aqua Graphite"},
    {"AQUALIGHTSLATE", u"Aqua Light Slate"},
    {"AURIC", u"Auric"},
    {"CARBON", u"Carbon"},
    {"CHARCOALDARKSLATE", u"Charcoal Dark Slate"},
    {"COBALTXEMEDIA", u"Cobalt XEMedia"},
    {"CYANDUSK", u"Cyan Dusk"},
    {"CYANNIGHT", u"Cyan Night"},
    {"EMERALDLIGHTSLATE", u"Emerald Light Slate"},
    {"GOLDENGRAPHITE", u"Golden Graphite"},
    {"ICEBERGCLASSICO", u"Iceberg Classico"},
    {"LAVENDERCLASSICO", u"Lavender Classico"},
    {"METROBLACK", u"Metro Black"},
    {"METROBLUE", u"Metro Blue"},
    {"METROGREEN", u"Metro Green"},
    {"RUBYGRAPHITE", u"Ruby Graphite"},
    {"SAPPHIREKAMRI", u"Sapphire Kamri"},
    {"SLATECLASSICO", u"Slate Classico"},
    {"SMOKEYQUARTZKAMRI", u"Smokey Quartz Kamri"},
    {"TURQUOISEGRAY", u"Turquoise Gray"},
};

String Cased(const String& s, bool upper) {
    String out = s;
    for (auto& c : out)
        if (c < 128)
            c = static_cast<char16_t>(upper ? std::toupper(c) : std::tolower(c));
    return out;
}

std::vector<std::uint8_t> StyleFile(const std::string& text) {
    std::vector<std::uint8_t> out(StyleFileSignature, StyleFileSignature + 13);
    uLongf size = compressBound(text.size());
    std::vector<std::uint8_t> packed(size);
    compress(packed.data(), &size, reinterpret_cast<const Bytef*>(text.data()), text.size());
    out.insert(out.end(), packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(size));
    return out;
}

// What a window of the program looks like right now: a caption, text, a
// text box, a button and a scroll bar, drawn offscreen.
std::vector<std::uint8_t> DrawSample() {
    GtkWidget* window = gtk_offscreen_window_new();
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    gtk_container_add(GTK_CONTAINER(window), box);
    GtkWidget* header = gtk_header_bar_new();
    gtk_header_bar_set_title(GTK_HEADER_BAR(header), "Caption");
    gtk_box_pack_start(GTK_BOX(box), header, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), gtk_label_new("Text"), FALSE, FALSE, 0);
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), "typed");
    gtk_box_pack_start(GTK_BOX(box), entry, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), gtk_button_new_with_label("Button"), FALSE, FALSE, 0);
    gtk_box_pack_start(
        GTK_BOX(box),
        gtk_scrollbar_new(GTK_ORIENTATION_HORIZONTAL, gtk_adjustment_new(10, 0, 100, 1, 10, 30)),
        FALSE, FALSE, 0);
    gtk_widget_show_all(window);
    GtkRequisition minimum{};
    gtk_widget_get_preferred_size(window, &minimum, nullptr);
    GtkAllocation allocation{0, 0, std::max(minimum.width, 160), std::max(minimum.height, 120)};
    gtk_widget_size_allocate(window, &allocation);
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 160, 120);
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(window, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    const auto* data = cairo_image_surface_get_data(surface);
    std::vector<std::uint8_t> pixels(data, data + cairo_image_surface_get_stride(surface) * 120);
    cairo_surface_destroy(surface);
    gtk_widget_destroy(window);
    return pixels;
}

std::vector<TStyleManager::TResource> RuntimeStyleResources() {
    std::vector<TStyleManager::TResource> out;
    const TExeResources runtime(RuntimeExe());
    for (const auto& info : runtime.Resources())
        if (SameResourceName(info.Type, "VCLSTYLE")) {
            const auto data = runtime.Data(info);
            out.push_back({info.Name, {data->begin(), data->end()}});
        }
    return out;
}

class StylesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
};

// Answers the message boxes shown meanwhile, recording their texts and
// buttons.
struct TBoxWatcher {
    std::vector<std::string> Texts;
    std::vector<std::vector<std::string>> Buttons;
    guint Source = 0;

    TBoxWatcher() { Source = g_timeout_add(30, Tick, this); }
    ~TBoxWatcher() { g_source_remove(Source); }

    static gboolean Tick(gpointer data) {
        auto* self = static_cast<TBoxWatcher*>(data);
        GList* windows = gtk_window_list_toplevels();
        for (GList* w = windows; w != nullptr; w = w->next) {
            if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data)))
                continue;
            gchar* text = nullptr;
            g_object_get(w->data, "text", &text, nullptr);
            self->Texts.emplace_back(text != nullptr ? text : "");
            g_free(text);
            std::vector<std::string> labels;
            G_GNUC_BEGIN_IGNORE_DEPRECATIONS
            GtkWidget* area = gtk_dialog_get_action_area(GTK_DIALOG(w->data));
            G_GNUC_END_IGNORE_DEPRECATIONS
            GList* buttons = gtk_container_get_children(GTK_CONTAINER(area));
            GtkButton* first = nullptr;
            for (GList* b = buttons; b != nullptr; b = b->next)
                if (GTK_IS_BUTTON(b->data)) {
                    first = first != nullptr ? first : GTK_BUTTON(b->data);
                    labels.emplace_back(gtk_button_get_label(GTK_BUTTON(b->data)));
                }
            g_list_free(buttons);
            self->Buttons.push_back(labels);
            if (first != nullptr)
                gtk_button_clicked(first);
            else
                gtk_window_close(GTK_WINDOW(w->data));
        }
        g_list_free(windows);
        return G_SOURCE_CONTINUE;
    }
};

} // namespace

TEST_F(StylesTest, EveryEmbeddedStyleIsAValidCompleteLook) {
    for (const auto& [resource, name] : Styles) {
        SCOPED_TRACE(resource);
        const TExeResources runtime(RuntimeExe());
        const TResourceInfo* info = runtime.Find("VCLSTYLE", resource);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->Language, 1033);
        const auto file = ParseStyleFile(*runtime.Data(*info));
        ASSERT_TRUE(file.has_value());
        EXPECT_EQ(file->Name, name);
        // Every rule of the sheet parses.
        GtkCssProvider* provider = gtk_css_provider_new();
        int errors = 0;
        g_signal_connect(
            provider, "parsing-error",
            G_CALLBACK(+[](GtkCssProvider*, GtkCssSection* section, GError* error, gpointer count) {
                ADD_FAILURE() << "line " << gtk_css_section_get_start_line(section) + 1 << ": "
                              << error->message;
                ++*static_cast<int*>(count);
            }),
            &errors);
        gtk_css_provider_load_from_data(provider, file->StyleSheet.data(),
                                        static_cast<gssize>(file->StyleSheet.size()), nullptr);
        EXPECT_EQ(errors, 0);
        g_object_unref(provider);
        // The parts of the program it must paint.
        for (const char* part :
             {"window", "headerbar", "dialog", "messagedialog", "button", "entry", "selection",
              "scrollbar slider", "placessidebar", "treeview", "filechooser"})
            EXPECT_NE(file->StyleSheet.find(part), std::string::npos) << part;
    }
}

TEST_F(StylesTest, EachRecordedNameInAnyCaseSelectsADistinctLook) {
    TStyleManager manager(RuntimeStyleResources());
    const auto names = manager.StyleNames();
    ASSERT_EQ(names.size(), 23u);
    EXPECT_EQ(names.front(), u"Windows");
    std::set<String> recorded(names.begin() + 1, names.end());
    std::set<String> expected;
    for (const auto& [resource, name] : Styles)
        expected.insert(name);
    EXPECT_EQ(recorded, expected);

    const auto desktop = DrawSample();
    std::map<std::vector<std::uint8_t>, String> looks;
    for (const auto& [resource, name] : Styles) {
        for (const bool upper : {false, true}) {
            ASSERT_TRUE(manager.SetStyle(Cased(name, upper))) << StringToUtf8(name);
            EXPECT_EQ(manager.ActiveStyleName(), name);
        }
        const auto look = DrawSample();
        EXPECT_NE(look, desktop) << StringToUtf8(name) << " looks like the desktop";
        const auto [at, added] = looks.emplace(look, name);
        EXPECT_TRUE(added) << StringToUtf8(name) << " looks like " << StringToUtf8(at->second);
        // The preview draws the style without making it active.
        GdkPixbuf* preview = DrawStylePreview(*manager.FindStyleFile(name), 120, 90, name);
        ASSERT_NE(preview, nullptr);
        EXPECT_EQ(gdk_pixbuf_get_width(preview), 120);
        EXPECT_EQ(gdk_pixbuf_get_height(preview), 90);
        EXPECT_TRUE(gdk_pixbuf_get_has_alpha(preview));
        g_object_unref(preview);
        EXPECT_EQ(manager.ActiveStyleName(), name);
    }
    // Unknown names change nothing; "windows" brings the desktop back.
    EXPECT_FALSE(manager.SetStyle(u"Metro Purple"));
    EXPECT_FALSE(manager.SetStyle(u""));
    EXPECT_EQ(manager.ActiveStyleName(), u"Turquoise Gray");
    ASSERT_TRUE(manager.SetStyle(u"WINDOWS"));
    EXPECT_EQ(manager.ActiveStyleName(), u"Windows");
    EXPECT_EQ(DrawSample(), desktop);
}

TEST_F(StylesTest, StyleFilesThatCannotBeLoadedAreNamedOnce) {
    const auto good = StyleFile("Good Style\nwindow { background-color: #123456; }\n");
    auto truncated = StyleFile("Cut Short\nwindow { color: red; }\n");
    truncated.resize(truncated.size() - 4);
    std::vector<std::uint8_t> bomb = StyleFile("Huge\n" + std::string(5u << 20, ' '));
    struct Case {
        std::vector<TStyleManager::TResource> Resources;
        std::string Message;
    };
    const Case cases[] = {
        {{{"GOOD", good}, {"BROKEN", {'V', 'C', 'L'}}}, "Unable to load style 'BROKEN'"},
        {{{"CUT", truncated}, {"GOOD", good}}, "Unable to load style 'CUT'"},
        {{{"GOOD", good},
          {"AGAIN", StyleFile("GOOD STYLE\n")},
          {"NONAME", StyleFile("\nwindow {}\n")},
          {"NOTUTF8", StyleFile("Bad \xff\xfe\n")},
          {"SYSTEM", StyleFile("windows\n")},
          {"HUGE", bomb}},
         "Unable to load styles: AGAIN, NONAME, NOTUTF8, SYSTEM, HUGE"},
    };
    for (const auto& c : cases) {
        TStyleManager manager(c.Resources);
        try {
            manager.SetStyle(u"Good Style");
            ADD_FAILURE() << "no failure for " << c.Message;
        } catch (const EStyleError& e) {
            EXPECT_EQ(e.what(), c.Message);
        }
        // Raised once per run; the valid files are registered all the same.
        EXPECT_EQ(manager.StyleNames(), std::vector<String>({u"Windows", u"Good Style"}));
        EXPECT_TRUE(manager.SetStyle(u"good style"));
        EXPECT_EQ(manager.ActiveStyleName(), u"Good Style");
    }
    // The program's own table, whose style resource does not fit inside the
    // file: a copy of this program, run as the helper below.
    TempDir dir;
    const auto copy = dir / "lying_ui_tests";
    WriteExeResources(std::filesystem::read_symlink("/proc/self/exe"), copy,
                      {{"VCLSTYLE", "FITS", 1033, "x", {}}});
    std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(-16, std::ios::end);
    std::uint64_t directory = 0;
    file.read(reinterpret_cast<char*>(&directory), 8);
    // count, "VCLSTYLE", "FITS", language, offset: then the size.
    file.seekp(static_cast<std::streamoff>(directory + 4 + 2 + 8 + 2 + 4 + 2 + 8));
    const std::uint64_t tooLarge = 1u << 30;
    file.write(reinterpret_cast<const char*>(&tooLarge), 8);
    file.close();
    const auto result =
        RunProcess({copy.string(), "--gtest_filter=Styles.HelperInACopyWithAStyleOutsideTheFile"},
                   {"FOLIVANT_STYLES_HELPER=1"}, 120);
    EXPECT_EQ(result.ExitCode, 0) << result.Stdout << result.Stderr;
    EXPECT_NE(result.Stdout.find("[  PASSED  ] 1 test"), std::string::npos) << result.Stdout;
}

// Runs only as the child of StyleFilesThatCannotBeLoadedAreNamedOnce,
// in a copy of this program whose one style resource lies outside the file.
TEST(Styles, HelperInACopyWithAStyleOutsideTheFile) {
    if (std::getenv("FOLIVANT_STYLES_HELPER") == nullptr)
        GTEST_SKIP() << "helper of another test";
    TStyleManager own;
    try {
        own.StyleNames();
        ADD_FAILURE() << "a resource outside the file was read";
    } catch (const EStyleError& e) {
        EXPECT_STREQ(e.what(), "Unable to load style 'FITS'");
    }
    EXPECT_EQ(own.StyleNames(), std::vector<String>({u"Windows"}));
}

// Runs only as the child of TheRuntimesStylesApplyThroughTheRealResources,
// in a copy of this program that carries the runtime's style resources.
TEST_F(StylesTest, HelperInACopyWithStyles) {
    if (std::getenv("FOLIVANT_STYLES_HELPER") == nullptr)
        GTEST_SKIP() << "helper of another test";
    EXPECT_EQ(TStylesUtils::GetActiveTheme(), u"Windows");
    TStringList list;
    list.Add(u"left over");
    TStylesUtils::GetAvailables(list, false);
    ASSERT_EQ(list.Count(), 23u);
    EXPECT_EQ(list[0], u"Windows");
    EXPECT_FALSE(list.Sorted());
    TStylesUtils::GetAvailables(list, true);
    ASSERT_EQ(list.Count(), 23u);
    EXPECT_TRUE(list.Sorted());
    EXPECT_TRUE(std::is_sorted(
        list.Items().begin(), list.Items().end(),
        [](const String& a, const String& b) { return CompareStyleNames(a, b) < 0; }));
    EXPECT_EQ(list[0], u"Amakrits");
    EXPECT_EQ(list[22], u"Windows");
    list.Add(u"aaa");
    EXPECT_EQ(list[0], u"aaa");

    const auto desktop = DrawSample();
    TBoxWatcher boxes;
    TStylesUtils::TrySetStyle(u"mEtRo BlUe", true);
    EXPECT_EQ(TStylesUtils::GetActiveTheme(), u"Metro Blue");
    const auto metro = DrawSample();
    EXPECT_NE(metro, desktop);
    TStylesUtils::TrySetStyle(u"Metro Purple", true);
    TStylesUtils::TrySetStyle(u"", true);
    TStylesUtils::TrySetStyle(u"Quiet Failure", false);
    EXPECT_EQ(boxes.Texts,
              std::vector<std::string>({"Style 'Metro Purple' not found", "Style '' not found"}));
    for (const auto& labels : boxes.Buttons)
        EXPECT_EQ(labels, std::vector<std::string>({"Close"}));
    EXPECT_EQ(TStylesUtils::GetActiveTheme(), u"Metro Blue");
    EXPECT_EQ(DrawSample(), metro);

    TImage preview(200, 150);
    GtkImage* image = NativeImage(preview);
    try {
        TStylesUtils::DrawThemePreview(u"Windows", &preview);
        ADD_FAILURE() << "a preview of the desktop look";
    } catch (const EStyleError& e) {
        EXPECT_STREQ(e.what(), "Not available \"Windows\" preview.");
    }
    EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(image)), GTK_IMAGE_EMPTY);
    TStylesUtils::DrawThemePreview(u"Carbon", &preview);
    GdkPixbuf* carbon = gtk_image_get_pixbuf(GTK_IMAGE(image));
    ASSERT_NE(carbon, nullptr);
    EXPECT_EQ(gdk_pixbuf_get_width(carbon), 200);
    EXPECT_EQ(gdk_pixbuf_get_height(carbon), 150);
    GBytes* carbonPixels = gdk_pixbuf_read_pixel_bytes(carbon);
    TStylesUtils::DrawThemePreview(u"Auric", &preview);
    GBytes* auricPixels = gdk_pixbuf_read_pixel_bytes(gtk_image_get_pixbuf(GTK_IMAGE(image)));
    EXPECT_FALSE(g_bytes_equal(carbonPixels, auricPixels));
    g_bytes_unref(carbonPixels);
    g_bytes_unref(auricPixels);
    // The previews left the active style alone.
    EXPECT_EQ(TStylesUtils::GetActiveTheme(), u"Metro Blue");
}

TEST(Styles, TheRuntimesStylesApplyThroughTheRealResources) {
    TempDir dir;
    std::vector<TNewResource> styles;
    for (const auto& resource : RuntimeStyleResources())
        styles.push_back({"VCLSTYLE",
                          resource.Name,
                          1033,
                          std::string(resource.Data.begin(), resource.Data.end()),
                          {}});
    ASSERT_EQ(styles.size(), 22u);
    const auto copy = dir / "styled_ui_tests";
    WriteExeResources(std::filesystem::read_symlink("/proc/self/exe"), copy, styles);
    const auto result =
        RunProcess({copy.string(), "--gtest_filter=StylesTest.HelperInACopyWithStyles"},
                   {"FOLIVANT_STYLES_HELPER=1"}, 120);
    EXPECT_EQ(result.ExitCode, 0) << result.Stdout << result.Stderr;
    EXPECT_NE(result.Stdout.find("[  PASSED  ] 1 test"), std::string::npos) << result.Stdout;
}
