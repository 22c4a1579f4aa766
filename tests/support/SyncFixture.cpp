#include "SyncFixture.h"

#include "app/Controller.h"
#include "library/PathUtils.h"
#include "library/Song.h"

#include <QFileInfo>

#include <gtest/gtest.h>

SyncFixture::SyncFixture(const QString& volumePath) {
    if (volumePath.isEmpty()) {
        volumesDir = std::make_unique<QTemporaryDir>();
        QString volumes = QFileInfo(volumesDir->path()).canonicalFilePath() + QStringLiteral("/Volumes/");
        volume = volumes + QStringLiteral("PLAYER");
        this->volumes = std::make_unique<VolumesFolderOverride>(volumes);
    } else {
        volume = volumePath;
    }
    player = volume + QStringLiteral("/Music");
    QDir().mkpath(player);

    EXPECT_TRUE(lib.defaults.set(plist::Object::Dict{{"pathToPlayer", player.toStdString()}, {"createArtistSubfolders", true}, {"createAlbumSubfolders", true},
                                                     {"createPlaylistSubfolders", true}, {"createPlaylistGroupSubfolders", false}}));

    auto track = [&](const char* name, const char* artist, const char* album, int number, const char* kind) {
        return lib.builder.addTrack({{"Name", name}, {"Artist", artist}, {"Album", album}, {"Track Number", number}, {"Kind", kind}});
    };
    one = track("One", "A", "X", 1, "MPEG audio file");
    two = track("Two", "A", "X", 2, "MPEG audio file");
    three = track("Three", "A", "X", 3, "MPEG audio file");
    four = track("Four", "B", "Y", 1, "AAC audio file");
    lib.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {two, one});
    lib.builder.addPlaylist(QStringLiteral("Road"), QStringLiteral("P2"), {four});
    lib.load();
}

QString SyncFixture::at(const QString& relative) const { return decomposed(player + u'/' + relative); }

QString SyncFixture::rel(const QString& full) const {
    QString prefix = decomposed(player) + u'/';
    return full.startsWith(prefix) ? full.mid(prefix.size()) : full;
}

void SyncFixture::put(const QString& relative, int bytes) { ASSERT_TRUE(writeFile(at(relative), QByteArray(bytes, 'x'))); }

QString SyncFixture::nameOf(const Song* song) const { return song ? song->name() : QStringLiteral("-"); }

std::unique_ptr<Controller> SyncFixture::controller() {
    // A stored (empty) state: no first-start take-over of the player.
    for (const char* key : {"wantedStuff", "previousSongs"})
        EXPECT_TRUE(lib.defaults.contains(key) || lib.defaults.set(key, plist::Object::dict()).has_value());
    auto c = std::make_unique<Controller>(lib.defaults, lib.ui, Controller::Options{lib.builder.write(), lib.folder() + QStringLiteral("/cache")});
    EXPECT_TRUE(c->loadLibrary());
    c->restoreSavedState();
    c->checkMounted();
    return c;
}
