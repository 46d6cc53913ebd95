#include "desktop/LinkServices.h"

#include "platform/ui/Application.h"
#include "platform/ui/MessageBox.h"
#include "platform/ui/Shell.h"
#include "platform/ui/Sound.h"
#include "platform/SpecialFolders.h"
#include "shared/TemporalFiles.h"

namespace Folivant::Platform {

void TPlatformLinkServices::ShowMessage(const String& text) {
    MessageBox(text, ApplicationTitle(), MB_OK);
}

bool TPlatformLinkServices::ShellOpen(const String& path, const String& args) {
    return Platform::ShellOpen(path, args);
}

String TPlatformLinkServices::GetTemporalDir() {
    // Extracted files are decoded copies of the publication: they go into
    // the run's private folder, not straight into the shared one.
    return RunFolder(TemporaryDir());
}

bool TPlatformLinkServices::PlaySoundFromStream(TCustomMemoryStream& stream, bool loop) {
    return TSoundPlayer::Instance().Play(stream.Memory(), static_cast<std::size_t>(stream.Size()),
                                         loop);
}

void TPlatformLinkServices::Add(const String& path) {
    // The registry exists from unit initialisation on; should a file be
    // written before that, it is still registered rather than left behind.
    Shared::InitializeTemporalFiles();
    Shared::GlobalTemporalFiles->Add(path);
}

} // namespace Folivant::Platform
