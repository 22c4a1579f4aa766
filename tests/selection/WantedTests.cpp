#include "library/PathUtils.h"
#include "platform/FileSystem.h"
#include "selection/Selection.h"
#include "support/TestLibrary.h"

#include <gtest/gtest.h>

using plist::Object;

namespace {

class WantedTree : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(t.defaults.set("pathToPlayer", "/Volumes/PLAYER/Music")); }

    QStringList paths(const Layout& layout) const {
        QStringList out;
        for (const auto& [path, song] : layout.entries()) out.append(path.mid(QStringLiteral("/Volumes/PLAYER/Music/").size()));
        return out;
    }
    void set(const char* key, bool value) { ASSERT_TRUE(t.defaults.set(key, value)); }
    static std::vector<int> checks(const SYWantedAlbum& w) {
        std::vector<int> out;
        for (const auto& row : w.songs()) out.push_back(row->checkState());
        return out;
    }

    TestLibrary t;
};

TEST_F(WantedTree, SingleSongsFollowTheFolderOptions) {
    int id = t.builder.addTrack({{"Name", "Intro"}, {"Album", "X"}, {"Track Number", 7}});
    t.builder.addTrack({{"Album", "X"}, {"Track Number", 1}});
    t.load();
    SYWantedSong song(*t.library, t.song(id));
    EXPECT_EQ(paths(song.layoutDictionary()), QStringList{QStringLiteral("X/02 Intro.mp3")}) << "album folder, place in album";
    set("otherSongsInAlbumSubfolders", false);
    EXPECT_EQ(paths(song.layoutDictionary()), QStringList{QStringLiteral("07 Intro.mp3")}) << "track number in the older naming";
    set("createOtherSongsSubfolder", true);
    EXPECT_EQ(paths(song.layoutDictionary()), QStringList{QStringLiteral("Other songs/07 Intro.mp3")});
    EXPECT_EQ(song.valueForKey("Name").toString(), QStringLiteral("Intro"));
}

TEST_F(WantedTree, PlaylistLayoutsNumberTheirFilesPastNinetyNine) {
    std::vector<int> ids;
    for (int i = 0; i < 100; ++i) ids.push_back(t.builder.addTrack({{"Name", "Café " + std::to_string(i)}, {"Album", "Cafés"}}));
    int twice = ids[0];
    ids.push_back(twice);
    t.builder.addPlaylist(QStringLiteral("Mix: A?"), QStringLiteral("P1"), ids);
    t.load();
    SYWantedPlaylist playlist(*t.library, QStringLiteral("P1"));

    QStringList asPlaylist = paths(playlist.layoutDictionary());
    ASSERT_EQ(asPlaylist.size(), 101);
    EXPECT_EQ(asPlaylist[0], decomposed(QStringLiteral("Mix_ A_/01 Café 0.mp3")));
    EXPECT_EQ(asPlaylist[99], decomposed(QStringLiteral("Mix_ A_/100 Café 99.mp3")));
    EXPECT_EQ(asPlaylist[100], decomposed(QStringLiteral("Mix_ A_/101 Café 0.mp3"))) << "a song listed twice gets two files";
    EXPECT_NE(asPlaylist[0], QStringLiteral("Mix_ A_/01 Café 0.mp3")) << "keys are decomposed";

    set("createPlaylistGroupSubfolders", true);
    EXPECT_TRUE(paths(playlist.layoutDictionary())[0].startsWith(QStringLiteral("Playlists/Mix_ A_/01 ")));
    set("createPlaylistSubfolders", false);
    EXPECT_TRUE(paths(playlist.layoutDictionary())[0].startsWith(QStringLiteral("01 ")));

    playlist.setMode(1);
    QStringList asAlbums = paths(playlist.layoutDictionary());
    EXPECT_EQ(asAlbums.size(), 100) << "the same song twice is one file";
    EXPECT_EQ(asAlbums[0], decomposed(QStringLiteral("Cafés/01 Café 0.mp3")));
    playlist.setMode(0);
    set("playlistSongsInAlbumSubfolders", true);
    EXPECT_EQ(paths(playlist.layoutDictionary()), asAlbums);

    // A playlist that left the library lays out nothing and answers nothing.
    SYWantedPlaylist gone(*t.library, QStringLiteral("gone"));
    EXPECT_TRUE(gone.layoutDictionary().empty());
    EXPECT_FALSE(gone.valueForKey("Name").isValid());
    EXPECT_EQ(playlist.valueForKey("Name").toString(), QStringLiteral("Mix: A?"));
}

