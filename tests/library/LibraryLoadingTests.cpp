#include "library/Library.h"
#include "library/LibraryLoader.h"
#include "library/SongContext.h"
#include "platform/Defaults.h"
#include "platform/Settings.h"
#include "platform/FileSystem.h"
#include "support/LibraryBuilder.h"
#include "support/ScriptedUi.h"
#include "support/SyncFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

#include <gtest/gtest.h>

using plist::Date;
using plist::Object;

namespace {

class LibraryLoading : public ::testing::Test {
protected:
    void SetUp() override {
        defaults.registerDefaults(settings::registeredDefaults());
        context = std::make_unique<SongContext>(defaults, true, dir.path() + QStringLiteral("/cache/"));
        library = std::make_unique<Library>(*context);
    }

    LibraryLoader::Outcome load(const QString& path) {
        LibraryLoader loader(ui);
        auto outcome = loader.load(*library, path);
        if (outcome == LibraryLoader::Outcome::Loaded) {
            library->groupAlbums();
            library->readPlaylistsFrom(loader.document().get());
        }
        return outcome;
    }

    std::vector<QString> loadedNames() const {
        std::vector<QString> names;
        for (const auto& s : library->songs()) names.push_back(s->name());
        return names;
    }
    static std::vector<int> ids(const Album* album) {
        std::vector<int> out;
        for (const Song* s : album->tracks()) out.push_back(s->trackId());
        return out;
    }
    static QByteArray contents(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
    }

