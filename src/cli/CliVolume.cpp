// brisle volumes, brisle eject, brisle sort: the player volume.

#include "CliSession.h"

#include "library/PathUtils.h"
#include "platform/Locations.h"
#include "platform/VolumeMonitor.h"

#include <QEventLoop>

#include <functional>

namespace cli {

namespace {

// Ejecting and sorting wait until the player holds what is planned, as the
// menu commands do: a plan is made (and nothing written) to find out.
bool readyForEjectOrSort(Session& session, const QString& what) {
    Controller& c = session.controller();
    QString player = c.pathToPlayer();
    if (player.isEmpty()) {
        fail(QStringLiteral("%1: no player is chosen").arg(what));
        return false;
    }
    c.checkMounted();
    if (!c.mounted()) {
        fail(QStringLiteral("%1: the player is not mounted: nothing is at %2").arg(what, player));
        return false;
    }
    c.planNow();
    if (c.canEjectOrSort()) return true;
    Controller::PendingWork work = c.pending();
    fail(QStringLiteral("%1: the player is not in step with the selection yet (%2 files to copy, %3 to move, %4 to remove); run \"brisle sync\" first")
             .arg(what)
             .arg(work.copies.size())
             .arg(work.moves.size())
             .arg(work.deletions.size()));
    return false;
}

// Starts a sort or an eject and waits for it; answers how it went.
bool waitFor(Controller& c, const std::function<void()>& start) {
    QEventLoop loop;
    bool ok = false;
    QObject::connect(&c, &Controller::volumeJobFinished, &loop, [&](bool result) {
        ok = result;
        loop.quit();
    });
    start();
    if (c.volume().busy()) loop.exec();
    return ok;
}

}  // namespace

int volumesCommand(const Options& o) {
    Session session(o, Session::Access::ReadOnly);
    session.loadSettings();
    QString player = session.defaults().string("pathToPlayer");
    QString playerVolume = driveNameFromPath(player);
    std::vector<Volumes::MountedVolume> volumes = VolumeMonitor::mountedVolumes();
    if (o.json) {
        JsonWriter json;
        json.beginObject();
        json.field("volumesFolder", Locations::volumesFolder());
        json.key("volumes");
        json.beginArray();
        for (const auto& v : volumes) {
            json.beginObject();
            json.field("name", v.name);
            json.field("mountPoint", v.mountPoint);
            json.field("fileSystem", v.fileSystemType);
            json.field("device", v.device);
            json.field("icon", v.iconName);
            json.field("player", v.name == playerVolume);
            json.endObject();
        }
        json.endArray();
        json.endObject();
        return finishJson(json);
    }
    if (volumes.empty()) {
        print(QStringLiteral("No volumes are mounted in %1. Connect an MP3 player or memory card reader.").arg(Locations::volumesFolder()));
        return 0;
    }
    for (const auto& v : volumes)
        print(QStringLiteral("%1%2  %3  (%4)").arg(v.name == playerVolume ? QStringLiteral("* ") : QStringLiteral("  "), v.name, v.mountPoint, v.fileSystemType));
    return 0;
}

namespace {

// Sort and eject: the player must be in step with the selection and this
// process must hold it; then the job runs and is waited for.
int volumeJob(const Options& o, const QString& what, void (Controller::*start)(), const std::function<QString(Controller&)>& done) {
    // The player changes, the settings do not.
    Session session(o, Session::Access::ReadOnly);
    Controller& c = session.controller();
    if (!session.restore()) return session.failure();
    if (!claimPlayer(c)) return 1;
    if (!readyForEjectOrSort(session, what)) return 1;
    if (!waitFor(c, [&] { (c.*start)(); })) return 1;
    print(done(c));
    return 0;
}

}  // namespace

int sortCommand(const Options& o) {
    return volumeJob(o, QStringLiteral("sort"), &Controller::sortFiles,
                     [](Controller& c) { return QStringLiteral("The folders of %1 are written in sorted order.").arg(c.pathToPlayer()); });
}

int ejectCommand(const Options& o) {
    return volumeJob(o, QStringLiteral("eject"), &Controller::eject,
                     [](Controller& c) { return QStringLiteral("%1 can be removed now.").arg(driveNameFromPath(c.pathToPlayer())); });
}

}  // namespace cli
