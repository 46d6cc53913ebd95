// The platform's window-level services on Windows, as the system runs them:
// message boxes and the save dialog driven from a timer of their own modal
// loop, sound from a memory image, the shell's open verb, the names and
// text widths of the system, and the styles' palettes on the windows.
#include "platform/ui/Application.h"
#include "platform/ui/Forms.h"
#include "platform/ui/MainIcon.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/SaveDialog.h"
#include "platform/ui/Shell.h"
#include "platform/ui/Sound.h"
#include "platform/ui/StyleManager.h"
#include "platform/ui/StylePalette.h"
#include "platform/ui/SystemInfo.h"
#include "platform/ui/TrayIcon.h"

#include "base/Text.h"
#include "platform/windows/FormsWindows.h"
#include "platform/windows/PictureWindows.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>
#undef MessageBox

#include <commdlg.h>
#include <dlgs.h>
#include <shellapi.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace Folivant {
namespace {

// The message box's flags and answers by the platform's names, which have
// the system's values.
using Platform::IDCANCEL;
using Platform::IDCLOSE;
using Platform::IDNO;
using Platform::IDOK;
using Platform::IDYES;
using Platform::MB_ICONERROR;
using Platform::MB_ICONQUESTION;
using Platform::MB_OK;
using Platform::MB_OKCANCEL;
using Platform::MB_YESNO;

// Runs action once from the modal loop that the next dialog of this thread
// runs: a thread timer fires only from a message loop.
std::function<void(HWND)> TimerAction;

void CALLBACK RunTimerAction(HWND, UINT, UINT_PTR timer, DWORD) {
    const HWND active = GetActiveWindow();
    if (active == nullptr)
        return; // The dialog is not up yet; the timer fires again.
    KillTimer(nullptr, timer);
    TimerAction(active);
}

void WhenDialogShows(std::function<void(HWND)> action) {
    TimerAction = std::move(action);
    SetTimer(nullptr, 0, 50, RunTimerAction);
}

std::wstring WindowText(HWND window) {
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    return text;
}

TEST(WindowsMessageBox, ClosingAnswersAsTheCloseButtonWould) {
    struct TCase {
        unsigned Flags;
        int Answer;
        const wchar_t* FirstButton;
    };
    // The flags and answers are named by the system's macros, which have
    // the interface's values.
    const TCase cases[] = {
        {MB_YESNO | MB_ICONQUESTION, IDNO, L"&Yes"},
        {MB_OKCANCEL, IDCANCEL, L"OK"},
        {Platform::MB_CLOSE | MB_ICONERROR, IDCLOSE, L"Close"},
    };
    for (const TCase& test : cases) {
        std::wstring caption, button;
        WhenDialogShows([&](HWND box) {
            caption = WindowText(box);
            const HWND first = GetDlgItem(box, (test.Flags & 0xF) == MB_YESNO ? IDYES : IDOK);
            button = WindowText(first);
            Platform::CloseModalWindows();
        });
        EXPECT_EQ(Platform::MessageBox(u"Text", u"Caption", test.Flags), test.Answer) << test.Flags;
        EXPECT_EQ(caption, L"Caption");
        EXPECT_EQ(button, test.FirstButton) << test.Flags;
    }
}

// Ends the loop of a test that went wrong instead of letting it hang.
void CALLBACK EndStuckLoop(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    Platform::TerminateMessageLoop();
}

TEST(WindowsApplication, PostedCallsRunInOrderAndOutermostActionsWaitForModalLoops) {
    ASSERT_TRUE(Platform::InitializeApplication("platform_ui_tests"));
    std::vector<std::string> events;
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i)
            Platform::PostCall([&events, i] { events.push_back("call" + std::to_string(i)); });
    });
    poster.join();
    Platform::PostCall([&] {
        Platform::WhenInOutermostLoop([&] {
            events.push_back("outermost");
            Platform::TerminateMessageLoop();
        });
        // The box's own loop runs the timers meanwhile; the action waits.
        WhenDialogShows([&](HWND) {
            events.push_back("box");
            Platform::CloseModalWindows();
        });
        Platform::MessageBox(u"Text", u"Caption", MB_OK);
        events.push_back("box closed");
        EXPECT_TRUE(Platform::MessageLoopRunning());
    });
    const UINT_PTR guard = SetTimer(nullptr, 0, 20000, EndStuckLoop);
    Platform::RunMessageLoop();
    KillTimer(nullptr, guard);
    EXPECT_FALSE(Platform::MessageLoopRunning());
    const std::vector<std::string> expected{"call0", "call1",      "call2",
                                            "box",   "box closed", "outermost"};
    EXPECT_EQ(events, expected);
    EXPECT_EQ(Platform::ApplicationTitle(), u"platform_ui_tests");
    EXPECT_EQ(Platform::ApplicationTitleOf(u"C:\\Books.D\\MyBOOK.v2.exe"), u"Mybook");
}

