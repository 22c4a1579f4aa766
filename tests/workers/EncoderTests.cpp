#include "support/AudioFixtures.h"
#include "support/Helpers.h"
#include "workers/Encoder.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using fixtures::makeTone;
using fixtures::probe;

namespace {

constexpr double toneSeconds = 3.3;  // not a whole number of encoder frames

EncodeSettings mp3At(int kbps) { return encodeSettingsFor(QStringLiteral("MP3"), kbps); }

bool exists(const QString& path) { return QFileInfo::exists(path); }

// The decoded output holds every sample of the source (decoders drop the
// encoder's start delay, some keep its end padding), and the tone on each
// channel is the one the fixture gave it (330 Hz on the first, 440 Hz on the
// second): channels neither swapped, silenced nor mangled.
void expectSourceAudio(const QString& path, int channels, int rate, double sourceSeconds) {
    auto decoded = fixtures::decodeChannels(path, channels);
    ASSERT_TRUE(decoded);
    const double seconds = double(decoded->front().size()) / rate;
    EXPECT_GE(seconds, sourceSeconds - 0.0003) << "the end of the audio is lost";
    EXPECT_LE(seconds, sourceSeconds + 0.06) << "more than an encoder's padding was added";
    for (int c = 0; c < channels; ++c) {
        const auto& samples = (*decoded)[std::size_t(c)];
        const double mine = fixtures::tonePower(samples, 330 + 110 * c, rate);
        const double other = fixtures::tonePower(samples, 330 + 110 * (1 - c), rate);
        // 0.4 amplitude gives 0.04; a downmix normalised against clipping keeps 0.007.
        EXPECT_GT(mine, 0.004) << "channel " << c << " lost its tone";
        if (channels > 1) {
            EXPECT_GT(mine, 100 * other) << "channel " << c << " holds the other's tone";
        }
    }
}

struct SourceCase {
    const char* name;
    const char* file;
    QStringList codecArgs;
    int rate, channels;
    int expectedRate, expectedChannels;
    const char* format = "MP3";
};

void PrintTo(const SourceCase& c, std::ostream* os) { *os << c.name; }

class EncodeSources : public ::testing::TestWithParam<SourceCase> {
protected:
    QTemporaryDir dir;
};

TEST_P(EncodeSources, KeepEverySampleAtTheChosenBitRate) {
    const SourceCase& c = GetParam();
    const bool mp3 = c.format == std::string_view("MP3");
    const QString source = dir.filePath(QString::fromUtf8(c.file));
    const QString dest = dir.filePath(QStringLiteral("out: é"));  // cache files have no extension; a colon is no protocol
    ASSERT_TRUE(makeTone(source, c.codecArgs, toneSeconds, c.rate, c.channels));
    auto in = probe(source);
    ASSERT_TRUE(in);
    auto result = encodeAudio(source, dest, encodeSettingsFor(QLatin1String(c.format), 160));
    ASSERT_TRUE(result) << result.error().toStdString();
    auto out = probe(dest);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->codec, mp3 ? u"mp3" : u"aac");
    EXPECT_EQ(out->sampleRate, c.expectedRate);
    EXPECT_EQ(out->channels, c.expectedChannels);
    EXPECT_NEAR(out->bitRate, 160000, mp3 ? 1000 : 25000) << "MP3 at a constant rate";
    EXPECT_NEAR(out->duration, in->duration, 0.1) << "audio lost or added";  // by the headers
    const QByteArray bytes = readFile(dest);
    if (mp3) {
        EXPECT_NE(bytes.left(3), "ID3") << "the muxer must leave tags to the tagger";
        EXPECT_NE(bytes.right(128).left(3), "TAG");
    } else {
        EXPECT_EQ(bytes.mid(4, 4), "ftyp") << "AAC goes in an MPEG-4 file";
    }
    expectSourceAudio(dest, c.expectedChannels, c.expectedRate, toneSeconds);
}

