#include "app/Controller.h"
#include "library/PathUtils.h"
#include "platform/plist/Plist.h"
#include "selection/Selection.h"
#include "support/TestLibrary.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using plist::Object;

namespace {

template <typename T>
std::vector<T*> itemsOf(Selection& s) {
    std::vector<T*> out;
    for (const auto& item : s.wantedStuff())
        if (auto* w = dynamic_cast<T*>(item.get())) out.push_back(w);
    return out;
}

std::vector<int> checks(const SYWantedAlbum* album) {
    std::vector<int> out;
    for (const auto& row : album->songs()) out.push_back(row->Checked());
    return out;
}

class Drops : public ::testing::Test {
protected:
    void SetUp() override {
        x1 = t.builder.addTrack({{"Album", "X"}, {"Track Number", 1}});
        x2 = t.builder.addTrack({{"Album", "X"}, {"Track Number", 2}});
        x3 = t.builder.addTrack({{"Album", "X"}, {"Track Number", 3}});
        hitsOld = t.builder.addTrack({{"Album", "Hits"}, {"Artist", "Old"}});
        hitsNew = t.builder.addTrack({{"Album", "Hits"}, {"Artist", "New"}});
        loose = t.builder.addTrack({{"Album", Object()}});
        t.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {x1});
        t.load();
        selection = std::make_unique<Selection>(*t.library);
    }
    TestLibrary t;
    std::unique_ptr<Selection> selection;
    int x1, x2, x3, hitsOld, hitsNew, loose;
};

TEST_F(Drops, OneTrackOfAnAlbumMakesTheAlbumWithThatTrackTicked) {
    selection->addSongs({t.song(x2)});
    auto albums = itemsOf<SYWantedAlbum>(*selection);
    ASSERT_EQ(albums.size(), 1u);
    EXPECT_EQ(checks(albums[0]), (std::vector<int>{0, 1, 0}));
    EXPECT_TRUE(itemsOf<SYWantedSong>(*selection).empty());
}

TEST_F(Drops, TheSameAlbumAgainTicksTheDroppedTracksOfTheExistingOne) {
    selection->addSongs({t.song(x1), t.song(x2)});
    auto albums = itemsOf<SYWantedAlbum>(*selection);
    albums[0]->songs()[0]->setChecked(0);  // the user unticks track 1
    selection->addSongs({t.song(x1), t.song(x3)});
    ASSERT_EQ(selection->wantedStuff().size(), 1u);
    EXPECT_EQ(checks(albums[0]), (std::vector<int>{1, 1, 1}));
}

TEST_F(Drops, SongsWithoutAlbumBecomeOneSingleSong) {
    selection->addSongs({t.song(loose), t.song(loose)});
    selection->addSongs({t.song(loose)});
    ASSERT_EQ(itemsOf<SYWantedSong>(*selection).size(), 1u);
    EXPECT_EQ(selection->wantedStuff().size(), 1u);
}

TEST_F(Drops, SameNamedAlbumsOfDifferentArtistsAreOneAlbum) {
    selection->addSongs({t.song(hitsOld), t.song(hitsNew), t.song(x1)});
    auto albums = itemsOf<SYWantedAlbum>(*selection);
    ASSERT_EQ(albums.size(), 2u);
    auto hits = albums[0]->album()->name() == u"Hits" ? albums[0] : albums[1];
    EXPECT_EQ(checks(hits), (std::vector<int>{1, 1}));
}

TEST_F(Drops, PlaylistsAreAddedOnceAndRemovalIsByIdentity) {
    selection->addPlaylists({QStringLiteral("P1"), QStringLiteral("P1")});
    selection->addPlaylists({QStringLiteral("P1")});
    ASSERT_EQ(selection->wantedStuff().size(), 1u);
    auto* playlist = itemsOf<SYWantedPlaylist>(*selection)[0];
    EXPECT_EQ(playlist->mode(), 0);
    SYWantedPlaylist stranger(*t.library, QStringLiteral("P1"));
    selection->removeItem(&stranger);
    EXPECT_EQ(selection->wantedStuff().size(), 1u);
    selection->removeItem(playlist);
    EXPECT_TRUE(selection->wantedStuff().empty());
}

