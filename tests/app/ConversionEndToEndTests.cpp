// Songs the player can't play, converted by the real program from the demo
// library (AAC, Apple Lossless, WAV) and put on a player beside MP3 songs
// that are copied untouched.

#include "support/AudioFixtures.h"
#include "support/CliWorld.h"

#include <QDirIterator>
#include <QProcess>

#include <map>
#include <set>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

namespace {

// Every file below a folder with its modification time.
std::map<QString, QDateTime> datedFiles(const QString& folder) {
    std::map<QString, QDateTime> out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        out[it.filePath()] = it.fileInfo().lastModified();
    }
    return out;
}

// A converted song as a player gets it: MP3 at the chosen rate, as long as
// its source, and decodable to the end without a single error.
void expectConverted(const QString& player, const QString& source) {
    SCOPED_TRACE(player.toStdString());
    auto out = fixtures::probe(player), in = fixtures::probe(source);
    ASSERT_TRUE(out && in);
    EXPECT_EQ(out->codec, u"mp3");
    EXPECT_EQ(out->bitRate, 160000);
    EXPECT_NEAR(out->duration, in->duration, 0.1);
    QProcess decode;
    decode.start(QStringLiteral("ffmpeg"), {"-nostdin", "-v", "error", "-i", player, "-f", "null", "-"});
    ASSERT_TRUE(decode.waitForFinished(60000));
    EXPECT_EQ(decode.exitCode(), 0);
    EXPECT_EQ(decode.readAllStandardError(), QByteArray());
}

// A player chosen, songs converted at 160 kbit/s, the albums of the demo
// library selected, then a sync.
void syncAlbums(CliWorld& w, const QString& demo, const QStringList& albums) {
    w.useLibrary(demo + QStringLiteral("/iTunes Music Library.xml"));
    ASSERT_TRUE(w.ok({{"config", "set", "pathToPlayer", w.playerFolder()}, {"config", "set", "convertToBitrate", "160"}}));
    for (const QString& album : albums) ASSERT_TRUE(w.ok({{"select", "add-album", album}}));
    ASSERT_TRUE(w.ok({{"sync"}}));
}

