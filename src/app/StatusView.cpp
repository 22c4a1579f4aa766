#include "StatusView.h"

#include "library/SongContext.h"

namespace {

const QChar kEllipsis(0x2026);

QString counted(std::size_t n, const char* one, const char* many) {
    return (n > 1 ? QString::fromLatin1(many).arg(n) : QString::fromLatin1(one)) + kEllipsis;
}

}  // namespace

QString rowStatusText(std::size_t conversions, std::size_t copies) {
    if (conversions) return counted(conversions, "Converting 1 song", "Converting %1 songs");
    if (copies) return counted(copies, "Copying 1 song", "Copying %1 songs");
    return {};
}

StatusView computeStatus(const StatusInputs& in) {
    StatusView v;
    v.playerName = in.playerName;
    bool converting = in.converting.has_value();
    if (converting) v.status = counted(in.conversions + 1, "Converting 1 song", "Converting %1 songs");

    QString activityTitle, activityDetail;
    v.activity = true;
    if (!in.volumeJob.isEmpty()) {
        activityTitle = in.volumeJob;
    } else if (in.updateDue) {
        activityTitle = QStringLiteral("Refreshing") + kEllipsis;
    } else if (in.copying) {
        activityTitle = counted(in.copies, "Copying 1 song", "Copying %1 songs");
        activityDetail = *in.copying;
    } else if (in.moving) {
        activityTitle = counted(in.moves, "Moving 1 song", "Moving %1 songs");
        activityDetail = *in.moving;
    } else if (in.deleting) {
        activityTitle = counted(in.deletions + 1, "Removing 1 song", "Removing %1 songs");
        activityDetail = *in.deleting;
    } else {
        v.activity = converting;
    }
    if (converting) {
        v.status2 = activityTitle;
        v.substatus2 = activityDetail;
        v.substatus = in.conversionProgress;
    } else {
        v.status = activityTitle;
        v.substatus = activityDetail;
    }

    if (!in.mounted) {
        v.freeSpace = QStringLiteral("Not mounted");
        return v;
    }
    // Some drivers never tell the sizes (FUSE FAT reports 0); without one
    // good reading the room is unknown, not zero: what is left to copy shows
    // in its place, and no bar.
    if (!in.sizes) {
        v.barShown = false;
        v.freeSpace = in.bytesToCopy ? sizeText(in.bytesToCopy) + QStringLiteral(" to copy") : QStringLiteral("Free space unknown");
    } else {
        quint64 room = in.sizes->freeBytes + in.bytesFreed;
        if (in.bytesToCopy <= room) {
            v.freeSpace = sizeText(room - in.bytesToCopy) + QStringLiteral(" available");
            v.barMaximum = double(in.sizes->totalBytes);
            v.barValue = double(in.sizes->totalBytes) - double(room - in.bytesToCopy);
        } else {
            v.freeSpace = sizeText(in.bytesToCopy - room) + QStringLiteral(" over");
            v.barDeterminate = false;
        }
    }
    v.ejectEnabled = in.moves == 0 && in.copies == 0 && in.deletions == 0 && !in.updateDue && in.volumeJob.isEmpty();
    return v;
}
