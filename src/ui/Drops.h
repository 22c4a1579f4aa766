#pragma once

// What is dropped on the music list, read as the drop rules say. A drag from
// the library browser carries an XML property list under kDropMimeType:
// "Playlists" (entries with "Playlist Persistent ID" and "All Items") and
// "Tracks" (track dictionaries with "Persistent ID", as an array or as the
// values of a dictionary). Files from a file manager are matched to the
// library's songs by their location.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

class Controller;
class Library;
class QMimeData;
class Song;

inline const QString kDropMimeType = QStringLiteral("application/x-brisle-drop+plist");

// Whole playlists ("All Items" true), with their tracks.
QByteArray playlistsPayload(const Library& library, const QStringList& persistentIds);
// Songs, as tracks.
QByteArray tracksPayload(const std::vector<Song*>& songs);

struct DroppedItems {
    bool wholePlaylists = false;
    QStringList playlists;     // identifiers the library holds, in order
    std::vector<Song*> songs;  // the songs found, in order
    QString error;             // the payload could not be read at all
};
// Identifiers the library lacks are skipped.
DroppedItems readPayload(const QByteArray& bytes, const Library& library);

// Songs of the library by the path of their file, built on first use.
class SongsByPath {
public:
    explicit SongsByPath(const Library& library) : library_(library) {}
    Song* find(const QString& path);

private:
    const Library& library_;
    QHash<QString, Song*> songs_;
    bool built_ = false;
};

// Adds what was dropped through the controller (saved, listed and planned)
// and answers the notice to show, if any: a payload that cannot be read, or
// the files the library does not know. A drop with neither only reloads.
QString applyDrop(Controller& controller, const QMimeData& mime, SongsByPath& songsByPath);
