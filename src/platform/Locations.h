#pragma once

// Where things live on this computer.

#include <QString>

namespace Locations {

// The folder under which removable volumes are mounted, with a trailing "/":
// the override if one was set, else $BRISLE_VOLUMES, else /Volumes/ on macOS,
// and on Linux /run/media/$USER/ or /media/$USER/, whichever exists.
QString volumesFolder();
// Set once at start-up (the --volumes option), before any thread starts.
void setVolumesFolder(const QString& folder);
// Whether the volumes folder was given (--volumes or $BRISLE_VOLUMES) rather
// than the system's: only there may plain folders stand for volumes.
bool volumesFolderGiven();

// $XDG_CONFIG_HOME/Brisle/Brisle.plist
QString defaultSettingsFile();
// $XDG_CACHE_HOME/Brisle/ with a trailing "/"
QString cacheFolder();
// ~/Music/iTunes/iTunes Music Library.xml
QString defaultLibraryFile();
// The user's temporary folder, with a trailing "/"
QString temporaryFolder();

}  // namespace Locations
