// Start-up, shutdown and the saved state.

#include "Controller.h"

#include "RecordSaver.h"
#include "library/LibraryLoader.h"
#include "library/PathUtils.h"
#include "planning/SavedState.h"
#include "platform/Defaults.h"
#include "platform/Settings.h"
#include "platform/FileSystem.h"
#include "platform/Locations.h"
#include "app/UserInterface.h"
#include "workers/Convertor.h"
#include "platform/FWKQueue.h"
#include "platform/VolumeMonitor.h"
#include "workers/Copier.h"
#include "workers/DiskSorter.h"
#include "workers/Encoder.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

Controller::Controller(Defaults& defaults, UserInterface& ui, Options options, QObject* parent)
    : QObject(parent), defaults_(defaults), ui_(ui), options_(std::move(options)), volume_(defaults) {
    recordSaver_ = new RecordSaver(defaults_, ui_, [this] {
        plist::Object::Dict values;
        {
            std::lock_guard lock(work_.todoLock);
            values.emplace_back("previousSongs", SavedState::previousSongs(work_.previousFiles));
        }
        // A later run must not take the empty mount point of this volume for
        // the player.
        if (volume_.wasMountPoint()) values.emplace_back("playerWasMountPoint", true);
        return values;
    }, this);
    connect(&volume_, &PlayerVolume::jobChanged, this, &Controller::updateStatus);
}

Controller::~Controller() {
    // A watcher call waiting for this object is dropped with the delegate.
    if (libraryWatch_) libraryWatch_->setDelegate(nullptr);
    volume_.waitForJob();
    stopWorkers();
    delete recordSaver_;  // waits for a save under way, while the lists still exist
    recordSaver_ = nullptr;
}

QString Controller::pathToPlayer() const { return volume_.path(); }

std::expected<void, QString> Controller::setPlayerPath(const QString& path) {
    if (readOnly_) return std::unexpected(QStringLiteral("the player cannot be changed in a read-only run"));
    if (auto stored = volume_.setPath(path); !stored) return stored;
    playerSettingsChanged();
    return {};
}

void Controller::playerSettingsChanged() {
    if (!library_) return;  // nothing loaded yet: nothing to look at or plan
    checkMounted();
    updateStatus();
    ui_.aboutToReload();
    ui_.reloadData();
    updatePlayer();
}

QString Controller::cacheFolder() const {
    QString cache = options_.cacheFolder.isEmpty() ? Locations::cacheFolder() : options_.cacheFolder;
    return cache.endsWith(u'/') ? cache : cache + u'/';
}

bool Controller::startUp() {
    if (!loadLibrary()) return false;
    startLoaded();
    return true;
}

void Controller::startLoaded() {
    watchItunes();
    restorePreviousFiles();
    startWorkers();
    volumeMonitor_ = new VolumeMonitor(this);
    connect(volumeMonitor_, &VolumeMonitor::mounted, this, [this](const QString& path) { diskMounted(path); });
    connect(volumeMonitor_, &VolumeMonitor::unmounted, this, [this](const QString& path) { diskUnmounted(path); });
    checkMounted();
    restoreWantedStuff();
    ui_.reloadData();
    updatePlayer();
    updateStatus();
    // The conversion percentage, ten times a second.
    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(100);
    connect(progressTimer_, &QTimer::timeout, this, &Controller::updateProgress);
    progressTimer_->start();
    updateProgress();
}

bool Controller::loadLibrary() {
    conversionOn_ = mp3EncoderAvailable();
    defaults_.registerDefaults(settings::registeredDefaults());
    checkStoredTypes();
    QString cache = cacheFolder();
    songContext_ = std::make_unique<SongContext>(defaults_, conversionOn_, cache);
    library_ = std::make_unique<Library>(*songContext_);
    selection_ = std::make_unique<Selection>(*library_);

    QString file = options_.libraryFile.isEmpty() ? Locations::defaultLibraryFile() : options_.libraryFile;
    pathToItunes_ = pathResolved(file, false);
    LibraryLoader loader(ui_);
    if (loader.load(*library_, pathToItunes_) == LibraryLoader::Outcome::Quit) return false;
    library_->groupAlbums();
    library_->readPlaylistsFrom(loader.document().get());
    return true;
}