TEST_F(Drops, SavedFormRestoresTheSameSelectionAndDropsWhatIsGone) {
    selection->addPlaylists({QStringLiteral("P1")});
    itemsOf<SYWantedPlaylist>(*selection)[0]->setMode(1);
    selection->addSongs({t.song(x2), t.song(loose)});
    Object saved = selection->propertyList();
    // Through the settings file's text, as it is stored.
    auto doc = plist::parseXml(plist::writeXml(saved));
    ASSERT_TRUE(doc);
    Object reread = plist::toObject(doc->root());
    EXPECT_EQ(reread, saved);

    // Entries that name nothing loaded, or that are of the wrong shape.
    reread.ifDict()->at(1).second.append("NO SUCH SONG");
    reread.ifDict()->at(1).second.append(42);
    reread.ifDict()->at(0).second.append("GONE PLAYLIST");
    reread.ifDict()->at(0).second.append(Object(Object::Dict{{"mode", 1}}));
    reread.ifDict()->at(0).second.append("P1");  // the older bare form
    reread.ifDict()->at(2).second.append(Object(Object::Dict{{"Name", "No such album"}}));
    reread.ifDict()->at(2).second.append(Object(Object::Dict{{"Name", 7}}));
    reread.ifDict()->at(2).second.append("not a dict");

    Selection restored(*t.library);
    restored.restore(reread);
    // Songs first, then albums, then playlists.
    ASSERT_EQ(restored.wantedStuff().size(), 4u);
    EXPECT_TRUE(dynamic_cast<SYWantedSong*>(restored.wantedStuff()[0].get()));
    auto* album = dynamic_cast<SYWantedAlbum*>(restored.wantedStuff()[1].get());
    ASSERT_TRUE(album);
    EXPECT_EQ(checks(album), (std::vector<int>{0, 1, 0}));
    auto* p = dynamic_cast<SYWantedPlaylist*>(restored.wantedStuff()[2].get());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->mode(), 1);
    auto* bare = dynamic_cast<SYWantedPlaylist*>(restored.wantedStuff()[3].get());
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->mode(), 0) << "a bare identifier is laid out as a playlist";

    restored.restore(Object("not even a dict"));
    EXPECT_TRUE(restored.wantedStuff().empty());
}

TEST_F(Drops, FlatListsBecomeAlbumsOnlyWhenComplete) {
    auto kinds = [&](const std::vector<std::unique_ptr<SYWanted>>& items) {
        int albums = 0, songs = 0;
        for (const auto& w : items) (dynamic_cast<SYWantedAlbum*>(w.get()) ? albums : songs)++;
        return std::pair(albums, songs);
    };
    EXPECT_EQ(kinds(selection->wantedObjectsForSongs({t.song(x1), t.song(x2)})), std::pair(0, 2));
    auto all = selection->wantedObjectsForSongs({t.song(x1), t.song(loose), t.song(x2), t.song(x3)});
    EXPECT_EQ(kinds(all), std::pair(1, 1));
    EXPECT_TRUE(dynamic_cast<SYWantedAlbum*>(all[0].get())) << "albums first";
    // Counting is by occurrences: two of three given three times is complete.
    auto counted = selection->wantedObjectsForSongs({t.song(x1), t.song(x2), t.song(x2)});
    EXPECT_EQ(kinds(counted), std::pair(1, 0));
    EXPECT_EQ(checks(dynamic_cast<SYWantedAlbum*>(counted[0].get())), (std::vector<int>{1, 1, 1}));
}

// Start-up restoring through the controller, with the older forms.
class Restoring : public ::testing::Test {
protected:
    void SetUp() override {
        a1 = t.builder.addTrack({{"Album", "A"}, {"Name", "One"}, {"Track Number", 1}});
        a2 = t.builder.addTrack({{"Album", "A"}, {"Name", "Two"}, {"Track Number", 2}});
        b1 = t.builder.addTrack({{"Album", "B"}, {"Name", "Solo"}, {"Track Number", 1}});
        t.builder.addTrack({{"Album", "B"}, {"Name", "Other"}, {"Track Number", 2}});
        player = t.folder() + QStringLiteral("/Volumes/PLAYER/Music");
        ASSERT_TRUE(t.defaults.set("pathToPlayer", player.toStdString()));
    }

