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

std::optional<QString> PlayerVolume::refusal(const QString& path) {
    const QString volumes = Locations::volumesFolder();
    auto refused = [&](const QString& why) {
        return QStringLiteral("pathToPlayer \"%1\" %2; it must be a folder on a volume under %3 (for example %3PLAYER/Music)").arg(path, why, volumes);
    };
    if (!QDir::isAbsolutePath(path)) return refused(QStringLiteral("is not an absolute path"));
    for (const QString& part : path.split(u'/'))
        if (part == u"." || part == u"..") return refused(QStringLiteral("holds \".\" or \"..\""));
    if (driveNameFromPath(path).isEmpty()) return refused(QStringLiteral("is not inside a volume"));
    // Symbolic links: the folder, as far as it exists, must resolve into the
    // volume it names.
    QString volume = volumes + driveNameFromPath(path);
    QString canonicalVolume = QFileInfo(volume).canonicalFilePath();
    QString existing = QDir::cleanPath(path);
    while (existing.size() > volume.size() && !fsys::existsNoFollow(existing)) existing = pathByRemovingLastComponent(existing);
    QString canonical = QFileInfo(existing).canonicalFilePath();
    if (!canonicalVolume.isEmpty() && !canonical.isEmpty() && canonical != canonicalVolume && !canonical.startsWith(canonicalVolume + u'/'))
        return refused(QStringLiteral("leads out of its volume through a symbolic link"));
    return std::nullopt;
}

QString PlayerVolume::volumeFolder() const {
    QString name = driveNameFromPath(path());
    return name.isEmpty() ? QString() : Locations::volumesFolder() + name;
}

plist::Object::Dict PlayerVolume::pathChanges(const QString& stored, const QString& folder) {
    plist::Object::Dict changes;
    if (folder != stored) {
        changes.emplace_back("wantedSongs", plist::Object::array());
        changes.emplace_back("playerWasMountPoint", false);
    }
    return changes;
}

void PlayerVolume::makeFolders(const QString& folder) {
    QString volume = Locations::volumesFolder() + driveNameFromPath(folder);
    std::optional<Volumes::MountEntry> mount = Volumes::mountHolding(volume);
    if (mount && mount->mountPoint == QFileInfo(volume).canonicalFilePath()) fsys::makePath(folder);
}

std::expected<void, QString> PlayerVolume::setPath(const QString& given) {
    QString folder = QDir::cleanPath(given);
    if (std::optional<QString> why = refusal(folder)) return std::unexpected(*why);
    plist::Object::Dict changes = pathChanges(path(), folder);
    changes.emplace_back("pathToPlayer", folder.toStdString());
    if (auto written = defaults_.set(changes); !written) return written;
    makeFolders(folder);
    return {};
}

bool PlayerVolume::volumePresent() {
    QString player = path();
    if (player.isEmpty() || refusal(player)) return false;
    bool mountPoint = Volumes::isMountPoint(volumeFolder());
    if (mountPoint) mountPointSeen_ = volumeFolder();
    bool seenMounted = wasMountPoint() || defaults_.boolean("playerWasMountPoint");
    if (!mountPoint && (!Locations::volumesFolderGiven() || seenMounted)) return false;
    return fsys::isDirectory(volumeFolder());
}

bool PlayerVolume::existsNow() { return volumePresent() && fsys::isDirectory(path()); }

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