    QTemporaryDir dir;
    Defaults defaults{dir.path() + QStringLiteral("/settings.plist")};
    std::unique_ptr<SongContext> context;
    std::unique_ptr<Library> library;
    LibraryBuilder builder{dir.path()};
    ScriptedUi ui;
};

TEST_F(LibraryLoading, FilterCountsCandidatesAndUsableTracks) {
    builder.addTrack({{"Protected", true}});
    builder.addTrack({{"Has Video", 1}});
    builder.addTrack({{"Track Type", "URL"}});
    builder.addTrack({{"Persistent ID", Object()}});
    builder.addTrack({}, /*createFile=*/false);  // usable, but its file is missing
    int kept = builder.addTrack();
    ASSERT_EQ(load(builder.write()), LibraryLoader::Outcome::Loaded);
    EXPECT_EQ(library->counts().candidates, 4);
    EXPECT_EQ(library->counts().usable, 2);
    ASSERT_EQ(library->songs().size(), 1u);
    EXPECT_EQ(library->songWithTrackId(kept), library->songs()[0].get());
    EXPECT_EQ(library->songWithPersistentId(builder.persistentIdOf(kept)), library->songs()[0].get());
    EXPECT_TRUE(ui.shown.isEmpty());
}

TEST_F(LibraryLoading, SongsOfAFolderAreKeptWhenTheirFilesCanBeOpened) {
    int a = builder.addTrack();
    int b = builder.addTrack();
    int c = builder.addTrack();
    builder.addTrack({}, false);
    QString files = dir.path() + QStringLiteral("/files/");
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
    ASSERT_EQ(load(builder.write()), LibraryLoader::Outcome::Loaded);

    std::vector<qint64> loaded;
    for (const auto& s : library->songs()) loaded.push_back(s->trackId());
    EXPECT_EQ(loaded, (std::vector<qint64>{a, b, c, link}));
}

TEST_F(LibraryLoading, NoCandidatesOrOnlyMissingFilesDoNotTriggerTheRebuild) {
    for (bool missingFiles : {false, true}) {
        LibraryBuilder b(dir.path() + (missingFiles ? QStringLiteral("/missing") : QStringLiteral("/locked")));
        b.addTrack(missingFiles ? Object::Dict{} : Object::Dict{{"Protected", true}}, !missingFiles);
        b.addTrack(missingFiles ? Object::Dict{} : Object::Dict{{"Has Video", true}}, !missingFiles);
        library = std::make_unique<Library>(*context);
        ASSERT_EQ(load(b.write()), LibraryLoader::Outcome::Loaded);
        EXPECT_EQ(library->counts().candidates, missingFiles ? 2 : 0);
        EXPECT_EQ(library->counts().usable, missingFiles ? 2 : 0);
        EXPECT_TRUE(library->songs().empty());
    }
    EXPECT_TRUE(ui.shown.isEmpty());
}

TEST_F(LibraryLoading, UnusableLibraryIsMovedAsideAndReadAgainWhenRewritten) {
    builder.addTrack({{"Track Type", "URL"}});
    QString path = builder.write();
    // The earlier backup must survive.
    ASSERT_TRUE(fsys::writeFileAtomically(path + QStringLiteral(" (Brisle backup)"), "earlier backup"));

    LibraryBuilder good(dir.path());
    int id = good.addTrack();
    ui.expect(QStringLiteral("iTunes Library XML not compatible"), 0);
    ui.expect(QStringLiteral("Close and reopen iTunes"), 0);  // the file is not there yet
    ui.expect(QStringLiteral("Close and reopen iTunes"), 0, [&] { good.write(); });

    ASSERT_EQ(load(path), LibraryLoader::Outcome::Loaded);
    EXPECT_TRUE(ui.unexpected.isEmpty()) << ui.unexpected.join(u',').toStdString();
    ASSERT_EQ(library->songs().size(), 1u);
    EXPECT_EQ(library->songs()[0]->trackId(), id);
    EXPECT_EQ(contents(path + QStringLiteral(" (Brisle backup)")), QByteArray("earlier backup"));
    EXPECT_EQ(contents(path + QStringLiteral(" (Brisle backup) 2")), contents(builder.write(QStringLiteral("first.xml"))));
}

TEST_F(LibraryLoading, QuitInTheRebuildDialoguesEndsTheStart) {
    builder.addTrack({{"Persistent ID", Object()}});
    QString path = builder.write();
    ui.expect(QStringLiteral("iTunes Library XML not compatible"), 1);
    EXPECT_EQ(load(path), LibraryLoader::Outcome::Quit);
    EXPECT_TRUE(fsys::exists(path)) << "quitting must leave the file where it was";

    ui.expect(QStringLiteral("iTunes Library XML not compatible"), 0);
    ui.expect(QStringLiteral("Close and reopen iTunes"), 1);
    EXPECT_EQ(load(path), LibraryLoader::Outcome::Quit);
    EXPECT_TRUE(ui.unexpected.isEmpty());
}

TEST_F(LibraryLoading, MissingFileQuitsAndAFileThatIsNotAPropertyListHasNoTracks) {
    EXPECT_EQ(load(dir.path() + QStringLiteral("/nothing.xml")), LibraryLoader::Outcome::Quit);
    EXPECT_EQ(load(QString()), LibraryLoader::Outcome::Quit);
    EXPECT_EQ(ui.shown, QStringList(2, QStringLiteral("iTunes Library not found")));

    QString path = dir.path() + QStringLiteral("/garbage.xml");
    ASSERT_TRUE(fsys::writeFileAtomically(path, "<html><body>not a library"));
    EXPECT_EQ(load(path), LibraryLoader::Outcome::Loaded);
    EXPECT_TRUE(library->songs().empty());
    EXPECT_TRUE(library->playlistIds().empty());
    EXPECT_EQ(ui.shown.size(), 2);
}

// Only a regular file is read as the library, and no further than its size:
// /dev/zero would fill memory, a FIFO hold the start for ever.
TEST_F(LibraryLoading, ALibraryFileThatIsNoRegularFileIsRefusedByName) {
    Fifo fifo(dir.path() + QStringLiteral("/fifo.xml"));
    const std::pair<QString, QString> files[] = {{QStringLiteral("/dev/zero"), QStringLiteral("a device")},
                                                 {fifo.path(), QStringLiteral("a FIFO")},
                                                 {dir.path(), QStringLiteral("a folder")},
                                                 {QStringLiteral("/proc/self/environ"), QStringLiteral("(/proc, /sys)")}};
    QElapsedTimer timer;
    timer.start();
    for (const auto& [path, why] : files) {
        EXPECT_EQ(load(path), LibraryLoader::Outcome::Quit) << path.toStdString();
        ASSERT_FALSE(ui.shownAlerts.empty());
        const QString message = ui.shownAlerts.back().message;
        EXPECT_TRUE(message.startsWith(QStringLiteral("Brisle could not read your iTunes Library XML file ") + path + QStringLiteral(": ")) &&
                    message.endsWith(why + QStringLiteral(", not a regular file.")))
            << message.toStdString();
        EXPECT_TRUE(readLibraryFile(path) == nullptr) << "nor when it is read again after a rewrite";
    }
    EXPECT_LT(timer.elapsed(), 1000) << "nothing waits on the file";
    EXPECT_EQ(ui.shown, QStringList(std::size(files), QStringLiteral("iTunes Library not found")));
}

TEST_F(LibraryLoading, SortsByReleaseDateDiscTrackAndName) {
    builder.addTrack({{"Name", "old"}, {"Release Date", Date{1000}}});
    builder.addTrack({{"Name", "undated"}});
    builder.addTrack({{"Name", "b"}, {"Release Date", Date{5000}}, {"Disc Number", 2}, {"Track Number", 1}});
    builder.addTrack({{"Name", "c"}, {"Release Date", Date{5000}}, {"Disc Number", 1}, {"Track Number", 2}});
    builder.addTrack({{"Name", "B second"}, {"Release Date", Date{5000}}, {"Disc Number", 1}, {"Track Number", 1}});
    builder.addTrack({{"Name", "a first"}, {"Release Date", Date{5000}}, {"Disc Number", 1}, {"Track Number", 1}});
    ASSERT_EQ(load(builder.write()), LibraryLoader::Outcome::Loaded);
    std::vector<QString> expected = {QStringLiteral("a first"), QStringLiteral("B second"), QStringLiteral("c"),
                                     QStringLiteral("b"), QStringLiteral("old"), QStringLiteral("undated")};
    EXPECT_EQ(loadedNames(), expected);
}

TEST_F(LibraryLoading, AlbumsAreGroupedByNameAcrossArtists) {
    int a1 = builder.addTrack({{"Album", "Hits"}, {"Artist", "Old Band"}, {"Release Date", Date{1000}}});
    int b1 = builder.addTrack({{"Album", "Hits"}, {"Artist", "New Band"}, {"Release Date", Date{9000}}, {"Track Number", 2}});
    int b2 = builder.addTrack({{"Album", "Hits"}, {"Artist", "New Band"}, {"Release Date", Date{9000}}, {"Track Number", 1}});
    int loose = builder.addTrack({{"Album", Object()}, {"Artist", "Someone"}});
    int empty = builder.addTrack({{"Album", ""}});
    int comp = builder.addTrack({{"Album", "Sampler"}, {"Compilation", true}, {"Artist", "X"}});
    ASSERT_EQ(load(builder.write()), LibraryLoader::Outcome::Loaded);

    Album* hits = library->albumNamed(QStringLiteral("Hits"));
    ASSERT_TRUE(hits);
    ASSERT_EQ(ids(hits), (std::vector<int>{b2, b1, a1}));
    EXPECT_EQ(hits->artist(), QStringLiteral("New Band"));  // the first song in load order
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(hits->tracks()[std::size_t(i)]->index(), i + 1);
        EXPECT_EQ(hits->tracks()[std::size_t(i)]->albumObject(), hits);
    }

