#pragma once

// The application's one controller: it holds the library, the selection, the
// work lists shared with the workers and the player's state, and carries out
// start-up and shutdown in their fixed order. It never touches a widget; what
// people should see goes through UserInterface.
//
// Lives on the main thread. The work lists and previousFiles are shared with
// the two worker threads under todoLock; everything else is main-thread only.
// A planning pass does its reading on a pass thread of its own, from copies
// (ControllerWork.cpp tells what it touches).

#include "PlayerVolume.h"
#include "StatusView.h"
#include "library/Library.h"
#include "library/SongContext.h"
#include "planning/Planner.h"
#include "platform/FWFileWatcher.h"
#include "platform/Volumes.h"
#include "selection/Selection.h"
#include "workers/ControllerPort.h"
#include "workers/WorkLists.h"

#include <QHash>
#include <QSet>
#include <QObject>
#include <QString>

#include <expected>
#include <memory>
#include <optional>

class Convertor;
class Copier;
class Defaults;
class QThread;
class QLockFile;
class RecordSaver;
class QTimer;
class UserInterface;
class Worker;

class FWKQueue;

class Controller : public QObject, public ControllerPort, public FWFileWatcherDelegate {
    Q_OBJECT
public:
    struct Options {
        QString libraryFile;  // empty: the default place
        QString cacheFolder;  // empty: the default place
    };

    Controller(Defaults& defaults, UserInterface& ui, Options options, QObject* parent = nullptr);
    ~Controller() override;

    // ---- start-up and shutdown ----
    // The whole start in its fixed order; false when the user chose to quit
    // or the library could not be read.
    bool startUp();
    // Parts of it, for commands that need less; startLoaded is the rest of
    // the start after loadLibrary.
    bool loadLibrary();
    void startLoaded();
    void restorePreviousFiles();
    void restoreWantedStuff();
    void restoreSavedState() {
        restorePreviousFiles();
        restoreWantedStuff();
    }
    void startWorkers();
    // A quit empties the pending work and stops the workers within the file
    // in hand; it is refused while the copier is still in its pass. Answers
    // whether to quit now.
    bool applicationShouldTerminate();
    // Stops both workers after the item in hand and waits for their threads,
    // serving their calls meanwhile.
    void stopWorkers();

    // Takes the locks that keep other Brisle processes off this player and
    // off the conversion cache while this one changes them (a stale lock of
    // a process that died is taken over). The error names the process that
    // holds one. Read-only runs need neither.
    std::expected<void, QString> claimPlayer();

    // Plans without workers and writes nothing: for showing what a sync
    // would do.
    void setReadOnly();
    bool readOnly() const { return readOnly_; }
    bool storedStateDamaged() const { return storedStateDamaged_; }

    bool conversionOn() const { return conversionOn_; }
    // The conversion cache, with a trailing "/".
    QString cacheFolder() const;
    UserInterface& ui() { return ui_; }
    const QString& pathToItunes() const { return pathToItunes_; }
    Library& library() { return *library_; }
    const Library& library() const { return *library_; }
    Defaults& defaults() { return defaults_; }
    SongContext& songContext() { return *songContext_; }

    // ---- following the library file ----
    // Watches the library file (again): the rewrite of the file replaces it,
    // so the watch must follow the new one.
    void watchItunes();
    // The watcher's delegate call, on the main thread: a removal starts a
    // rewrite; the new file is awaited, its songs and playlists read and the player
    // planned anew. Other notifications are ignored.
    void watcher(FWFileWatcher* watcher, const QString& notification, const QString& path) override;
    // Takes the songs new to the library (wanted albums gain them) and the
    // playlists of the re-read library file, and plans anew.
    void libraryRewritten(const std::shared_ptr<const plist::Document>& doc);

    // ---- the player ----
    // The user default "pathToPlayer", or a null string.
    QString pathToPlayer() const;
    // Chooses another player folder (see PlayerVolume::setPath), then looks
    // at the player anew and plans.
    std::expected<void, QString> setPlayerPath(const QString& path);
    // The player's settings may have changed (the preferences closed): looks
    // at the player anew, refreshes the status and the list, and plans.
    void playerSettingsChanged();
    bool mounted() const { return volume_.mounted(); }
    PlayerVolume& volume() { return volume_; }
    // Whether anything exists at the player path now.
    void checkMounted();
    void setMounted(bool mounted);
    // A volume appeared or went at this mount point (nothing: whatever it
    // was, it concerns the player).
    void diskMounted(const std::optional<QString>& devicePath);
    void diskUnmounted(const std::optional<QString>& devicePath);
    // Ejecting and sorting are offered only while the player is mounted,
    // nothing waits to be copied, moved or removed, and neither is under way.
    bool canEjectOrSort();
    // Sorts the player's folders on disk off the main thread, then plans
    // anew; volumeJobFinished follows.
    void sortFiles();
    // Sorts first when the user asked for it, then unmounts and ejects the
    // player's volume, off the main thread. A failure is shown and changes
    // nothing; volumeJobFinished says how it went.
    void eject();

