#pragma once

// The desktop's side of the link and file actions: the GTK save dialog, the
// application's message box, the shell, the sound player and the run's
// temporary-file registry, put together for the main window.

#include "platform/ui/SaveDialog.h"
#include "shared/LinkActions.h"

namespace Folivant::Platform {

class TPlatformLinkServices : public Shared::ISaveDialog,
                              public Shared::IMessageBox,
                              public Shared::IShell,
                              public Shared::ISoundPlayer,
                              public Shared::ITemporalFileRegistry {
public:
    void SetDefaultExt(const String& ext) override { FDialog.DefaultExt = ext; }
    void SetFilter(const String& filter) override { FDialog.Filter = filter; }
    void SetFileName(const String& fileName) override { FDialog.FileName = fileName; }
    bool Execute() override { return FDialog.Execute(); }
    String FileName() const override { return FDialog.FileName; }

    // In the application's modal message box, titled with the application
    // title, with one OK button.
    void ShowMessage(const String& text) override;

    bool ShellOpen(const String& path, const String& args) override;
    // The run's private folder inside the temporary folder.
    String GetTemporalDir() override;

    bool PlaySoundFromStream(TCustomMemoryStream& stream, bool loop) override;

    // Registers with GlobalTemporalFiles, which deletes the file at the end
    // of the run.
    void Add(const String& path) override;

    Shared::TLinkServices Services() { return {*this, *this, *this, *this, *this}; }

private:
    TSaveDialog FDialog;
};

// The link and file actions with the real services; the main window keeps
// one for its lifetime (which is also how long the save dialog remembers
// the last chosen name).
class TPlatformLinkActions : private TPlatformLinkServices, public Shared::TLinkActions {
public:
    TPlatformLinkActions(Archive::TZipReader& zip, Shared::TLinkActionsSettings settings)
        : TLinkActions(zip, std::move(settings), Services()) {}
};

} // namespace Folivant::Platform
