#include "app/Controller.h"
#include "library/Song.h"
#include "platform/FileSystem.h"
#include "support/Helpers.h"
#include "support/TestLibrary.h"

#include <QFile>

#include <gtest/gtest.h>

namespace {

void settle(int ms) { waitUntil([] { return false; }, ms); }

// The controller follows rewrites of the library file the way iTunes makes
// them (a new file replaces the old), and only those.
TEST(LibraryWatching, ARewriteBringsTheNewPlaylistsButWritingInPlaceOrHalfWritingDoesNot) {
    TestLibrary t;
    int a = t.builder.addTrack({{"Album", "X"}, {"Name", "A"}});
    int b = t.builder.addTrack({{"Album", "X"}, {"Name", "B"}, {"Track Number", 2}});
    t.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a});
    const QString file = t.builder.write();
    Controller controller(t.defaults, t.ui, Controller::Options{file, t.folder() + QStringLiteral("/cache")});
    ASSERT_TRUE(controller.startUp());
    auto mix = [&] {
        const Album* p = controller.library().playlistWithID(QStringLiteral("P1"));
        std::vector<int> ids;
        for (const Song* s : p ? p->tracks() : std::vector<Song*>()) ids.push_back(int(s->trackId()));
        return ids;
    };
    ASSERT_EQ(mix(), std::vector{a});

    // Written into in place: not acted on.
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        QByteArray original = f.readAll();
        f.seek(0);
        f.write(original);
    }
    settle(1500);
    EXPECT_EQ(mix(), std::vector{a});

    // Removed, then back half-written: the playlists stay until a whole file comes.
    ASSERT_TRUE(QFile::remove(file));
    settle(600);
    ASSERT_TRUE(fsys::writeFileAtomically(file, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Tracks</key><dict>"));
    settle(1500);
    EXPECT_EQ(mix(), std::vector{a}) << "a half-written file must not empty the playlists";

    // Replaced by a new file with the playlist changed: read again, and again.
    t.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a, b});
    t.builder.write();
    EXPECT_TRUE(waitUntil([&] { return mix() == std::vector{a, b}; }, 20000));
    t.builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {b});
    t.builder.write();
    EXPECT_TRUE(waitUntil([&] { return mix() == std::vector{b}; }, 20000));
}

}  // namespace