    std::unique_ptr<Controller> start() {
        auto c = std::make_unique<Controller>(t.defaults, t.ui, Controller::Options{t.builder.write(), t.folder() + QStringLiteral("/cache")});
        EXPECT_TRUE(c->loadLibrary());
        c->restoreSavedState();
        return c;
    }
    void putOnPlayer(const QString& relative) {
        QDir().mkpath(QFileInfo(player + u'/' + relative).path());
        QFile f(player + u'/' + relative);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }

    TestLibrary t;
    QString player;
    int a1, a2, b1;
};

TEST_F(Restoring, FirstStartStoresAnEmptySelectionAndRecord) {
    auto c = start();
    EXPECT_TRUE(c->wantedStuff().empty());
    EXPECT_EQ(*t.defaults.object("previousSongs"), Object::dict());
    EXPECT_EQ(*t.defaults.object("wantedStuff"),
              Object(Object::Dict{{"wantedPlaylists", Object::array()}, {"wantedSongs", Object::array()}, {"wantedAlbums", Object::array()}}));
}

TEST_F(Restoring, APlayerFilledUnderTheOlderNamingIsTakenOver) {
    putOnPlayer(QStringLiteral("A/01 One.mp3"));
    putOnPlayer(QStringLiteral("A/02 Two.mp3"));
    putOnPlayer(QStringLiteral("B/01 Solo.mp3"));
    auto c = start();
    ASSERT_EQ(c->wantedStuff().size(), 2u);
    EXPECT_TRUE(dynamic_cast<SYWantedAlbum*>(c->wantedStuff()[0].get())) << "album A is complete";
    EXPECT_EQ(dynamic_cast<SYWantedSong*>(c->wantedStuff()[1].get())->song(), c->library().songWithTrackId(b1));
    std::lock_guard lock(c->work().todoLock);
    EXPECT_EQ(c->work().previousFiles.size(), 3);
    EXPECT_EQ(c->work().previousFiles.value(decomposed(player + QStringLiteral("/B/01 Solo.mp3"))), c->library().songWithTrackId(b1));
    EXPECT_EQ(t.defaults.object("previousSongs")->ifDict()->size(), 3u);
}

TEST_F(Restoring, TheOlderListDecidesWhatIsWantedAndAnExistingRecordIsKept) {
    putOnPlayer(QStringLiteral("A/01 One.mp3"));
    ASSERT_TRUE(t.defaults.set("wantedSongs", Object(Object::Array{"GONE", t.builder.persistentIdOf(a2).toStdString()})));
    ASSERT_TRUE(t.defaults.set("previousSongs", Object(Object::Dict{{QString(player + QStringLiteral("/x.mp3")).toStdString(), t.builder.persistentIdOf(a1).toStdString()},
                                                                    {QString(player + QStringLiteral("/y.mp3")).toStdString(), "GONE"}})));
    auto c = start();
    ASSERT_EQ(c->wantedStuff().size(), 1u);
    EXPECT_EQ(dynamic_cast<SYWantedSong*>(c->wantedStuff()[0].get())->song(), c->library().songWithTrackId(a2));
    std::lock_guard lock(c->work().todoLock);
    EXPECT_EQ(c->work().previousFiles.size(), 1) << "the stored record wins; a gone song's entry is dropped";
    EXPECT_TRUE(c->previousFilesSet());
}

TEST_F(Restoring, ASavedSelectionComesBackAtTheNextStart) {
    {
        auto c = start();
        c->addSongs({c->library().songWithTrackId(a2)});
        c->addSongs({c->library().songWithTrackId(b1)});
        auto* album = dynamic_cast<SYWantedAlbum*>(c->wantedStuff()[0].get());
        c->setTrackChecked(album->songs()[0].get(), true);
    }
    auto c = start();
    std::vector<SYWanted*> sorted = c->selection().sorted();
    ASSERT_EQ(sorted.size(), 2u);
    EXPECT_EQ(checks(dynamic_cast<SYWantedAlbum*>(sorted[0])), (std::vector<int>{1, 1}));
    EXPECT_EQ(checks(dynamic_cast<SYWantedAlbum*>(sorted[1])), (std::vector<int>{1, 0}));
}

}  // namespace
