#include "SavedState.h"

#include "library/Library.h"
#include "library/PathUtils.h"
#include "platform/FileSystem.h"

#include <QDir>

namespace SavedState {

plist::Object previousSongs(const QHash<QString, Song*>& previousFiles) {
    plist::Object dict = plist::Object::dict();
    auto* entries = dict.ifDict();
    entries->reserve(std::size_t(previousFiles.size()));
    for (auto it = previousFiles.constBegin(); it != previousFiles.constEnd(); ++it) {
        QString id = it.value() ? it.value()->persistentId() : QString();
        if (id.isEmpty()) continue;
        // Keys are unique already; appending directly avoids a quadratic set().
        entries->emplace_back(it.key().toStdString(), id.toStdString());
    }
    return dict;
}

QHash<QString, Song*> restorePreviousFiles(const plist::Object& saved, const Library& library) {
    QHash<QString, Song*> files;
    const plist::Object::Dict* entries = saved.ifDict();
    if (!entries) return files;
    for (const auto& [path, id] : *entries) {
        const std::string* s = id.ifString();
        if (!s || path.empty() || path[0] != '/') continue;
        if (Song* song = library.songWithPersistentId(QString::fromStdString(*s)))
            files.insert(decomposed(QString::fromStdString(path)), song);
    }
    return files;
}

LegacyScan scanLegacyPlayer(const Library& library, const QString& pathToPlayer) {
    LegacyScan scan;
    // A new player holds nothing of the older naming.
    if (pathToPlayer.isEmpty() || QDir(pathToPlayer).isEmpty()) return scan;
    // Most of a library's folders are not on the player: each folder is
    // looked for once, and only the songs of those found are.
    QHash<QString, bool> folderFound;
    for (const auto& song : library.songs()) {
        QString folder = song->legacyPlayerDir();
        auto found = folderFound.constFind(folder);
        if (found == folderFound.constEnd()) found = folderFound.insert(folder, fsys::isDirectory(folder));
        if (!*found) continue;
        QString path = folder + u'/' + song->legacyFileName();
        if (!fsys::exists(path)) continue;
        scan.songs.push_back(song.get());
        scan.files.insert(decomposed(path), song.get());
    }
    return scan;
}

}  // namespace SavedState
