// The music list's model under QAbstractItemModelTester, driven as the window
// drives it: drops (good, bad and unknown), ticks, album clicks, the mode
// pop-up, removals and a file's DELETE, with work pending. Each case checks
// the rows afterwards: check states, Status, Mode and DELETE texts, tracks.

#include "support/LibraryBuilder.h"
#include "support/ScriptedUi.h"
#include "app/Controller.h"
#include "planning/WorkRecord.h"
#include "platform/Defaults.h"
#include "selection/Wanted.h"
#include "ui/Drops.h"
#include "ui/MusicListModel.h"

#include <QAbstractItemModelTester>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

QStringList testerFailures;

struct ModelUi : ScriptedUi {
    MusicListModel* model = nullptr;
    void aboutToReload() override { model->aboutToReload(); }
    void reloadData() override { model->reloadData(); }
    void reloadItem(const SYWanted* item) override { model->reloadItem(item); }
};

struct World {
    QTemporaryDir dir;
    LibraryBuilder builder{dir.path()};
    int a1, a2, a3, single;
    Defaults defaults{dir.path() + QStringLiteral("/settings.plist")};
    ModelUi ui;
    std::unique_ptr<Controller> c;
    std::unique_ptr<MusicListModel> model;
    std::unique_ptr<SongsByPath> byPath;

    World() {
        a1 = builder.addTrack({{"Name", "One"}, {"Album", "Alpha"}, {"Track Number", 1}});
        a2 = builder.addTrack({{"Name", "Two"}, {"Album", "Alpha"}, {"Track Number", 2}, {"Disabled", true}});
        a3 = builder.addTrack({{"Name", "Three"}, {"Album", "Alpha"}, {"Track Number", 3}});
        single = builder.addTrack({{"Name", "Loner"}, {"Album", ""}});
        builder.addPlaylist(QStringLiteral("Mix"), QStringLiteral("P1"), {a3, single});
        c = std::make_unique<Controller>(defaults, ui, Controller::Options{builder.write(), dir.path() + QStringLiteral("/cache")});
        c->setReadOnly();
        model = std::make_unique<MusicListModel>(*c);
        ui.model = model.get();
    }
    SongsByPath& songsByPath() {
        if (!byPath) byPath = std::make_unique<SongsByPath>(c->library());
        return *byPath;
    }
    Song* song(int id) { return c->library().songWithTrackId(id); }
    QString drop(const QString& format, const QByteArray& bytes) {
        QMimeData mime;
        mime.setData(format, bytes);
        return applyDrop(*c, mime, songsByPath());
    }
    QString dropFiles(const QStringList& paths) {
        QMimeData mime;
        QList<QUrl> urls;
        for (const QString& p : paths) urls.append(QUrl::fromLocalFile(p));
        mime.setUrls(urls);
        return applyDrop(*c, mime, songsByPath());
    }
    QModelIndex row(const QString& name) {
        QModelIndexList found = model->match(model->index(0, MusicListModel::NameColumn), Qt::DisplayRole, name, 1, Qt::MatchExactly | Qt::MatchRecursive);
        return found.isEmpty() ? QModelIndex() : found.first().siblingAtColumn(0);
    }
    // "Name[x] Status Mode (One[x] Two[ ])" per root row; a file "name[x] DELETE", "*" when marked.
    QStringList rows() const {
        auto box = [&](const QModelIndex& i) {
            auto s = model->data(i, Qt::CheckStateRole).toInt();
            QString text = s == Qt::Checked ? QStringLiteral("[x]") : s == Qt::Unchecked ? QStringLiteral("[ ]") : QStringLiteral("[-]");
            for (int c : {MusicListModel::StatusColumn, MusicListModel::ModeColumn, MusicListModel::RemoveColumn})
                if (QString t = i.siblingAtColumn(c).data().toString(); !t.isEmpty() && t != u"REMOVE") text += u' ' + t;
            return i.siblingAtColumn(MusicListModel::RemoveColumn).data(MusicListModel::RemoveRole).toBool() ? text + u'*' : text;
        };
        QStringList out;
        for (int r = 0; r < model->rowCount(); ++r) {
            QModelIndex i = model->index(r, 0);
            QString text = model->index(r, MusicListModel::NameColumn).data().toString() + box(i);
            QStringList tracks;
            for (int t = 0; t < model->rowCount(i); ++t)
                tracks.append(model->index(t, MusicListModel::NameColumn, i).data().toString() + box(model->index(t, 0, i)));
            if (!tracks.isEmpty()) text += QStringLiteral(" (") + tracks.join(u' ') + u')';
            out.append(text);
        }
        return out;
    }
};