TEST(WindowsTrayIcon, ShowsAndCountsLeftClicksOnce) {
    int clicks = 0;
    auto icon = std::make_unique<Platform::TTrayIcon>(u"Hint", [&] { ++clicks; });
    EXPECT_EQ(icon->Kind(), Platform::TTrayIcon::tkStatusIcon);
    const HWND window = FindWindowW(L"FolivantTrayIcon", nullptr);
    ASSERT_NE(window, nullptr);
    // The mouse events as the notification area sends them.
    auto send = [window](UINT event) { SendMessageW(window, WM_APP + 20, 1, event); };
    send(WM_LBUTTONDOWN);
    send(WM_LBUTTONUP);
    EXPECT_EQ(clicks, 1);
    for (const UINT event : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
        send(event);
    EXPECT_EQ(clicks, 2);
    send(WM_RBUTTONDOWN);
    send(WM_RBUTTONUP);
    EXPECT_EQ(clicks, 2);
    icon->SetHint(std::u16string(300, u'x'));

    // A click whose handler frees the icon: the icon leaves the area.
    icon = std::make_unique<Platform::TTrayIcon>(u"", [&] { icon.reset(); });
    const HWND second = FindWindowW(L"FolivantTrayIcon", nullptr);
    ASSERT_NE(second, nullptr);
    SendMessageW(second, WM_APP + 20, 1, WM_LBUTTONUP);
    EXPECT_EQ(icon, nullptr);
    EXPECT_FALSE(IsWindow(second));
    NOTIFYICONDATAW gone{};
    gone.cbSize = sizeof gone;
    gone.hWnd = second;
    gone.uID = 1;
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &gone));
}

