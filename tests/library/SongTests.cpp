#include "library/Song.h"
#include "library/PathUtils.h"
#include "library/SongContext.h"
#include "platform/Defaults.h"
#include "platform/Settings.h"
#include "platform/FileSystem.h"
#include "platform/plist/Plist.h"
#include "support/LibraryBuilder.h"

#include <QFileInfo>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using plist::Object;

namespace {

// One song over a hand-made track dictionary.
class SongRules : public ::testing::Test {
protected:
    void SetUp() override {
        defaults.registerDefaults(settings::registeredDefaults());
        ASSERT_TRUE(defaults.set("pathToPlayer", "/Volumes/PLAYER/Music"));
    }

    Song& song(const Object::Dict& values, bool conversionOn = true) {
        Object dict(Object::Dict{{"Track ID", 7}, {"Name", "Intro"}, {"Artist", "A"}, {"Album", "X"}, {"Kind", "MPEG audio file"}});
        for (const auto& [k, v] : values) {
            if (v.isNull()) dict.remove(k);
            else dict.set(k, v);
        }
        auto doc = plist::parseXml(plist::writeXml(dict));
        docs.push_back(std::make_unique<plist::Document>(std::move(*doc)));
        contexts.push_back(std::make_unique<SongContext>(defaults, conversionOn, dir.path() + QStringLiteral("/cache/")));
        songs.push_back(std::make_unique<Song>(docs.back()->root(), *contexts.back()));
        return *songs.back();
    }

