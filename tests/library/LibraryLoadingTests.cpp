#include "platform/FileSystem.h"
#include "support/Helpers.h"
#include "support/LibraryBuilder.h"
#include "support/TestLibrary.h"

#include <QDir>
#include <QElapsedTimer>

#include <unistd.h>

#include <gtest/gtest.h>

using plist::Date;
using plist::Object;
using Outcome = LibraryLoader::Outcome;

namespace {

class LibraryLoading : public ::testing::Test {
protected:
    std::vector<QString> loadedNames() const {
        std::vector<QString> names;
        for (const auto& s : t.library->songs()) names.push_back(s->name());
        return names;
    }
    static std::vector<int> ids(const Album* album) {
        std::vector<int> out;
        for (const Song* s : album->tracks()) out.push_back(s->trackId());
        return out;
    }

    TestLibrary t;
    LibraryBuilder& builder = t.builder;
};

// Candidates are the tracks that could go on a player; the library is rebuilt
// only when there are some and none is usable.
TEST_F(LibraryLoading, FilterCountsCandidatesAndUsableTracks) {
    struct Track {
        Object::Dict values;
        bool file = true;
    };
    const Track locked{{{"Protected", true}}}, video{{{"Has Video", 1}}}, stream{{{"Track Type", "URL"}}}, noId{{{"Persistent ID", Object()}}},
        missing{{}, false}, fine{};
    const struct {
        std::vector<Track> tracks;
        int candidates, usable;
        std::size_t songs;
        std::array<int, 6> leftOut;  // by LeftOut
    } cases[] = {{{locked, video, stream, noId, missing, fine}, 4, 2, 1, {1, 1, 1, 1, 1, 0}},
                 {{locked, video}, 0, 0, 0, {1, 1, 0, 0, 0, 0}},
                 {{missing, missing}, 2, 2, 0, {0, 0, 0, 0, 2, 0}}};
    int round = 0;
    for (const auto& c : cases) {
        LibraryBuilder b(t.folder() + QStringLiteral("/%1").arg(++round));
        int last = 0;
        for (const Track& track : c.tracks) last = b.addTrack(track.values, track.file);
        ASSERT_EQ(t.loadFile(b.write()), Outcome::Loaded);
        EXPECT_EQ(t.library->counts().candidates, c.candidates);
        EXPECT_EQ(t.library->counts().usable, c.usable);
        EXPECT_EQ(t.library->counts().leftOut.byReason, c.leftOut);
        ASSERT_EQ(t.library->songs().size(), c.songs) << "round " << round;
        EXPECT_EQ(t.library->songWithPersistentId(b.persistentIdOf(last)), t.library->songWithTrackId(last));
    }
    EXPECT_TRUE(t.ui.shown.isEmpty()) << "no rebuild";
}

TEST_F(LibraryLoading, SongsOfAFolderAreKeptWhenTheirFilesCanBeOpened) {
    int a = builder.addTrack();
    int b = builder.addTrack();
    int c = builder.addTrack();
    builder.addTrack({}, false);
    QString files = builder.folder() + QStringLiteral("/files/");
    ASSERT_EQ(::symlink(qPrintable(files + QStringLiteral("nowhere.mp3")), qPrintable(files + QStringLiteral("dangling.mp3"))), 0);
    builder.addTrack({{"Location", LibraryBuilder::fileUrl(files + QStringLiteral("dangling.mp3"))}}, false);
    ASSERT_EQ(::symlink(qPrintable(builder.pathOf(a)), qPrintable(files + QStringLiteral("link.mp3"))), 0);
    int link = builder.addTrack({{"Location", LibraryBuilder::fileUrl(files + QStringLiteral("link.mp3"))}}, false);
    // Another spelling of an existing file's name names no file here.
    builder.addTrack({{"Location", LibraryBuilder::fileUrl(files + QStringLiteral("TRACK %1.mp3").arg(b))}}, false);
    // Nor do a FIFO, a folder, a device or a file of /proc, listed or looked up.
    Fifo fifo(files + QStringLiteral("fifo.mp3"));
    ASSERT_TRUE(QDir().mkpath(files + QStringLiteral("folder.mp3")));
    ASSERT_EQ(::symlink("/proc/self/environ", qPrintable(files + QStringLiteral("environ.mp3"))), 0);
    for (const QString& path : QStringList{fifo.path(), files + QStringLiteral("folder.mp3"), files + QStringLiteral("environ.mp3"), QStringLiteral("/dev/null"),
                                QStringLiteral("/proc/self/environ"), QStringLiteral("/proc/self/status")})
        builder.addTrack({{"Location", LibraryBuilder::fileUrl(path)}}, false);
    ASSERT_EQ(t.loadFile(builder.write()), Outcome::Loaded);

    std::vector<qint64> loaded;
    for (const auto& s : t.library->songs()) loaded.push_back(s->trackId());
    EXPECT_EQ(loaded, (std::vector<qint64>{a, b, c, link}));
}

TEST_F(LibraryLoading, UnusableLibraryIsMovedAsideAndReadAgainWhenRewritten) {
    builder.addTrack({{"Track Type", "URL"}});
    QString path = builder.write();
    // The earlier backup must survive.
    ASSERT_TRUE(fsys::writeFileAtomically(path + QStringLiteral(" (Brisle backup)"), "earlier backup"));

    LibraryBuilder good(builder.folder());
    int id = good.addTrack();
    t.ui.expect(QStringLiteral("iTunes Library XML not compatible"), 0);
    t.ui.expect(QStringLiteral("Close and reopen iTunes"), 0);  // the file is not there yet
    t.ui.expect(QStringLiteral("Close and reopen iTunes"), 0, [&] { good.write(); });

    ASSERT_EQ(t.loadFile(path), Outcome::Loaded);
    EXPECT_TRUE(t.ui.unexpected.isEmpty()) << t.ui.unexpected.join(u',').toStdString();
    ASSERT_EQ(t.library->songs().size(), 1u);
    EXPECT_EQ(t.library->songs()[0]->trackId(), id);
    EXPECT_EQ(readFile(path + QStringLiteral(" (Brisle backup)")), QByteArray("earlier backup"));
    EXPECT_EQ(readFile(path + QStringLiteral(" (Brisle backup) 2")), readFile(builder.write(QStringLiteral("first.xml"))));
}

TEST_F(LibraryLoading, QuitInTheRebuildDialoguesEndsTheStartAndLeavesTheFile) {
    builder.addTrack({{"Persistent ID", Object()}});
    QString path = builder.write();
    t.ui.expect(QStringLiteral("iTunes Library XML not compatible"), 1);
    EXPECT_EQ(t.loadFile(path), Outcome::Quit);
    EXPECT_TRUE(fsys::exists(path));
    t.ui.expect(QStringLiteral("iTunes Library XML not compatible"), 0);
    t.ui.expect(QStringLiteral("Close and reopen iTunes"), 1);
    const QByteArray bytes = readFile(path);
    EXPECT_EQ(t.loadFile(path), Outcome::Quit);
    EXPECT_TRUE(t.ui.unexpected.isEmpty());
    EXPECT_EQ(readFile(path), bytes) << "quitting the wait puts the file back";
    EXPECT_FALSE(fsys::exists(path + QStringLiteral(" (Brisle backup)")));
}

// A broken file is never read as an empty library: that would remove every song.
TEST_F(LibraryLoading, AMissingOrBrokenFileQuitsNamingTheFileAndWhere) {
    EXPECT_EQ(t.loadFile(t.folder() + QStringLiteral("/nothing.xml")), Outcome::Quit);
    EXPECT_TRUE(t.ui.lastMessage.endsWith(QStringLiteral("file at ") + t.folder() + QStringLiteral("/nothing.xml.")));
    EXPECT_EQ(t.loadFile(QString()), Outcome::Quit);
    EXPECT_EQ(t.ui.shown, QStringList(2, QStringLiteral("iTunes Library not found")));

    QString path = t.folder() + QStringLiteral("/garbage.xml");
    for (const char* text : {"<html><body>not a library", "<plist><array/></plist>"}) {
        ASSERT_TRUE(writeFile(path, text));
        EXPECT_EQ(t.loadFile(path), Outcome::Quit);
        EXPECT_TRUE(t.ui.lastMessage.startsWith(QStringLiteral("Brisle could not read your iTunes Library XML file ") + path)) << t.ui.lastMessage.toStdString();
    }
}

// Only a regular file is read as the library, and no further than its size:
// /dev/zero would fill memory, a FIFO hold the start for ever.
TEST_F(LibraryLoading, ALibraryFileThatIsNoRegularFileIsRefusedByName) {
    Fifo fifo(t.folder() + QStringLiteral("/fifo.xml"));
    const std::pair<QString, QString> files[] = {{QStringLiteral("/dev/zero"), QStringLiteral("a device")},
                                                 {fifo.path(), QStringLiteral("a FIFO")},
                                                 {t.folder(), QStringLiteral("a folder")},
                                                 {QStringLiteral("/proc/self/environ"), QStringLiteral("(/proc, /sys)")}};
    QElapsedTimer timer;
    timer.start();
    for (const auto& [path, why] : files) {
        EXPECT_EQ(t.loadFile(path), Outcome::Quit) << path.toStdString();
        const QString message = t.ui.lastMessage;
        EXPECT_TRUE(message.startsWith(QStringLiteral("Brisle could not read your iTunes Library XML file ") + path + QStringLiteral(": ")) &&
                    message.endsWith(why + QStringLiteral(", not a regular file.")))
            << message.toStdString();
        EXPECT_TRUE(readLibraryFile(path) == nullptr) << "nor when it is read again after a rewrite";
    }
    EXPECT_LT(timer.elapsed(), 1000) << "nothing waits on the file";
    EXPECT_EQ(t.ui.shown, QStringList(std::size(files), QStringLiteral("iTunes Library not found")));
}

TEST_F(LibraryLoading, SortsByReleaseDateDiscTrackAndName) {
    builder.addTrack({{"Name", "old"}, {"Release Date", Date{1000}}});
    builder.addTrack({{"Name", "undated"}});
    builder.addTrack({{"Name", "b"}, {"Release Date", Date{5000}}, {"Disc Number", 2}, {"Track Number", 1}});
    builder.addTrack({{"Name", "c"}, {"Release Date", Date{5000}}, {"Disc Number", 1}, {"Track Number", 2}});
    builder.addTrack({{"Name", "B second"}, {"Release Date", Date{5000}}, {"Disc Number", 1}, {"Track Number", 1}});
    builder.addTrack({{"Name", "a first"}, {"Release Date", Date{5000}}, {"Disc Number", 1}, {"Track Number", 1}});
    t.load();
    EXPECT_EQ(loadedNames(), (std::vector<QString>{"a first", "B second", "c", "b", "old", "undated"}));
}

TEST_F(LibraryLoading, AlbumsAreGroupedByNameAcrossArtists) {
    int a1 = builder.addTrack({{"Album", "Hits"}, {"Artist", "Old Band"}, {"Release Date", Date{1000}}});
    int b1 = builder.addTrack({{"Album", "Hits"}, {"Artist", "New Band"}, {"Release Date", Date{9000}}, {"Track Number", 2}});
    int b2 = builder.addTrack({{"Album", "Hits"}, {"Artist", "New Band"}, {"Release Date", Date{9000}}, {"Track Number", 1}});
    int loose = builder.addTrack({{"Album", Object()}, {"Artist", "Someone"}});
    int empty = builder.addTrack({{"Album", ""}});
    int comp = builder.addTrack({{"Album", "Sampler"}, {"Compilation", true}, {"Artist", "X"}});
    Library& library = t.load();

    Album* hits = library.albumNamed(QStringLiteral("Hits"));
    ASSERT_TRUE(hits);
    ASSERT_EQ(ids(hits), (std::vector<int>{b2, b1, a1}));
    EXPECT_EQ(hits->artist(), QStringLiteral("New Band"));  // the first song in load order
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(hits->tracks()[std::size_t(i)]->index(), i + 1);
        EXPECT_EQ(hits->tracks()[std::size_t(i)]->albumObject(), hits);
    }
    Album* other = library.albumNamed(QStringLiteral("Other songs"));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->artist(), QString());
    EXPECT_EQ(ids(other), (std::vector<int>{loose, empty}));
    EXPECT_EQ(library.songWithTrackId(comp)->albumObject()->artist(), QString());
}