TEST(WindowsForm, BorderStylesKeepTheClientAreaAndStayOnTop) {
    using Platform::TForm;
    struct TCase {
        Platform::TFormBorderStyle Style;
        bool Caption, Sizeable, Tool;
    };
    const TCase cases[] = {
        {Platform::bsNone, false, false, false},     {Platform::bsSingle, true, false, false},
        {Platform::bsSizeable, true, true, false},   {Platform::bsDialog, true, false, false},
        {Platform::bsToolWindow, true, false, true}, {Platform::bsSizeToolWin, true, true, true},
    };
    TForm form;
    const HWND window = form.Native().Window;
    ASSERT_NE(window, nullptr);
    form.SetCaption(u"Publication");
    EXPECT_EQ(WindowText(window), L"Publication");
    form.SetStayOnTop(true);
    form.SetClientSize(400, 300);
    form.Show();
    for (const TCase& test : cases) {
        form.SetBorderStyle(test.Style);
        const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
        const LONG_PTR ex = GetWindowLongPtrW(window, GWL_EXSTYLE);
        EXPECT_EQ((style & WS_CAPTION) == WS_CAPTION, test.Caption) << test.Style;
        EXPECT_EQ((style & WS_THICKFRAME) != 0, test.Sizeable) << test.Style;
        EXPECT_EQ((ex & WS_EX_TOOLWINDOW) != 0, test.Tool) << test.Style;
        EXPECT_NE(ex & WS_EX_TOPMOST, 0) << test.Style;
        EXPECT_TRUE(IsWindowVisible(window)) << test.Style;
        RECT client{};
        GetClientRect(window, &client);
        EXPECT_EQ(client.right, 400) << test.Style;
        EXPECT_EQ(client.bottom, 300) << test.Style;
    }
    // The main icon goes to the forms made after it was chosen.
    EXPECT_EQ(SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
    Platform::UseMainIconForWindows();
    EXPECT_NE(SendMessageW(TForm().Native().Window, WM_GETICON, ICON_BIG, 0), 0);
    form.SetStayOnTop(false);
    EXPECT_EQ(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    form.SetOuterSize(500, 200, 600, 0);
    EXPECT_EQ(form.Bounds().Width, 600);
    EXPECT_EQ(form.Bounds().Height, 200);
    // A size asked for before the form shows is not undone by the default.
    TForm hidden;
    hidden.SetOuterSize(500, 200);
    hidden.SetDefaultSize(300, 300);
    EXPECT_EQ(hidden.Bounds().Width, 500);
}

TEST(WindowsForm, ModalLoopEndsByResultCloseOrKeyAndCloseRequestsAsked) {
    using Platform::TForm;
    TForm form;
    form.MakeControlHost();
    const HWND host = form.Native().Host;
    ASSERT_NE(host, nullptr);
    std::vector<std::uint16_t> keys;
    form.OnKeyDown = [&](std::uint16_t& key, Platform::TShiftState) {
        keys.push_back(key);
        if (key == VK_ESCAPE)
            form.SetModalResult(Platform::mrOk);
    };
    // A key press for the control inside the form reaches the form first.
    Platform::PostCall([&] {
        PostMessageW(host, WM_KEYDOWN, 'A', 0);
        PostMessageW(host, WM_KEYDOWN, VK_ESCAPE, 0);
    });
    EXPECT_EQ(form.ShowModal(), Platform::mrOk);
    EXPECT_EQ(keys, (std::vector<std::uint16_t>{'A', VK_ESCAPE}));
    EXPECT_FALSE(form.Visible());

    // Without a close handler closing ends the dialog with Cancel.
    Platform::PostCall([&] { form.Close(); });
    EXPECT_EQ(form.ShowModal(), Platform::mrCancel);

    // With one, the handler decides and the window stays.
    int asked = 0;
    form.OnCloseQuery = [&] {
        if (++asked == 2)
            form.SetModalResult(Platform::mrOk);
    };
    Platform::PostCall([&] {
        form.Close();
        Platform::PostCall([&] { form.Close(); });
    });
    EXPECT_EQ(form.ShowModal(), Platform::mrOk);
    EXPECT_EQ(asked, 2);

    // A form whose window was destroyed from outside answers Cancel at once.
    DestroyWindow(form.Native().Window);
    EXPECT_FALSE(form.HandleAllocated());
    EXPECT_EQ(form.ShowModal(), Platform::mrCancel);
}

TEST(WindowsForm, TextBoxReportsEveryChangeAndGoesWithItsForm) {
    auto form = std::make_unique<Platform::TForm>();
    form->SetFont(u"Tahoma", 14);
    Platform::TEdit edit(*form, 10, 10, 200, 24);
    ASSERT_TRUE(edit.HandleAllocated());
    std::vector<String> seen;
    edit.OnChange = [&] { seen.push_back(edit.Text()); };
    edit.SetText(u"se\u00e7ret");
    // Typed text arrives as the system's key messages do.
    SendMessageW(edit.Native().Edit, EM_SETSEL, 7, 7);
    SendMessageW(edit.Native().Edit, WM_CHAR, L'!', 0);
    EXPECT_EQ(seen, (std::vector<String>{u"se\u00e7ret", u"se\u00e7ret!"}));
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageW(edit.Native().Edit, WM_GETFONT, 0, 0)),
              form->Native().Font);
    form.reset();
    EXPECT_FALSE(edit.HandleAllocated());
    EXPECT_EQ(edit.Text(), u"");
    edit.SetText(u"after");
}

