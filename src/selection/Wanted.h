#pragma once

// The wanted tree: what the user wants on the player. Root items are wanted
// playlists, albums (with one row per track, each with a check box), single
// songs, and the other files found on the player. Every root item says where
// its songs go: its layout, full NFD paths on the player to songs.
//
// Main thread only.

#include "Layout.h"
#include "platform/plist/Value.h"

#include <QString>
#include <QVariant>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

class Album;
class Library;
class Song;
class SYWantedAlbum;
class SYWantedAlbumTrack;

class SYWanted {
public:
    // What an item is: code that needs to know asks this, not sort() (the
    // list's order, which follows from it) nor type() (the text shown).
    enum class Kind { Playlist, Album, Song, AlbumTrack, File };

    explicit SYWanted(const Library& library) : library_(library) {}
    virtual ~SYWanted() = default;
    SYWanted(const SYWanted&) = delete;
    SYWanted& operator=(const SYWanted&) = delete;

    virtual Kind kind() const = 0;
    // The item as the class of its kind; null when it is of another kind.
    template <typename T>
    T* as() {
        return kind() == T::kKind ? static_cast<T*>(this) : nullptr;
    }
    template <typename T>
    const T* as() const {
        return kind() == T::kKind ? static_cast<const T*>(this) : nullptr;
    }

    virtual Layout layoutDictionary() const { return {}; }
    virtual const std::vector<std::unique_ptr<SYWantedAlbumTrack>>* children() const { return nullptr; }
    bool rootWanted() const { return kind() != Kind::AlbumTrack; }
    // 1 checked, 0 not, -1 mixed (albums).
    virtual int checkState() const { return 1; }
    bool isDeletable() const { return kind() == Kind::File; }
    // Playlists (1), albums (2), songs and track rows (3), other files (4).
    int sort() const;
    virtual QString type() const { return {}; }

    // The list's order: sort, then artist, then name, both without regard to case.
    int compare(const SYWanted& other) const;
    // What that order compares, taken once: keys can be compared on any
    // thread, and without asking the items again.
    struct SortKey {
        int sort = 0;
        std::optional<QString> artist, name;  // nothing: no value, equal to any
    };
    SortKey sortKey() const;
    static int compare(const SortKey& a, const SortKey& b);

    // A key naming a field or operation of the item is answered by it; any
    // other key goes to valueForUndefinedKey.
    QVariant valueForKey(std::string_view key) const;
    virtual QVariant valueForUndefinedKey(std::string_view key) const;
    // Only "Checked" (track rows), "mode" (playlists) and "remove" (files) are
    // ever written. Answers whether the key was taken.
    virtual bool setValue(const QVariant& value, std::string_view key);

protected:
    virtual std::optional<QVariant> field(std::string_view key) const;
    const Library& library_;
};

// A wanted song: a single song, or one track row of a wanted album.
class SYWantedGenericSong : public SYWanted {
public:
    SYWantedGenericSong(const Library& library, Song* song) : SYWanted(library), song_(song) {}

    Song* song() const { return song_; }
    QString persistentID() const;
    virtual QString pathOnPlayer() const { return {}; }
    Layout layoutDictionary() const override;
    QString type() const override;
    QVariant valueForUndefinedKey(std::string_view key) const override;

protected:
    std::optional<QVariant> field(std::string_view key) const override;

private:
    Song* song_;  // owned by the library
};

class SYWantedSong final : public SYWantedGenericSong {
public:
    static constexpr Kind kKind = Kind::Song;
    using SYWantedGenericSong::SYWantedGenericSong;
    Kind kind() const override { return kKind; }
    QString pathOnPlayer() const override;
};

class SYWantedAlbumTrack final : public SYWantedGenericSong {
public:
    SYWantedAlbumTrack(const Library& library, Song* song, SYWantedAlbum* album, int index)
        : SYWantedGenericSong(library, song), album_(album), index_(index) {}