void Controller::checkStoredTypes() {
    QStringList wrong = settings::keysOfWrongType(defaults_.stored());
    if (wrong.isEmpty()) return;
    storedStateDamaged_ = wrong.contains(QStringLiteral("wantedStuff")) || wrong.contains(QStringLiteral("previousSongs"));
    QString kept;
    if (!readOnly_)
        if (auto copy = defaults_.keepCopyAside(QStringLiteral(".damaged"))) kept = QStringLiteral(" A copy was kept as %1.").arg(*copy);
    ui_.warning(QStringLiteral("The settings file %1 is damaged: %2 %3 not of the right type.%4%5")
                    .arg(defaults_.filePath(), wrong.join(QStringLiteral(", ")), wrong.size() > 1 ? QStringLiteral("are") : QStringLiteral("is"), kept,
                         storedStateDamaged_ ? QStringLiteral(" Nothing is removed from the player until the selection is saved again.") : QString()));
}

// ---- following the library file ----

namespace {
constexpr int kLibraryPollMs = 250;
constexpr int kLibraryPatienceTicks = 240;  // a minute
}  // namespace

void Controller::watchItunes() {
    if (!libraryWatch_) libraryWatch_ = FWKQueue::sharedQueue();
    if (!libraryWatch_) return;
    libraryWatch_->removeAllPathsFromQueue();
    libraryWatch_->setDelegate(this);
    if (!pathToItunes_.isEmpty()) libraryWatch_->addPath(pathToItunes_);
}

void Controller::watcher(FWFileWatcher*, const QString& notification, const QString&) {
    if (notification != FWKQueueFileDeletedNotification || pathToItunes_.isEmpty()) return;
    // The file is being written anew. Wait for it without holding up the
    // window (or the watcher's thread, which waits for this call).
    if (!libraryWait_) {
        libraryWait_ = new QTimer(this);
        libraryWait_->setInterval(kLibraryPollMs);
        connect(libraryWait_, &QTimer::timeout, this, [this] {
            // A file caught half-written does not parse: wait for a whole one
            // rather than take its missing playlists as emptied (that would
            // remove their songs from the player).
            // The watch is armed on the new file before it is read, so a
            // rewrite that comes while it is read is not missed.
            std::shared_ptr<const plist::Document> doc;
            if (fsys::exists(pathToItunes_)) {
                watchItunes();
                doc = readLibraryFile(pathToItunes_);
            }
            if (doc) {
                libraryWait_->stop();
                libraryRewritten(doc);
            } else if (++libraryWaitTicks_ >= kLibraryPatienceTicks) {
                libraryWait_->stop();
                watchItunes();
                ui_.warning(QStringLiteral("The library file %1 was removed and no readable file has come back; its playlists stay as they were.").arg(pathToItunes_));
            }
        });
    }
    libraryWaitTicks_ = 0;
    libraryWait_->start();
}

void Controller::libraryRewritten(const std::shared_ptr<const plist::Document>& doc) {
    ui_.aboutToReload();
    // Songs new to the library first: the playlists read next may hold them.
    if (!library_->addNewTracks(doc).empty()) selection_->tracksAdded();
    library_->readPlaylistsFrom(doc.get());
    ui_.reloadData();
    ui_.notice(QStringLiteral("The library file was rewritten; its songs and playlists were read again."));
    updatePlayer();
}

void Controller::checkMounted() {
    // A player folder that lies outside every volume is refused whatever the
    // settings file says: nothing is scanned, written or removed there.
    QString refusal = pathToPlayer().isEmpty() ? QString() : PlayerVolume::refusal(pathToPlayer()).value_or(QString());
    if (!refusal.isEmpty() && refusal != playerRefusal_) ui_.warning(refusal);
    playerRefusal_ = refusal;
    setMounted(volume_.existsNow());
}

