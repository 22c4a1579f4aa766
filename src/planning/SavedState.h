#pragma once

// The record of the files the program put on the player, in its saved form
// ("previousSongs": NFD path -> "Persistent ID"), and the one-time take-over
// of a player filled under the older naming.

#include "platform/plist/Value.h"

#include <QHash>
#include <QString>

#include <vector>

class Library;
class Song;

namespace SavedState {

plist::Object previousSongs(const QHash<QString, Song*>& previousFiles);
// Entries whose song left the library, or of the wrong shape, are dropped.
QHash<QString, Song*> restorePreviousFiles(const plist::Object& saved, const Library& library);

// Songs whose file stands at its legacy path on the player, in load order,
// with those paths (NFD). Nothing without a player folder.
struct LegacyScan {
    std::vector<Song*> songs;
    QHash<QString, Song*> files;
};
LegacyScan scanLegacyPlayer(const Library& library, const QString& pathToPlayer);

}  // namespace SavedState
