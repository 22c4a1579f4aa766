#include "support/AudioFixtures.h"
#include "workers/Encoder.h"
#include "workers/Tagger.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using fixtures::probe;

namespace {

SongTags fullTags() {
    SongTags t;
    t.title = QStringLiteral("Blue in Green");
    t.artist = QStringLiteral("Miles Davis");
    t.album = QStringLiteral("Kind of Blue");
    t.composer = QStringLiteral("Bill Evans");
    t.track = 3;
    t.trackCount = 5;
    t.disc = 1;
    t.discCount = 2;
    t.year = 1959;
    t.genre = QStringLiteral("Jazz");
    t.encodedBy = QStringLiteral("Brisle v2.2");
    return t;
}

QString tag(const fixtures::AudioInfo& info, const char* key) { return info.tags.value(QLatin1StringView(key)).toString(); }
bool hasTag(const fixtures::AudioInfo& info, const char* key) { return info.tags.contains(QLatin1StringView(key)); }

class Tagging : public ::testing::Test {
protected:
    // A fresh untagged file as the encoder leaves it.
    QString encoded(const QString& format, const QString& name) {
        const QString source = dir.filePath(QStringLiteral("source.wav"));
        if (!QFile::exists(source)) EXPECT_TRUE(fixtures::makeTone(source, {}, 1.0, 44100, 2));
        const QString dest = dir.filePath(name);
        auto r = encodeAudio(source, dest, encodeSettingsFor(format, 128));
        EXPECT_TRUE(r) << (r ? "" : r.error().toStdString());
        return dest;
    }
    QByteArray head(const QString& path, int n) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.read(n) : QByteArray();
    }

    QTemporaryDir dir;
};