    static constexpr Kind kKind = Kind::AlbumTrack;
    Kind kind() const override { return kKind; }
    int checkState() const override { return checked_; }
    void setChecked(int checked) { checked_ = checked; }
    SYWantedAlbum* album() const { return album_; }
    int index() const { return index_; }
    bool setValue(const QVariant& value, std::string_view key) override;

protected:
    std::optional<QVariant> field(std::string_view key) const override;

private:
    int checked_ = 0;
    SYWantedAlbum* album_;  // the album that owns this row
    int index_;
};

class SYWantedAlbum final : public SYWanted {
public:
    // Every track ticked.
    SYWantedAlbum(const Library& library, Album* album);
    // Ticks the tracks whose song is in `songs` (by identity); all when null.
    SYWantedAlbum(const Library& library, Album* album, const std::vector<Song*>* songs);
    // From the saved form.
    SYWantedAlbum(const Library& library, Album* album, const plist::Object& propertyList);
    // Rows for tracks the album gained since, ticked as the saved form would
    // bring them back.
    void addNewTracks();

    static constexpr Kind kKind = Kind::Album;
    Kind kind() const override { return kKind; }

    Album* album() const { return album_; }
    const std::vector<std::unique_ptr<SYWantedAlbumTrack>>* children() const override { return &songs_; }
    const std::vector<std::unique_ptr<SYWantedAlbumTrack>>& songs() const { return songs_; }
    int checkState() const override;
    // A click on the album's box: all on goes all off; all off ticks the
    // tracks that are not disabled; mixed ticks every track when exactly the
    // enabled ones are on, otherwise the enabled ones. So an album with
    // disabled tracks cycles off, enabled, all.
    void click();
    Layout layoutDictionary() const override;
    QString type() const override { return QStringLiteral("Album"); }
    QVariant valueForUndefinedKey(std::string_view key) const override;
    // {"Name", "avoidTracks", "matchDisabled"}
    plist::Object propertyList() const;

protected:
    std::optional<QVariant> field(std::string_view key) const override;

private:
    void buildRows(const std::vector<Song*>* songs);

    Album* album_;  // owned by the library
    std::vector<std::unique_ptr<SYWantedAlbumTrack>> songs_;
};

class SYWantedPlaylist final : public SYWanted {
public:
    SYWantedPlaylist(const Library& library, QString playlistID) : SYWanted(library), playlistID_(std::move(playlistID)) {}

    static constexpr Kind kKind = Kind::Playlist;
    Kind kind() const override { return kKind; }

    const QString& persistentID() const { return playlistID_; }
    // 0: "As playlist", 1: "As albums".
    int mode() const { return mode_; }
    void setMode(int mode) { mode_ = mode ? 1 : 0; }

    Layout layoutDictionary() const override;
    QString type() const override { return QStringLiteral("Playlist"); }
    QVariant valueForUndefinedKey(std::string_view key) const override;
    bool setValue(const QVariant& value, std::string_view key) override;
    // {"persistentID", "mode"}
    plist::Object propertyList() const;

protected:
    std::optional<QVariant> field(std::string_view key) const override;

private:
    QString playlistID_;
    int mode_ = 0;
};

// A file on the player that no wanted item accounts for.
class SYWantedFile final : public SYWanted {
public:
    SYWantedFile(const Library& library, QString path) : SYWanted(library), path_(std::move(path)) {}

    static constexpr Kind kKind = Kind::File;
    Kind kind() const override { return kKind; }

    const QString& path() const { return path_; }
    QString name() const;
    quint64 copiedSize() const;
    // The user confirmed that the file is to be deleted.
    bool remove() const { return remove_; }
    void setRemove(bool remove) { remove_ = remove; }

    QString type() const override { return QStringLiteral("File"); }
    QVariant valueForUndefinedKey(std::string_view key) const override;
    bool setValue(const QVariant& value, std::string_view key) override;

protected:
    std::optional<QVariant> field(std::string_view key) const override;

private:
    QString path_;
    bool remove_ = false;
};
