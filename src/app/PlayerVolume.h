#pragma once

// The player: its folder (the "pathToPlayer" setting and the rule for
// changing it), whether it is there, and the two slow things done to the
// whole volume, sorting its folders on disk and ejecting it. Those run on a
// thread of their own so the window stays alive; while one runs the volume
// is busy, and nothing else may plan or change the player.
//
// Lives on the main thread; the job's thread touches only the disk.

#include "platform/plist/Value.h"

#include <QObject>
#include <QString>

#include <expected>
#include <functional>
#include <future>
#include <optional>

class Defaults;
class QTimer;

class PlayerVolume : public QObject {
    Q_OBJECT
public:
    explicit PlayerVolume(Defaults& defaults, QObject* parent = nullptr);
    ~PlayerVolume() override;

    // The user default "pathToPlayer", or a null string.
    QString path() const;
    // Stores a new player folder: a folder on a volume under the volumes
    // folder. Choosing another player drops the older form of the selection
    // ("wantedSongs"), which must not be taken over from it; the folders
    // inside the volume are made only when the volume is mounted, never in
    // the empty mount point of an absent one.
    std::expected<void, QString> setPath(const QString& path);
    // The settings that go with choosing this player folder: when it differs
    // from the stored one, the older form of the selection and what was seen
    // of the old player's volume are dropped.
    static plist::Object::Dict pathChanges(const QString& stored, const QString& folder);
    // Makes the folders of a player folder inside its volume, but only while
    // the volume is mounted: never in the empty mount point of an absent one.
    // Failures are left for the planner to find.
    static void makeFolders(const QString& folder);

    // Why a player folder cannot be used, whatever the settings file says:
    // it must lie inside a volume under the volumes folder, with no ".." and
    // no symbolic link leading out of its volume. Nothing when it can.
    static std::optional<QString> refusal(const QString& path);
    // The folder of the player's volume (the volumes folder and its name).
    QString volumeFolder() const;

    bool mounted() const { return mounted_; }
    void setMounted(bool mounted) { mounted_ = mounted; }
    // Whether the player folder is there now, on its volume. Under the
    // system's volumes folder a volume counts only while it is a mount point;
    // under a given one plain folders may stand for volumes, but a volume
    // seen as a mount point (in this run, or when the record was last saved)
    // counts only while it still is one. An absent volume's empty mount point
    // is this computer's own disk: nothing may go there.
    bool existsNow();
    // The same rule for the volume alone: a volume just mounted counts before
    // its music folder is made.
    bool volumePresent();
    // Whether the volume has been seen as a mount point, for the record.
    bool wasMountPoint() const { return !mountPointSeen_.isEmpty() && mountPointSeen_ == volumeFolder(); }
    // Whether a volume that appeared or went at this mount point is the
    // player's: a plain text prefix test, so a volume "PLAYER" also counts
    // for a player on "PLAYER 2"; a false alarm only costs a planning pass.
    bool concerns(const QString& mountPoint) const;

    enum class Job { None, Sorting, Ejecting };
    Job job() const { return job_; }
    bool busy() const { return job_ != Job::None; }

    // Sorts the player's folders on disk; done() runs on the main thread and
    // gets the reason when the sort left files out of place or did not start.
    void sortFiles(std::function<void(std::expected<void, QString>)> done);
    // Sorts first when asked, then unmounts and ejects the player's volume;
    // done() gets the reason when either failed (a failed sort ejects nothing).
    void eject(bool sortFirst, std::function<void(std::expected<void, QString>)> done);
    // Waits for a job under way (at shutdown).
    void waitForJob();

Q_SIGNALS:
    // A job began or ended.
    void jobChanged();

private:
    void run(Job job, std::function<std::expected<void, QString>()> work, std::function<void(std::expected<void, QString>)> done);

    Defaults& defaults_;
    bool mounted_ = false;
    QString mountPointSeen_;  // the volume folder last seen as a mount point
    Job job_ = Job::None;
    std::future<std::expected<void, QString>> running_;
    QTimer* poll_ = nullptr;
    std::function<void(std::expected<void, QString>)> done_;
};
