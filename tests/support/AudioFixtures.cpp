#include "support/AudioFixtures.h"
#include "support/Helpers.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace fixtures {

std::optional<QByteArray> runTool(const QString& program, const QStringList& args) {
    RunResult r = runProgram(program, args);
    if (r.exitCode == 0) return r.output;
    ADD_FAILURE() << program.toStdString() << ' ' << args.join(u' ').toStdString() << " failed (needed to make and check audio files): "
                  << r.failure.toStdString() << '\n' << r.err.toStdString();
    return std::nullopt;
}

bool makeTone(const QString& path, const QStringList& codecArgs, double seconds, int rate, int channels) {
    QStringList exprs;
    for (int c = 0; c < channels; ++c) exprs << QStringLiteral("0.4*sin(2*PI*%1*t)").arg(330 + 110 * c);
    const QString layout = channels == 1 ? "mono" : channels == 2 ? "stereo" : channels == 6 ? "5.1" : QStringLiteral("%1c").arg(channels);
    const QString source = QStringLiteral("aevalsrc=exprs=%1:s=%2:d=%3:c=%4").arg(exprs.join(u'|')).arg(rate).arg(seconds).arg(layout);
    return runTool(QStringLiteral("ffmpeg"), QStringList{"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source} + codecArgs + QStringList{path}).has_value();
}

std::optional<AudioInfo> probe(const QString& path) {
    auto out = runTool(QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", "a:0", "-show_entries",
                                                   "stream=codec_name,sample_rate,channels,bit_rate:format=duration:format_tags", "-of", "json", path});
    if (!out) return std::nullopt;
    const QJsonObject root = QJsonDocument::fromJson(*out).object();
    const QJsonArray streams = root.value(u"streams").toArray();
    if (streams.isEmpty()) {
        ADD_FAILURE() << "ffprobe finds no audio in " << path.toStdString();
        return std::nullopt;
    }
    const QJsonObject s = streams.first().toObject();
    const QJsonObject format = root.value(u"format").toObject();
    AudioInfo info;
    info.codec = s.value(u"codec_name").toString();
    info.sampleRate = s.value(u"sample_rate").toString().toInt();
    info.channels = s.value(u"channels").toInt();
    info.bitRate = s.value(u"bit_rate").toString().toLongLong();
    info.duration = format.value(u"duration").toString().toDouble();
    info.tags = format.value(u"tags").toObject();
    return info;
}

std::optional<std::vector<std::vector<float>>> decodeChannels(const QString& path, int channels) {
    auto raw = runTool(QStringLiteral("ffmpeg"), {"-nostdin", "-v", "error", "-i", path, "-f", "f32le", "-c:a", "pcm_f32le", "-"});
    if (!raw) return std::nullopt;
    const auto frames = std::size_t(raw->size()) / sizeof(float) / std::size_t(channels);
    std::vector<std::vector<float>> out(std::size_t(channels), std::vector<float>(frames, 0.0f));
    const char* p = raw->constData();
    for (std::size_t i = 0; i < frames; ++i)
        for (std::size_t c = 0; c < out.size(); ++c, p += sizeof(float)) std::memcpy(&out[c][i], p, sizeof(float));
    return out;
}

double tonePower(const std::vector<float>& samples, double frequency, int rate) {
    const double w = 2 * M_PI * frequency / rate, coeff = 2 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (float x : samples) {
        const double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    return samples.empty() ? 0 : power / double(samples.size()) / double(samples.size());
}

}  // namespace fixtures
