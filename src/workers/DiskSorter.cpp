#include "DiskSorter.h"

#include "PlayerFiles.h"
#include "library/PathUtils.h"
#include "platform/CrashPoints.h"
#include "platform/FileSystem.h"

#include <QDirIterator>
#include <QFile>

#include <algorithm>
#include <vector>

namespace DiskSorter {

namespace {

const QString kJournal = QStringLiteral(".brisle-sort-journal");

struct Move {
    QString path;       // where the file belongs
    QString temporary;  // where it waits
};

QString normalFolder(QString folder) {
    while (folder.size() > 1 && folder.endsWith(u'/')) folder.chop(1);
    return decomposed(folder);
}

// One line per file: the temporary name, a tab, the path relative to the
// player folder.
// Percent escapes keep tabs and line breaks in names from breaking a line.
QByteArray journalText(const std::vector<Move>& moves, const QString& player, const QString& temp) {
    QByteArray text;
    for (const Move& m : moves)
        text += m.temporary.mid(temp.size() + 1).toUtf8().toPercentEncoding(" ") + '\t' + m.path.mid(player.size() + 1).toUtf8().toPercentEncoding("/ ") + '\n';
    return text;
}

std::vector<Move> readJournal(const QString& player, const QString& temp) {
    std::vector<Move> moves;
    QFile f(temp + u'/' + kJournal);
    if (!f.open(QIODevice::ReadOnly)) return moves;
    PlayerGuard guard(player);
    for (const QByteArray& line : f.readAll().split('\n')) {
        qsizetype tab = line.indexOf('\t');
        if (tab <= 0) continue;
        QString name = QString::fromUtf8(QByteArray::fromPercentEncoding(line.left(tab)));
        QString path = player + u'/' + QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(tab + 1)));
        // A damaged journal must not send files anywhere else.
        if (name.contains(u'/') || !guard.contains(path)) continue;
        moves.push_back({decomposed(path), temp + u'/' + name});
    }
    return moves;
}

// What is in the temporary folder but the journal, relative to it.
QStringList waiting(const QString& temp) {
    QStringList left;
    QDirIterator it(temp, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QString entry = it.next().mid(temp.size() + 1);
        // The journal, and a copy of it that a crash left half-written, are not waiting files.
        if (!entry.startsWith(kJournal) && !it.fileInfo().isDir()) left.append(entry);
    }
    left.sort();
    return left;
}

// Moves back what is still waiting. The journal goes only with the last file:
// while anything is left it stays as it was (what came back is passed over
// next time), so nothing it lists is forgotten, damaged lines included.
Recovery putBack(const std::vector<Move>& moves, const QString& player, const QString& temp) {
    Recovery r;
    for (const Move& m : moves) {
        if (!fsys::existsNoFollow(m.temporary)) continue;  // came back already
        playerfiles::createDirectoryAtPath(pathByRemovingLastComponent(m.path));
        if (playerfiles::moveFile(m.temporary, m.path)) ++r.back;
    }
    r.left = waiting(temp);
    if (r.left.isEmpty()) playerfiles::removeFile(temp + u'/' + kJournal);
    playerfiles::fileRemovedFrom(temp, player);
    return r;
}

QString leftMessage(const QStringList& left, const QString& temp) {
    return QStringLiteral("a sort could not put back %1 of its files: they wait in %2, listed in its %3 (%4); the player is not sorted again until they "
                          "are back, and they come back when nothing stands in their way")
        .arg(left.size())
        .arg(temp, kJournal, left.join(QStringLiteral(", ")));
}

}  // namespace

QString temporaryFolder(const QString& playerFolder) { return normalFolder(playerFolder) + QStringLiteral("/brisleSort"); }

Recovery recoverInterruptedSort(const QString& playerFolder) {
    QString player = normalFolder(playerFolder);
    QString temp = temporaryFolder(player);
    if (!fsys::existsNoFollow(temp + u'/' + kJournal)) return {0, fsys::isDirectory(temp) ? waiting(temp) : QStringList()};
    return putBack(readJournal(player, temp), player, temp);
}

std::expected<void, QString> sortFiles(const QString& playerFolder) {
    QString player = normalFolder(playerFolder);
    QString temp = temporaryFolder(player);
    // Files still waiting from an earlier sort would be passed over here, and
    // this sort's journal would replace the only list of them.
    if (Recovery earlier = recoverInterruptedSort(player); !earlier.left.isEmpty()) return std::unexpected(leftMessage(earlier.left, temp));

    // Every entry below the player folder, hidden ones included, in
    // case-insensitive order of the whole relative path.
    QStringList entries;
    QDirIterator it(player, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) entries.append(it.next().mid(player.size() + 1));
    std::sort(entries.begin(), entries.end(), [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });

    std::vector<QString> folders;
    std::vector<Move> moves;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        QString path = decomposed(player + u'/' + entries[i]);
        if (path == decomposed(temp) || path.startsWith(decomposed(temp) + u'/')) continue;
        if (!fsys::existsNoFollow(path)) continue;
        if (fsys::isDirectory(path)) folders.push_back(path);
        else moves.push_back({path, decomposed(temp + QStringLiteral("/File %1").arg(i))});
    }

    playerfiles::createDirectoryAtPath(temp);
    // The way back is on disk before the first file leaves.
    if (!moves.empty()) {
        if (auto written = fsys::writeFileAtomically(temp + u'/' + kJournal, journalText(moves, player, temp)); !written) {
            playerfiles::fileRemovedFrom(temp, player);
            return std::unexpected(QString(QStringLiteral("the sort did not start: ") + written.error()));
        }
    }
    for (const Move& m : moves) playerfiles::moveFile(m.path, m.temporary);
    crashPoint("sort-moved-out");
    for (const QString& folder : folders) playerfiles::fileRemovedFrom(folder, player);
    for (const QString& folder : folders) playerfiles::createDirectoryAtPath(folder);
    if (Recovery r = putBack(moves, player, temp); !r.left.isEmpty()) return std::unexpected(leftMessage(r.left, temp));
    return {};
}

}  // namespace DiskSorter
