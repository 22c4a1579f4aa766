// Planning passes over a real player folder: what is converted, copied,
// moved and deleted, which files become other-file items, and what the
// record of the player's files becomes.

#include "library/PathUtils.h"
#include "library/Song.h"
#include "planning/Planner.h"
#include "platform/FileSystem.h"
#include "support/SyncFixture.h"

#include <gtest/gtest.h>

namespace {

struct Outcome {
    QStringList work;      // conversions, copies (plan order), moves (plan order), deletions (sorted)
    QStringList others;    // other-file items, in list order
    QStringList recorded;  // the record after the pass, "path=song", sorted
    bool forgot = false;
};

class Planning : public ::testing::Test {
protected:
    Song* byName(const QString& name) {
        for (int id : {f.one, f.two, f.three, f.four})
            if (f.song(id)->name() == name) return f.song(id);
        ADD_FAILURE() << "no song " << name.toStdString();
        return nullptr;
    }

    // "album X:One" (only One ticked), "album X", "playlist P1" (Mix: Two, One), "playlist P2" (Road: Four),
    // "playlist P1 as albums", "song Four".
    void want(const QStringList& items) {
        const Library& library = *f.lib.library;
        for (const QString& item : items) {
            QStringList words = item.split(u' ');
            if (words[0] == u"album") {
                QStringList parts = words[1].split(u':');
                Album* album = byName(parts.size() > 1 ? parts[1] : QStringLiteral("One"))->albumObject();
                std::vector<Song*> ticked;
                for (const QString& n : parts.mid(1)) ticked.push_back(byName(n));
                wanted.push_back(parts.size() > 1 ? std::make_unique<SYWantedAlbum>(library, album, &ticked)
                                                  : std::make_unique<SYWantedAlbum>(library, album));
            } else if (words[0] == u"playlist") {
                auto p = std::make_unique<SYWantedPlaylist>(library, words[1]);
                p->setMode(words.size() > 2 ? 1 : 0);
                wanted.push_back(std::move(p));
            } else {
                wanted.push_back(std::make_unique<SYWantedSong>(library, byName(words[1])));
            }
        }
    }

    // "rel=Song"; a path starting with "/" is taken as it is.
    void record(const QStringList& entries) {
        for (const QString& e : entries) {
            QString path = e.section(u'=', 0, 0);
            previous.insert(path.startsWith(u'/') ? path : f.player + u'/' + path, byName(e.section(u'=', 1)));
        }
    }

    Outcome plan() {
        last = Planner::plan({f.player, previous, converting}, wanted, *f.lib.library);
        Outcome o;
        for (const auto& w : last.conversions) o.work.append(QStringLiteral("convert ") + f.rel(w.record->to));
        for (const auto& w : last.copies) {
            o.work.append(QStringLiteral("copy %1 (%2)").arg(f.rel(w.record->to), f.nameOf(w.record->song)));
            EXPECT_EQ(w.record->from, w.record->song->copyFromPath());
            EXPECT_EQ(w.weight, w.record->song->copiedSize()) << "a copy weighs its song";
        }
        for (const auto& w : last.moves) o.work.append(QStringLiteral("move %1 > %2").arg(f.rel(w.record->from), f.rel(w.record->to)));
        QStringList deletions;
        for (const auto& w : last.deletions) {
            deletions.append(QStringLiteral("delete ") + f.rel(w.record->from) + (w.record->song ? QStringLiteral(" (%1)").arg(f.nameOf(w.record->song)) : QString()));
            EXPECT_EQ(w.weight, fsys::size(w.record->from).value_or(0)) << "a deletion weighs what it frees";
        }
        deletions.sort();
        o.work += deletions;
        for (const auto& item : wanted)
            if (auto* file = dynamic_cast<SYWantedFile*>(item.get())) o.others.append(f.rel(file->path()));
        for (auto it = last.previousFiles.begin(); it != last.previousFiles.end(); ++it) o.recorded.append(f.rel(it.key()) + u'=' + f.nameOf(it.value()));
        o.recorded.sort();
        o.forgot = last.forgotGoneFiles;
        return o;
    }