    // ---- saved state ----
    bool writeWantedStuff();
    // Asks for the record of the player's files to be saved (gathered: at
    // most every second, and when a copier pass ends); savePreviousFiles
    // saves it now, after any save still under way.
    void writePreviousFiles() override;
    void savePreviousFiles();
    bool previousFilesSet() const { return previousFilesSet_; }

    // ---- the selection ----
    Selection& selection() { return *selection_; }
    std::vector<std::unique_ptr<SYWanted>>& wantedStuff() { return selection_->wantedStuff(); }
    // Additions and removals as drops and the list make them: saved at once,
    // the list reloaded and a planning pass requested.
    void addSongs(const std::vector<Song*>& songs);
    void addPlaylists(const QStringList& persistentIds);
    void removeItem(const SYWanted* item);
    // Edits inside the list: a track's check box, a playlist's layout.
    void setTrackChecked(SYWantedAlbumTrack* row, bool checked);
    void setPlaylistMode(SYWantedPlaylist* playlist, int mode);
    // A click on an album's check box (SYWantedAlbum::click), saved and planned.
    void clickAlbum(SYWantedAlbum* album);
    // The "DELETE" button of a file found on the player: asks first, marks it
    // on "Delete"; plans anew whatever the answer. Not saved: the file is
    // gone after the pass, or found again at the next start.
    void markFileForDeletion(SYWantedFile* file);
    // Converts these songs ahead of time: those that need converting and are
    // neither cached nor queued already, each once.
    void cacheSongs(const std::vector<Song*>& songs);

    // ---- planning ----
    // A pass in 0.1 s, gathering quick successive changes. Nothing more when
    // a pass is already due or under way (one under way is planned anew
    // when it ends), so ten clicks give one pass.
    void requestUpdate();
    // A pass is due or under way: the lists are not planned yet.
    bool updateDue() const { return updateDue_; }
    // Starts a pass: the lists are emptied now and filled when it ends,
    // which planned() tells. The player folder is read on the pass thread,
    // so the main thread is never held for long. Nothing while a deferred
    // pass is due.
    void updatePlayer();
    void refreshPlayer() { updatePlayer(); }
    // The whole pass now, on this thread, in place of any due or under way:
    // for callers that need the lists at once (the command line). False when
    // nothing was planned: a busy copier (a pass is then requested for when
    // it is idle) or no player.
    bool planNow();
    quint64 bytesToCopy();
    const QHash<QString, SYWanted*>& wantedByLayout() const { return wantedByLayout_; }

    // A copy of the five work lists and the record of the player's files,
    // taken under todoLock: front ends read this, never the lists themselves.
    struct PendingWork {
        std::vector<Record> conversions, toCache, copies, moves, deletions;
        QHash<QString, Song*> previousFiles;
        quint64 bytesToCopy = 0;
        std::size_t total() const { return conversions.size() + copies.size() + moves.size() + deletions.size(); }
    };
    PendingWork pending() const;
    // What waits for the songs of one layout: conversions (the one in hand
    // included) and copies, counted by destination.
    struct RowWork {
        std::size_t conversions = 0, copies = 0;
    };
    RowWork pendingFor(const Layout& layout) const;
    // The shared lists themselves, for the workers' tests and the benchmarks.
    WorkLists& work() { return work_; }

    // ---- background work ----
    void runCopier() override;
    bool convertorBusy() const { return convertorBusy_; }
    bool copierBusy() const { return copierBusy_; }
    // Nothing pending or under way: no planning due, both workers idle.
    bool idle() const { return !updateDue_ && !convertorBusy_ && !copierBusy_ && !convertorQueued_ && !copierQueued_; }

    // ---- status ----
    void updateStatus() override;
    void updateProgress();
    const StatusView& status() const { return status_; }
    // The conversion percentage, or nothing when no conversion is under way.
    std::optional<int> conversionPercent() const;

    // ControllerPort: the workers' messages.
    void setConvertor(Convertor* convertor) override;
    void setCopier(Copier* copier) override;
    void setConvertorBusy(bool busy) override;
    void setCopierBusy(bool busy) override;
    void setConvertingSong(const Record& record, const QString& path) override;
    void setCopyingSong(const Record& record) override;
    void setMovingSong(const Record& record) override;
    void setDeletingSong(Song* song) override;
    bool copyListUpdated() override;
    bool moveListUpdated() override;
    void workDone(const Record& record) override;
    void fileFailed(const QString& path, const QString& reason) override;
    void conversionFailed(const Record& record, const QString& reason) override;
    void playerGone() override;