void Controller::setMounted(bool mounted) {
    ++planGeneration_;  // a pass under way planned for the player as it was
    volume_.setMounted(mounted);
    if (!mounted) return;
    QString player = pathToPlayer();
    songContext_->setFatNames(Volumes::isFatFamily(player));
    // Files an interrupted sort left in its temporary folder go back before
    // anything else looks at the player.
    if (!readOnly_ && fsys::isDirectory(player)) DiskSorter::recoverInterruptedSort(player);
}

void Controller::diskMounted(const std::optional<QString>& devicePath) {
    if (devicePath && !volume_.concerns(*devicePath)) return;
    if (!volume_.volumePresent()) return;
    setMounted(true);
    ui_.notice(QStringLiteral("The player %1 was mounted.").arg(driveNameFromPath(pathToPlayer())));
    ui_.reloadData();
    updateStatus();
    updatePlayer();
}

void Controller::diskUnmounted(const std::optional<QString>& devicePath) {
    if (devicePath && !volume_.concerns(*devicePath)) return;
    setMounted(false);
    ui_.notice(QStringLiteral("The player %1 was unmounted.").arg(driveNameFromPath(pathToPlayer())));
    updateStatus();
    updatePlayer();
}

bool Controller::canEjectOrSort() {
    if (!volume_.mounted() || volume_.busy() || deletingSong_) return false;
    std::lock_guard lock(work_.todoLock);
    return work_.toCopyList.empty() && work_.toMoveList.empty() && work_.toDeleteList.empty();
}

void Controller::sortFiles() {
    if (volume_.busy()) return;
    volume_.sortFiles([this](std::expected<void, QString> sorted) {
        if (!sorted) ui_.warning(sorted.error());
        // In place: an eject that follows must find no pass reading the player.
        planNow();
        Q_EMIT volumeJobFinished(bool(sorted));
    });
}

void Controller::eject() {
    if (volume_.busy()) return;
    volume_.eject(defaults_.boolean("sortFilesOnDisk"), [this](std::expected<void, QString> ejected) {
        if (!ejected) {
            Q_EMIT ejectFailed(ejected.error());
            ui_.warning(ejected.error());
            ui_.alert({QStringLiteral("Eject failed"),
                       QStringLiteral("Brisle was unable to eject your player. Make sure no files on it are in use, or try ejecting it from the file manager."),
                       {QStringLiteral("OK")}});
            // A sort before the eject moved files about: look again.
            updatePlayer();
        }
        Q_EMIT volumeJobFinished(bool(ejected));
    });
}

namespace {

// Locks live in the cache's own folder, not on the player: nothing but music
// goes there.
std::expected<std::unique_ptr<QLockFile>, QString> takeLock(const QString& file, const QString& what) {
    QDir().mkpath(QFileInfo(file).path());
    auto lock = std::make_unique<QLockFile>(file);
    lock->setStaleLockTime(0);  // only a dead holder makes a lock stale
    if (lock->tryLock(0)) return lock;
    qint64 pid = 0;
    QString host, app;
    if (lock->error() == QLockFile::LockFailedError && lock->getLockInfo(&pid, &host, &app))
        return std::unexpected(QStringLiteral("%1 is in use by another Brisle (process %2); try again when it has finished").arg(what).arg(pid));
    // A holder killed while writing its lock leaves it unreadable; a live one
    // writes it at once, so an unreadable lock of some age is nobody's.
    if (lock->error() == QLockFile::LockFailedError && QFileInfo(file).lastModified().msecsTo(QDateTime::currentDateTime()) > 2000) {
        lock->removeStaleLockFile();
        if (lock->tryLock(0)) return lock;
    }
    return std::unexpected(QStringLiteral("%1 could not be locked (%2)").arg(what, file));
}

}  // namespace

