#include "app/StatusView.h"

#include <gtest/gtest.h>

namespace {

const QChar kE(0x2026);
constexpr quint64 kMiB = 1024 * 1024;

struct StatusCase {
    const char* name;
    StatusInputs in;
    QString status, substatus, status2, freeSpace;
    bool determinate, eject;
};

StatusInputs mounted(quint64 totalMiB, quint64 freeMiB) {
    StatusInputs in;
    in.playerName = QStringLiteral("PLAYER");
    in.mounted = true;
    in.sizes = Volumes::VolumeSizes{totalMiB * kMiB, freeMiB * kMiB};
    return in;
}

template <typename F>
StatusInputs with(StatusInputs in, F change) {
    change(in);
    return in;
}

}  // namespace

TEST(StatusView, LinesRoomAndEjectFollowWhatIsPending) {
    const StatusCase cases[] = {
        {"idle and in step", mounted(100, 40), {}, {}, {}, QStringLiteral("40.0 MB available"), true, true},
        // 3.75 MiB shows as 3.7: sizes go through single precision and a factor a little below 1/1,048,576.
        {"sizes in single precision", with(mounted(100, 0), [](auto& i) { i.bytesFreed = 3932160; }), {}, {}, {}, QStringLiteral("3.7 MB available"), true, true},
        {"not mounted", StatusInputs{}, {}, {}, {}, QStringLiteral("Not mounted"), true, false},
        {"sizes never read: what is left to copy", with(mounted(0, 0), [](auto& i) { i.sizes.reset(); i.copies = 2; i.bytesToCopy = 3 * kMiB; }), {}, {}, {}, QStringLiteral("3.0 MB to copy"), true, false},
        {"sizes never read, nothing to copy", with(mounted(0, 0), [](auto& i) { i.sizes.reset(); }), {}, {}, {}, QStringLiteral("Free space unknown"), true, true},
        {"copying counts the list, deletions free room",
         with(mounted(100, 40), [](auto& i) { i.copying = QStringLiteral("Intro"); i.copies = 3; i.deletions = 1; i.bytesToCopy = 50 * kMiB; i.bytesFreed = 20 * kMiB; }),
         QStringLiteral("Copying 3 songs") + kE, QStringLiteral("Intro"), {}, QStringLiteral("10.0 MB available"), true, false},
        {"more to copy than room",
         with(mounted(100, 5), [](auto& i) { i.copying = QStringLiteral("A"); i.copies = 1; i.bytesToCopy = 7 * kMiB; }),
         QStringLiteral("Copying 1 song") + kE, QStringLiteral("A"), {}, QStringLiteral("2.0 MB over"), false, false},
        {"removing counts the one in hand",
         with(mounted(100, 40), [](auto& i) { i.deleting = QStringLiteral("Old"); i.deletions = 2; }),
         QStringLiteral("Removing 3 songs") + kE, QStringLiteral("Old"), {}, QStringLiteral("40.0 MB available"), true, false},
        {"converting moves the activity to line two",
         with(mounted(100, 40), [](auto& i) { i.converting = QStringLiteral("Song"); i.conversionProgress = QStringLiteral("Song (40%)"); i.conversions = 1; i.moving = QStringLiteral("M"); i.moves = 1; }),
         QStringLiteral("Converting 2 songs") + kE, QStringLiteral("Song (40%)"), QStringLiteral("Moving 1 song") + kE, QStringLiteral("40.0 MB available"), true, false},
        {"a planning pass due", with(mounted(100, 40), [](auto& i) { i.updateDue = true; }), QStringLiteral("Refreshing") + kE, {}, {}, QStringLiteral("40.0 MB available"), true, false},
        {"a sort under way", with(mounted(100, 40), [](auto& i) { i.volumeJob = QStringLiteral("Sorting files") + kE; }), QStringLiteral("Sorting files") + kE, {}, {}, QStringLiteral("40.0 MB available"), true, false},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        StatusView v = computeStatus(c.in);
        EXPECT_EQ(v.status, c.status);
        EXPECT_EQ(v.substatus, c.substatus);
        EXPECT_EQ(v.status2, c.status2);
        EXPECT_EQ(v.freeSpace, c.freeSpace);
        EXPECT_EQ(v.barDeterminate, c.determinate);
        EXPECT_EQ(v.ejectEnabled, c.eject);
    }
}
