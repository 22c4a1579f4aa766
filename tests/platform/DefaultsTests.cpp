#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/plist/Plist.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

using plist::Object;

namespace {

class DefaultsStore : public ::testing::Test {
protected:
    QString file() const { return dir.path() + QStringLiteral("/Brisle/Brisle.plist"); }
    QByteArray contents() const {
        QFile f(file());
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }
    QTemporaryDir dir;
};

TEST_F(DefaultsStore, StoredValuesWinOverRegisteredOnes) {
    Defaults d(file());
    ASSERT_TRUE(d.load()) << "a missing file is an empty store";
    d.registerDefaults(Defaults::standardDefaults());
    EXPECT_EQ(Defaults::standardDefaults().size(), 13u);
    EXPECT_EQ(d.integer("convertToBitrate"), 128);
    EXPECT_EQ(d.string("playerProfile"), QStringLiteral("Standard MP3 player"));
    EXPECT_TRUE(d.boolean("createAlbumSubfolders"));
    EXPECT_FALSE(d.contains("convertToBitrate"));
    EXPECT_FALSE(d.boolean("sortFilesOnDisk")) << "keys without a registered value read as false";
    EXPECT_TRUE(d.string("pathToPlayer").isNull());

    ASSERT_TRUE(d.set("convertToBitrate", 192));
    ASSERT_TRUE(d.set("createAlbumSubfolders", false));
    EXPECT_EQ(d.integer("convertToBitrate"), 192);
    EXPECT_FALSE(d.boolean("createAlbumSubfolders"));
    ASSERT_TRUE(d.remove("convertToBitrate"));
    EXPECT_EQ(d.integer("convertToBitrate"), 128);

    // Values of another type are read leniently, as a settings store does.
    ASSERT_TRUE(d.set("convertHighBitRateThreshold", "256"));
    EXPECT_EQ(d.integer("convertHighBitRateThreshold"), 256);
    ASSERT_TRUE(d.set("sortFilesOnDisk", 1));
    EXPECT_TRUE(d.boolean("sortFilesOnDisk"));
    EXPECT_EQ(d.string("sortFilesOnDisk"), QString()) << "a number is not a string";
}

TEST_F(DefaultsStore, EveryChangeIsOnDiskBeforeSetReturns) {
    Defaults d(file());
    ASSERT_TRUE(d.set("pathToPlayer", "/Volumes/PLAYER/Music"));
    ASSERT_TRUE(d.set(Object::Dict{{"a", 1}, {"b", Object(Object::Array{Object("x")})}}));
    Defaults other(file());
    ASSERT_TRUE(other.load());
    EXPECT_EQ(other.string("pathToPlayer"), QStringLiteral("/Volumes/PLAYER/Music"));
    EXPECT_EQ(other.integer("a"), 1);
    EXPECT_EQ(*other.object("b"), Object(Object::Array{Object("x")}));
    EXPECT_EQ(d.stored().size(), 3u);
}

TEST_F(DefaultsStore, ALeftoverTemporaryFileFromACrashIsHarmless) {
    Defaults d(file());
    ASSERT_TRUE(d.set("k", "old"));
    // A crash between creating the temporary file and renaming it leaves this.
    QFile partial(file() + QStringLiteral(".tmp-abc123"));
    ASSERT_TRUE(partial.open(QIODevice::WriteOnly));
    partial.write("<?xml version=\"1.0\"?><plist><dict><key>k</key><str");
    partial.close();
    Defaults again(file());
    ASSERT_TRUE(again.load());
    EXPECT_EQ(again.string("k"), QStringLiteral("old"));
    ASSERT_TRUE(again.set("k", "new"));
    Defaults third(file());
    ASSERT_TRUE(third.load());
    EXPECT_EQ(third.string("k"), QStringLiteral("new"));
}

TEST_F(DefaultsStore, AFailedWriteKeepsTheOldFileAndSaysWhy) {
    Defaults d(file());
    ASSERT_TRUE(d.set("k", "old"));
    QByteArray before = contents();
    // The folder is replaced by a plain file: nothing can be written there.
    QString blocked = dir.path() + QStringLiteral("/blocked");
    QFile(blocked).open(QIODevice::WriteOnly);
    Defaults broken(blocked + QStringLiteral("/Brisle.plist"));
    auto result = broken.set("k", "x");
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().contains(blocked));
    EXPECT_EQ(contents(), before);
}

TEST_F(DefaultsStore, ADamagedFileIsSetAsideNotOverwritten) {
    QDir().mkpath(dir.path() + QStringLiteral("/Brisle"));
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(fsys::writeFileAtomically(file(), "garbage " + QByteArray::number(round)));
        Defaults d(file());
        auto loaded = d.load();
        ASSERT_FALSE(loaded);
        QString backup = round == 1 ? file() + QStringLiteral(".unreadable") : file() + QStringLiteral(".unreadable 2");
        EXPECT_TRUE(loaded.error().contains(backup)) << loaded.error().toStdString();
        ASSERT_TRUE(d.set("fresh", true));
        QFile kept(backup);
        ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
        EXPECT_EQ(kept.readAll(), "garbage " + QByteArray::number(round));
    }
    // A file that is a property list but not a dictionary is damaged too.
    ASSERT_TRUE(fsys::writeFileAtomically(file(), QByteArray::fromStdString(plist::writeXml(Object(Object::Array{})))));
    Defaults d(file());
    EXPECT_FALSE(d.load());
}

TEST_F(DefaultsStore, ReadersOnOtherThreadsSeeWholeValues) {
    Defaults d(file());
    d.registerDefaults(Defaults::standardDefaults());
    std::atomic<bool> stop = false;
    std::atomic<int> bad = 0;
    std::thread reader([&] {
        while (!stop) {
            qint64 rate = d.integer("convertToBitrate");
            if (rate != 128 && rate != 320) ++bad;
        }
    });
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(d.set("convertToBitrate", i % 2 ? 128 : 320));
    stop = true;
    reader.join();
    EXPECT_EQ(bad, 0);
}

}  // namespace
