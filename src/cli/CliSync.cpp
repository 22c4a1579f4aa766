// brisle plan --json, brisle sync [--dry-run | --watch]: the sync without the window.

#include "CliSession.h"

#include "platform/SignalWatcher.h"
#include "library/PathUtils.h"
#include "platform/Locations.h"
#include "platform/Volumes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QDir>
#include <QEventLoop>
#include <QMap>
#include <QTimer>

#include <algorithm>
#include <csignal>

namespace cli {

namespace {

void writeSongId(JsonWriter& json, const Song* song) {
    if (song) json.value(song->persistentId());
    else json.null();
}

struct Pending {
    std::size_t conversions = 0, copies = 0, moves = 0, deletions = 0;
    std::size_t total() const { return conversions + copies + moves + deletions; }
};

Pending pendingOf(const Controller& c) {
    Controller::PendingWork p = c.pending();
    return {p.conversions.size(), p.copies.size(), p.moves.size(), p.deletions.size()};
}

// The player must be chosen and there; says why not.
bool playerReady(Controller& c) {
    QString player = c.pathToPlayer();
    if (player.isEmpty()) {
        fail(QStringLiteral("no player is chosen; choose one with: brisle config set pathToPlayer %1NAME/Music").arg(Locations::volumesFolder()));
        return false;
    }
    c.checkMounted();
    if (!c.mounted()) {
        fail(QStringLiteral("the player is not mounted: nothing is at %1").arg(player));
        return false;
    }
    return true;
}

void writeRecords(JsonWriter& json, std::string_view name, const std::vector<Record>& records, bool from, bool to) {
    json.key(name);
    json.beginArray();
    for (const Record& r : records) {
        json.beginObject();
        json.key("song");
        writeSongId(json, r->song);
        if (from) json.field("from", r->from);
        if (to) json.field("to", r->to);
        json.endObject();
    }
    json.endArray();
}

void writePlan(JsonWriter& json, Controller& c) {
    Controller::PendingWork p = c.pending();
    json.beginObject();
    json.field("player", c.pathToPlayer());
    json.field("mounted", c.mounted());
    json.field("bytesToCopy", quint64(p.bytesToCopy));
    writeRecords(json, "convert", p.conversions, false, true);
    writeRecords(json, "copy", p.copies, true, true);
    writeRecords(json, "move", p.moves, true, true);
    writeRecords(json, "delete", p.deletions, true, false);
    json.key("otherFiles");
    json.beginArray();
    for (const auto& item : c.wantedStuff())
        if (auto* f = item->as<SYWantedFile>()) json.value(f->path());
    json.endArray();
    // By path: the record is a hash, and the same plan should read the same.
    std::vector<QHash<QString, Song*>::const_iterator> previous;
    previous.reserve(std::size_t(p.previousFiles.size()));
    for (auto it = p.previousFiles.constBegin(); it != p.previousFiles.constEnd(); ++it) previous.push_back(it);
    std::sort(previous.begin(), previous.end(), [](const auto& a, const auto& b) { return a.key() < b.key(); });
    json.key("previousFiles");
    json.beginObject();
    for (const auto& it : previous) {
        json.key(it.key());
        writeSongId(json, it.value());
    }
    json.endObject();
    json.endObject();
}

void printPlan(Controller& c, const Pending& p, bool quiet) {
    if (p.total() == 0) {
        print(QStringLiteral("The player is up to date: nothing to convert, copy, move or remove."));
        return;
    }
    if (quiet) {
        print(QStringLiteral("To convert: %1, to copy: %2, to move: %3, to remove: %4.").arg(p.conversions).arg(p.copies).arg(p.moves).arg(p.deletions));
        return;
    }
    Controller::PendingWork work = c.pending();
    QString player = c.pathToPlayer() + u'/';
    auto rel = [&](const QString& path) { return path.startsWith(player) ? path.mid(player.size()) : path; };
    for (const Record& r : work.deletions) print(QStringLiteral("remove   ") + rel(r->from));
    for (const Record& r : work.moves) print(QStringLiteral("move     ") + rel(r->from) + QStringLiteral("  ->  ") + rel(r->to));
    for (const Record& r : work.conversions) print(QStringLiteral("convert  ") + r->song->name());
    for (const Record& r : work.copies) print(QStringLiteral("copy     ") + rel(r->to));
}

// What was really done: the workers count each record they carried out.
QString summary(const Controller::DoneCounts& counts) {
    QStringList done;
    auto add = [&](std::size_t n, const char* what) {
        if (n) done.append(QStringLiteral("%1 %2").arg(n).arg(QLatin1String(what)));
    };
    add(counts.converted, "converted");
    add(counts.copied, "copied");
    add(counts.moved, "moved");
    add(counts.removed, "removed");
    return done.isEmpty() ? QStringLiteral("nothing changed") : done.join(QStringLiteral(", "));
}

CliUserInterface::Verbosity verbosity(const Options& o) {
    return o.quiet ? CliUserInterface::Verbosity::Quiet : o.verbose ? CliUserInterface::Verbosity::Verbose : CliUserInterface::Verbosity::Normal;
}

}  // namespace

int planCommand(const Options& o) {
    if (!o.json) return usageError(o.command, QStringLiteral("only --json output is offered; \"brisle sync --dry-run\" shows the plan as text"));
    Session session(o, Session::Access::ReadOnly);
    Controller& c = session.controller();
    if (!session.restore()) return session.failure();
    c.checkMounted();
    c.planNow();
    JsonWriter json;
    writePlan(json, c);
    return finishJson(json);
}

int syncCommand(const Options& o) {
    if (o.quiet && o.verbose) return usageError(o.command, QStringLiteral("-q or -v, not both"));
    if (o.dryRun && o.watch) return usageError(o.command, QStringLiteral("--dry-run or --watch, not both"));
    if (o.watch) return watchCommand(o);
    Session session(o, o.dryRun ? Session::Access::ReadOnly : Session::Access::Writes);
    Controller& c = session.controller();
    if (!session.restore()) return session.failure();
    if (!playerReady(c)) return 1;
    session.ui().showNotices(true);  // names the plan had to change

    if (o.dryRun) {
        c.planNow();
        printPlan(c, pendingOf(c), o.quiet);
        return 0;
    }

    if (!claimPlayer(c)) return 1;
    SignalWatcher signals;
    c.startWorkers();
    session.ui().showProgressOf(&c, verbosity(o));
    QEventLoop loop;
    bool interrupted = false;
    Pending planned;
    bool planning = true;
    // Wait for the copier to register, plan once, then wait for the work to end.
    auto check = [&] {
        if (planning) {
            if (c.copierBusy()) return;
            planning = false;
            c.planNow();
            planned = pendingOf(c);
            if (planned.total() == 0) {
                loop.quit();
                return;
            }
        }
        if (c.idle() && c.pending().conversions.empty()) loop.quit();
    };
    QObject::connect(&c, &Controller::workerIdle, &loop, check, Qt::QueuedConnection);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    poll.start(200);
    QObject::connect(&signals, &SignalWatcher::interrupted, &loop, [&] {
        if (interrupted) return;
        interrupted = true;
        session.ui().finishProgress();
        print(QStringLiteral("Stopping..."));
        c.applicationShouldTerminate();
        planning = false;
    });
    loop.exec();
    session.ui().finishProgress();
    c.stopWorkers();

    if (interrupted) {
        print(QStringLiteral("Interrupted: ") + summary(c.done()) + u'.');
        return 128 + signals.lastSignal();
    }
    Pending left = pendingOf(c);
    if (planned.total() == 0) {
        print(QStringLiteral("The player is up to date: nothing to convert, copy, move or remove."));
        return session.ui().hadWarnings() ? 1 : 0;
    }
    c.updateStatus();
    QString room = c.status().freeSpace;
    print(QStringLiteral("Done: ") + summary(c.done()) + u'.' + (room.isEmpty() ? QString() : u' ' + room + u'.'));
    if (left.copies || left.moves || left.deletions || !c.failures().isEmpty()) {
        // Each file once, with the system's reason when one was given.
        QMap<QString, QString> failed;
        Controller::PendingWork work = c.pending();
        for (const Record& r : work.copies) failed.insert(r->to, QStringLiteral("from ") + r->from);
        for (const Record& r : work.moves) failed.insert(r->to, QStringLiteral("moving ") + r->from);
        for (const Record& r : work.deletions) failed.insert(r->from, QStringLiteral("removing"));
        for (auto it = c.failures().constBegin(); it != c.failures().constEnd(); ++it) failed.insert(it.key(), it.value());
        QStringList lines;
        for (auto it = failed.constBegin(); it != failed.constEnd(); ++it) lines.append(QStringLiteral("  %1 (%2)").arg(it.key(), it.value()));
        fail(QStringLiteral("%1 files could not be put in place:\n%2").arg(lines.size()).arg(lines.join(u'\n')));
        return 1;
    }
    return session.ui().hadWarnings() ? 1 : 0;
}

namespace {

// Follows the settings file for changes made by other programs (brisle
// select in another terminal, the window): the selection and the player's
// settings are taken over and the player planned anew. The program's own
// writes (the record of the player's files, after every file) change nothing.
class SettingsFollower : public QObject {
public:
    SettingsFollower(Session& session, QObject* parent) : QObject(parent), session_(session) {
        stamp_ = stampOf();
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &SettingsFollower::check);
        timer->start(1000);
    }

private:
    static constexpr const char* kWatchedKeys[] = {
        "pathToPlayer", "createAlbumSubfolders", "createArtistSubfolders", "playlistSongsInAlbumSubfolders", "createPlaylistSubfolders",
        "createPlaylistGroupSubfolders", "otherSongsInAlbumSubfolders", "createOtherSongsSubfolder", "playerAacCompatible",
        "convertHighBitRateSongs", "convertHighBitRateThreshold", "convertToFormat", "convertToBitrate", "wantedStuff",
    };