    Album* other = library->albumNamed(QStringLiteral("Other songs"));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->artist(), QString());
    EXPECT_EQ(ids(other), (std::vector<int>{loose, empty}));
    EXPECT_EQ(library->songWithTrackId(comp)->albumObject()->artist(), QString());
}

TEST_F(LibraryLoading, PlaylistsKeepLoadedSongsAndLaterDuplicatesReplaceEarlier) {
    int a = builder.addTrack();
    int locked = builder.addTrack({{"Protected", true}});
    int b = builder.addTrack();
    builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, locked, 9999, b, a});
    builder.addPlaylist(QStringLiteral("Empty"), QStringLiteral("P2"), {});
    builder.addPlaylist(QStringLiteral("Mix again"), QStringLiteral("P1"), {b});
    ASSERT_EQ(load(builder.write()), LibraryLoader::Outcome::Loaded);

    ASSERT_EQ(library->playlistIds().size(), 2u);
    Album* mix = library->playlistWithID(QStringLiteral("P1"));
    ASSERT_TRUE(mix);
    EXPECT_EQ(mix->name(), QStringLiteral("Mix again"));
    EXPECT_EQ(ids(mix), std::vector<int>{b});
    EXPECT_EQ(mix->artist(), QString());
    EXPECT_TRUE(library->playlistWithID(QStringLiteral("P2"))->tracks().empty());
    EXPECT_EQ(library->playlistWithID(QStringLiteral("nope")), nullptr);

    // Re-reading a playlist file keeps only the songs loaded at start.
    LibraryBuilder later(dir.path());
    later.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, locked, b, a});
    auto doc = readLibraryFile(later.write(QStringLiteral("later.xml")));
    library->readPlaylistsFrom(doc.get());
    EXPECT_EQ(ids(library->playlistWithID(QStringLiteral("P1"))), (std::vector<int>{a, b, a}));
    library->readPlaylistsFrom(nullptr);
    EXPECT_TRUE(library->playlistIds().empty());
}

}  // namespace