    SyncFixture f;
    std::vector<std::unique_ptr<SYWanted>> wanted;
    QHash<QString, Song*> previous;
    Song* converting = nullptr;
    Planner::Result last;
};

struct PlanCase {
    const char* name;
    QStringList files;     // on the player: "rel" (1000 bytes, a song's size) or "rel:bytes"
    QStringList recorded;  // "rel=Song"
    QStringList wanted;
    Outcome expected;
    const char* converting = nullptr;
};

const PlanCase kPlanCases[] = {
    {"WorkedPass",
     {"A/X/01 One.mp3", "Mix/01 Two.mp3", "A/X/03 Three.mp3", "notes.txt", "A/.DS_Store:7"},
     {"A/X/01 One.mp3=One", "Mix/01 Two.mp3=Two", "A/X/03 Three.mp3=Three"},
     {"album X:One", "playlist P1"},
     {{"copy A/X/01 One.mp3 (One)", "move A/X/01 One.mp3 > Mix/02 One.mp3", "delete A/.DS_Store", "delete A/X/03 Three.mp3 (Three)"},
      {"notes.txt"},
      {"A/X/01 One.mp3=One", "A/X/03 Three.mp3=Three", "Mix/01 Two.mp3=Two"}}},
    {"EmptyPlayerCopiesEverythingInDestinationOrder",
     {},
     {},
     {"song Four", "playlist P1", "album X"},
     {{"convert B/Y/01 Four.mp3", "copy A/X/01 One.mp3 (One)", "copy A/X/02 Two.mp3 (Two)", "copy A/X/03 Three.mp3 (Three)",
       "copy B/Y/01 Four.mp3 (Four)", "copy Mix/01 Two.mp3 (Two)", "copy Mix/02 One.mp3 (One)"}}},
    {"TheSongBeingConvertedIsCopiedButNotQueuedAgain",
     {},
     {},
     {"song Four"},
     {{"copy B/Y/01 Four.mp3 (Four)"}},
     "Four"},
    {"SameSizedUnrecordedFilesAtWantedPathsAreTakenOver",
     {"A/X/01 One.mp3", "A/X/02 Two.mp3:999", "A/X/03 Three.mp3"},
     {},
     {"album X"},
     {{"copy A/X/02 Two.mp3 (Two)"}, {}, {"A/X/01 One.mp3=One", "A/X/03 Three.mp3=Three"}}},
    {"ARecordedFileThatChangedSizeIsForgottenAndCopiedAgain",
     {"A/X/01 One.mp3:999"},
     {"A/X/01 One.mp3=One"},
     {"album X:One"},
     {{"copy A/X/01 One.mp3 (One)"}}},
    {"AFileOfAnotherFormatIsReplacedNeverRenamed",
     {"B/Y/01 Four.m4a"},
     {"B/Y/01 Four.m4a=Four"},
     {"song Four"},
     {{"convert B/Y/01 Four.mp3", "copy B/Y/01 Four.mp3 (Four)", "delete B/Y/01 Four.m4a"}, {}, {"B/Y/01 Four.m4a=Four"}}},
    {"APlaylistLaidOutAsAlbumsMovesItsFiles",
     {"Mix/01 Two.mp3", "Mix/02 One.mp3"},
     {"Mix/01 Two.mp3=Two", "Mix/02 One.mp3=One"},
     {"playlist P1 as albums"},
     {{"move Mix/01 Two.mp3 > A/X/02 Two.mp3", "move Mix/02 One.mp3 > A/X/01 One.mp3"}, {}, {"Mix/01 Two.mp3=Two", "Mix/02 One.mp3=One"}}},
    {"FilesOfARemovedItemAreDeletedWithTheirSongs",
     {"A/X/01 One.mp3", "A/X/02 Two.mp3"},
     {"A/X/01 One.mp3=One", "A/X/02 Two.mp3=Two"},
     {},
     {{"delete A/X/01 One.mp3 (One)", "delete A/X/02 Two.mp3 (Two)"}, {}, {"A/X/01 One.mp3=One", "A/X/02 Two.mp3=Two"}}},
    {"ARecordedFileNoLongerWantedIsDeletedWhateverItsSize",
     {"A/X/03 Three.mp3:1234"},
     {"A/X/03 Three.mp3=Three"},
     {"album X:One", "song Four"},
     {{"convert B/Y/01 Four.mp3", "copy A/X/01 One.mp3 (One)", "copy B/Y/01 Four.mp3 (Four)", "delete A/X/03 Three.mp3 (Three)"}, {}, {"A/X/03 Three.mp3=Three"}}},
    {"UnrecordedFilesStayAsOtherFilesButStrayDSStoreAndPartialCopiesGo",
     {"Extra/song.mp3", "A/X/._01 One.mp3", ".DS_Store", "A/.DS_Store", "deep/er/.DS_Store", "A/X/.brisle-partial-1f2e",
      ".brisle-partial-9", ".Trashes/501/x.mp3", "A/.Trashes/y.mp3", "A/X/.Trashes/.DS_Store"},
     {".Trashes/501/x.mp3=Two"},
     {},
     {{"delete .DS_Store", "delete .brisle-partial-9", "delete A/.DS_Store", "delete A/X/.brisle-partial-1f2e", "delete deep/er/.DS_Store"},
      {"A/X/._01 One.mp3", "Extra/song.mp3"},
      {},
      true}},
    {"ARecordedFileDeletedByHandIsForgottenAndCopiedAgain",
     {},
     {"A/X/01 One.mp3=One"},
     {"album X:One"},
     {{"copy A/X/01 One.mp3 (One)"}, {}, {}, true}},
    {"ASongWantedAtTwoPathsKeepsBothPresentCopies",
     {"A/X/01 One.mp3", "Mix/02 One.mp3"},
     {"A/X/01 One.mp3=One", "Mix/02 One.mp3=One"},
     {"album X:One", "playlist P1"},
     {{"copy Mix/01 Two.mp3 (Two)"}, {}, {"A/X/01 One.mp3=One", "Mix/02 One.mp3=One"}}},
    {"ASongToConvertWantedAtTwoPathsIsConvertedOnce",
     {},
     {},
     {"song Four", "playlist P2"},
     {{"convert Road/01 Four.mp3", "copy B/Y/01 Four.mp3 (Four)", "copy Road/01 Four.mp3 (Four)"}}},
    {"RecordsOutsideThePlayerAreForgottenAndNeverTouched",
     {"../outside.mp3", "../MusicX/a.mp3"},
     {"/etc/passwd=One", "../outside.mp3=Two", "../MusicX/a.mp3=Three", "A/../../outside.mp3=One"},
     {},
     {{}, {}, {}, true}},
};

class PlanCases : public Planning, public ::testing::WithParamInterface<PlanCase> {};

TEST_P(PlanCases, Plan) {
    const PlanCase& c = GetParam();
    for (const QString& file : c.files) f.put(file.section(u':', 0, 0), file.contains(u':') ? file.section(u':', 1).toInt() : 1000);
    record(c.recorded);
    want(c.wanted);
    if (c.converting) converting = byName(QString::fromUtf8(c.converting));
    QStringList before = treeOf(f.volume);

    Outcome o = plan();
    EXPECT_EQ(o.work, c.expected.work);
    EXPECT_EQ(o.others, c.expected.others);
    EXPECT_EQ(o.recorded, c.expected.recorded);
    EXPECT_EQ(o.forgot, c.expected.forgot);
    EXPECT_EQ(treeOf(f.volume), before) << "planning changes nothing on disk";
    for (const auto& list : {&last.copies, &last.moves, &last.deletions})
        for (const auto& w : *list)
            for (const QString& p : {w.record->to, w.record->kind == WorkRecord::Kind::Copy ? QString() : w.record->from})
                EXPECT_TRUE(p.isEmpty() || (p.startsWith(decomposed(f.player) + u'/') && !p.contains(QStringLiteral("/../")))) << p.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Planner, PlanCases, ::testing::ValuesIn(kPlanCases), [](const auto& info) { return std::string(info.param.name); });

TEST_F(Planning, AnOtherFileIsDeletedOnlyAfterItsRemovalIsConfirmed) {
    f.put(QStringLiteral("notes.txt"));
    f.put(QStringLiteral("old.txt"));
    Outcome first = plan();
    EXPECT_EQ(first.others, (QStringList{"notes.txt", "old.txt"})) << first.others.join(u',').toStdString();
    EXPECT_TRUE(last.deletions.empty());
    EXPECT_TRUE(last.otherFilesChanged);

    Outcome again = plan();
    EXPECT_EQ(again.others, first.others) << "items are not added twice";
    EXPECT_FALSE(last.otherFilesChanged);

    for (const auto& item : wanted)
        if (auto* file = dynamic_cast<SYWantedFile*>(item.get()); file && file->name() == u"notes.txt") file->setRemove(true);
    QFile::remove(f.at(QStringLiteral("old.txt")));
    Outcome confirmed = plan();
    EXPECT_EQ(confirmed.work, QStringList{"delete notes.txt"});
    EXPECT_TRUE(confirmed.others.isEmpty()) << "the confirmed item and the gone one are dropped";
    EXPECT_TRUE(last.otherFilesChanged);
}

TEST_F(Planning, WantedByLayoutNamesTheLastItemThatLaidOutAPath) {
    want({"album X", "playlist P1 as albums"});
    plan();
    ASSERT_EQ(last.wantedByLayout.size(), 3);
    EXPECT_EQ(last.wantedByLayout.value(f.at(QStringLiteral("A/X/01 One.mp3"))), wanted[1].get());
    EXPECT_EQ(last.wantedByLayout.value(f.at(QStringLiteral("A/X/03 Three.mp3"))), wanted[0].get());
    EXPECT_EQ(last.copies.size(), 3u) << "a path laid out twice is copied once";
}

}  // namespace