TEST(WindowsPicture, PngDecodesToPremultipliedPixelsAndDamageGivesNone) {
    // 2 x 1: opaque red, then blue at half transparency.
    const std::uint8_t png[] = {
        0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44,
        0x52, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0xf4,
        0x22, 0x7f, 0x8a, 0x00, 0x00, 0x00, 0x0e, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9c, 0x63, 0xf8,
        0xcf, 0xc0, 0x00, 0x42, 0x0d, 0x00, 0x0f, 0x7a, 0x03, 0x7e, 0x77, 0xe9, 0x7f, 0x97, 0x00,
        0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};
    const Platform::TPicture picture = Platform::TPicture::FromPng(png, sizeof png);
    ASSERT_FALSE(picture.Empty());
    EXPECT_EQ(picture.Width(), 2);
    EXPECT_EQ(picture.Height(), 1);
    DIBSECTION section{};
    ASSERT_NE(GetObjectW(picture.Native()->Bitmap, sizeof section, &section), 0);
    const auto* pixels = static_cast<const std::uint32_t*>(section.dsBm.bmBits);
    EXPECT_EQ(pixels[0], 0xFFFF0000u);
    EXPECT_EQ(pixels[1] & 0xFFFFFF00u, 0x80000000u);
    EXPECT_NEAR(static_cast<int>(pixels[1] & 0xFF), 128, 1);

    EXPECT_TRUE(Platform::TPicture::FromPng(png, 40).Empty());
    const std::uint8_t text[] = {'G', 'I', 'F', '8', '9', 'a', 0, 0};
    EXPECT_TRUE(Platform::TPicture::FromPng(text, sizeof text).Empty());
    EXPECT_TRUE(Platform::TPicture::FromPng(nullptr, 0).Empty());

    // The image control draws it and reports its own size.
    Platform::TForm form;
    form.SetClientSize(100, 100);
    Platform::TImage image(form, 10, 10, 40, 30);
    image.SetPicture(picture);
    form.Show();
    UpdateWindow(form.Native().Window);
    EXPECT_EQ(image.ClientWidth(), 40);
    EXPECT_EQ(image.ClientHeight(), 30);
    EXPECT_EQ(Platform::TImage(16, 8).ClientWidth(), 16);
}

TEST(WindowsSaveDialog, ConfirmedNameGetsTheDefaultExtensionAndCancelKeepsIt) {
    Testing::TempDir folder;
    Platform::TSaveDialog dialog;
    dialog.DefaultExt = u"zip";
    dialog.Filter = u"ZIP|*.zip";
    dialog.Title = u"Save the entry";
    dialog.FileName = (folder / "first.zip").u16string();

    std::wstring title;
    WhenDialogShows([&](HWND window) {
        title = WindowText(window);
        SendMessageW(window, CDM_SETCONTROLTEXT, edt1, reinterpret_cast<LPARAM>(L"chosen"));
        SendMessageW(window, CDM_SETCONTROLTEXT, cmb13, reinterpret_cast<LPARAM>(L"chosen"));
        PostMessageW(window, WM_COMMAND, IDOK, 0);
    });
    ASSERT_TRUE(dialog.Execute());
    EXPECT_EQ(title, L"Save the entry");
    EXPECT_EQ(dialog.FileName, (folder / "chosen.zip").u16string());

    WhenDialogShows([](HWND) { Platform::CloseModalWindows(); });
    EXPECT_FALSE(dialog.Execute());
    EXPECT_EQ(dialog.FileName, (folder / "chosen.zip").u16string());
}

// A RIFF WAVE image of 8-bit mono samples at 8000 Hz; dataSize is what the
// data chunk claims, samples what follows it.
std::string WaveImage(std::uint32_t dataSize, std::size_t samples) {
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](std::uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    std::string image = "RIFF" + u32(static_cast<std::uint32_t>(36 + samples)) + "WAVE";
    image += "fmt " + u32(16) + u16(1) + u16(1) + u32(8000) + u32(8000) + u16(1) + u16(8);
    image += "data" + u32(dataSize);
    for (std::size_t i = 0; i < samples; ++i)
        image += static_cast<char>(128 + ((i / 8) % 2 ? 60 : -60));
    return image;
}