struct Case {
    const char* name;
    std::function<QString(World&)> act;  // answers the notice shown
    QStringList rows;
    bool notice = false;
};

QByteArray payload(const char* playlists, const char* tracks) {
    return QByteArray("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Playlists</key><array>") + playlists +
           "</array><key>Tracks</key>" + tracks + "</dict></plist>";
}

const QString kAlbumAll = QStringLiteral("Alpha[x] (One[x] Two[x] Three[x])");
const QString kMix = QStringLiteral("Mix[x] As playlist");
const QString kLoner = QStringLiteral("Loner[x]");

const std::vector<Case> kCases = {
    {"tracks join their album, a song of no album is a single song",
     [](World& w) -> QString { return w.drop(kDropMimeType, tracksPayload({w.song(w.a1), w.song(w.single)})); }, {kMix, kAlbumAll, kLoner}},
    {"a whole playlist joins once",
     [](World& w) -> QString { return w.drop(kDropMimeType, playlistsPayload(w.c->library(), {QStringLiteral("P1"), QStringLiteral("P1")})); },
     {kMix, kAlbumAll}},
    {"tracks out of a playlist are songs, and their dictionary form is read",
     [](World& w) -> QString {
         QString id = w.builder.persistentIdOf(w.single);
         return w.drop(kDropMimeType, payload("<dict><key>All Items</key><false/><key>Playlist Persistent ID</key><string>P1</string></dict>",
                                              QByteArray("<dict><key>7</key><dict><key>Persistent ID</key><string>" + id.toLatin1() + "</string></dict></dict>").constData()));
     },
     {kMix, kAlbumAll, kLoner}},
    {"unknown identifiers add nothing, quietly",
     [](World& w) -> QString { return w.drop(kDropMimeType, payload("<dict><key>All Items</key><true/><key>Playlist Persistent ID</key><string>NOPE</string></dict>", "<array/>")); },
     {kMix, kAlbumAll}},
    {"garbage under the drop type is refused whole",
     [](World& w) -> QString { static const char garbage[] = "\x00\xff<plist><dict><key>Tracks";
         return w.drop(kDropMimeType, QByteArray(garbage, sizeof garbage - 1)); }, {kMix, kAlbumAll}, true},
    {"a payload that is not a dictionary is refused",
     [](World& w) -> QString { return w.drop(kDropMimeType, "<plist><array><string>x</string></array></plist>"); }, {kMix, kAlbumAll}, true},
    {"files the library lacks are named, its songs added",
     [](World& w) -> QString {
         QString junk = w.dir.path() + QStringLiteral("/notes.txt");
         QFile(junk).open(QIODevice::WriteOnly);
         QString notice = w.dropFiles({junk, w.builder.pathOf(w.single)});
         return notice.contains(junk) ? notice : QString();
     },
     {kMix, kAlbumAll, kLoner}, true},
    {"a drop of neither kind changes nothing", [](World& w) -> QString { return w.drop(QStringLiteral("text/plain"), "Alpha"); }, {kMix, kAlbumAll}},
    {"a track's box unticks it",
     [](World& w) -> QString { w.model->toggleChecked(w.row(QStringLiteral("Three"))); return QString(); },
     {kMix, QStringLiteral("Alpha[-] (One[x] Two[x] Three[ ])")}},
    {"an album's box cycles off, the enabled tracks, every track",
     [](World& w) -> QString {
         w.model->setData(w.row(QStringLiteral("Alpha")), Qt::Unchecked, Qt::CheckStateRole);
         if (w.rows().value(1) != QStringLiteral("Alpha[ ] (One[ ] Two[ ] Three[ ])")) return QStringLiteral("not off");
         w.model->toggleChecked(w.row(QStringLiteral("Alpha")));
         if (w.rows().value(1) != QStringLiteral("Alpha[-] (One[x] Two[ ] Three[x])")) return QStringLiteral("not the enabled ones");
         w.model->toggleChecked(w.row(QStringLiteral("Alpha")));
         return QString();
     },
     {kMix, kAlbumAll}},
    {"a playlist's box and its REMOVE take nothing but the item",
     [](World& w) -> QString {
         w.model->setData(w.row(QStringLiteral("Mix")), Qt::Unchecked, Qt::CheckStateRole);
         w.model->setData(w.row(QStringLiteral("Mix")).siblingAtColumn(MusicListModel::RemoveColumn), true, MusicListModel::RemoveRole);
         return QString();
     },
     {kAlbumAll}},
    {"the mode pop-up lays a playlist out as albums, and nothing else",
     [](World& w) -> QString {
         w.model->setData(w.row(QStringLiteral("Mix")).siblingAtColumn(MusicListModel::ModeColumn), 1, Qt::EditRole);
         return w.model->setData(w.row(QStringLiteral("Alpha")).siblingAtColumn(MusicListModel::ModeColumn), 1) ? QStringLiteral("an album took a mode") : QString();
     },
     {QStringLiteral("Mix[x] As albums"), kAlbumAll}},
    {"work pending counts by destination on root rows, conversions first, the one in hand included, as the layout stands",
     [](World& w) -> QString {
         Layout mix = w.model->itemAt(w.row(QStringLiteral("Mix")))->layoutDictionary(), alpha = w.model->itemAt(w.row(QStringLiteral("Alpha")))->layoutDictionary();
         const auto& [path, song] = alpha.entries().back();  // Three
         w.c->setConvertingSong(WorkRecord::conversion(song, path), QString());
         {
             std::lock_guard lock(w.c->work().todoLock);
             for (const auto& [to, s] : mix.entries()) w.c->work().toCopyList.append(WorkRecord::copy(s, QString(), to));
             w.c->work().todoList.append(WorkRecord::conversion(alpha.entries()[0].second, alpha.entries()[0].first));
             w.c->work().toCopyList.append(WorkRecord::copy(song, QString(), path));
         }
         QString before = w.rows().value(1);
         w.model->toggleChecked(w.row(QStringLiteral("Three")));
         QString after = w.rows().value(1);  // before any reload: the row's layout follows the tick
         return before.startsWith(QStringLiteral("Alpha[x] Converting 2 songs")) && after.startsWith(QStringLiteral("Alpha[-] Converting 1 song")) ? QString() : before + u'/' + after;
     },
     {QStringLiteral("Mix[x] Copying 2 songs\u2026 As playlist"), QStringLiteral("Alpha[-] Converting 1 song\u2026 (One[x] Two[x] Three[ ])")}},
    {"a file's DELETE asks: Cancel leaves it, Delete marks it",
     [](World& w) -> QString {
         w.model->aboutToReload();
         w.c->wantedStuff().push_back(std::make_unique<SYWantedFile>(w.c->library(), w.dir.path() + QStringLiteral("/notes.txt")));
         w.model->reloadData();
         for (int answer : {1, 0}) {
             w.ui.expect(QStringLiteral("Delete file?"), answer);
             w.model->setData(w.row(QStringLiteral("notes.txt")).siblingAtColumn(MusicListModel::RemoveColumn), true, MusicListModel::RemoveRole);
             if (answer && w.rows().value(2).endsWith(u'*')) return QStringLiteral("marked on Cancel");
         }
         return QString();
     },
     {kMix, kAlbumAll, QStringLiteral("notes.txt[x] DELETE*")}},
};

