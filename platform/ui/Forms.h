#pragma once

// The system's windows, seen through the properties and events its forms
// use: a top-level window with a caption, bounds, a border style, stay-on-top,
// show, hide and close, shown on its own or as a modal dialog; and the
// controls a form places on its client area at the positions of its layout.
// Every event handler runs on the GUI thread behind the application's
// callback guard, so a failure in a handler is reported and never unwinds
// into the toolkit.

#include "base/Classes.h"
#include "platform/ui/KeyMap.h"
#include "platform/ui/Picture.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace Folivant::Platform {

// A window's outer bounds in screen pixels, frame included: the system
// measures windows by their outer size.
struct TOuterBounds {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
};

enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2 };

enum TFormBorderStyle { bsNone, bsSingle, bsSizeable, bsDialog, bsToolWindow, bsSizeToolWin };

// Where a form first appears: where the window manager puts it, or centred
// on the screen.
enum TFormPosition { poDefault, poScreenCenter };

class TForm {
public:
    // A hidden top-level window with an empty caption, a sizeable border and
    // no client area.
    TForm();
    ~TForm();
    TForm(const TForm&) = delete;
    TForm& operator=(const TForm&) = delete;

    // False once the window is gone (destroyed from outside the form).
    bool HandleAllocated() const;

    String Caption() const { return FCaption; }
    void SetCaption(const String& caption);
    TFormBorderStyle BorderStyle() const { return FBorderStyle; }
    // bsNone has no frame; bsSingle, bsDialog and bsToolWindow have a fixed
    // size; bsDialog and the tool windows have the frames of their kind.
    void SetBorderStyle(TFormBorderStyle style);
    void SetStayOnTop(bool stayOnTop);
    void SetPosition(TFormPosition position);
    // Gives the form a client area of exactly width x height pixels on which
    // controls are placed at fixed positions.
    void SetClientSize(int width, int height);
    // The font of the form and of every control on it.
    void SetFont(const String& family, int pixelSize);

    // The outer bounds, frame included: once the window manager has framed
    // the window the frame it reports, before that the bounds asked for.
    TOuterBounds Bounds() const;
    void SetOuterSize(int width, int height, int minWidth = 0, int minHeight = 0);
    // Places the frame's top-left corner.
    void SetOuterPosition(int left, int top);
    // The size the window opens at before an outer size is asked for.
    void SetDefaultSize(int width, int height);
    // The smallest size the user can give the window.
    void SetMinimumSize(int width, int height);
    // Maximises the window; it stays resizable, so it follows the screen's
    // size, also when that is smaller than the outer size asked for.
    void Maximize();

    void Show();
    // Shows the form and brings it to the front.
    void Present();
    void Hide();
    bool Visible() const;
    // Hides the form while it is represented by a notification-area icon;
    // RestoreFromTray shows it again in front.
    void HideToTray();
    void RestoreFromTray();
    // Asks the form to close, as its caption bar's close button does.
    void Close();

    // Shows the form as a modal dialog and runs a nested message loop until
    // it has a modal result, then hides it. A result set while the form is
    // being shown (by a handler) ends the dialog before its loop starts.
    // Closing the form gives mrCancel; a form whose window is gone gives
    // mrCancel at once.
    TModalResult ShowModal();
    TModalResult ModalResult() const { return FModalResult; }
    // Ends a running ShowModal with result (when it is not mrNone).
    void SetModalResult(TModalResult result);

    // A close request (close button, the system's close command, Close).
    // Without a handler, a modal form ends with mrCancel and any other form
    // hides; with one, the handler decides and the window stays.
    std::function<void()> OnCloseQuery;
    // Key preview: each key press reaches the form before the control that
    // has the focus, as its virtual-key code (keys without one are not
    // reported) and the modifier keys held. A key the control hands back
    // unconsumed is not reported a second time. The key goes on to the
    // control whatever the handler does.
    std::function<void(std::uint16_t& key, TShiftState shift)> OnKeyDown;

    // Gives the form a client area that one control of another component
    // (the browser control) fills, before that control exists, so that the
    // sizes asked for hold for the control too. The control places itself
    // into it; without this call the area is made when it does.
    void MakeControlHost();

    // The toolkit's side of the form (platform code only).
    struct TImpl;
    TImpl& Native() const { return *FImpl; }

private:
    std::unique_ptr<TImpl> FImpl;
    String FCaption;
    TFormBorderStyle FBorderStyle = bsSizeable;
    TModalResult FModalResult = mrNone;
};

// A one-line text box on a form.
class TEdit {
public:
    // Placed on parent's client area at (left, top), width x height pixels;
    // the text is shown as typed.
    TEdit(TForm& parent, int left, int top, int width, int height);
    ~TEdit();
    TEdit(const TEdit&) = delete;
    TEdit& operator=(const TEdit&) = delete;

    // False once the control is gone with its window.
    bool HandleAllocated() const;
    // The text; empty once the control is gone.
    String Text() const;
    void SetText(const String& text);
    // Gives the text box the keyboard focus within its form.
    void SetFocus();

    // After every change of the text, typed, pasted or set.
    std::function<void()> OnChange;

    struct TImpl;
    TImpl& Native() const { return *FImpl; }

private:
    std::unique_ptr<TImpl> FImpl;
};

// A picture shown at a fixed size, on a form or on its own.
class TImage {
public:
    // Placed on parent's client area at (left, top), width x height pixels.
    TImage(TForm& parent, int left, int top, int width, int height);
    // An image control of width x height pixels not placed on any form.
    TImage(int width, int height);
    ~TImage();
    TImage(const TImage&) = delete;
    TImage& operator=(const TImage&) = delete;

    // The size the picture is drawn at: the control's laid-out size, and
    // before it was ever laid out the size it asks for.
    int ClientWidth() const;
    int ClientHeight() const;
    void SetPicture(const TPicture& picture);

    struct TImpl;
    TImpl& Native() const { return *FImpl; }

private:
    std::unique_ptr<TImpl> FImpl;
};

} // namespace Folivant::Platform
