#pragma once

// The face of the main window that the shared units see. Browser windows and
// the script bridge never know the runtime's main window class; they reach it
// only through ActiveMainForm.

#include "base/Classes.h"

namespace Folivant::Shared {

class TGlobalMainForm {
public:
    TGlobalMainForm() = default;
    TGlobalMainForm(const TGlobalMainForm&) = delete;
    TGlobalMainForm& operator=(const TGlobalMainForm&) = delete;
    virtual ~TGlobalMainForm() = default;

    // Whether browser windows suppress script error reports.
    bool HideJavaScriptError = false;

    // True when the shared units run inside a publication.
    virtual bool IsRuntime() = 0;
    virtual bool OpenFile(const String& filePath) = 0;
    virtual bool PlayWavSound(const String& wavPath, bool loop) = 0;
    // True when the URL names a file kind the publication handles itself; the
    // navigation is then cancelled.
    virtual bool HandleDownloableFiles(const String& url) = 0;
    // Stops the sound that PlayWavSound started, if one still plays.
    virtual void StopWavSound() = 0;
    // Offers a publication file that a browser window cannot show for
    // saving. Without a main window that can, nothing happens.
    virtual void DownloadFile(const String& url) { (void)url; }

    // The window as other windows see it: caption and outer bounds in screen
    // pixels, and a close request that takes effect once the current event
    // handler has returned.
    virtual String Caption() const = 0;
    virtual int Left() const = 0;
    virtual int Top() const = 0;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void Close() = 0;
};

// The running main window, or nullptr before its creation handler begins and
// after the unit is finalised.
extern TGlobalMainForm* ActiveMainForm;

// Unit initialisation and finalisation: both leave ActiveMainForm nil.
void InitializeGlobalMainForm();
void FinalizeGlobalMainForm();

} // namespace Folivant::Shared
