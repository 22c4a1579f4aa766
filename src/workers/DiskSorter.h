#pragma once

// Rewrites the player folder in sorted order, for players that list a
// folder's entries in the order they were created: every file goes into a
// temporary folder, the folders are made anew in sorted order, and the files
// come back in sorted order.
//
// The files' way back is written down first (a journal in the temporary
// folder), so that a crash or a full disk in the middle loses nothing: the
// next sort, or the next start, puts every file back where it belongs before
// anything else touches the player.

#include <QString>
#include <QStringList>

#include <expected>

namespace DiskSorter {

// The temporary folder inside the player folder.
QString temporaryFolder(const QString& playerFolder);

// Sorts the player folder. Single failures are skipped, as a move that fails
// leaves its file where it was. Files that could not come back stay in the
// temporary folder, listed in the journal for the next recovery, and the
// answer says so. A sort does not start while an earlier one's files are
// still waiting there: it would lose track of them.
std::expected<void, QString> sortFiles(const QString& playerFolder);

// Puts back the files of an interrupted sort, keeping the journal while
// anything is left in the temporary folder.
struct Recovery {
    int back = 0;      // files put back
    QStringList left;  // what is still in the temporary folder, relative to it
};
Recovery recoverInterruptedSort(const QString& playerFolder);

}  // namespace DiskSorter