TEST_F(Tagging, Mp3GetsId3v23WithEveryField) {
    const QString path = encoded(QStringLiteral("MP3"), QStringLiteral("song"));
    auto r = writeTags(path, fullTags());
    ASSERT_TRUE(r) << r.error().toStdString();

    EXPECT_EQ(head(path, 5), QByteArray("ID3\x03\x00", 5)) << "players that ignore v2.4 need v2.3";
    auto info = probe(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(tag(*info, "title"), u"Blue in Green");
    EXPECT_EQ(tag(*info, "artist"), u"Miles Davis");
    EXPECT_EQ(tag(*info, "album"), u"Kind of Blue");
    EXPECT_EQ(tag(*info, "composer"), u"Bill Evans");
    EXPECT_EQ(tag(*info, "track"), u"3/5");
    EXPECT_EQ(tag(*info, "disc"), u"1/2");
    EXPECT_EQ(tag(*info, "date"), u"1959");
    EXPECT_EQ(tag(*info, "genre"), u"Jazz");
    EXPECT_EQ(tag(*info, "encoded_by"), u"Brisle v2.2");
    EXPECT_TRUE(head(path, 4096).contains("TYER")) << "v2.3 keeps the year in TYER";
    EXPECT_EQ(info->codec, u"mp3") << "the audio must still be found after the tag";
}

TEST_F(Tagging, AbsentValuesWriteNothingButTheNumbers) {
    const QString path = encoded(QStringLiteral("MP3"), QStringLiteral("song"));
    SongTags t;
    t.title = QString();  // given but empty
    t.encodedBy = QStringLiteral("Brisle v2.2");
    ASSERT_TRUE(writeTags(path, t));
    auto info = probe(path);
    ASSERT_TRUE(info);
    for (const char* key : {"title", "artist", "album", "composer", "genre", "date"}) EXPECT_FALSE(hasTag(*info, key)) << key;
    EXPECT_EQ(tag(*info, "track"), u"0");
    EXPECT_EQ(tag(*info, "disc"), u"0");

    t.track = 7;
    t.disc = 2;
    ASSERT_TRUE(writeTags(path, t));
    info = probe(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(tag(*info, "track"), u"7") << "no total, no slash";
    EXPECT_EQ(tag(*info, "disc"), u"2");
}

TEST_F(Tagging, NonAsciiValuesSurvive) {
    const QString path = encoded(QStringLiteral("MP3"), QStringLiteral("song"));
    SongTags t = fullTags();
    t.title = QStringLiteral("Café Müller");                 // Latin-1
    t.artist = QStringLiteral("Ελευθερία Αρβανιτάκη");       // beyond Latin-1
    t.album = QStringLiteral("東京 🎵");                     // beyond the BMP
    t.genre = QStringLiteral("Música Popular Brasileira");
    ASSERT_TRUE(writeTags(path, t));
    auto info = probe(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(tag(*info, "title"), *t.title);
    EXPECT_EQ(tag(*info, "artist"), *t.artist);
    EXPECT_EQ(tag(*info, "album"), *t.album);
    EXPECT_EQ(tag(*info, "genre"), t.genre);
}

// Retagging replaces the fields; an MP3 with other tags ends with ID3v2.3 only.
TEST_F(Tagging, RetaggingReplacesValuesAndStripsOtherTags) {
    const QString path = dir.filePath(QStringLiteral("tagged.mp3"));
    ASSERT_TRUE(fixtures::makeTone(path,
                                   {QStringLiteral("-c:a"), QStringLiteral("libmp3lame"), QStringLiteral("-id3v2_version"),
                                    QStringLiteral("4"), QStringLiteral("-write_id3v1"), QStringLiteral("1"),
                                    QStringLiteral("-metadata"), QStringLiteral("title=Old"), QStringLiteral("-metadata"),
                                    QStringLiteral("genre=Polka")},
                                   1.0, 44100, 2));
    SongTags t = fullTags();
    t.genre.clear();
    ASSERT_TRUE(writeTags(path, t));
    EXPECT_EQ(head(path, 4), QByteArray("ID3\x03", 4));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    f.seek(f.size() - 128);
    EXPECT_NE(f.read(3), "TAG") << "the ID3v1 tag stays";
    auto info = probe(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(tag(*info, "title"), u"Blue in Green");
    EXPECT_FALSE(hasTag(*info, "genre")) << "an empty genre removes the old one";
}

TEST_F(Tagging, M4aGetsTheEquivalentAtoms) {
    const QString path = encoded(QStringLiteral("AAC"), QStringLiteral("song.m4a"));
    SongTags t = fullTags();
    t.artist = QStringLiteral("Ελευθερία");
    ASSERT_TRUE(writeTags(path, t));
    auto info = probe(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(tag(*info, "title"), u"Blue in Green");
    EXPECT_EQ(tag(*info, "artist"), u"Ελευθερία");
    EXPECT_EQ(tag(*info, "album"), u"Kind of Blue");
    EXPECT_EQ(tag(*info, "composer"), u"Bill Evans");
    EXPECT_EQ(tag(*info, "track"), u"3/5");
    EXPECT_EQ(tag(*info, "disc"), u"1/2");
    EXPECT_EQ(tag(*info, "date"), u"1959");
    EXPECT_EQ(tag(*info, "genre"), u"Jazz");
    EXPECT_EQ(tag(*info, "encoder"), u"Brisle v2.2") << "replaces the muxer's own name";
    EXPECT_EQ(info->codec, u"aac");

    ASSERT_TRUE(writeTags(path, SongTags{}));
    info = probe(path);
    ASSERT_TRUE(info);
    for (const char* key : {"title", "artist", "album", "composer", "genre", "date", "encoder"}) EXPECT_FALSE(hasTag(*info, key)) << key;
    EXPECT_EQ(tag(*info, "track"), u"0");
}

TEST_F(Tagging, FilesThatCannotBeTaggedGiveAnError) {
    const QString missing = dir.filePath(QStringLiteral("missing.mp3"));
    auto r = writeTags(missing, fullTags());
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().contains(u'\'' + missing + u'\'')) << r.error().toStdString();

    const QString text = dir.filePath(QStringLiteral("notes.mp3"));
    QFile f(text);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("not audio at all, only words\n");
    f.close();
    r = writeTags(text, fullTags());
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().contains(u'\'' + text + u'\'')) << r.error().toStdString();
    EXPECT_EQ(f.size(), 29) << "a file that is not audio is left alone";
}

}  // namespace
