#include "Helpers.h"

#include "platform/FileSystem.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef BRISLE_BINARY
#error "BRISLE_BINARY must name the program under test"
#endif

bool waitUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

QStringList treeOf(const QString& folder) {
    QStringList out;
    const qsizetype prefix = folder.endsWith(u'/') ? folder.size() : folder.size() + 1;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QString relative = it.next().mid(prefix);
        out.append(it.fileInfo().isDir() ? relative + u'/' : relative);
    }
    out.sort();
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool setModificationTime(const QString& path, double seconds) {
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(seconds);
    times[1].tv_nsec = long((seconds - double(time_t(seconds))) * 1e9);
    return ::utimensat(AT_FDCWD, fsys::encode(path).constData(), times, 0) == 0;
}

void withFileSizeLimit(qint64 bytes, const std::function<void()>& action) {
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit small{rlim_t(bytes), old.rlim_max};
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    action();
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
}

RunResult runProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env, int timeoutMs) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, args);
    RunResult r;
    if (!p.waitForStarted()) {
        r.failure = QStringLiteral("cannot run %1: %2").arg(program, p.errorString());
        return r;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        r.failure = program + QStringLiteral(" did not finish in time");
    } else if (p.exitStatus() == QProcess::NormalExit) {
        r.exitCode = p.exitCode();
    }
    r.output = p.readAllStandardOutput();
    r.out = QString::fromUtf8(r.output);
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

RunResult runBrisle(const QStringList& args, const QProcessEnvironment& env, int timeoutMs) {
    RunResult r = runProgram(QStringLiteral(BRISLE_BINARY), args, env, timeoutMs);
    if (!r.failure.isEmpty()) ADD_FAILURE() << "brisle " << args.join(u' ').toStdString() << ": " << r.failure.toStdString();
    return r;
}

Fifo::Fifo(const QString& path, int patienceMs) : path_(path) {
    QDir().mkpath(QFileInfo(path).path());
    EXPECT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0644), 0) << path.toStdString();
    releaser_ = std::thread([this, patienceMs] {
        auto start = std::chrono::steady_clock::now();
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(patienceMs)) continue;
            // Succeeds only while someone waits to read: a writer that comes
            // and goes gives that reader an end of file.
            int fd = ::open(QFile::encodeName(path_).constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
        }
    });
}

Fifo::~Fifo() {
    done_ = true;
    releaser_.join();
    QFile::remove(path_);
}