class MusicListModelTest : public ::testing::TestWithParam<Case> {};

TEST_P(MusicListModelTest, RowsAfterward) {
    World w;
    ASSERT_TRUE(w.c->loadLibrary());
    testerFailures.clear();
    QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) { testerFailures.append(m); });
    QAbstractItemModelTester tester(w.model.get(), QAbstractItemModelTester::FailureReportingMode::Warning);
    EXPECT_TRUE(w.model->noMusic());
    w.c->addSongs(w.c->library().albumNamed(QStringLiteral("Alpha"))->tracks());
    w.c->addPlaylists({QStringLiteral("P1")});
    const Case& k = GetParam();
    QString notice = k.act(w);
    w.model->reloadData();
    qInstallMessageHandler(previous);
    EXPECT_EQ(w.rows(), k.rows);
    EXPECT_EQ(!notice.isEmpty(), k.notice) << notice.toStdString();
    EXPECT_FALSE(w.model->noMusic());
    EXPECT_TRUE(testerFailures.isEmpty()) << testerFailures.join(u'\n').toStdString();
    EXPECT_TRUE(w.ui.unexpected.isEmpty() && w.ui.script.empty()) << "questions asked: " << w.ui.shown.join(u',').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cases, MusicListModelTest, ::testing::ValuesIn(kCases), [](const auto& info) { return "case" + std::to_string(info.index); });

}  // namespace
