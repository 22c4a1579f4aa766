#include "SyncFixture.h"

#include "app/Controller.h"
#include "library/PathUtils.h"
#include "library/Song.h"
#include "platform/FileSystem.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

QStringList treeOf(const QString& folder) {
    QStringList out;
    const qsizetype prefix = folder.endsWith(u'/') ? folder.size() : folder.size() + 1;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QString path = it.next();
        QString relative = path.mid(prefix);
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

SyncFixture::SyncFixture(const QString& volumePath) {
    if (volumePath.isEmpty()) {
        volumesDir = std::make_unique<QTemporaryDir>();
        QString volumes = QFileInfo(volumesDir->path()).canonicalFilePath() + QStringLiteral("/Volumes/");
        volume = volumes + QStringLiteral("PLAYER");
        this->volumes = std::make_unique<VolumesFolderOverride>(volumes);
    } else {
        volume = volumePath;
    }
    player = volume + QStringLiteral("/Music");
    QDir().mkpath(player);

    EXPECT_TRUE(lib.defaults.set(plist::Object::Dict{{"pathToPlayer", player.toStdString()}, {"createArtistSubfolders", true}, {"createAlbumSubfolders", true},
                                                     {"createPlaylistSubfolders", true}, {"createPlaylistGroupSubfolders", false}}));

    auto track = [&](const char* name, const char* artist, const char* album, int number, const char* kind) {
        return lib.builder.addTrack({{"Name", name}, {"Artist", artist}, {"Album", album}, {"Track Number", number}, {"Kind", kind}});
    };
    one = track("One", "A", "X", 1, "MPEG audio file");
    two = track("Two", "A", "X", 2, "MPEG audio file");
    three = track("Three", "A", "X", 3, "MPEG audio file");
    four = track("Four", "B", "Y", 1, "AAC audio file");
    lib.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {two, one});
    lib.load();
}

QString SyncFixture::at(const QString& relative) const { return decomposed(player + u'/' + relative); }

QString SyncFixture::rel(const QString& full) const {
    QString prefix = decomposed(player) + u'/';
    return full.startsWith(prefix) ? full.mid(prefix.size()) : full;
}

void SyncFixture::put(const QString& relative, int bytes) { ASSERT_TRUE(writeFile(at(relative), QByteArray(bytes, 'x'))); }

QString SyncFixture::nameOf(const Song* song) const { return song ? song->name() : QStringLiteral("-"); }

std::unique_ptr<Controller> SyncFixture::controller() {
    // A stored (empty) state: no first-start take-over of the player.
    for (const char* key : {"wantedStuff", "previousSongs"})
        EXPECT_TRUE(lib.defaults.contains(key) || lib.defaults.set(key, plist::Object::dict()).has_value());
    auto c = std::make_unique<Controller>(lib.defaults, lib.ui, Controller::Options{lib.builder.write(), lib.folder() + QStringLiteral("/cache")});
    EXPECT_TRUE(c->loadLibrary());
    c->restoreSavedState();
    c->checkMounted();
    return c;
}
