#include "PlayerVolume.h"

#include "library/PathUtils.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/Locations.h"
#include "platform/Volumes.h"
#include "workers/DiskSorter.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

PlayerVolume::PlayerVolume(Defaults& defaults, QObject* parent) : QObject(parent), defaults_(defaults) {}

PlayerVolume::~PlayerVolume() {
    // The owner is going away: let the job end, but tell nobody.
    if (running_.valid()) running_.wait();
}

QString PlayerVolume::path() const { return defaults_.string("pathToPlayer"); }

std::expected<void, QString> PlayerVolume::setPath(const QString& given) {
    QString folder = QDir::cleanPath(given);
    if (!QDir::isAbsolutePath(folder) || driveNameFromPath(folder).isEmpty())
        return std::unexpected(QStringLiteral("pathToPlayer must be a folder on a volume under %1 (for example %1PLAYER/Music), not \"%2\"")
                                   .arg(Locations::volumesFolder(), given));
    plist::Object::Dict changes;
    if (folder != path()) changes.emplace_back("wantedSongs", plist::Object::array());
    changes.emplace_back("pathToPlayer", folder.toStdString());
    if (auto written = defaults_.set(changes); !written) return written;
    QString volume = Locations::volumesFolder() + driveNameFromPath(folder);
    std::optional<Volumes::MountEntry> mount = Volumes::mountHolding(volume);
    if (mount && mount->mountPoint == QFileInfo(volume).canonicalFilePath()) fsys::makePath(folder);
    return {};
}

bool PlayerVolume::existsNow() const {
    QString player = path();
    return !player.isEmpty() && fsys::existsNoFollow(player);
}

bool PlayerVolume::concerns(const QString& mountPoint) const {
    QString player = path();
    return !player.isEmpty() && player.startsWith(mountPoint);
}

void PlayerVolume::sortFiles(std::function<void(std::expected<void, QString>)> done) {
    QString player = path();
    run(Job::Sorting, [player] { return DiskSorter::sortFiles(player); }, std::move(done));
}

void PlayerVolume::eject(bool sortFirst, std::function<void(std::expected<void, QString>)> done) {
    QString player = path();
    run(sortFirst ? Job::Sorting : Job::Ejecting, [this, player, sortFirst]() -> std::expected<void, QString> {
        if (sortFirst) {
            // Files a sort could not put back must not leave with the player.
            if (auto sorted = DiskSorter::sortFiles(player); !sorted) return sorted;
            QMetaObject::invokeMethod(this, [this] {
                if (job_ != Job::Sorting || !running_.valid()) return;  // it has ended meanwhile
                job_ = Job::Ejecting;
                Q_EMIT jobChanged();
            }, Qt::QueuedConnection);
        }
        return Volumes::unmountAndEject(player);
    }, std::move(done));
}

void PlayerVolume::run(Job job, std::function<std::expected<void, QString>()> work, std::function<void(std::expected<void, QString>)> done) {
    Q_ASSERT(!busy());
    job_ = job;
    done_ = std::move(done);
    running_ = std::async(std::launch::async, std::move(work));
    // The job's end is noticed by polling: the thread never calls back into
    // this object, so a shutdown that waits for it cannot deadlock.
    if (!poll_) {
        poll_ = new QTimer(this);
        poll_->setInterval(20);
        connect(poll_, &QTimer::timeout, this, [this] {
            if (running_.valid() && running_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
            poll_->stop();
            waitForJob();
        });
    }
    poll_->start();
    Q_EMIT jobChanged();
}

void PlayerVolume::waitForJob() {
    if (!running_.valid()) return;
    std::expected<void, QString> result = running_.get();
    job_ = Job::None;
    if (poll_) poll_->stop();
    auto done = std::move(done_);
    done_ = nullptr;
    Q_EMIT jobChanged();
    if (done) done(result);
}