TEST_F(WantedTree, AlbumCheckStateAndLayout) {
    int a = t.builder.addTrack({{"Album", "X"}, {"Track Number", 1}});
    int b = t.builder.addTrack({{"Album", "X"}, {"Track Number", 2}});
    t.load();
    Album* x = t.library->albumNamed(QStringLiteral("X"));
    std::vector<Song*> onlyB = {t.song(b)};
    SYWantedAlbum album(*t.library, x, &onlyB);
    ASSERT_EQ(checks(album), (std::vector<int>{0, 1}));
    EXPECT_EQ(album.songs()[1]->index(), 2);
    EXPECT_EQ(album.checkState(), -1);
    EXPECT_EQ(paths(album.layoutDictionary()), QStringList{QStringLiteral("X/02 Song %1.mp3").arg(b)});
    album.songs()[0]->setValue(1, "Checked");
    EXPECT_EQ(album.checkState(), 1);
    album.songs()[0]->setChecked(0);
    album.songs()[1]->setChecked(0);
    EXPECT_EQ(album.checkState(), 0);
    EXPECT_TRUE(album.layoutDictionary().empty());
    EXPECT_EQ(album.songs()[0]->album(), &album);
    EXPECT_EQ(album.songs()[0]->song(), t.song(a));
    EXPECT_FALSE(album.songs()[0]->rootWanted());

    Album empty(QStringLiteral("Empty"), QString());
    SYWantedAlbum none(*t.library, &empty);
    EXPECT_EQ(none.checkState(), 0);
    EXPECT_EQ(none.propertyList(), Object(Object::Dict{{"Name", "Empty"}, {"avoidTracks", Object::array()}, {"matchDisabled", true}}));
}

TEST_F(WantedTree, SavedAlbumsFollowDisabledFlagsOrTheirExceptions) {
    int a = t.builder.addTrack({{"Album", "X"}, {"Track Number", 1}});
    int b = t.builder.addTrack({{"Album", "X"}, {"Track Number", 2}, {"Disabled", true}});
    t.builder.addTrack({{"Album", "X"}, {"Track Number", 3}});
    t.load();
    Album* x = t.library->albumNamed(QStringLiteral("X"));
    QString pidB = t.builder.persistentIdOf(b);

    // Exactly the enabled tracks ticked: it follows iTunes' flags.
    std::vector<Song*> enabled = {t.song(a), t.library->songs()[2].get()};
    SYWantedAlbum following(*t.library, x, &enabled);
    Object saved = following.propertyList();
    EXPECT_EQ(saved, Object(Object::Dict{{"Name", "X"}, {"avoidTracks", Object(Object::Array{pidB.toStdString()})}, {"matchDisabled", true}}));

    // A checked track that is disabled: explicit exceptions instead.
    SYWantedAlbum all(*t.library, x);
    Object explicitForm = all.propertyList();
    EXPECT_FALSE(explicitForm.find("matchDisabled")->asBoolean());

    // Since then the track was enabled in iTunes and a fourth track added.
    TestLibrary later;
    later.builder.addTrack({{"Album", "X"}, {"Track Number", 1}});
    later.builder.addTrack({{"Album", "X"}, {"Track Number", 2}, {"Persistent ID", pidB.toStdString()}});
    int lc = later.builder.addTrack({{"Album", "X"}, {"Track Number", 3}, {"Disabled", true}});
    later.builder.addTrack({{"Album", "X"}, {"Track Number", 4}});
    later.load();
    Album* lx = later.library->albumNamed(QStringLiteral("X"));
    Object exceptions(Object::Dict{{"Name", "X"}, {"avoidTracks", Object(Object::Array{later.builder.persistentIdOf(lc).toStdString()})}});
    EXPECT_EQ(checks(SYWantedAlbum(*later.library, lx, saved)), (std::vector<int>{1, 1, 0, 1})) << "follows the flags as they are now";
    EXPECT_EQ(checks(SYWantedAlbum(*later.library, lx, exceptions)), (std::vector<int>{1, 1, 0, 1})) << "all but the exceptions, new tracks included";
    EXPECT_EQ(checks(SYWantedAlbum(*later.library, lx, explicitForm)), (std::vector<int>{1, 1, 1, 1})) << "a disabled track stays ticked";
    // Hand-edited values of the wrong type read as missing.
    Object odd(Object::Dict{{"Name", "X"}, {"avoidTracks", "not a list"}, {"matchDisabled", "no"}});
    EXPECT_EQ(checks(SYWantedAlbum(*later.library, lx, odd)), (std::vector<int>{1, 1, 1, 1}));
}

