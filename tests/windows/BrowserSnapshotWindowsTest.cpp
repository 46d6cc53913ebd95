// The browser control's snapshot on Windows, asked for as the main window
// asks once its first page has loaded: the control's area as a PNG file of
// the control's size.
#include "browsercontrol/WebBrowserControl.h"
#include "platform/ui/Forms.h"
#include "platform/windows/FormsWindows.h"

#include <gtest/gtest.h>

#include <wincodec.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace Folivant;

namespace {

BOOL CALLBACK FindHost(HWND child, LPARAM data) {
    wchar_t name[64] = {};
    GetClassNameW(child, name, 64);
    if (std::wstring(name) != L"FolivantWebBrowserHost")
        return TRUE;
    *reinterpret_cast<HWND*>(data) = child;
    return FALSE;
}

// The size of the image in a file as WIC decodes it, or 0 x 0.
SIZE DecodedSize(const std::filesystem::path& path) {
    SIZE size{0, 0};
    IWICImagingFactory* factory = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))))
        return size;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    GUID container{};
    UINT width = 0, height = 0;
    if (SUCCEEDED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                     WICDecodeMetadataCacheOnDemand, &decoder)) &&
        SUCCEEDED(decoder->GetContainerFormat(&container)) &&
        IsEqualGUID(container, GUID_ContainerFormatPng) &&
        SUCCEEDED(decoder->GetFrame(0, &frame)) && SUCCEEDED(frame->GetSize(&width, &height)))
        size = {static_cast<LONG>(width), static_cast<LONG>(height)};
    if (frame != nullptr)
        frame->Release();
    if (decoder != nullptr)
        decoder->Release();
    factory->Release();
    return size;
}

// A snapshot replaces the file of its name whole with a PNG of the
// control's size and answers that it wrote it; into a folder that does not
// exist it writes nothing and answers so. No partial file stays behind.
TEST(BrowserSnapshotWindows, SnapshotIsAPngOfTheControlsSize) {
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    {
        Platform::TForm form;
        form.SetOuterSize(500, 400, 300, 200);
        form.Show();
        BrowserControl::TWebBrowserControl control;
        control.PlaceInto(form);
        control.Show();
        HWND host = nullptr;
        EnumChildWindows(form.Native().Window, FindHost, reinterpret_cast<LPARAM>(&host));
        ASSERT_NE(host, nullptr);
        RECT client{};
        GetClientRect(host, &client);
        ASSERT_GT(client.right, 100);
        ASSERT_GT(client.bottom, 100);

        wchar_t temporary[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temporary);
        const std::filesystem::path folder =
            std::filesystem::path(temporary) /
            ("folivant-snapshot-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::remove_all(folder);
        std::filesystem::create_directory(folder);
        const std::filesystem::path shot = folder / "shot.png";
        std::ofstream(shot) << "an older file";
        const struct {
            std::filesystem::path Path;
            bool Written;
        } cases[] = {
            {shot, true},
            {folder / "missing" / "shot.png", false},
        };
        for (const auto& test : cases) {
            SCOPED_TRACE(test.Path.string());
            int answers = 0;
            bool written = !test.Written;
            control.SaveSnapshot(test.Path.string(), [&](bool done) {
                ++answers;
                written = done;
            });
            EXPECT_EQ(answers, 1);
            EXPECT_EQ(written, test.Written);
            const SIZE size = DecodedSize(test.Path);
            EXPECT_EQ(size.cx, test.Written ? client.right : 0);
            EXPECT_EQ(size.cy, test.Written ? client.bottom : 0);
        }
        std::size_t files = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
            files += entry.is_regular_file() ? 1 : 0;
        EXPECT_EQ(files, 1u);
        std::filesystem::remove_all(folder);
    }
    OleUninitialize();
}

} // namespace