    // What was really done since the start, by kind of record.
    struct DoneCounts {
        std::size_t converted = 0, copied = 0, moved = 0, removed = 0;
    };
    const DoneCounts& done() const { return done_; }
    // The files that could not be copied, moved or removed, with the
    // system's reason: the last failure of each.
    const QHash<QString, QString>& failures() const { return failures_; }

    const Record& convertingSong() const { return convertingSong_; }
    const Record& copyingSong() const { return copyingSong_; }
    const Record& movingSong() const { return movingSong_; }
    Song* deletingSong() const { return deletingSong_; }

Q_SIGNALS:
    // A worker became idle (for front ends that wait for the work to end).
    void workerIdle();
    // A sort or an eject ended; ok is false when an eject failed.
    void volumeJobFinished(bool ok);
    // An eject failed, for why; sent before the alert that says so.
    void ejectFailed(const QString& reason);
    // A pass ended and its lists are in place.
    void planned();

private:
    void runConvertor();
    void afterAddition();
    void redrawRecordRow(const Record& record);

    Defaults& defaults_;
    UserInterface& ui_;
    Options options_;

    bool conversionOn_ = false;
    QString pathToItunes_;
    std::unique_ptr<SongContext> songContext_;
    std::unique_ptr<Library> library_;
    std::unique_ptr<Selection> selection_;
    QHash<QString, SYWanted*> wantedByLayout_;

    mutable WorkLists work_;
    bool previousFilesSet_ = false;
    std::unique_ptr<QLockFile> playerLock_, cacheLock_;
    QString lockedPlayer_;  // the player playerLock_ is for
    // The stored selection or record was of the wrong type: what was read of
    // it may be far less than the user chose, so no pass removes anything
    // until the selection is saved anew.
    bool storedStateDamaged_ = false;
    void checkStoredTypes();
    RecordSaver* recordSaver_ = nullptr;
    bool updateDue_ = false;
    bool readOnly_ = false;
    PlayerVolume volume_;

    // The workers: each object lives in its thread; the pointers are set when
    // the worker registers.
    std::unique_ptr<QThread> convertorThread_, copierThread_;
    std::unique_ptr<Convertor> convertorObject_;
    std::unique_ptr<Copier> copierObject_;
    Convertor* convertor_ = nullptr;
    Copier* copier_ = nullptr;
    bool convertorBusy_ = false;
    bool copierBusy_ = true;  // until the copier has registered
    bool convertorQueued_ = false;  // a pass was asked for and has not begun
    bool copierQueued_ = false;
    bool copyListUpdated_ = false;
    bool moveListUpdated_ = false;
    Record convertingSong_;
    QString convertingPath_;
    Record copyingSong_;
    Record movingSong_;
    Song* deletingSong_ = nullptr;
    DoneCounts done_;
    QHash<QString, QString> failures_;
    QString playerRefusal_;  // the last reason the player folder was refused
    QSet<QString> toldPlaces_;  // the names given to wanted paths that shared a place

    StatusView status_;
    QString conversionProgress_;  // the converting song's line with its percentage
    std::optional<Volumes::VolumeSizes> lastSizes_;  // the last good reading
    QTimer* progressTimer_ = nullptr;
    class VolumeMonitor* volumeMonitor_ = nullptr;
    std::shared_ptr<FWKQueue> libraryWatch_;
    QTimer* libraryWait_ = nullptr;  // polls for the rewritten library file
    int libraryWaitTicks_ = 0;

    // ---- planning passes (ControllerWork.cpp) ----
    struct PlanningPass;
    struct PlannedLists;
    struct PassThread;
    bool beginPass();
    void startPass();
    void takeItems();
    void passEnded(const std::shared_ptr<PlanningPass>& pass);
    void replan();
    // No pass under way or due lands any more.
    void dropPass();
    void applyPlan(Planner::Result& plan, PlannedLists* lists);
    // Raised by whatever a pass depends on (the selection, the record, the
    // copier, the player): a pass that began before is of no use.
    quint64 planGeneration_ = 0;
    QTimer* updateTimer_ = nullptr;  // the deferred pass
    QTimer* itemsTimer_ = nullptr;   // the next slice of the items
    // Last, so that it goes first: its end stops the pass under way, which
    // reads the library. (Made and deleted in ControllerWork.cpp, where the
    // type is complete.)
    std::unique_ptr<PassThread, void (*)(PassThread*)> passThread_{nullptr, nullptr};
};
