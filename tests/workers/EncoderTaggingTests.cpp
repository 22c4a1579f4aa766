#include "support/AudioFixtures.h"
#include "support/Helpers.h"
#include "workers/Encoder.h"
#include "workers/Tagger.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// Beyond Latin-1 and beyond the BMP too: v2.3 must fall back to UTF-16.
const SongTags fullTags{QStringLiteral("Café Müller"), QStringLiteral("Ελευθερία Αρβανιτάκη"), QStringLiteral("東京 🎵"),
                        QStringLiteral("Bill Evans"), 3, 5, 1, 2, 1959, QStringLiteral("Jazz"), QStringLiteral("Brisle v2.2")};

using Expected = std::vector<std::pair<const char*, QString>>;

// fullTags as ffprobe names them; the encoder's name goes under `encoderKey`.
Expected fullTagsAs(const char* encoderKey) {
    return {{"title", *fullTags.title}, {"artist", *fullTags.artist}, {"album", *fullTags.album}, {"composer", *fullTags.composer},
            {"track", "3/5"}, {"disc", "1/2"}, {"date", "1959"}, {"genre", "Jazz"}, {encoderKey, "Brisle v2.2"}};
}

// Read back by ffprobe, an independent reader, under its own key names.
void expectTags(const QString& path, const Expected& present, std::initializer_list<const char*> absent = {}) {
    auto info = fixtures::probe(path);
    ASSERT_TRUE(info);
    for (const auto& [key, value] : present) EXPECT_EQ(info->tags.value(QLatin1StringView(key)).toString(), value) << key;
    for (const char* key : absent) EXPECT_FALSE(info->tags.contains(QLatin1StringView(key))) << key;
}

class Tagging : public ::testing::Test {
protected:
    // A fresh untagged file as the encoder leaves it.
    QString encoded(const QString& format, const QString& name) {
        const QString source = dir.filePath(QStringLiteral("source.wav"));
        EXPECT_TRUE(fixtures::makeTone(source, {}, 1.0, 44100, 2));
        const QString dest = dir.filePath(name);
        auto r = encodeAudio(source, dest, encodeSettingsFor(format, 128));
        EXPECT_TRUE(r) << (r ? "" : r.error().toStdString());
        return dest;
    }

    QTemporaryDir dir;
};

TEST_F(Tagging, Mp3GetsId3v23WithEveryField) {
    const QString path = encoded(QStringLiteral("MP3"), QStringLiteral("song"));
    auto r = writeTags(path, fullTags);
    ASSERT_TRUE(r) << r.error().toStdString();

    EXPECT_EQ(readFile(path).left(5), QByteArray("ID3\x03\x00", 5)) << "players that ignore v2.4 need v2.3";
    EXPECT_TRUE(readFile(path).left(4096).contains("TYER")) << "v2.3 keeps the year in TYER";
    expectTags(path, fullTagsAs("encoded_by"));
    auto info = fixtures::probe(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->codec, u"mp3") << "the audio must still be found after the tag";
    EXPECT_NEAR(info->duration, 1.0, 0.1);
}

TEST_F(Tagging, M4aGetsTheEquivalentAtoms) {
    const QString path = encoded(QStringLiteral("AAC"), QStringLiteral("song.m4a"));
    ASSERT_TRUE(writeTags(path, fullTags));
    expectTags(path, fullTagsAs("encoder"));  // replaces the muxer's own name

    ASSERT_TRUE(writeTags(path, SongTags{}));
    expectTags(path, {{"track", "0"}}, {"title", "artist", "album", "composer", "genre", "date", "encoder"});
}

TEST_F(Tagging, FilesThatCannotBeTaggedGiveAnError) {
    const QString missing = dir.filePath(QStringLiteral("missing.mp3"));
    auto r = writeTags(missing, fullTags);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().contains(u'\'' + missing + u'\'')) << r.error().toStdString();

    const QString text = dir.filePath(QStringLiteral("notes.mp3"));
    const QByteArray words = "not audio at all, only words\n";
    ASSERT_TRUE(writeFile(text, words));
    r = writeTags(text, fullTags);
    ASSERT_FALSE(r);
    EXPECT_TRUE(r.error().contains(u'\'' + text + u'\'')) << r.error().toStdString();
    EXPECT_EQ(readFile(text), words) << "a file that is not audio is left alone";
}

}  // namespace
