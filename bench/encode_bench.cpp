// Encoding a song to MP3 at 128 kbit/s: encodeAudio against the ffmpeg
// command line doing the same, in alternating runs so that both meet the same
// machine state. Reports median wall times and realtime factors (seconds of
// audio per second of work). Without a source, a 60-second 44.1 kHz stereo
// AAC file of tones and noise is made with ffmpeg.
//
// usage: encode_bench [SOURCE] [--runs N]

#include "workers/Encoder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

namespace {

bool run(const QString& program, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted() || !p.waitForFinished(600000) || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
        return false;
    }
    if (out) *out = p.readAllStandardOutput();
    return true;
}

double cpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int runs = 5;
    if (int i = int(args.indexOf(QStringLiteral("--runs"))); i >= 0 && i + 1 < args.size()) {
        runs = std::max(1, args[i + 1].toInt());
        args.remove(i, 2);
    }

    QTemporaryDir dir;
    QString source = args.value(0);
    if (source.isEmpty()) {
        source = dir.filePath(QStringLiteral("source.m4a"));
        const QString tones = QStringLiteral(
            "aevalsrc=exprs=0.3*sin(2*PI*440*t)*sin(2*PI*0.5*t)+0.1*(random(0)-0.5)"
            "|0.3*sin(2*PI*660*t)+0.25*sin(2*PI*97*t)+0.1*(random(1)-0.5):s=44100:d=60");
        if (!run(QStringLiteral("ffmpeg"), {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                                            QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), tones,
                                            QStringLiteral("-c:a"), QStringLiteral("aac"), QStringLiteral("-b:a"),
                                            QStringLiteral("256k"), source}))
            return 2;
    }
    QByteArray durationText;
    if (!run(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                         QStringLiteral("format=duration"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), source},
             &durationText))
        return 2;
    const double audioSeconds = durationText.trimmed().toDouble();

    const QString ours = dir.filePath(QStringLiteral("ours.mp3")), theirs = dir.filePath(QStringLiteral("theirs.mp3"));
    const EncodeSettings settings = encodeSettingsFor(QStringLiteral("MP3"), 128);
    // CPU time too: on a busy machine it is steadier than wall time.
    std::vector<double> oursTimes, theirsTimes, oursCpu, theirsCpu;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        double cpu = cpuSeconds(RUSAGE_SELF);
        if (auto r = encodeAudio(source, ours, settings); !r) {
            std::fprintf(stderr, "encodeAudio: %s\n", qPrintable(r.error()));
            return 3;
        }
        oursTimes.push_back(double(t.nsecsElapsed()) * 1e-9);
        oursCpu.push_back(cpuSeconds(RUSAGE_SELF) - cpu);

        t.start();
        cpu = cpuSeconds(RUSAGE_CHILDREN);
        if (!run(QStringLiteral("ffmpeg"), {QStringLiteral("-nostdin"), QStringLiteral("-v"), QStringLiteral("error"),
                                            QStringLiteral("-y"), QStringLiteral("-i"), source, QStringLiteral("-codec:a"),
                                            QStringLiteral("libmp3lame"), QStringLiteral("-b:a"), QStringLiteral("128k"), theirs}))
            return 3;
        theirsTimes.push_back(double(t.nsecsElapsed()) * 1e-9);
        theirsCpu.push_back(cpuSeconds(RUSAGE_CHILDREN) - cpu);
    }

    const double a = median(oursTimes), b = median(theirsTimes);
    std::printf("source: %s (%.1f s of audio), %d runs each\n", qPrintable(source), audioSeconds, runs);
    const double ac = median(oursCpu), bc = median(theirsCpu);
    std::printf("                 median wall        realtime   median CPU   realtime by CPU   output\n");
    std::printf("encodeAudio      %8.3f s  %10.1fx  %9.3f s  %14.1fx   %lld bytes\n", a, audioSeconds / a, ac, audioSeconds / ac,
                static_cast<long long>(QFileInfo(ours).size()));
    std::printf("ffmpeg command   %8.3f s  %10.1fx  %9.3f s  %14.1fx   %lld bytes\n", b, audioSeconds / b, bc, audioSeconds / bc,
                static_cast<long long>(QFileInfo(theirs).size()));
    std::printf("encodeAudio takes %.0f%% of the command's wall time, %.0f%% of its CPU time\n", 100 * a / b, 100 * ac / bc);
    return 0;
}