    QByteArray stampOf() const {
        QFileInfo f(session_.defaults().filePath());
        return QByteArray::number(f.lastModified().toMSecsSinceEpoch()) + ' ' + QByteArray::number(f.size()) + ' ' +
               QByteArray::number(qulonglong(f.metadataChangeTime().toMSecsSinceEpoch()));
    }

    void check() {
        QByteArray stamp = stampOf();
        if (stamp == stamp_) return;
        stamp_ = stamp;
        Defaults onDisk(session_.defaults().filePath());
        if (!onDisk.load(Defaults::IfDamaged::Leave)) return;
        Controller& c = session_.controller();
        bool changed = false;
        for (const char* key : kWatchedKeys) {
            std::optional<plist::Object> mine = std::string_view(key) == "wantedStuff" ? std::optional(c.selection().propertyList()) : session_.defaults().object(key);
            if (onDisk.contains(key) && onDisk.object(key) != mine) changed = true;
        }
        if (!changed) return;
        // Theirs, but the record of the player's files stays this program's.
        if (!session_.defaults().load()) return;
        c.savePreviousFiles();
        c.restoreWantedStuff();
        c.checkMounted();
        session_.ui().notice(QStringLiteral("The selection or the settings changed."));
        c.requestUpdate();
    }

    Session& session_;
    QByteArray stamp_;
};

}  // namespace

