#include "runtime/ExeHtmlSite.h"

#include "platform/ProgramResources.h"
#include "platform/ui/MessageBox.h"
#include "runtime/Startup.h"

namespace Folivant::Runtime {

TExeHtmlSite* GlobalExeHtmlSite = nullptr;

TExeHtmlSite::TExeHtmlSite() : TExeHtmlSite(Platform::OwnResource("RCDATA", "FOLDATA")) {}

TExeHtmlSite::TExeHtmlSite(std::optional<std::span<const std::uint8_t>> foldata) {
    FZipFile = std::make_unique<Archive::TZipReader>();
    FZipFile->Password = Archive::ArchivePassword;
    FZipFile->ArchiveType = Archive::TArchiveType::atZip;
    FZipFile->ForceType = true;

    FIniFile = std::make_unique<Shared::TMemIniFile>(String(), Shared::TIniEncoding::Utf16LE);

    if (!foldata)
        throw EResNotFound(u"Resource FOLDATA not found");
    // The archive is read where the resource lies (a view of the mapped
    // executable, often hundreds of megabytes), never copied.
    FResourceStream = std::make_unique<TReadOnlyMemoryStream>(
        foldata->data(), static_cast<std::int64_t>(foldata->size()));

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
