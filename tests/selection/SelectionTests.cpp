#include "app/Controller.h"
#include "library/PathUtils.h"
#include "platform/FileSystem.h"
#include "platform/plist/Plist.h"
#include "selection/Selection.h"
#include "support/TestLibrary.h"

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
    for (const auto& row : album->songs()) out.push_back(row->checkState());
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

TEST_F(Drops, TracksGoIntoTheirAlbumByNameAndLooseSongsIntoOneSong) {
    // One track of an album makes the album with that track ticked.
    selection->addSongs({t.song(x2)});
    auto albums = itemsOf<SYWantedAlbum>(*selection);
    ASSERT_EQ(albums.size(), 1u);
    EXPECT_EQ(checks(albums[0]), (std::vector<int>{0, 1, 0}));
    EXPECT_TRUE(itemsOf<SYWantedSong>(*selection).empty());
    // The same album again ticks the dropped tracks of the existing one, unticked or not.
    albums[0]->songs()[1]->setChecked(0);
    selection->addSongs({t.song(x2), t.song(x3)});
    ASSERT_EQ(selection->wantedStuff().size(), 1u);
    EXPECT_EQ(checks(albums[0]), (std::vector<int>{0, 1, 1}));
    // Songs without an album become one single song, however often dropped.
    selection->addSongs({t.song(loose), t.song(loose)});
    selection->addSongs({t.song(loose)});
    EXPECT_EQ(itemsOf<SYWantedSong>(*selection).size(), 1u);
    // Same-named albums of different artists are one album.
    selection->addSongs({t.song(hitsOld), t.song(hitsNew)});
    albums = itemsOf<SYWantedAlbum>(*selection);
    ASSERT_EQ(albums.size(), 2u);
    EXPECT_EQ(albums[1]->album()->name(), QStringLiteral("Hits"));
    EXPECT_EQ(checks(albums[1]), (std::vector<int>{1, 1}));
    EXPECT_EQ(selection->wantedStuff().size(), 3u);
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

    // Entries that name nothing loaded, or that are of the wrong shape; a bare
    // playlist identifier is the older form.
    const Object::Array extra[] = {{"GONE PLAYLIST", Object::Dict{{"mode", 1}}, "P1"},
                                   {"NO SUCH SONG", 42},
                                   {Object::Dict{{"Name", "No such album"}}, Object::Dict{{"Name", 7}}, "not a dict"}};
    for (std::size_t i = 0; i < 3; ++i)
        for (const Object& o : extra[i]) reread.ifDict()->at(i).second.append(o);

    Selection restored(*t.library);
    restored.restore(reread);
    // Songs first, then albums, then playlists.
    const auto& items = restored.wantedStuff();
    ASSERT_EQ(items.size(), 4u);
    EXPECT_TRUE(dynamic_cast<SYWantedSong*>(items[0].get()));
    auto* album = dynamic_cast<SYWantedAlbum*>(items[1].get());
    auto *p = dynamic_cast<SYWantedPlaylist*>(items[2].get()), *bare = dynamic_cast<SYWantedPlaylist*>(items[3].get());
    ASSERT_TRUE(album && p && bare);
    EXPECT_EQ(checks(album), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(p->mode(), 1);
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
    void putOnPlayer(std::initializer_list<const char*> files) {
        for (const char* f : files) ASSERT_TRUE(fsys::writeFileAtomically(player + u'/' + QString::fromUtf8(f), {}));
    }

    TestLibrary t;
    QString player;
    int a1, a2, b1;
};

TEST_F(Restoring, APlayerFilledUnderTheOlderNamingIsTakenOver) {
    putOnPlayer({"A/01 One.mp3", "A/02 Two.mp3", "B/01 Solo.mp3"});
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
    putOnPlayer({"A/01 One.mp3"});
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

}  // namespace
