// The player's volume through the command line, on a real FAT image: sorting
// the folders on disk, recovering a sort cut short, and ejecting.

#include "support/CliWorld.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

using S = QStringList;

namespace {

// A player whose files were made out of order, and nothing selected.
class SortedPlayer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(w.ready());
        w.builder.addTrack();
        w.writeLibrary();
        ASSERT_TRUE(w.ok({{"config", "set", "pathToPlayer", w.playerFolder()}}));
        for (const char* name : {"b.mp3", "A.mp3", "c/d.mp3", "c/B/z.mp3", "c/a.mp3"}) ASSERT_TRUE(writeFile(w.playerFolder() + u'/' + QLatin1String(name), name));
        before = w.playerFiles();
    }
    QStringList order(const QString& folder = {}) {
        auto entries = w.fat()->entriesInDiskOrder(QStringLiteral("/Music") + folder);
        EXPECT_TRUE(entries) << entries.error().toStdString();
        return entries.value_or(QStringList());
    }
    RunResult crashingSort() {
        QProcessEnvironment crashing = w.env;
        crashing.insert(QStringLiteral("BRISLE_CRASH_AT"), QStringLiteral("sort-moved-out"));
        return runBrisle({QStringLiteral("sort"), QStringLiteral("--library"), w.library()}, crashing);
    }
    CliWorld w{CliWorld::Player::FatImage};
    std::map<QString, qint64> before;
    const S unsorted{"b.mp3", "A.mp3", "c/"}, sorted{"c/", "A.mp3", "b.mp3"};
};

TEST_F(SortedPlayer, SortWritesEveryFolderInOrderWithSubfoldersFirst) {
    EXPECT_EQ(order(), unsorted);
    ASSERT_TRUE(w.ok({{"sort"}}));
    EXPECT_EQ(order(), sorted);
    EXPECT_EQ(order(QStringLiteral("/c")), (S{"B/", "a.mp3", "d.mp3"}));
    EXPECT_EQ(w.playerFiles(), before);
    EXPECT_FALSE(QFileInfo::exists(w.playerFolder() + QStringLiteral("/brisleSort")));
}

TEST_F(SortedPlayer, AnInterruptedSortIsPutBackWithNothingLost) {
    ASSERT_EQ(crashingSort().exitCode, 99);
    ASSERT_TRUE(w.playerFiles().count(QStringLiteral("brisleSort/File 0"))) << "the crash came after the files went out";
    // The next start puts everything back before it plans.
    w.plan();
    EXPECT_TRUE(w.ok({{"sync"}}));
    EXPECT_EQ(w.playerFiles(), before);
    // And a crash again, then a sort, which also recovers first.
    ASSERT_EQ(crashingSort().exitCode, 99);
    ASSERT_TRUE(w.ok({{"sort"}}));
    EXPECT_EQ(w.playerFiles(), before);
    EXPECT_EQ(order(), sorted);
}

// Files an interrupted sort could not put back are listed only in its
// journal: no sort (nor an eject that sorts first) may start and replace it.
TEST_F(SortedPlayer, FilesThatCouldNotBePutBackKeepTheJournalAndStopTheNextSort) {
    ASSERT_EQ(crashingSort().exitCode, 99);
    const QString journal = w.playerFolder() + QStringLiteral("/brisleSort/.brisle-sort-journal");
    const QByteArray written = readFile(journal);
    ASSERT_FALSE(written.isEmpty());
    ASSERT_TRUE(writeFile(w.playerFolder() + QStringLiteral("/b.mp3"), "mine")) << "a file now stands where one belongs";
    std::map<QString, qint64> stuck = before;
    stuck[QStringLiteral("b.mp3")] = 4;
    stuck[QStringLiteral("brisleSort/File 1")] = 5;  // b.mp3 as it was
    stuck[QStringLiteral("brisleSort/.brisle-sort-journal")] = written.size();
    auto expectRefused = [&](const S& command) {
        RunResult r = w.run(command);
        EXPECT_EQ(r.exitCode, 1) << command.join(u' ').toStdString();
        EXPECT_TRUE(r.err.contains(QStringLiteral("a sort could not put back 1 of its files"))) << r.err.toStdString();
        EXPECT_EQ(w.playerFiles(), stuck) << "the rest came back, nothing else moved";
        EXPECT_EQ(readFile(journal), written) << "the journal stays whole";
    };
    expectRefused({"sort"});
    ASSERT_TRUE(w.ok({{"config", "set", "sortFilesOnDisk", "on"}}));
    expectRefused({"eject"});
    EXPECT_TRUE(w.fat()->isMounted()) << "not ejected";

    // With the way clear, the next sort puts it back and sorts.
    ASSERT_TRUE(QFile::remove(w.playerFolder() + QStringLiteral("/b.mp3")));
    ASSERT_TRUE(w.ok({{"sort"}}));
    EXPECT_EQ(w.playerFiles(), before);
    EXPECT_EQ(order(), sorted);
}

TEST_F(SortedPlayer, EjectFailsWhileBusyThenUnmountsAndSortsOnlyWhenAsked) {
    const QByteArray held = QFile::encodeName(w.playerFolder() + QStringLiteral("/b.mp3"));
    int fd = ::open(held.constData(), O_RDONLY);
    ASSERT_GE(fd, 0);
    RunResult busy = w.run({"eject"});
    EXPECT_EQ(busy.exitCode, 1);
    EXPECT_TRUE(busy.err.contains(QStringLiteral("Eject failed")) && busy.err.contains(QStringLiteral("busy"))) << busy.err.toStdString();
    EXPECT_TRUE(w.fat()->isMounted()) << "never detached lazily";
    char byte = 0;
    EXPECT_EQ(::read(fd, &byte, 1), 1) << "the open file still works";
    ::close(fd);

    ASSERT_TRUE(w.ok({{"eject"}}));
    EXPECT_FALSE(w.fat()->isMounted());
    EXPECT_EQ(order(), unsorted) << "not sorted";
    ASSERT_TRUE(w.fat()->mount());
    ASSERT_TRUE(w.ok({{"config", "set", "sortFilesOnDisk", "on"}, {"eject"}}));
    EXPECT_FALSE(w.fat()->isMounted());
    EXPECT_EQ(order(), sorted);
}

}  // namespace
