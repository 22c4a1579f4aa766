// The convertor's pass on real audio: which record it serves next, which it
// drops unconverted, what reaches the cache (and what never does), and the
// percentage the controller shows meanwhile. What the encoder and the tagger
// write is tested on its own (EncoderTests, EncoderTaggingTests).

#include "app/Controller.h"
#include "library/Song.h"
#include "platform/FileSystem.h"
#include "support/AudioFixtures.h"
#include "support/SyncFixture.h"
#include "support/WorkerPort.h"
#include "workers/Convertor.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

class ConvertorPass : public ::testing::Test {
protected:
    ConvertorPass() { EXPECT_TRUE(fixtures::makeTone(lib.folder() + QStringLiteral("/tone.m4a"), {"-c:a", "alac"}, 1.0, 44100, 2)); }

    // An Apple Lossless song with a second of real audio.
    int addSong(const QString& name, plist::Object::Dict values = {}) {
        values.emplace_back("Name", name.toStdString());
        values.emplace_back("Kind", "Apple Lossless audio file");
        values.emplace_back("Total Time", 1000 + int(++songs));
        int id = lib.builder.addTrack(values, false);
        QFile::copy(lib.folder() + QStringLiteral("/tone.m4a"), lib.builder.pathOf(id));
        return id;
    }
    Song* song(int id) { return lib.song(id); }
    QString cacheDir() const { return lib.folder() + QStringLiteral("/cache/"); }

    void start() {
        lib.load();
        convertor = std::make_unique<WorkerOnThread<Convertor>>(port, lib.defaults);
        ASSERT_TRUE(waitUntil([&] { return port.convertor != nullptr; }));
    }
    Record add(RecordList WorkLists::*list, int id) {
        Record r = WorkRecord::conversion(song(id), QStringLiteral("/player/") + song(id)->name());
        std::lock_guard lock(port.work.todoLock);
        (port.work.*list).append(r);
        return r;
    }
    // A pass; its calls as "busy", the song converted, "copier" (asked to run), "-" and "idle".
    QStringList pass() {
        EXPECT_TRUE(port.pass(convertor->worker, QStringLiteral("convertor busy 0")));
        std::lock_guard lock(port.work.todoLock);
        EXPECT_TRUE(port.work.todoList.empty() && port.work.toCacheList.empty()) << "every record is consumed";
        QStringList calls;
        for (QString c : port.calls)
            calls.append(c == u"convertor busy 1" ? "busy" : c == u"convertor busy 0" ? "idle" : c == u"runCopier" ? "copier" : c.remove(QStringLiteral("converting ")));
        return calls;
    }

    TestLibrary lib;
    RecordingPort port;
    std::unique_ptr<WorkerOnThread<Convertor>> convertor;
    int songs = 0;
};

using S = QStringList;

TEST_F(ConvertorPass, PlannedSongsGoBeforeThoseAskedForAheadEvenWhenPlannedDuringThePass) {
    int p1 = addSong("P1"), p2 = addSong("P2"), a1 = addSong("A1"), a2 = addSong("A2");
    ASSERT_NO_FATAL_FAILURE(start());
    Record r1 = add(&WorkLists::todoList, p1);
    add(&WorkLists::toCacheList, a1);
    add(&WorkLists::toCacheList, a2);
    Record r2;
    port.onConverting = [&](const Record& r, const QString&) {
        if (r->song == song(a1)) r2 = add(&WorkLists::todoList, p2);
    };
    EXPECT_EQ(pass(), (S{"busy", "P1", "copier", "A1", "copier", "P2", "copier", "A2", "copier", "-", "idle"}));
    ASSERT_EQ(port.converted.size(), 4u);
    EXPECT_EQ(port.converted[0], r1.get()) << "the controller compares records by identity";
    EXPECT_EQ(port.converted[2], r2.get());
    for (int id : {p1, p2, a1, a2}) EXPECT_TRUE(song(id)->isCached()) << song(id)->name().toStdString();
}

TEST_F(ConvertorPass, SongsCachedMeanwhileOrNotNeedingConversionAreDroppedUnconverted) {
    int cached = addSong("Cached"), fresh = addSong("Fresh"), later = addSong("Later"), ahead = addSong("Ahead");
    int mp3 = lib.builder.addTrack({{"Name", "Plain"}, {"Kind", "MPEG audio file"}});
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(writeFile(song(cached)->cachePath(), "old"));
    for (int id : {cached, mp3, fresh, later}) add(&WorkLists::todoList, id);
    // Cached by someone else while the pass is under way.
    port.onConverting = [&](const Record& r, const QString&) {
        if (r->song == song(fresh)) writeFile(song(later)->cachePath(), {});
    };
    for (int id : {cached, mp3, cached}) add(&WorkLists::toCacheList, id);
    add(&WorkLists::toCacheList, ahead);
    EXPECT_EQ(pass(), (S{"busy", "Fresh", "copier", "Ahead", "copier", "-", "idle"}));
    EXPECT_EQ(readFile(song(cached)->cachePath()), QByteArray("old"));
    EXPECT_EQ(treeOf(cacheDir()).size(), 4) << treeOf(cacheDir()).join(u' ').toStdString();

    // Nothing left: the pass only says so.
    EXPECT_EQ(pass(), (S{"busy", "-", "idle"}));
}

