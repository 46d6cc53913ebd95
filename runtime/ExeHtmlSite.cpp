#include "runtime/ExeHtmlSite.h"

#include "platform/ui/MessageBox.h"
#include "runtime/Startup.h"

namespace Folivant::Runtime {

TExeHtmlSite* GlobalExeHtmlSite = nullptr;

TExeHtmlSite::TExeHtmlSite(const std::filesystem::path& executable) {
    FZipFile = std::make_unique<Archive::TZipReader>();
    FZipFile->Password = Archive::ArchivePassword;
    FZipFile->ArchiveType = Archive::TArchiveType::atZip;
    FZipFile->ForceType = true;

    FIniFile = std::make_unique<Shared::TMemIniFile>(String(), Shared::TIniEncoding::Utf16LE);

    FResources = std::make_unique<Platform::TExeResources>(executable);
    const Platform::TResourceInfo* resource = FResources->Find("RCDATA", "FOLDATA");
    if (resource == nullptr)
        throw EResNotFound(u"Resource FOLDATA not found");
    const auto data = FResources->Data(*resource);
    if (!data)
        throw EResNotFound(u"Resource FOLDATA lies outside the executable");
    FResourceStream = std::make_unique<TReadOnlyMemoryStream>(
        data->data(), static_cast<std::int64_t>(data->size()));

    if (FResourceStream->Size() == 0)
        HaltInvalidApplication();

    FResourceStream->SetPosition(0);
    FZipFile->SetStream(FResourceStream.get());

    // A missing or undecodable settings entry leaves the settings empty, so
    // every key takes its default.
    TMemoryStream config;
    FZipFile->ExtractToStream(u"fv-config", config);
    config.SetPosition(0);
    FIniFile->SetStrings(Shared::StreamToLines(config));
}

TExeHtmlSite::~TExeHtmlSite() {
    FIniFile.reset();
    FZipFile.reset();
    FResourceStream.reset();
    FResources.reset();
}

void InitializeExeHtmlSite() {
    GlobalExeHtmlSite = new TExeHtmlSite();
}

void FinalizeExeHtmlSite() {
    delete GlobalExeHtmlSite;
    GlobalExeHtmlSite = nullptr;
}

void HaltInvalidApplication() {
    Platform::MessageBox(u"This is not a valid Windows application", u"Error",
                         Platform::MB_ICONERROR | Platform::MB_OK);
    Halt(0);
}

} // namespace Folivant::Runtime