int watchCommand(const Options& o) {
    Session session(o, Session::Access::Writes);
    Controller& c = session.controller();
    if (!session.loadLibrary()) return session.failure();
    QString player = c.pathToPlayer();
    if (player.isEmpty()) {
        fail(QStringLiteral("no player is chosen; choose one with: brisle config set pathToPlayer %1NAME/Music").arg(Locations::volumesFolder()));
        return 1;
    }
    session.ui().showProgressOf(&c, verbosity(o));
    session.ui().showNotices(!o.quiet);
    SignalWatcher signals;
    if (!claimPlayer(c)) return 1;
    c.startLoaded();
    print(QStringLiteral("Watching: the player %1, the library file %2 and the selection. Ctrl-C stops.").arg(player, c.pathToItunes()));
    if (!c.mounted()) print(QStringLiteral("The player is not mounted; the sync starts when it is."));

    QEventLoop loop;
    SettingsFollower follower(session, &loop);
    bool stopping = false;
    QTimer waitForCopier;
    QObject::connect(&waitForCopier, &QTimer::timeout, &loop, [&] {
        if (!c.copierBusy()) loop.quit();
    });
    QObject::connect(&signals, &SignalWatcher::interrupted, &loop, [&] {
        if (stopping) return;
        stopping = true;
        session.ui().finishProgress();
        print(QStringLiteral("Stopping..."));
        // Nothing pending is started any more; the file in hand is given up.
        c.applicationShouldTerminate();
        waitForCopier.start(50);
    });
    loop.exec();
    session.ui().finishProgress();
    c.stopWorkers();
    print(QStringLiteral("Stopped."));
    return 0;
}

}  // namespace cli
