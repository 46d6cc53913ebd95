#pragma once

// The access password prompt: a small modal window with a picture and one
// text box and nothing else. It closes by itself half a second after the
// text box holds exactly the expected password; closing it any other way
// cancels it, and a cancelled prompt ends the run.

#include "base/Classes.h"
#include "platform/ui/Forms.h"

namespace Folivant::Runtime {

using Platform::mrCancel;
using Platform::mrNone;
using Platform::mrOk;
using Platform::TModalResult;

class TRestrictedForm {
public:
    // Builds the window from its layout: 313 x 54 client area, centred, a
    // dialog frame with a close button, the picture at (16, 16) and the
    // unmasked text box at (64, 16), which has the focus.
    TRestrictedForm();
    ~TRestrictedForm();
    TRestrictedForm(const TRestrictedForm&) = delete;
    TRestrictedForm& operator=(const TRestrictedForm&) = delete;

    // The expected password.
    const String& Input() const { return FInput; }
    void SetInput(const String& input) { FInput = input; }
    void SetCaption(const String& caption) { FForm.SetCaption(caption); }

    // Shows the prompt and runs a nested message loop until it has a modal
    // result: mrOk after a match, mrCancel when it was closed.
    TModalResult ShowModal() { return FForm.ShowModal(); }
    TModalResult ModalResult() const { return FForm.ModalResult(); }
    // Ends a running ShowModal with result.
    void SetModalResult(TModalResult result) { FForm.SetModalResult(result); }

    // Runs after every change of the text box's text.
    void InputEditChange();

    Platform::TForm& Window() { return FForm; }
    Platform::TEdit& InputEdit() { return FInputEdit; }
    Platform::TImage& Image() { return FImage; }

    // The main window's creation step: with an empty password nothing is
    // shown; otherwise the prompt, captioned with title, runs before any
    // other window of the publication is visible. False when it was closed
    // without the password.
    static bool ConfirmAccessPassword(const String& password, const String& title);
    // ConfirmAccessPassword, and a refused prompt ends the process at once
    // with exit code 0 (Halt), before anything of the run is written.
    static void AskAccessPassword(const String& password, const String& title);

private:
    String FInput;
    Platform::TForm FForm;
    Platform::TImage FImage;
    Platform::TEdit FInputEdit;
};

} // namespace Folivant::Runtime