// The song is encoded beside the cache (the percentage follows a file that
// starts empty) and renamed into it, holding what its name on the player says.
TEST_F(ConvertorPass, TheSongIsEncodedBesideTheCacheAndRenamedIntoItInTheFormatItsNameSays) {
    int id = addSong("Song");
    ASSERT_NO_FATAL_FAILURE(start());
    // FLAC is a format Brisle cannot write; 7 is no text, as a damaged
    // settings file may hold.
    for (auto [format, codec] : {std::pair{plist::Object("AAC"), "aac"}, {plist::Object("FLAC"), "mp3"}, {plist::Object(std::int64_t(7)), "mp3"}}) {
        QFile::remove(song(id)->cachePath());
        ASSERT_TRUE(lib.defaults.set("convertToFormat", format));
        add(&WorkLists::todoList, id);
        QString temp;
        port.onConverting = [&](const Record&, const QString& path) {
            temp = path;
            EXPECT_EQ(fsys::size(path), 0u) << "the percentage starts from an empty file";
        };
        EXPECT_EQ(pass(), (S{"busy", "Song", "copier", "-", "idle"}));
        EXPECT_EQ(QFileInfo(temp).absolutePath(), QDir(cacheDir()).absolutePath()) << "the move into the cache is a rename";
        EXPECT_EQ(treeOf(cacheDir()), S{QFileInfo(song(id)->cachePath()).fileName()}) << "no temporary file is left";
        auto info = fixtures::probe(song(id)->cachePath());
        ASSERT_TRUE(info);
        EXPECT_EQ(info->codec, QLatin1String(codec));
        EXPECT_EQ(song(id)->copiedExtension(), QLatin1String(codec == std::string_view("aac") ? "m4a" : "mp3"));
    }
}

TEST_F(ConvertorPass, FailedConversionsLeaveNothingInTheCacheAndDoNotStartTheCopier) {
    int garbage = lib.builder.addTrack({{"Name", "Garbage"}, {"Kind", "AAC audio file"}}, false);
    int good = addSong("Good"), blocked = addSong("Blocked");
    QByteArray noise(20000, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    ASSERT_TRUE(writeFile(lib.builder.pathOf(garbage), noise));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(song(garbage)->needsConversion());
    add(&WorkLists::todoList, garbage);
    add(&WorkLists::todoList, good);
    EXPECT_EQ(pass(), (S{"busy", "Garbage", "Good", "copier", "-", "idle"}));
    EXPECT_FALSE(song(garbage)->isCached()) << "an unreadable source must not count as converted";
    EXPECT_TRUE(song(garbage)->isSetAside()) << "nor be tried again while its file is as it was";
    EXPECT_EQ(treeOf(cacheDir()), (S{QFileInfo(song(garbage)->cachePath()).fileName() + QStringLiteral(".failed"), QFileInfo(song(good)->cachePath()).fileName()}));
    ASSERT_TRUE(writeFile(lib.builder.pathOf(garbage), noise.left(100)));
    EXPECT_FALSE(song(garbage)->isSetAside()) << "a changed file is tried again";

    // A file where the cache folder should be.
    ASSERT_TRUE(QDir(cacheDir()).removeRecursively());
    ASSERT_TRUE(writeFile(lib.folder() + QStringLiteral("/cache"), "mine"));
    add(&WorkLists::todoList, blocked);
    EXPECT_FALSE(pass().contains(QStringLiteral("copier")));
    EXPECT_EQ(readFile(lib.folder() + QStringLiteral("/cache")), QByteArray("mine"));
    EXPECT_FALSE(song(blocked)->isCached());
    EXPECT_EQ(treeOf(lib.folder()).filter(QStringLiteral("temp")), S{}) << "no temporary file beside it either";
}

// ---- the percentage the controller shows ----

TEST(ConversionProgress, NeverPassesAHundredAndIsZeroWhenNothingIsExpected) {
    TestLibrary lib;
    // At 128 kbit/s a second is expected to take 16384 bytes.
    int second = lib.builder.addTrack({{"Name", "Second"}, {"Kind", "WAV audio file"}, {"Total Time", 1000}});
    int empty = lib.builder.addTrack({{"Name", "Empty"}, {"Kind", "WAV audio file"}, {"Total Time", 0}});
    Controller c(lib.defaults, lib.ui, {lib.builder.write(), lib.folder() + QStringLiteral("/cache")});
    ASSERT_TRUE(c.loadLibrary());
    const QString temp = lib.folder() + QStringLiteral("/growing");

    EXPECT_EQ(c.conversionPercent(), std::nullopt);
    c.setConvertingSong(WorkRecord::conversion(c.library().songWithTrackId(second)), temp);
    EXPECT_EQ(c.conversionPercent(), 0) << "no file yet";
    for (auto [bytes, percent] : {std::pair{0, 0}, {4096, 25}, {16383, 99}, {16384, 100}, {70000, 100}}) {
        ASSERT_TRUE(writeFile(temp, QByteArray(bytes, 'm')));
        c.updateProgress();
        EXPECT_EQ(c.conversionPercent(), percent) << bytes;
        EXPECT_EQ(c.status().substatus, QStringLiteral("Second (%1%)").arg(percent)) << bytes;
    }
    c.setConvertingSong(WorkRecord::conversion(c.library().songWithTrackId(empty)), temp);
    c.updateProgress();
    EXPECT_EQ(c.conversionPercent(), 0);
    EXPECT_EQ(c.status().substatus, u"Empty (0%)");
    c.setConvertingSong(nullptr, QString());
    EXPECT_EQ(c.conversionPercent(), std::nullopt);
}

}  // namespace