// A second sync finds nothing to do and converts nothing again.
void expectSettled(const CliWorld& w) {
    const auto player = datedFiles(w.playerFolder());
    const auto cache = datedFiles(w.dir.path() + QStringLiteral("/cache"));
    RunResult again = w.run({"sync"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_TRUE(again.out.contains(QStringLiteral("up to date"))) << again.out.toStdString();
    EXPECT_EQ(datedFiles(w.playerFolder()), player);
    EXPECT_EQ(datedFiles(w.dir.path() + QStringLiteral("/cache")), cache);
}

// One test for both players: the demo library takes seconds to make.
TEST(ConversionEndToEnd, SongsArriveAsMp3OnFatAndKeepTheirAccentedNamesOnAFolder) {
    QTemporaryDir demo;
    ASSERT_TRUE(fixtures::runTool(QStringLiteral("python3"), {QStringLiteral(BRISLE_SOURCE_DIR "/examples/make-demo-library.py"), demo.path()}));
    auto music = [&](const QString& relative) -> QString { return demo.path() + QStringLiteral("/Music/") + relative; };
    CliWorld w(CliWorld::Player::FatImage);
    ASSERT_TRUE(w.ready());
    ASSERT_NO_FATAL_FAILURE(syncAlbums(w, demo.path(), {"Summer Sampler 2006", "Bits & Pieces <Deluxe>", "Field Recordings", "Greatest Hits"}));

    // On the player -> in the demo library.
    const std::map<QString, QString> converted = {
        {"Summer Sampler 2006/02 Love _3 & Hate.mp3", "Compilations/Summer Sampler 2006/02 Love _3 & Hate.m4a"},  // AAC
        {"Bits & Pieces _Deluxe_/01 Prelude in C.mp3", "Clara Lossless/Bits & Pieces _Deluxe_/1-01 Prelude in C.m4a"},
        {"Bits & Pieces _Deluxe_/02 Fugue _ Reprise.mp3", "Clara Lossless/Bits & Pieces _Deluxe_/1-02 Fugue _ Reprise.m4a"},
        {"Bits & Pieces _Deluxe_/03 Encore.mp3", "Clara Lossless/Bits & Pieces _Deluxe_/2-01 Encore.m4a"},  // 48 kHz
        {"Field Recordings/01 Mono Hum.mp3", "Analog Tape Club/Field Recordings/01 Mono Hum.wav"},
        {"Field Recordings/02 Stereo Rain.mp3", "Analog Tape Club/Field Recordings/02 Stereo Rain.wav"},
    };
    const std::map<QString, QString> copied = {
        {"Summer Sampler 2006/01 Sunburn.mp3", "Compilations/Summer Sampler 2006/01 Sunburn.mp3"},
        {"Summer Sampler 2006/03 Beach Sine #9 (100% Mix).mp3", "Compilations/Summer Sampler 2006/03 Beach Sine #9 (100% Mix).mp3"},
        {"Greatest Hits/01 Highway to Hertz.mp3", "AC_DC-like/Greatest Hits/01 Highway to Hertz.mp3"},
        {"Greatest Hits/02 Back in Black Noise.mp3", "AC_DC-like/Greatest Hits/02 Back in Black Noise.mp3"},
        {"Greatest Hits/03 T.N.Tone (Remastered).mp3", "AC_DC-like/Greatest Hits/03 T.N.Tone (Remastered).mp3"},  // 320 kbit/s
        {"Greatest Hits/04 Hello, Oscillator.mp3", "The Sine Waves/Greatest Hits/01 Hello, Oscillator.mp3"},
        {"Greatest Hits/05 Forty-Four Hundred.mp3", "The Sine Waves/Greatest Hits/02 Forty-Four Hundred.mp3"},
        {"Greatest Hits/06 Square Peg.mp3", "The Sine Waves/Greatest Hits/03 Square Peg.mp3"},
    };
    std::set<QString> expected;
    for (const auto& list : {converted, copied})
        for (const auto& [player, source] : list) expected.insert(player);
    EXPECT_EQ(w.playerFileNames(), expected);

    for (const auto& [player, source] : converted) expectConverted(w.playerFolder() + u'/' + player, music(source));
    for (const auto& [player, source] : copied)
        EXPECT_TRUE(readFile(w.playerFolder() + u'/' + player) == readFile(music(source))) << player.toStdString();

    // A player's file holds what its name says: a change of format converts
    // again (never renames), and each format keeps its own cache file.
    for (const auto& [format, extension, codec] : {std::tuple{"AAC", "m4a", "aac"}, {"MP3", "mp3", "mp3"}}) {
        SCOPED_TRACE(format);
        ASSERT_TRUE(w.ok({{"config", "set", "convertToFormat", QLatin1String(format)}, {"sync"}}));
        std::set<QString> names;
        for (const auto& [player, source] : copied) names.insert(player);
        for (const auto& [player, source] : converted) {
            const QString name = player.chopped(3) + QLatin1String(extension);
            names.insert(name);
            auto info = fixtures::probe(w.playerFolder() + u'/' + name);
            ASSERT_TRUE(info) << name.toStdString();
            EXPECT_EQ(info->codec, QLatin1String(codec)) << name.toStdString();
        }
        EXPECT_EQ(w.playerFileNames(), names);
    }
    EXPECT_EQ(datedFiles(w.dir.path() + QStringLiteral("/cache")).size(), 2 * converted.size()) << "every song in both formats";
    expectSettled(w);

    // Names beyond ASCII, which a folder player takes (FAT through fusefat does
    // not), in file names and tags.
    CliWorld folder(CliWorld::Player::Folder);
    ASSERT_NO_FATAL_FAILURE(syncAlbums(folder, demo.path(), {"Café del Mar"}));
    const QString album = QStringLiteral("Orquesta Añeja/Café del Mar/");
    const std::map<QString, QString> accented = {
        {"Café del Mar/01 Señorita Sinusoidal.mp3", album + "01 Señorita Sinusoidal.m4a"},
        {"Café del Mar/02 Über_ Alles_.mp3", album + "02 Über_ Alles_.m4a"},
        {"Café del Mar/03 Noche en São Paulo.mp3", album + "07 Noche en São Paulo.m4a"},
    };
    std::set<QString> names;
    for (const auto& [player, source] : accented) names.insert(player);
    EXPECT_EQ(folder.playerFileNames(), names);
    // Names are written decomposed.
    auto onPlayer = [&](const QString& name) { return QString(folder.playerFolder() + u'/' + name).normalized(QString::NormalizationForm_D); };
    for (const auto& [player, source] : accented) expectConverted(onPlayer(player), music(source));

    auto info = fixtures::probe(onPlayer(QStringLiteral("Café del Mar/03 Noche en São Paulo.mp3")));
    ASSERT_TRUE(info);
    for (auto [key, value] : {std::pair{"title", "Noche en São Paulo"}, {"artist", "Orquesta Añeja feat. Niño"}, {"album", "Café del Mar"},
                              {"composer", "José Müller & Zoë Ørsted"}, {"genre", "Latin"}})
        EXPECT_EQ(info->tags.value(QLatin1String(key)).toString(), QString::fromUtf8(value)) << key;
    expectSettled(folder);
}

}  // namespace
