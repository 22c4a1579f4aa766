// Rebuilding the polished window's background, as every resize does: the
// real images, a window of 2560 x 1440 points, at 1x and 2x, normal and flat.
// Prints the median and the fastest of R rebuilds, wall and CPU time.
//
// usage: polished_bench [--runs R] [--size WxH]     (defaults: 41, 2560x1440)

#include "ui/PolishedBackground.h"

#include <QCoreApplication>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double cpuMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int runs = 41;
    QSize size(2560, 1440);
    for (qsizetype i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == u"--runs") runs = std::max(1, args[i + 1].toInt());
        else if (args[i] == u"--size") size = QSize(args[i + 1].section(u'x', 0, 0).toInt(), args[i + 1].section(u'x', 1, 1).toInt());
    }
    std::printf("background of %d x %d points, %d rebuilds each\n", size.width(), size.height(), runs);
    for (qreal ratio : {1.0, 2.0}) {
        for (int look = 0; look < 4; ++look) {
            const bool flat = look / 2, kept = look % 2;
            const PolishedImages images = polishedImages(flat, false, ratio);
            std::vector<double> wall, cpu;
            std::vector<uchar> memory;  // kept between rebuilds, as the window keeps it
            for (int r = 0; r < runs; ++r) {
                // Every other rebuild a point smaller, as in a resize.
                const QSize step = size - QSize(r % 2, r % 2);
                double c0 = cpuMs();
                auto t0 = std::chrono::steady_clock::now();
                QImage background = polishedBackground(images, step, ratio, kept ? &memory : nullptr);
                wall.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
                cpu.push_back(cpuMs() - c0);
                if (background.isNull()) return 1;
            }
            std::sort(wall.begin(), wall.end());
            std::sort(cpu.begin(), cpu.end());
            std::printf("  %gx %-6s %-13s  median %6.2f ms (cpu %6.2f)   fastest %6.2f ms\n", ratio, flat ? "flat" : "normal",
                        kept ? "memory kept" : "fresh memory",
                        wall[wall.size() / 2], cpu[cpu.size() / 2], wall.front());
        }
    }
    return 0;
}
