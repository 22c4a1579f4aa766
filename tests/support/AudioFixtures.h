#pragma once

// Real audio files for tests, made and checked with the ffmpeg and ffprobe
// command-line tools. A missing tool fails the calling test (it does not skip).

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace fixtures {

// Runs a program to the end; its standard output, or nothing (with a test
// failure naming it and its standard error) when it cannot start or fails.
std::optional<QByteArray> runTool(const QString& program, const QStringList& args);

// A tone of `seconds` at `rate` Hz, each channel its own pitch, encoded with
// `codecArgs` (e.g. {"-c:a", "alac"}) into `path`; the container follows the
// file's extension. More than two channels get the usual layout (5.1 for 6).
bool makeTone(const QString& path, const QStringList& codecArgs, double seconds, int rate, int channels);

struct AudioInfo {
    QString codec;
    int sampleRate = 0;
    int channels = 0;
    qint64 bitRate = 0;
    double duration = 0;  // of the container, seconds
    QJsonObject tags;     // the container's tags, as ffprobe names them
};

// What ffprobe says of the first audio stream and the container.
std::optional<AudioInfo> probe(const QString& path);

// The file's audio decoded by ffmpeg at its own rate, one vector per channel.
std::optional<std::vector<std::vector<float>>> decodeChannels(const QString& path, int channels);

// The strength of `frequency` in `samples` (Goertzel), as a mean power.
double tonePower(const std::vector<float>& samples, double frequency, int rate);

}  // namespace fixtures