// Names on the player need not be decomposed (files put there by hand, or
// by another system): the plan keys them by their decomposed form but acts
// on the files as they are spelled.
TEST_F(Planning, FilesSpelledComposedOnDiskAreTakenOverMovedAndDeletedAsSpelled) {
    const QString cafe = QStringLiteral("Caf\u00e9"), creme = QStringLiteral("Cr\u00e8me"), crepe = QStringLiteral("Cr\u00eape");
    int c1 = f.lib.builder.addTrack({{"Name", creme.toStdString()}, {"Artist", "A"}, {"Album", cafe.toStdString()}, {"Track Number", 1}});
    f.lib.builder.addTrack({{"Name", crepe.toStdString()}, {"Artist", "A"}, {"Album", cafe.toStdString()}, {"Track Number", 2}});
    f.lib.load();
    // In place, unrecorded; in the way of a copy; recorded, to be moved; recorded, no longer wanted; an other file.
    for (auto [rel, bytes] : {std::pair{QStringLiteral("A/%1/01 %2.mp3").arg(cafe, creme), 1000}, {QStringLiteral("A/%1/02 %2.mp3").arg(cafe, crepe), 999},
                              {QStringLiteral("\u00dcbrig/One.mp3"), 1000}, {QStringLiteral("\u00c4ltere/Two.mp3"), 1000}, {QStringLiteral("Se\u00f1or.txt"), 10}})
        ASSERT_TRUE(writeFile(f.player + u'/' + rel, QByteArray(bytes, 'x')));
    record({decomposed(QStringLiteral("\u00dcbrig/One.mp3=One")), decomposed(QStringLiteral("\u00c4ltere/Two.mp3=Two"))});
    want({"album X:One"});
    wanted.push_back(std::make_unique<SYWantedAlbum>(*f.lib.library, f.song(c1)->albumObject()));

    Outcome o = plan();
    for (QStringList* list : {&o.work, &o.others, &o.recorded})
        for (QString& line : *list) line = decomposed(line);
    EXPECT_EQ(o.work, QStringList({decomposed(QStringLiteral("copy A/%1/02 %2.mp3 (%2)").arg(cafe, crepe)),
                                   decomposed(QStringLiteral("move \u00dcbrig/One.mp3 > A/X/01 One.mp3")),
                                   decomposed(QStringLiteral("delete A/%1/02 %2.mp3").arg(cafe, crepe)),
                                   decomposed(QStringLiteral("delete \u00c4ltere/Two.mp3 (Two)"))}))
        << o.work.join(u'|').toStdString();
    EXPECT_EQ(o.others, QStringList{decomposed(QStringLiteral("Se\u00f1or.txt"))});
    EXPECT_TRUE(o.recorded.contains(decomposed(QStringLiteral("A/%1/01 %2.mp3=%2").arg(cafe, creme)))) << "taken over: " << o.recorded.join(u'|').toStdString();
    for (const auto* list : {&last.moves, &last.deletions})
        for (const auto& w : *list) EXPECT_TRUE(fsys::existsNoFollow(w.record->from)) << "acts on " << w.record->from.toStdString();

    for (const auto& item : wanted)
        if (auto* file = dynamic_cast<SYWantedFile*>(item.get())) file->setRemove(true);
    plan();
    ASSERT_EQ(last.deletions.size(), 3u);
    for (const auto& w : last.deletions) EXPECT_TRUE(fsys::existsNoFollow(w.record->from)) << "acts on " << w.record->from.toStdString();
}