TEST_F(LibraryLoading, PlaylistsKeepLoadedSongsAndLaterDuplicatesReplaceEarlier) {
    int a = builder.addTrack();
    int locked = builder.addTrack({{"Protected", true}});
    int b = builder.addTrack();
    builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, locked, 9999, b, a});
    builder.addPlaylist(QStringLiteral("Empty"), QStringLiteral("P2"), {});
    builder.addPlaylist(QStringLiteral("Mix again"), QStringLiteral("P1"), {b});
    Library& library = t.load();

    ASSERT_EQ(library.playlistIds().size(), 2u);
    Album* mix = library.playlistWithID(QStringLiteral("P1"));
    ASSERT_TRUE(mix);
    EXPECT_EQ(mix->name(), QStringLiteral("Mix again"));
    EXPECT_EQ(ids(mix), std::vector<int>{b});
    EXPECT_EQ(mix->artist(), QString());
    EXPECT_TRUE(library.playlistWithID(QStringLiteral("P2"))->tracks().empty());
    EXPECT_EQ(library.playlistWithID(QStringLiteral("nope")), nullptr);

    // Re-reading a playlist file keeps only the songs loaded at start.
    LibraryBuilder later(t.folder());
    later.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, locked, 9999, b, a});
    auto doc = readLibraryFile(later.write(QStringLiteral("later.xml")));
    library.readPlaylistsFrom(doc.get());
    EXPECT_EQ(ids(library.playlistWithID(QStringLiteral("P1"))), (std::vector<int>{a, b, a}));
    EXPECT_EQ(library.playlistWithID(QStringLiteral("P1"))->leftOut().byReason, (std::array<int, 6>{1, 0, 0, 0, 0, 1})) << "a protected and an unknown track";
    library.readPlaylistsFrom(nullptr);
    EXPECT_TRUE(library.playlistIds().empty());
}

}  // namespace
