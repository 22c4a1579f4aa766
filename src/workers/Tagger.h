#pragma once

// Tags for encoded files, written with TagLib. The kind of file is read from
// its first bytes (cache files have no extension): MP3 gets an ID3v2.3 tag,
// which small players and car stereos read where many ignore v2.4, and loses
// any ID3v1 or APE tag; MPEG-4 (.m4a) gets the equivalent iTunes atoms.

#include <QString>

#include <expected>
#include <optional>

struct SongTags {
    // Written only when given and not empty.
    std::optional<QString> title, artist, album, composer;
    // Track and disc are always written: "N/T", or "N" when T is 0 (so "0"
    // when nothing is known). The year only when above 0: no "0" year.
    int track = 0, trackCount = 0, disc = 0, discCount = 0, year = 0;
    QString genre;      // empty: none
    QString encodedBy;  // empty: none
};

// Sets the fields above, replacing any earlier values of them; other frames
// or atoms already in the file stay.
std::expected<void, QString> writeTags(const QString& path, const SongTags& tags);
