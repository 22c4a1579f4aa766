#pragma once

// Builds library files the way iTunes lays them out, with a real (small) file
// behind every track, for tests.

#include "QtPrinters.h"
#include "platform/plist/Value.h"

#include <QString>

#include <vector>

class LibraryBuilder {
public:
    explicit LibraryBuilder(QString folder);

    // Adds a track with sensible values, overridden by `values`. Unless
    // createFile is false, a file of `bytes` bytes is made for it. Answers
    // the "Track ID".
    int addTrack(const plist::Object::Dict& values = {}, bool createFile = true, int bytes = 1000);
    // Changes one value of a track, as an edit in iTunes would.
    void setValue(int trackId, const std::string& key, const plist::Object& value);
    void addPlaylist(const QString& name, const QString& persistentId, const std::vector<int>& trackIds);

    // Writes "iTunes Music Library.xml" (or `fileName`) and answers its path.
    QString write(const QString& fileName = QStringLiteral("iTunes Music Library.xml")) const;

    QString persistentIdOf(int trackId) const;
    QString pathOf(int trackId) const;
    QString folder() const { return folder_; }

    // A file URL as iTunes writes it.
    static std::string fileUrl(const QString& path);

private:
    struct Track {
        int id;
        plist::Object dict;
        QString path;
    };
    QString folder_;
    std::vector<Track> tracks_;
    plist::Object playlists_ = plist::Object::array();
    int nextId_ = 100;
};
