#pragma once

// The temporary folder, and the run's private folder inside it. Files the
// runtime extracts for the shell are decoded copies of the publication; they
// live in a folder of their run, readable by its owner only, which goes at
// the end of the run. A run that dies without its shut-down (killed, a
// crash, a power loss) cannot remove its folder; the next run of any
// publication does, and never touches the folder of a run still alive: a
// run holds a lock on a file in its folder for as long as it lives, and its
// process id is part of the folder's name.

#include "base/Classes.h"

namespace Folivant::Platform {

// $TMPDIR when it names an existing folder by an absolute path, else /tmp;
// always ending in exactly one "/".
String TemporaryDir();

// Names of run folders start with this, followed by the process id, "-" and
// six random characters.
inline constexpr char RunFolderPrefix[] = "folivant-run-";

// The run's private folder inside parent (a folder path ending in "/"),
// ending in "/". The first call creates it with mode 0700 and takes its
// lock; later calls give the same folder. Raises EStreamError when it
// cannot be created.
String RunFolder(const String& parent);

// Removes the run's folder with everything in it and releases its lock;
// nothing happens when the run created none.
void RemoveRunFolder();

// Removes from parent every run folder whose run has ended; answers how
// many went. Only folders (never links) owned by this user, named like a
// run folder, whose lock nobody holds and whose process is gone, are
// removed; nothing is followed out of them.
int RemoveAbandonedRunFolders(const String& parent);

} // namespace Folivant::Platform