INSTANTIATE_TEST_SUITE_P(
    EncodeKinds, EncodeSources,
    ::testing::Values(SourceCase{"AacStereo", "a.m4a", {"-c:a", "aac", "-b:a", "128k"}, 44100, 2, 44100, 2},
                      SourceCase{"AppleLossless", "a.m4a", {"-c:a", "alac"}, 44100, 2, 44100, 2},
                      SourceCase{"Wav88k", "a.wav", {}, 88200, 2, 44100, 2},
                      SourceCase{"MonoWav", "Café: Live ♫.wav", {}, 22050, 1, 22050, 1},
                      SourceCase{"Mp3", "a.mp3", {"-c:a", "libmp3lame", "-b:a", "192k"}, 44100, 2, 44100, 2},
                      SourceCase{"UnsupportedRate", "a.wav", {}, 37800, 1, 32000, 1},
                      SourceCase{"Surround", "a.wav", {}, 48000, 6, 48000, 2},
                      SourceCase{"AacFromWav96k", "a.wav", {"-c:a", "pcm_s24le"}, 96000, 2, 48000, 2, "AAC"}),
    [](const auto& info) { return std::string(info.param.name); });

class Encode : public ::testing::Test {
protected:
    QString tone(const QString& name, double seconds = toneSeconds, int rate = 44100, int channels = 2) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(makeTone(path, {}, seconds, rate, channels));
        return path;
    }
    QString junkFile(const QString& name, const QByteArray& content) {
        EXPECT_TRUE(writeFile(dir.filePath(name), content));
        return dir.filePath(name);
    }

    QTemporaryDir dir;
};

TEST_F(Encode, UnreadableSourcesFailAndLeaveNothing) {
    QByteArray noise(20000, '\0');
    for (int i = 0; i < noise.size(); ++i) noise[i] = char((i * 7919 + 13) ^ (i >> 3));
    const QString video = dir.filePath(QStringLiteral("video.mkv"));
    ASSERT_TRUE(fixtures::runTool(QStringLiteral("ffmpeg"), {"-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc=d=1:s=64x48", "-c:v", "ffv1", video}));
    Fifo fifo(dir.filePath(QStringLiteral("fifo.m4a")));
    const std::pair<QString, const char*> sources[] = {{junkFile(QStringLiteral("noise.m4a"), noise), "Invalid data"},
                                                       {dir.filePath(QStringLiteral("missing.m4a")), "No such file"},
                                                       {video, "no audio stream"},
                                                       // never opened: FFmpeg would wait on a FIFO for ever
                                                       {fifo.path(), "a FIFO, not a regular file"},
                                                       {QStringLiteral("/proc/self/environ"), "(/proc, /sys), not a regular file"}};
    for (const auto& [path, why] : sources) {
        SCOPED_TRACE(path.toStdString());
        const QString dest = junkFile(QStringLiteral("out.mp3"), "stale output of an earlier run");
        auto result = encodeAudio(path, dest, mp3At(160));
        ASSERT_FALSE(result);
        EXPECT_TRUE(result.error().contains(u'\'' + path + u'\'')) << result.error().toStdString();
        EXPECT_TRUE(result.error().contains(QString::fromUtf8(why))) << result.error().toStdString();
        EXPECT_FALSE(exists(dest));
    }
}

TEST_F(Encode, AnUnusableDestinationFailsAndTheSourceIsNeverOverwritten) {
    const QString source = tone(QStringLiteral("a.wav"));
    const QString nowhere = dir.filePath(QStringLiteral("no such folder/out.mp3"));
    auto result = encodeAudio(source, nowhere, mp3At(160));
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().startsWith(u"cannot create '" + nowhere + u"'")) << result.error().toStdString();

    result = encodeAudio(source, source, mp3At(160));
    ASSERT_FALSE(result) << "encoding a file onto itself";
    EXPECT_TRUE(exists(source));
}

// The output grows while encoding, so a progress display can follow it, and
// cancelling stops the work and removes what was written.
TEST_F(Encode, OutputGrowsAsItGoesAndCancellingRemovesIt) {
    const QString source = tone(QStringLiteral("long.wav"), 60);
    const QString dest = dir.filePath(QStringLiteral("out"));
    std::atomic<bool> cancel = false, done = false;
    std::expected<void, QString> result;
    std::thread worker([&] {
        result = encodeAudio(source, dest, mp3At(160), &cancel);
        done = true;
    });
    qint64 seen = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && seen == 0 && std::chrono::steady_clock::now() < deadline) {
        seen = QFileInfo(dest).size();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    cancel = true;
    worker.join();
    EXPECT_GT(seen, 0) << "nothing was written before the encoding ended";
    ASSERT_FALSE(result) << "the encoding ended before it was cancelled";
    EXPECT_EQ(result.error(), u"cancelled");
    EXPECT_FALSE(exists(dest));
    // Cancelled before it starts.
    result = encodeAudio(source, dest, mp3At(160), &cancel);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), u"cancelled");
    EXPECT_FALSE(exists(dest));
}

}  // namespace
