#include "platform/ui/Forms.h"

#include "platform/gtk/FormsGtk.h"

#include "support/MainLoopSupport.h"

#include <gtk/gtk.h>
#include <gtest/gtest.h>

using namespace Folivant::Platform;
using Folivant::Testing::PumpUntil;

namespace {

class FormsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
};

} // namespace

TEST_F(FormsTest, BorderStylesGiveTheirFrames) {
    struct Case {
        TFormBorderStyle Style;
        bool Decorated;
        bool Resizable;
        GdkWindowTypeHint Hint;
    };
    const Case cases[] = {
        {bsNone, false, false, GDK_WINDOW_TYPE_HINT_NORMAL},
        {bsSingle, true, false, GDK_WINDOW_TYPE_HINT_NORMAL},
        {bsSizeable, true, true, GDK_WINDOW_TYPE_HINT_NORMAL},
        {bsDialog, true, false, GDK_WINDOW_TYPE_HINT_DIALOG},
        {bsToolWindow, true, false, GDK_WINDOW_TYPE_HINT_UTILITY},
        {bsSizeToolWin, true, true, GDK_WINDOW_TYPE_HINT_UTILITY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.Style));
        TForm form;
        // From another style, so that nothing of it stays behind.
        form.SetBorderStyle(c.Style == bsDialog ? bsToolWindow : bsDialog);
        form.SetBorderStyle(c.Style);
        GtkWindow* window = NativeWindow(form);
        EXPECT_EQ(gtk_window_get_decorated(window), c.Decorated);
        EXPECT_EQ(gtk_window_get_resizable(window), c.Resizable);
        EXPECT_EQ(gtk_window_get_type_hint(window), c.Hint);
    }
}

TEST_F(FormsTest, CloseRequestsGoToTheHandlerOrHideTheForm) {
    TForm plain;
    plain.Show();
    plain.Close();
    EXPECT_TRUE(PumpUntil([&] { return !plain.Visible(); }));
    EXPECT_TRUE(plain.HandleAllocated());

    TForm handled;
    int requests = 0;
    handled.OnCloseQuery = [&] { ++requests; };
    handled.Show();
    handled.Close();
    EXPECT_TRUE(PumpUntil([&] { return requests == 1; }));
    EXPECT_TRUE(handled.Visible()) << "the handler decides";
}

// A window destroyed from outside leaves a form and controls that answer
// without touching it.
TEST_F(FormsTest, AFormWhoseWindowIsGoneStaysUsable) {
    TForm form;
    TEdit edit(form, 0, 0, 100, 20);
    TImage image(form, 0, 30, 16, 16);
    edit.SetText(u"text");
    EXPECT_EQ(edit.Text(), u"text");
    gtk_widget_destroy(GTK_WIDGET(NativeWindow(form)));
    EXPECT_FALSE(form.HandleAllocated());
    EXPECT_FALSE(edit.HandleAllocated());
    EXPECT_EQ(edit.Text(), u"");
    EXPECT_EQ(form.ShowModal(), mrCancel);
    form.SetCaption(u"still there");
    form.Show();
    EXPECT_FALSE(form.Visible());
    EXPECT_EQ(image.ClientWidth(), 0);
    TEdit late(form, 0, 0, 10, 10);
    EXPECT_FALSE(late.HandleAllocated());
}
