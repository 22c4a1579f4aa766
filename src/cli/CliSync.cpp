// brisle plan --json, brisle sync [--dry-run]: the sync without the window.

#include "CliSession.h"

#include "SignalWatcher.h"
#include "library/PathUtils.h"
#include "platform/Locations.h"
#include "platform/Volumes.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QTimer>

#include <csignal>

namespace cli {

namespace {

QJsonValue songId(const Song* song) { return song ? QJsonValue(song->persistentId()) : QJsonValue(); }

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

QJsonObject planJson(Controller& c) {
    QJsonArray convert, copy, move, del, others;
    QJsonObject previous;
    Controller::PendingWork p = c.pending();
    for (const Record& r : p.conversions) convert.append(QJsonObject{{QStringLiteral("song"), songId(r->song)}, {QStringLiteral("to"), r->to}});
    for (const Record& r : p.copies)
        copy.append(QJsonObject{{QStringLiteral("song"), songId(r->song)}, {QStringLiteral("from"), r->from}, {QStringLiteral("to"), r->to}});
    for (const Record& r : p.moves)
        move.append(QJsonObject{{QStringLiteral("song"), songId(r->song)}, {QStringLiteral("from"), r->from}, {QStringLiteral("to"), r->to}});
    for (const Record& r : p.deletions) del.append(QJsonObject{{QStringLiteral("from"), r->from}, {QStringLiteral("song"), songId(r->song)}});
    for (auto it = p.previousFiles.constBegin(); it != p.previousFiles.constEnd(); ++it) previous.insert(it.key(), songId(it.value()));
    for (const auto& item : c.wantedStuff())
        if (auto* f = dynamic_cast<const SYWantedFile*>(item.get())) others.append(f->path());
    return QJsonObject{
        {QStringLiteral("player"), c.pathToPlayer()},
        {QStringLiteral("mounted"), c.mounted()},
        {QStringLiteral("convert"), convert},
        {QStringLiteral("copy"), copy},
        {QStringLiteral("move"), move},
        {QStringLiteral("delete"), del},
        {QStringLiteral("otherFiles"), others},
        {QStringLiteral("previousFiles"), previous},
        {QStringLiteral("bytesToCopy"), qint64(p.bytesToCopy)},
    };
}

void printPlan(Controller& c, const Pending& p) {
    if (p.total() == 0) {
        print(QStringLiteral("The player is up to date: nothing to convert, copy, move or remove."));
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

QString summary(const Pending& planned, const Pending& left) {
    QStringList done;
    auto add = [&](std::size_t n, const char* what) {
        if (n) done.append(QStringLiteral("%1 %2").arg(n).arg(QLatin1String(what)));
    };
    add(planned.conversions - std::min(planned.conversions, left.conversions), "converted");
    add(planned.copies - std::min(planned.copies, left.copies), "copied");
    add(planned.moves - std::min(planned.moves, left.moves), "moved");
    add(planned.deletions - std::min(planned.deletions, left.deletions), "removed");
    return done.isEmpty() ? QStringLiteral("nothing changed") : done.join(QStringLiteral(", "));
}

}  // namespace

int planCommand(const Options& o) {
    if (!o.json) {
        fail(QStringLiteral("plan: only --json output is offered; \"brisle sync --dry-run\" shows the plan as text"));
        return 2;
    }
    Session session(o);
    Controller& c = session.controller();
    c.setReadOnly();
    if (!session.restore()) return 1;
    c.checkMounted();
    c.updatePlayer();
    printJson(planJson(c));
    return 0;
}

int syncCommand(const Options& o) {
    if (o.watch) return watchCommand(o);
    Session session(o);
    Controller& c = session.controller();
    if (o.dryRun) c.setReadOnly();
    if (!session.restore()) return 1;
    if (!playerReady(c)) return 1;

    if (o.dryRun) {
        c.updatePlayer();
        printPlan(c, pendingOf(c));
        return 0;
    }

    SignalWatcher signals;
    c.startWorkers();
    session.ui().showProgressOf(&c);
    QEventLoop loop;
    bool interrupted = false;
    Pending planned;
    bool planning = true;
    // Wait for the copier to register, plan once, then wait for the work to end.
    auto check = [&] {
        if (planning) {
            if (c.copierBusy()) return;
            planning = false;
            c.updatePlayer();
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
        print(QStringLiteral("Interrupted: ") + summary(planned, pendingOf(c)) + u'.');
        return 128 + signals.lastSignal();
    }
    Pending left = pendingOf(c);
    if (planned.total() == 0) {
        print(QStringLiteral("The player is up to date: nothing to convert, copy, move or remove."));
        return session.ui().hadWarnings() ? 1 : 0;
    }
    c.updateStatus();
    QString room = c.status().freeSpace;
    print(QStringLiteral("Done: ") + summary(planned, left) + u'.' + (room.isEmpty() ? QString() : u' ' + room + u'.'));
    if (left.copies || left.moves || left.deletions) {
        QStringList failed;
        Controller::PendingWork work = c.pending();
        for (const Record& r : work.copies) failed.append(QStringLiteral("  ") + r->to + QStringLiteral(" (from ") + r->from + u')');
        for (const Record& r : work.moves) failed.append(QStringLiteral("  ") + r->to + QStringLiteral(" (moving ") + r->from + u')');
        for (const Record& r : work.deletions) failed.append(QStringLiteral("  ") + r->from + QStringLiteral(" (removing)"));
        fail(QStringLiteral("%1 files could not be put in place:\n%2").arg(failed.size()).arg(failed.join(u'\n')));
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
        if (!onDisk.load()) return;
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
    Session session(o);
    Controller& c = session.controller();
    if (auto loaded = session.defaults().load(); !loaded) fail(loaded.error());
    session.ui().showProgressOf(&c);
    session.ui().showNotices(true);
    SignalWatcher signals;
    if (!c.startUp()) return 1;
    QString player = c.pathToPlayer();
    if (player.isEmpty()) {
        fail(QStringLiteral("no player is chosen; choose one with: brisle config set pathToPlayer %1NAME/Music").arg(Locations::volumesFolder()));
        return 1;
    }
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