    QTemporaryDir dir;
    Defaults defaults{dir.path() + QStringLiteral("/settings.plist")};
    std::vector<std::unique_ptr<plist::Document>> docs;
    std::vector<std::unique_ptr<SongContext>> contexts;
    std::vector<std::unique_ptr<Song>> songs;
};

TEST_F(SongRules, ConversionRules) {
    EXPECT_FALSE(song({}).needsConversion());
    EXPECT_TRUE(song({{"Kind", "WAV audio file"}}).needsConversion());
    EXPECT_TRUE(song({{"Kind", Object()}}).needsConversion());
    EXPECT_TRUE(song({{"Kind", "AAC audio file"}}).needsConversion());
    ASSERT_TRUE(defaults.set("playerAacCompatible", true));
    EXPECT_FALSE(song({{"Kind", "AAC audio file"}}).needsConversion());
    EXPECT_TRUE(song({{"Kind", "Apple Lossless audio file"}}).needsConversion());

    // The threshold itself does not count.
    ASSERT_TRUE(defaults.set("convertHighBitRateSongs", true));
    EXPECT_FALSE(song({{"Bit Rate", 160}}).needsConversion());
    EXPECT_TRUE(song({{"Bit Rate", 161}}).needsConversion());
    EXPECT_FALSE(song({}).needsConversion()) << "no bit rate reads as 0";

    // Without an encoder nothing is converted, whatever the kind.
    Song& wav = song({{"Kind", "WAV audio file"}, {"Bit Rate", 1411}, {"Location", LibraryBuilder::fileUrl(QStringLiteral("/music/a.wav"))}}, false);
    EXPECT_FALSE(wav.needsConversion());
    EXPECT_EQ(wav.copiedExtension(), QStringLiteral("wav"));
    EXPECT_EQ(wav.copyFromPath(), QStringLiteral("/music/a.wav"));
}

// Songs imported together share "Date Added", and may share a length: the
// persistent ID tells them apart, and the format and rate tell one song's
// conversions apart.
TEST_F(SongRules, CachePathNamesTheSongTheFormatAndTheRate) {
    const Object::Dict wav = {{"Date Added", plist::Date{1167609600}}, {"Total Time", 240000}, {"Kind", "WAV audio file"}, {"Persistent ID", "ABCDEF0123456789"}};
    Song& s = song(wav);
    const QString cache = dir.path() + QStringLiteral("/cache/");
    EXPECT_EQ(s.cachePath(), cache + QStringLiteral("41D16613C0000000-3a980-ABCDEF0123456789-mp3-128"));
    EXPECT_EQ(s.copyFromPath(), s.cachePath());
    EXPECT_FALSE(s.isCached());
    ASSERT_TRUE(fsys::writeFileAtomically(s.cachePath(), "12345"));
    EXPECT_TRUE(s.isCached());
    EXPECT_EQ(s.copiedSize(), 5u);
    EXPECT_EQ(s.valueForKey("Status").toString(), QStringLiteral("Cached"));

    Object::Dict twin = wav;
    twin.emplace_back("Persistent ID", "ABCDEF0123456788");
    EXPECT_EQ(song(twin).cachePath(), cache + QStringLiteral("41D16613C0000000-3a980-ABCDEF0123456788-mp3-128"));
    EXPECT_EQ(song({{"Total Time", 1}, {"Persistent ID", "../x"}}).cachePath(), cache + QStringLiteral("0-1-_2E_2E_2Fx-mp3-128")) << "no Date Added; no way out of the folder";

    // The settings, the name on the player and whether it is cached follow each other.
    const std::tuple<Object, int, QString, QString> settings[] = {
        {Object("AAC"), 128, "-m4a-128", "m4a"}, {Object("MP3"), 192, "-mp3-192", "mp3"}, {Object("FLAC"), 128, "-mp3-128", "mp3"}, {Object(std::int64_t(7)), 128, "-mp3-128", "mp3"}};
    for (const auto& [format, rate, suffix, extension] : settings) {
        ASSERT_TRUE(defaults.set("convertToFormat", format));
        ASSERT_TRUE(defaults.set("convertToBitrate", std::int64_t(rate)));
        EXPECT_EQ(s.cachePath(), cache + QStringLiteral("41D16613C0000000-3a980-ABCDEF0123456789") + suffix) << extension.toStdString();
        EXPECT_EQ(s.copiedExtension(), extension);
        EXPECT_EQ(s.isCached(), suffix == u"-mp3-128") << suffix.toStdString();
    }
}

TEST_F(SongRules, NamesOnThePlayerInTheCurrentAndTheOlderNaming) {
    Song& s = song({{"Name", "a?b:c/d"}, {"Track Number", 3}});
    s.setAlbum(nullptr, 12);
    EXPECT_EQ(s.albumPath(), QStringLiteral("/Volumes/PLAYER/Music/X/12 a_b_c_d.mp3"));
    EXPECT_EQ(s.legacyFileName(), QStringLiteral("03 a_b_c_d.mp3"));
    EXPECT_EQ(song({{"Track Number", Object()}}).legacyFileName(), QStringLiteral("00 Intro.mp3"));
    ASSERT_TRUE(defaults.set("createArtistSubfolders", true));
    EXPECT_EQ(song({{"Compilation", true}}).legacyPlayerDir(), QStringLiteral("/Volumes/PLAYER/Music/Compilations/X"));
    EXPECT_EQ(song({{"Artist", "AC/DC"}, {"Album", ".."}}).legacyPlayerDir(), QStringLiteral("/Volumes/PLAYER/Music/AC_DC/__"));
    ASSERT_TRUE(defaults.set("createAlbumSubfolders", false));
    EXPECT_EQ(song({}).legacyPlayerDir(), QStringLiteral("/Volumes/PLAYER/Music/A"));
}

TEST_F(SongRules, LocationsAreReadAsFileUrls) {
    EXPECT_EQ(decodeFileUrl("file://localhost/Users/me/M%C3%BAsica/a%20b.mp3"), QStringLiteral("/Users/me/Música/a b.mp3"));
    EXPECT_EQ(decodeFileUrl("file:///tmp/x%3F.mp3"), QStringLiteral("/tmp/x?.mp3"));
    for (const std::string& url : {std::string("http://example.com/stream.mp3"), std::string("file://server/share/a.mp3"),
                                   std::string(), std::string("file://localhost/a%00b"), "file://localhost/" + std::string(1030, 'a')})
        EXPECT_TRUE(decodeFileUrl(url).isNull()) << url;
}

// Loaded songs keep their paths' bytes and are answered from them, without
// the text: the answers must be those of the text, whatever the bytes.
TEST_F(SongRules, AnswersFromThePathsBytesAreThoseOfItsText) {
    const std::string folder = fsys::encode(dir.path()).toStdString();
    ASSERT_EQ(::mkdir((folder + "/d.ir").c_str(), 0755), 0);
    for (const std::string name : {"a.flac", "a.tar.gz", ".hidden", "a.", "d.ir/noext", "M\xC3\xBAsica.ogg", "a\xC3.m4a",
                                   "bad\xFF.mp3", "a.\xEF\xBB\xBFx", "a.\xFF"}) {
        const std::string bytes = folder + "/" + name;
        int fd = ::open(bytes.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0) << name;
        ASSERT_EQ(::write(fd, "12345", 5), 5);
        ::close(fd);
        const std::string url = "file://localhost" + QByteArray::fromStdString(bytes).toPercentEncoding("/").toStdString();
        Song& text = song({{"Total Time", 1000}, {"Location", url}});
        Song& loaded = song({{"Total Time", 1000}, {"Location", url}});
        loaded.setDecodedPath(bytes);
        const QString suffix = QFileInfo(text.originalPath()).suffix();
        EXPECT_EQ(text.copiedExtension(), suffix.isEmpty() ? QStringLiteral("mp3") : suffix) << name;
        EXPECT_EQ(loaded.copiedExtension(), text.copiedExtension()) << name;
        EXPECT_EQ(loaded.copiedSize(), text.copiedSize()) << name;
    }
}

// ---- names that become files and folders ----

TEST_F(SongRules, NoNameCanLeadOutOfThePlayerFolder) {
    SongContext context(defaults, true, QString());
    const QString player = QStringLiteral("/Volumes/PLAYER/Music");
    const QStringList pieces = QStringLiteral(".|..|/|../|a|:|?||\\| ").split(u'|');
    QRandomGenerator rng(42);
    for (int fat = 0; fat < 2; ++fat) {
        context.setFatNames(fat);
        for (int round = 0; round < 2000; ++round) {
            QString name;
            for (int n = rng.bounded(1, 4); n > 0; --n) name += pieces[rng.bounded(int(pieces.size()))];
            QString path = player + u'/' + context.folderName(name) + u'/' + context.folderName(name) + u'/' + context.fileName(u"01 ", name, u"mp3");
            EXPECT_EQ(path.count(u'/'), 6) << name.toStdString();
            EXPECT_EQ(QDir::cleanPath(path), path) << "a name must not be read as . or .. : " << name.toStdString();
            // vfat strips a folder's trailing "." and refuses a trailing " ".
            if (fat) {
                EXPECT_FALSE(context.folderName(name + u'\t').endsWith(u'.') || context.folderName(name + u'.').endsWith(u'.') ||
                             context.folderName(name + u' ').endsWith(u' ') || context.folderName(name + u'\x01').contains(u'\x01')) << name.toStdString();
            }
        }
    }
}

// A name longer than the file system holds (255 UTF-16 units on FAT, 255
// bytes elsewhere, as written: decomposed) is cut at a character's end,
// keeping the track number and the extension.
TEST_F(SongRules, LongNamesAreCutToWhatTheFileSystemHolds) {
    SongContext context(defaults, true, QString());
    const QStringList names = {QString(300, u'a'), QString(300, QChar(0xE9)), QString::fromUcs4(U"\U0001F600").repeated(200),
                               QString(254, u'b') + QStringLiteral(" c")};
    for (int fat = 0; fat < 2; ++fat) {
        context.setFatNames(fat);
        auto units = [&](const QString& n) { return fat ? n.size() : n.toUtf8().size(); };
        for (const QString& name : names) {
            SCOPED_TRACE(name.left(3).toStdString() + (fat ? " on FAT" : ""));
            const QString file = context.fileName(u"07 ", name, u"mp3"), folder = context.folderName(name);
            EXPECT_TRUE(file.startsWith(u"07 ") && file.endsWith(u".mp3")) << file.toStdString();
            for (const QString& n : {file, folder}) EXPECT_TRUE(units(n) <= 255 && units(n) >= 252) << units(n);
            for (const QString& n : {file, folder}) EXPECT_EQ(QString::fromUtf8(n.toUtf8()), decomposed(n)) << "whole characters, decomposed";
            if (name.endsWith(u'c')) {
                EXPECT_NE(folder.endsWith(u' '), bool(fat)) << "a cut that ends in a space is a trailing space on FAT";
            }
        }
    }
    EXPECT_EQ(context.fileName(u"07 ", QStringLiteral("Caf\u00e9"), u"mp3"), QStringLiteral("07 Caf\u00e9.mp3")) << "a name that fits stays as it is";
}

}  // namespace