std::expected<void, QString> Controller::claimPlayer() {
    QString cache = cacheFolder();
    QString locks = cache + QStringLiteral(".locks/");
    // A player chosen anew is claimed anew; the one left is let go.
    const QString player = decomposed(pathToPlayer());
    if (playerLock_ && lockedPlayer_ != player) playerLock_.reset();
    if (!playerLock_) {
        QByteArray id = QCryptographicHash::hash(player.toUtf8(), QCryptographicHash::Sha1).toHex();
        // The player's lock is the session's where there is one, so that two
        // Brisles with caches of their own still never meet on one player.
        QString playerLocks = locks;
        if (QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR"); !runtime.isEmpty() && QFileInfo(runtime).isDir())
            playerLocks = runtime + QStringLiteral("/brisle/");
        auto lock = takeLock(playerLocks + QStringLiteral("player-") + QString::fromLatin1(id) + QStringLiteral(".lock"),
                             QStringLiteral("The player %1").arg(pathToPlayer()));
        if (!lock) return std::unexpected(lock.error());
        playerLock_ = std::move(*lock);
        lockedPlayer_ = player;
    }
    if (!cacheLock_) {
        auto lock = takeLock(locks + QStringLiteral("cache.lock"), QStringLiteral("The conversion cache %1").arg(cache));
        if (!lock) return std::unexpected(lock.error());
        cacheLock_ = std::move(*lock);
    }
    return {};
}

void Controller::setReadOnly() {
    readOnly_ = true;
    recordSaver_->setReadOnly(true);
    if (!copierThread_) copierBusy_ = false;  // no copier will come
}

// ---- workers ----

void Controller::startWorkers() {
    if (convertorThread_ || readOnly_) return;
    copierBusy_ = true;  // until the copier has registered
    auto launch = [this](std::unique_ptr<QThread>& thread, Worker& worker, const char* name) {
        thread = std::make_unique<QThread>();
        thread->setObjectName(QLatin1String(name));
        worker.moveToThread(thread.get());
        connect(thread.get(), &QThread::started, &worker, &Worker::start);
        thread->start();
    };
    convertorObject_ = std::make_unique<Convertor>(*this, defaults_);
    copierObject_ = std::make_unique<Copier>(*this, defaults_);
    launch(convertorThread_, *convertorObject_, "convertor");
    launch(copierThread_, *copierObject_, "copier");
}

void Controller::stopWorkers() {
    if (!convertorThread_) return;
    // Whatever happens next, the record of the player is on disk.
    struct SaveAtEnd {
        Controller* c;
        ~SaveAtEnd() { c->recordSaver_->saveIfRequested(); }
    } saveAtEnd{this};
    convertorObject_->requestStop();
    copierObject_->requestStop();
    for (QThread* thread : {convertorThread_.get(), copierThread_.get()}) {
        thread->quit();
        // A worker may be waiting for a call that runs on this thread: serve
        // the calls until it has finished.
        while (!thread->wait(10)) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    convertorObject_.reset();
    copierObject_.reset();
    convertorThread_.reset();
    copierThread_.reset();
    convertor_ = nullptr;
    copier_ = nullptr;
}

bool Controller::applicationShouldTerminate() {
    dropPass();  // a pass under way would fill the lists again
    {
        std::lock_guard lock(work_.todoLock);
        work_.toCopyList.clear();
        work_.toMoveList.clear();
        work_.toDeleteList.clear();
        work_.todoList.clear();
    }
    // A large file or a long conversion in hand is given up part-way (and
    // leaves nothing behind): a stop must not wait for it.
    if (copierObject_) copierObject_->requestStop();
    if (convertorObject_) convertorObject_->requestStop();
    runCopier();
    return !copierBusy_;
}

// ---- saved state ----

void Controller::restorePreviousFiles() {
    std::optional<plist::Object> saved = defaults_.object("previousSongs");
    if (!saved) return;
    previousFilesSet_ = true;
    QHash<QString, Song*> files = SavedState::restorePreviousFiles(*saved, *library_);
    std::lock_guard lock(work_.todoLock);
    work_.previousFiles = std::move(files);
}

void Controller::restoreWantedStuff() {
    ui_.aboutToReload();
    if (std::optional<plist::Object> saved = defaults_.object("wantedStuff")) {
        selection_->restore(*saved);
        return;
    }
    // The older form: a flat list of wanted songs, and a player filled under
    // the older naming, whose files are taken over once.
    std::optional<plist::Object> oldList = defaults_.object("wantedSongs");
    SavedState::LegacyScan legacy;
    if (!oldList || !previousFilesSet_) legacy = SavedState::scanLegacyPlayer(*library_, pathToPlayer());
    if (!previousFilesSet_) {
        {
            std::lock_guard lock(work_.todoLock);
            work_.previousFiles = legacy.files;
        }
        savePreviousFiles();
    }
    std::vector<Song*> wanted = legacy.songs;
    if (oldList) {
        wanted.clear();
        if (const plist::Object::Array* ids = oldList->ifArray()) {
            for (const plist::Object& id : *ids)
                if (const std::string* s = id.ifString())
                    if (Song* song = library_->songWithPersistentId(QString::fromStdString(*s))) wanted.push_back(song);
        }
    }
    selection_->wantedStuff() = selection_->wantedObjectsForSongs(wanted);
    writeWantedStuff();
}

bool Controller::writeWantedStuff() {
    if (readOnly_) return true;
    auto written = defaults_.set("wantedStuff", selection_->propertyList());
    if (!written) ui_.warning(QStringLiteral("The selection could not be saved: ") + written.error());
    // The user has the selection before them and saved it: it is theirs now.
    else storedStateDamaged_ = false;
    return bool(written);
}

void Controller::writePreviousFiles() { recordSaver_->requestSave(); }

void Controller::savePreviousFiles() { recordSaver_->saveNow(); }

// ---- the selection ----

void Controller::addSongs(const std::vector<Song*>& songs) {
    ui_.aboutToReload();
    selection_->addSongs(songs);
    afterAddition();
}

void Controller::addPlaylists(const QStringList& persistentIds) {
    ui_.aboutToReload();
    selection_->addPlaylists(persistentIds);
    afterAddition();
}

void Controller::afterAddition() {
    writeWantedStuff();
    ui_.reloadData();
    requestUpdate();
}

void Controller::removeItem(const SYWanted* item) {
    ui_.aboutToReload();
    selection_->removeItem(item);
    ui_.reloadData();
    requestUpdate();
    writeWantedStuff();
}

void Controller::setTrackChecked(SYWantedAlbumTrack* row, bool checked) {
    row->setChecked(checked ? 1 : 0);
    ui_.reloadItem(row->album());
    writeWantedStuff();
    requestUpdate();
}

void Controller::setPlaylistMode(SYWantedPlaylist* playlist, int mode) {
    playlist->setMode(mode);
    writeWantedStuff();
    requestUpdate();
}

void Controller::clickAlbum(SYWantedAlbum* album) {
    album->click();
    ui_.reloadItem(album);
    writeWantedStuff();
    requestUpdate();
}

void Controller::markFileForDeletion(SYWantedFile* file) {
    int answer = ui_.alert({QStringLiteral("Delete file?"),
                            QStringLiteral("Brisle will permanently delete %1 from your player.").arg(file->name()),
                            {QStringLiteral("Delete"), QStringLiteral("Cancel")}});
    if (answer == 0) {
        file->setRemove(true);
        ui_.reloadItem(file);
    }
    requestUpdate();
}

void Controller::cacheSongs(const std::vector<Song*>& songs) {
    {
        std::lock_guard lock(work_.todoLock);
        for (Song* song : songs)
            if (song->needsConversion() && !song->isCached() && !work_.toCacheList.containsSong(song))
                work_.toCacheList.append(WorkRecord::conversion(song));
    }
    if (!convertorBusy_) runConvertor();
}
