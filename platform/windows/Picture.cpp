#include "platform/windows/PictureWindows.h"

// PNG images are decoded by the system's imaging component (WIC) into
// premultiplied BGRA pixels.

#include <objbase.h>
#include <wincodec.h>

#include <vector>

namespace Folivant::Platform {

namespace {

// A picture larger than this many pixels is refused rather than allocated.
constexpr unsigned long long MaxPixels = 64ull * 1024 * 1024;

template <class T> struct TComPtr {
    T* P = nullptr;
    ~TComPtr() {
        if (P != nullptr)
            P->Release();
    }
    T** Out() { return &P; }
    T* operator->() const { return P; }
};

// COM for the calling thread while the object lives, when it was not
// initialised already.
struct TComScope {
    bool Initialised;
    TComScope() : Initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {}
    ~TComScope() {
        if (Initialised)
            CoUninitialize();
    }
};

std::shared_ptr<TPicture::TImpl> Decode(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size == 0 || size > 0xFFFFFFFFu)
        return nullptr;
    const TComScope com;
    TComPtr<IWICImagingFactory> factory;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(factory.Out()))))
        return nullptr;
    // The stream reads the bytes in place; they are not written to.
    std::vector<BYTE> bytes(data, data + size);
    TComPtr<IWICStream> stream;
    TComPtr<IWICBitmapDecoder> decoder;
    TComPtr<IWICBitmapFrameDecode> frame;
    TComPtr<IWICBitmapSource> converted;
    if (FAILED(factory->CreateStream(stream.Out())) ||
        FAILED(stream->InitializeFromMemory(bytes.data(), static_cast<DWORD>(bytes.size()))) ||
        FAILED(factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, decoder.Out())) ||
        FAILED(decoder->Initialize(stream.P, WICDecodeMetadataCacheOnDemand)) ||
        FAILED(decoder->GetFrame(0, frame.Out())) ||
        FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppPBGRA, frame.P, converted.Out())))
        return nullptr;
    UINT width = 0, height = 0;
    if (FAILED(converted->GetSize(&width, &height)) || width == 0 || height == 0 ||
        static_cast<unsigned long long>(width) * height > MaxPixels)
        return nullptr;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = -static_cast<LONG>(height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* pixels = nullptr;
    auto picture = std::make_shared<TPicture::TImpl>();
    picture->Bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pixels, nullptr, 0);
    if (picture->Bitmap == nullptr || pixels == nullptr)
        return nullptr;
    const UINT stride = width * 4;
    if (FAILED(converted->CopyPixels(nullptr, stride, stride * height, static_cast<BYTE*>(pixels))))
        return nullptr;
    picture->Width = static_cast<int>(width);
    picture->Height = static_cast<int>(height);
    return picture;
}

} // namespace

TPicture::TPicture() = default;
TPicture::~TPicture() = default;
TPicture::TPicture(const TPicture&) = default;
TPicture& TPicture::operator=(const TPicture&) = default;
TPicture::TPicture(std::shared_ptr<TImpl> impl) : FImpl(std::move(impl)) {}

TPicture TPicture::FromPng(const std::uint8_t* data, std::size_t size) {
    return TPicture(Decode(data, size));
}

int TPicture::Width() const {
    return Empty() ? 0 : FImpl->Width;
}

int TPicture::Height() const {
    return Empty() ? 0 : FImpl->Height;
}

} // namespace Folivant::Platform