TEST_F(WantedTree, ListOrderIsKindThenArtistThenName) {
    int s1 = t.builder.addTrack({{"Name", "b song"}, {"Album", Object()}, {"Artist", "Zed"}});
    int s2 = t.builder.addTrack({{"Name", "a song"}, {"Album", Object()}, {"Artist", "zed"}});
    int a1 = t.builder.addTrack({{"Album", "beta"}, {"Artist", "Same"}});
    int a2 = t.builder.addTrack({{"Album", "Alpha"}, {"Artist", "same"}});
    t.builder.addPlaylist(QStringLiteral("Zzz"), QStringLiteral("P1"), {s1});
    t.load();
    Selection selection(*t.library);
    auto& items = selection.wantedStuff();
    items.push_back(std::make_unique<SYWantedFile>(*t.library, QStringLiteral("/Volumes/PLAYER/Music/a.txt")));
    items.push_back(std::make_unique<SYWantedSong>(*t.library, t.song(s1)));
    items.push_back(std::make_unique<SYWantedSong>(*t.library, t.song(s2)));
    items.push_back(std::make_unique<SYWantedAlbum>(*t.library, t.song(a1)->albumObject()));
    items.push_back(std::make_unique<SYWantedAlbum>(*t.library, t.song(a2)->albumObject()));
    items.push_back(std::make_unique<SYWantedPlaylist>(*t.library, QStringLiteral("P1")));
    QStringList names;
    for (const SYWanted* w : selection.sorted()) names.append(w->valueForKey("Name").toString());
    EXPECT_EQ(names, (QStringList{QStringLiteral("Zzz"), QStringLiteral("Alpha"), QStringLiteral("beta"), QStringLiteral("a song"),
                                  QStringLiteral("b song"), QStringLiteral("a.txt")}));
}

TEST_F(WantedTree, OtherFilesAnswerTheirNameAndSize) {
    QString path = t.folder() + QStringLiteral("/other.bin");
    ASSERT_TRUE(fsys::writeFileAtomically(path, QByteArray(1572864, 'x')));
    t.load();
    SYWantedFile file(*t.library, path);
    EXPECT_EQ(file.valueForKey("Name").toString(), QStringLiteral("other.bin"));
    EXPECT_EQ(file.valueForKey("Copied Size").toString(), QStringLiteral("1.5 MB"));
    EXPECT_TRUE(file.setValue(true, "remove"));
    EXPECT_TRUE(file.remove());
    SYWantedFile gone(*t.library, path + QStringLiteral(".gone"));
    EXPECT_EQ(gone.valueForKey("Copied Size").toString(), QStringLiteral("0.0 MB"));
}

}  // namespace
