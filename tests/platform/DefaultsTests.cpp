#include "platform/Defaults.h"
#include "platform/FileSystem.h"
#include "platform/Settings.h"
#include "platform/plist/Plist.h"
#include "support/Helpers.h"

#include <QDir>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

using plist::Object;

namespace {

class DefaultsStore : public ::testing::Test {
protected:
    QString file() const { return dir.path() + QStringLiteral("/Brisle/Brisle.plist"); }
    QTemporaryDir dir;
};

// Whatever a stored string holds, the file stays well-formed XML, which
// every property-list reader takes, and reads back as it was.
TEST_F(DefaultsStore, EveryChangeIsOnDiskBeforeSetReturnsAndALeftoverTemporaryFileIsHarmless) {
    Defaults d(file());
    std::string controls = "a\r\nb\t";
    for (char c = 0; c < 0x20; ++c) controls += c;
    ASSERT_TRUE(d.set("pathToPlayer", "/Volumes/PLAYER/Music"));
    ASSERT_TRUE(d.set(Object::Dict{{"a", 1}, {"b", Object(Object::Array{Object("x")})}, {controls, controls + "\xEF\x80\xA0"}}));
    QXmlStreamReader xml(readFile(file()));
    while (!xml.atEnd()) xml.readNext();
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    // A crash between creating the temporary file and renaming it leaves this.
    ASSERT_TRUE(fsys::writeFileAtomically(file() + QStringLiteral(".tmp-abc123"), "<?xml version=\"1.0\"?><plist><dict><key>a</key><str"));
    Defaults other(file());
    ASSERT_TRUE(other.load());
    EXPECT_EQ(other.stored(), (Object::Dict{{"pathToPlayer", "/Volumes/PLAYER/Music"}, {"a", 1}, {"b", Object::Array{"x"}}, {controls, controls + "\xEF\x80\xA0"}}));
    ASSERT_TRUE(other.set("a", 2));
    Defaults third(file());
    ASSERT_TRUE(third.load());
    EXPECT_EQ(third.integer("a"), 2);
}

TEST_F(DefaultsStore, AFailedWriteKeepsTheOldFileAndSaysWhy) {
    Defaults d(file());
    ASSERT_TRUE(d.set("k", "old"));
    const QByteArray before = readFile(file());
    // No file may grow past the size of the old one: the new one is cut short.
    std::expected<void, QString> result;
    withFileSizeLimit(before.size(), [&] { result = d.set("k", std::string(4096, 'n')); });
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().contains(file())) << result.error().toStdString();
    EXPECT_EQ(readFile(file()), before);
    EXPECT_EQ(QDir(dir.path() + QStringLiteral("/Brisle")).entryList(QDir::Files), QStringList{QStringLiteral("Brisle.plist")})
        << "the temporary file is removed";
    // A folder that can't be made: a plain file stands in its place.
    const QString blocked = dir.path() + QStringLiteral("/blocked");
    ASSERT_TRUE(fsys::writeFileAtomically(blocked, {}));
    result = Defaults(blocked + QStringLiteral("/Brisle.plist")).set("k", "x");
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().contains(blocked));
}

TEST_F(DefaultsStore, ADamagedFileIsSetAsideNotOverwritten) {
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(fsys::writeFileAtomically(file(), "garbage " + QByteArray::number(round)));
        Defaults d(file());
        auto loaded = d.load();
        ASSERT_FALSE(loaded);
        QString backup = file() + (round == 1 ? QStringLiteral(".unreadable") : QStringLiteral(".unreadable 2"));
        EXPECT_TRUE(loaded.error().contains(backup)) << loaded.error().toStdString();
        ASSERT_TRUE(d.set("fresh", true));
        EXPECT_EQ(readFile(backup), "garbage " + QByteArray::number(round));
    }
    // A file that is a property list but not a dictionary is damaged too.
    ASSERT_TRUE(fsys::writeFileAtomically(file(), QByteArray::fromStdString(plist::writeXml(Object(Object::Array{})))));
    EXPECT_FALSE(Defaults(file()).load());
}

TEST(Settings, EveryProfilesFolderChoicesSurviveTheRoundTripThroughTheFile) {
    QTemporaryDir dir;
    Defaults d(dir.path() + QStringLiteral("/s.plist"));
    d.registerDefaults(settings::registeredDefaults());
    // The registered defaults show as album 1, playlist 1, song 2.
    EXPECT_EQ(settings::folderChoices(d), (settings::FolderChoices{1, 1, 2}));
    for (int album = 0; album < 3; ++album)
        for (int playlist = 0; playlist < 4; ++playlist)
            for (int song = 0; song < 3; ++song) {
                settings::FolderChoices c{album, playlist, song};
                ASSERT_TRUE(d.set(settings::folderKeys(c)));
                EXPECT_EQ(settings::folderChoices(d), c) << album << playlist << song;
            }
}

}  // namespace