TEST(WindowsSound, PlaysItsOwnCopyAndRefusesWhatIsNoWave) {
    Platform::TSoundPlayer& player = Platform::TSoundPlayer::Instance();
    {
        std::string image = WaveImage(4000, 4000);
        ASSERT_TRUE(player.Play(image.data(), image.size(), true));
        // The caller's buffer goes at once; the sound plays from the copy.
        std::memset(image.data(), 0, image.size());
    }
    EXPECT_TRUE(player.Active());
    EXPECT_TRUE(player.Stop());
    EXPECT_FALSE(player.Active());

    // A data chunk that claims more than the image holds plays what is there.
    const std::string lying = WaveImage(0xFFFFFF00u, 800);
    EXPECT_TRUE(player.Play(lying.data(), lying.size(), false));
    EXPECT_TRUE(player.Stop());

    const std::string noWave = "RIFF\x04\0\0\0AVI ";
    const std::string noFormat = WaveImage(800, 800).replace(12, 4, "junk");
    for (const std::string& bad : {noWave, noFormat, std::string()})
        EXPECT_FALSE(player.Play(bad.data(), bad.size(), false));
    EXPECT_FALSE(player.Active());
}

std::string ReadShared(const std::wstring& path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

// The samples reach the sound device as they are: the test's ALSA
// configuration writes them to the file FOLIVANT_SOUND_CAPTURE names (a
// Linux path).
TEST(WindowsSound, SamplesOfTheCopyReachTheDevice) {
    wchar_t capture[1024];
    const DWORD length = GetEnvironmentVariableW(L"FOLIVANT_SOUND_CAPTURE", capture, 1024);
    if (length == 0 || length >= 1024)
        GTEST_SKIP() << "no sound capture file configured";
    const std::wstring path = L"Z:" + std::wstring(capture);
    DeleteFileW(path.c_str());
    Platform::TSoundPlayer& player = Platform::TSoundPlayer::Instance();
    std::string samples;
    {
        std::string image = WaveImage(4000, 4000);
        samples = image.substr(44);
        ASSERT_TRUE(player.Play(image.data(), image.size(), false));
        // Silence in the caller's buffer: only the player's copy sounds.
        std::memset(image.data() + 44, 128, image.size() - 44);
    }
    const DWORD deadline = GetTickCount() + 10000;
    while (ReadShared(path).find(samples) == std::string::npos && GetTickCount() < deadline)
        Sleep(50);
    EXPECT_NE(ReadShared(path).find(samples), std::string::npos);
    player.Stop();
}

TEST(WindowsShell, OpenFailsForNothing) {
    EXPECT_FALSE(Platform::ShellOpen(u"", u""));
    EXPECT_FALSE(Platform::ShellOpen(u"C:\\no-such-folder\\no-such-file.txt", u""));
    EXPECT_TRUE(Platform::RefreshAssociations());
}

TEST(WindowsSystemInfo, NamesAndWidthsComeFromTheSystem) {
    EXPECT_FALSE(Platform::ComputerName().empty());
    const String user = Platform::UserName();
    EXPECT_FALSE(user.empty());
    EXPECT_NE(user.back(), u'\0');
    const int small = Platform::TextWidth(u"Tahoma 10", u"WWWW");
    const int large = Platform::TextWidth(u"Tahoma Bold 30", u"WWWW");
    EXPECT_GT(small, 0);
    EXPECT_GT(large, small * 2);
    EXPECT_GT(Platform::TextWidth(u"", u"WWWW"), 0);
    EXPECT_EQ(Platform::TextWidth(u"", u""), 0);
}

// A style file as the runtime carries it, made from the style's source.
Platform::TStyleManager::TResource StyleResource(const char* name, const char* file) {
    const std::string text =
        Testing::ReadFileBytes(Testing::SourceDir() / "resources" / "styles" / file);
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    std::vector<std::uint8_t> packed(size);
    EXPECT_EQ(compress(packed.data(), &size, reinterpret_cast<const Bytef*>(text.data()),
                       static_cast<uLong>(text.size())),
              Z_OK);
    std::vector<std::uint8_t> data(Platform::StyleFileSignature, Platform::StyleFileSignature + 13);
    data.insert(data.end(), packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(size));
    return {name, data};
}

Platform::TStylePalette PaletteOf(Platform::TStyleManager& manager, const String& name) {
    const Platform::TStyleFile* file = manager.FindStyleFile(name);
    EXPECT_NE(file, nullptr);
    return file != nullptr ? Platform::ReadStylePalette(file->StyleSheet).value()
                           : Platform::TStylePalette{};
}

COLORREF Ref(const Platform::TRgb& colour) {
    return RGB(colour.R, colour.G, colour.B);
}

// A pixel of the client area, or of the whole window with its frame.
COLORREF PixelOf(HWND window, int x, int y, bool frame = false) {
    UpdateWindow(window);
    const HDC dc = frame ? GetWindowDC(window) : GetDC(window);
    const COLORREF pixel = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return pixel;
}

// The colours an edit control is told to draw with by its form.
std::pair<COLORREF, COLORREF> EditColours(HWND form, HWND edit) {
    const HDC dc = CreateCompatibleDC(nullptr);
    SetTextColor(dc, RGB(1, 2, 3));
    SetBkColor(dc, RGB(4, 5, 6));
    SendMessageW(form, WM_CTLCOLOREDIT, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(edit));
    const std::pair<COLORREF, COLORREF> colours{GetTextColor(dc), GetBkColor(dc)};
    DeleteDC(dc);
    return colours;
}

// While a style is active its palette paints the form, its text box and a
// message box; the system look brings the system's colours back.
TEST(WindowsStyle, ThePaletteOfTheActiveStylePaintsTheWindows) {
    using namespace Platform;
    TStyleManager manager(
        {StyleResource("AMAKRITS", "Amakrits.style"), StyleResource("CARBON", "Carbon.style")});
    const TStylePalette palette = PaletteOf(manager, u"Amakrits");
    TForm form;
    form.SetClientSize(200, 100);
    TEdit edit(form, 10, 10, 120, 24);
    const HWND window = form.Native().Window;
    const HWND editWindow = edit.Native().Edit;
    form.Show();
    RECT editClient{};
    GetClientRect(editWindow, &editClient);
    const int editX = editClient.right - 2, editY = editClient.bottom / 2;

    ASSERT_TRUE(manager.SetStyle(u"amakrits"));
    EXPECT_EQ(PixelOf(window, 190, 90), Ref(palette[scBackground]));
    EXPECT_EQ(PixelOf(editWindow, editX, editY), Ref(palette[scBase]));
    EXPECT_EQ(PixelOf(editWindow, 0, 0, true), Ref(palette[scBorder]));
    EXPECT_EQ(EditColours(window, editWindow),
              std::make_pair(Ref(palette[scText]), Ref(palette[scBase])));
    COLORREF boxBackground = 0, boxButton = 0;
    WhenDialogShows([&](HWND box) {
        boxBackground = PixelOf(box, 2, 2);
        boxButton = PixelOf(GetDlgItem(box, IDOK), 2, 2);
        CloseModalWindows();
    });
    MessageBox(u"Text", u"Caption", MB_OK);
    EXPECT_EQ(boxBackground, Ref(palette[scBackground]));
    EXPECT_EQ(boxButton, Ref(palette[scButton]));
    COLORREF dialogBackground = 0;
    WhenDialogShows([&](HWND dialog) {
        dialogBackground = PixelOf(dialog, 2, 2);
        CloseModalWindows();
    });
    TSaveDialog().Execute();
    EXPECT_EQ(dialogBackground, Ref(palette[scBackground]));

    ASSERT_TRUE(manager.SetStyle(u"Windows"));
    EXPECT_EQ(PixelOf(window, 190, 90), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(PixelOf(editWindow, editX, editY), GetSysColor(COLOR_WINDOW));
    EXPECT_NE(PixelOf(editWindow, 0, 0, true), Ref(palette[scBorder]));
    EXPECT_EQ(EditColours(window, editWindow),
              std::make_pair(GetSysColor(COLOR_WINDOWTEXT), GetSysColor(COLOR_WINDOW)));
}

// Each style's preview is a window in its own palette, at the size asked.
TEST(WindowsStyle, PreviewsAreDrawnInTheirOwnPalettes) {
    using namespace Platform;
    TStyleManager manager(
        {StyleResource("AMAKRITS", "Amakrits.style"), StyleResource("CARBON", "Carbon.style")});
    std::vector<std::uint32_t> previous;
    for (const String name : {u"Amakrits", u"Carbon"}) {
        const TPicture picture =
            TStyleManager::PreviewPicture(*manager.FindStyleFile(name), 200, 150, name);
        ASSERT_FALSE(picture.Empty());
        EXPECT_EQ(picture.Width(), 200);
        EXPECT_EQ(picture.Height(), 150);
        DIBSECTION section{};
        ASSERT_NE(GetObjectW(picture.Native()->Bitmap, sizeof section, &section), 0);
        EXPECT_EQ(section.dsBm.bmBitsPixel, 32);
        const auto* bits = static_cast<const std::uint32_t*>(section.dsBm.bmBits);
        const std::vector<std::uint32_t> pixels(bits, bits + 200 * 150);
        std::set<std::uint32_t> colours(pixels.begin(), pixels.end());
        const TStylePalette palette = PaletteOf(manager, name);
        for (const TStyleColour part :
             {scBackground, scCaption, scBase, scButton, scHover, scAccent, scBorder}) {
            const TRgb c = palette[part];
            EXPECT_TRUE(colours.count(0xFF000000u | c.R << 16 | c.G << 8 | c.B))
                << StringToUtf8(name) << " " << StylePaletteNames[part];
        }
        EXPECT_TRUE(std::all_of(pixels.begin(), pixels.end(),
                                [](std::uint32_t p) { return p >> 24 == 0xFF; }));
        EXPECT_NE(pixels, previous);
        previous = pixels;
    }
    const TPicture tiny =
        TStyleManager::PreviewPicture(*manager.FindStyleFile(u"Carbon"), 0, -4, u"Carbon");
    EXPECT_EQ(tiny.Width(), 1);
    EXPECT_EQ(tiny.Height(), 1);
}

// Tab and Shift+Tab move the focus among a modal form's controls; Enter and
// Esc leave the form open.
TEST(WindowsForm, TabMovesTheFocusInAModalFormAndEnterAndEscCloseNothing) {
    Platform::TForm form;
    form.SetClientSize(300, 80);
    Platform::TEdit first(form, 10, 10, 120, 24);
    Platform::TEdit second(form, 140, 10, 120, 24);
    const HWND one = first.Native().Edit, two = second.Native().Edit;
    std::vector<HWND> focus;
    auto setShift = [](bool down) {
        BYTE keys[256];
        GetKeyboardState(keys);
        keys[VK_SHIFT] = down ? 0x80 : 0;
        SetKeyboardState(keys);
    };
    Platform::PostCall([&] {
        first.SetFocus();
        PostMessageW(one, WM_KEYDOWN, VK_TAB, 0);
        Platform::PostCall([&] {
            focus.push_back(GetFocus());
            setShift(true);
            PostMessageW(two, WM_KEYDOWN, VK_TAB, 0);
            Platform::PostCall([&] {
                focus.push_back(GetFocus());
                setShift(false);
                PostMessageW(one, WM_KEYDOWN, VK_ESCAPE, 0);
                PostMessageW(one, WM_KEYDOWN, VK_RETURN, 0);
                Platform::PostCall([&] {
                    if (form.ModalResult() == Platform::mrNone)
                        form.SetModalResult(Platform::mrOk);
                });
            });
        });
    });
    EXPECT_EQ(form.ShowModal(), Platform::mrOk);
    EXPECT_EQ(focus, (std::vector<HWND>{two, one}));
}

} // namespace
} // namespace Folivant
