#include "runtime/RestrictedForm.h"

#include "platform/ProgramResources.h"
#include "runtime/Startup.h"

#include <chrono>
#include <thread>

namespace Folivant::Runtime {

namespace {

constexpr int ClientWidth = 313;
constexpr int ClientHeight = 54;
constexpr int ImageLeft = 16, ImageTop = 16, ImageSize = 32;
constexpr int EditLeft = 64, EditTop = 16, EditWidth = 225, EditHeight = 22;
// The pause after a match, so that the user sees the completed text before
// the prompt goes.
constexpr std::chrono::milliseconds MatchDelay{500};

// The key-and-padlock picture from the runtime's own resources; without it
// the image stays empty.
Platform::TPicture LoadKeyLockPicture() {
    const auto data = Platform::OwnResource("RCDATA", "KEYLOCK");
    if (!data)
        return {};
    return Platform::TPicture::FromPng(data->data(), data->size());
}

} // namespace

TRestrictedForm::TRestrictedForm()
    : FImage(FForm, ImageLeft, ImageTop, ImageSize, ImageSize),
      FInputEdit(FForm, EditLeft, EditTop, EditWidth, EditHeight) {
    FForm.SetBorderStyle(Platform::bsDialog);
    FForm.SetPosition(Platform::poScreenCenter);
    FForm.SetClientSize(ClientWidth, ClientHeight);
    FForm.SetFont(u"Tahoma", 12);
    if (const Platform::TPicture picture = LoadKeyLockPicture(); !picture.Empty())
        FImage.SetPicture(picture);
    FInputEdit.OnChange = [this] { InputEditChange(); };
    FInputEdit.SetFocus();
}

TRestrictedForm::~TRestrictedForm() = default;

void TRestrictedForm::InputEditChange() {
    if (!FInputEdit.HandleAllocated())
        return;
    // The whole text, code unit by code unit, letter case and spaces
    // included.
    if (FInputEdit.Text() != FInput)
        return;
    // The GUI thread waits here, so keys typed meanwhile are not handled
    // before the prompt has closed.
    std::this_thread::sleep_for(MatchDelay);
    SetModalResult(mrOk);
}

bool TRestrictedForm::ConfirmAccessPassword(const String& password, const String& title) {
    if (password.empty())
        return true;
    TRestrictedForm form;
    form.SetInput(password);
    form.SetCaption(title);
    return form.ShowModal() == mrOk;
}

void TRestrictedForm::AskAccessPassword(const String& password, const String& title) {
    if (!ConfirmAccessPassword(password, title))
        Halt(0);
}

} // namespace Folivant::Runtime
