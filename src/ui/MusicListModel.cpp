#include "MusicListModel.h"

#include "app/Controller.h"
#include "library/Library.h"
#include "selection/Wanted.h"

#include <QSet>

#include <algorithm>
#include <numeric>

MusicListModel::MusicListModel(Controller& controller, QObject* parent) : QAbstractItemModel(parent), controller_(controller) {}

void MusicListModel::aboutToReload() {
    if (resetting_) return;
    resetting_ = true;
    beginResetModel();
    rows_.clear();
    rowOf_.clear();
    cache_.clear();
}

void MusicListModel::reloadData() {
    aboutToReload();
    // The order is worked out once per item, not once per comparison.
    const auto& stuff = controller_.wantedStuff();
    std::vector<SYWanted::SortKey> keys;
    keys.reserve(stuff.size());
    for (const auto& item : stuff) keys.push_back(item->sortKey());
    std::vector<std::size_t> order(stuff.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return SYWanted::compare(keys[a], keys[b]) < 0; });
    rows_.reserve(order.size());
    rowOf_.reserve(qsizetype(order.size()));
    for (std::size_t i : order) {
        rowOf_.insert(stuff[i].get(), int(rows_.size()));
        rows_.push_back(stuff[i].get());
        if (noMusic_ && stuff[i]->kind() != SYWanted::Kind::File) noMusic_ = false;
    }
    resetting_ = false;
    endResetModel();
}

void MusicListModel::reloadItem(const SYWanted* item) {
    if (resetting_) return;
    QModelIndex row = indexOf(item);
    if (!row.isValid()) return;
    cache_.remove(item);
    Q_EMIT dataChanged(row, row.siblingAtColumn(ColumnCount - 1));
    if (int n = rowCount(row)) Q_EMIT dataChanged(index(0, 0, row), index(n - 1, ColumnCount - 1, row));
}

void MusicListModel::redrawItem(const SYWanted* item) {
    if (QModelIndex cell = indexOf(item, StatusColumn); cell.isValid()) Q_EMIT dataChanged(cell, cell, {Qt::DisplayRole});
}

SYWanted* MusicListModel::itemAt(const QModelIndex& index) const {
    return index.isValid() && !resetting_ ? static_cast<SYWanted*>(index.internalPointer()) : nullptr;
}

QModelIndex MusicListModel::indexOf(const SYWanted* item, int column) const {
    if (!item || resetting_) return {};
    if (auto* track = item->as<SYWantedAlbumTrack>()) {
        QModelIndex album = indexOf(track->album());
        return album.isValid() ? index(track->index() - 1, column, album) : QModelIndex();
    }
    auto it = rowOf_.constFind(item);
    return it == rowOf_.constEnd() ? QModelIndex() : createIndex(*it, column, const_cast<SYWanted*>(item));
}

QModelIndex MusicListModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= ColumnCount || parent.column() > 0) return {};
    if (!parent.isValid()) return row < int(rows_.size()) ? createIndex(row, column, rows_[std::size_t(row)]) : QModelIndex();
    const auto* children = itemAt(parent)->children();
    if (!children || row >= int(children->size())) return {};
    return createIndex(row, column, (*children)[std::size_t(row)].get());
}

QModelIndex MusicListModel::parent(const QModelIndex& child) const {
    SYWanted* item = itemAt(child);
    auto* track = item ? item->as<SYWantedAlbumTrack>() : nullptr;
    return track ? indexOf(track->album()) : QModelIndex();
}

int MusicListModel::rowCount(const QModelIndex& parent) const {
    if (resetting_ || parent.column() > 0) return 0;
    if (!parent.isValid()) return int(rows_.size());
    const auto* children = itemAt(parent)->children();
    return children ? int(children->size()) : 0;
}

int MusicListModel::columnCount(const QModelIndex&) const { return ColumnCount; }

MusicListModel::Cached& MusicListModel::cached(const SYWanted* item) const { return cache_[item]; }

QVariant MusicListModel::data(const QModelIndex& index, int role) const {
    const SYWanted* item = itemAt(index);
    if (!item) return {};
    const bool root = item->rootWanted();
    auto playlist = item->as<SYWantedPlaylist>();
    switch (index.column()) {
    case CheckedColumn:
        if (role == Qt::CheckStateRole) {
            int c = item->checkState();
            return c == 1 ? Qt::Checked : c == 0 ? Qt::Unchecked : Qt::PartiallyChecked;
        }
        if (role == Qt::AccessibleTextRole) return item->checkState() == 1 ? QStringLiteral("ticked") : item->checkState() == 0 ? QStringLiteral("not ticked") : QStringLiteral("partly ticked");
        return {};
    case NameColumn:
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) return item->valueForKey("Name");
        return {};
    case ArtistColumn:
        if (role == Qt::DisplayRole && !item->as<SYWantedFile>()) return item->valueForKey("Artist");
        return {};
    case TypeColumn:
        if (role == Qt::DisplayRole) return item->type();
        return {};
    case SizeColumn:
        if (role == Qt::TextAlignmentRole) return int(Qt::AlignRight | Qt::AlignVCenter);
        if (role == Qt::DisplayRole) {
            Cached& c = cached(item);
            if (!c.hasSize) {
                c.size = item->valueForKey("Copied Size").toString();
                c.hasSize = true;
            }
            return c.size;
        }
        return {};
    case StatusColumn:
        if (role != Qt::DisplayRole || !root) return {};
        {
            Cached& c = cached(item);
            if (!c.hasLayout) {
                c.layout = item->layoutDictionary();
                c.hasLayout = true;
            }
            Controller::RowWork w = controller_.pendingFor(c.layout);
            return rowStatusText(w.conversions, w.copies);
        }
    case ModeColumn:
        if (!playlist) return {};
        if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) return playlist->mode() ? QStringLiteral("As albums") : QStringLiteral("As playlist");
        if (role == Qt::EditRole) return playlist->mode();
        return {};
    case RemoveColumn:
        if (!root) return {};
        if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) return item->isDeletable() ? QStringLiteral("DELETE") : QStringLiteral("REMOVE");
        if (role == RemoveRole) return item->valueForKey("remove").toBool();
        return {};
    }
    return {};
}

bool MusicListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    SYWanted* item = itemAt(index);
    if (!item) return false;
    if (index.column() == CheckedColumn && role == Qt::CheckStateRole) {
        toggleChecked(index);
        return true;
    }
    if (index.column() == ModeColumn && role == Qt::EditRole) {
        auto* playlist = item->as<SYWantedPlaylist>();
        if (!playlist) return false;
        controller_.setPlaylistMode(playlist, value.toInt());
        Q_EMIT dataChanged(index, index);
        return true;
    }
    if (index.column() == RemoveColumn && role == RemoveRole) {
        // Releasing the button takes nothing back.
        if (!value.toBool() || !item->rootWanted()) return false;
        removeRows({index});
        return true;
    }
    return false;
}

void MusicListModel::toggleChecked(const QModelIndex& index) {
    SYWanted* item = itemAt(index);
    if (auto* track = item ? item->as<SYWantedAlbumTrack>() : nullptr) controller_.setTrackChecked(track, track->checkState() != 1);
    else if (auto* album = item ? item->as<SYWantedAlbum>() : nullptr) controller_.clickAlbum(album);
}

void MusicListModel::removeRows(const QModelIndexList& rows) {
    // Taken first: each removal reloads the list.
    std::vector<SYWanted*> items;
    for (const QModelIndex& row : rows)
        if (SYWanted* item = itemAt(row); item && item->rootWanted() && std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
    std::vector<SYWantedFile*> files;
    for (SYWanted* item : items) {
        if (auto* file = item->as<SYWantedFile>()) files.push_back(file);
    }
    for (SYWanted* item : items)
        if (!item->as<SYWantedFile>()) controller_.removeItem(item);
    // Removals keep the other files: the list is reloaded only by a pass.
    for (SYWantedFile* file : files) controller_.markFileForDeletion(file);
}

std::vector<Song*> MusicListModel::songsOf(const QModelIndexList& rows) const {
    std::vector<Song*> songs;
    QSet<const Song*> seen;
    auto add = [&](Song* s) {
        if (s && !seen.contains(s)) {
            seen.insert(s);
            songs.push_back(s);
        }
    };
    for (const QModelIndex& row : rows) {
        const SYWanted* item = itemAt(row);
        if (!item) continue;
        if (auto* song = dynamic_cast<const SYWantedGenericSong*>(item)) add(song->song());
        else if (auto* album = item->as<SYWantedAlbum>()) {
            for (const auto& track : album->songs())
                if (track->checkState() == 1) add(track->song());
        } else if (auto* playlist = item->as<SYWantedPlaylist>()) {
            if (const Album* p = controller_.library().playlistWithID(playlist->persistentID()))
                for (Song* s : p->tracks()) add(s);
        }
    }
    return songs;
}

Qt::ItemFlags MusicListModel::flags(const QModelIndex& index) const {
    const SYWanted* item = itemAt(index);
    if (!item) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    const auto kind = item->kind();
    switch (index.column()) {
    case CheckedColumn:
        // Playlists, songs and files are always wanted whole: a greyed tick.
        if (kind == SYWanted::Kind::Album || kind == SYWanted::Kind::AlbumTrack) return f | Qt::ItemIsUserCheckable;
        return Qt::ItemIsSelectable;
    case ModeColumn: return kind == SYWanted::Kind::Playlist ? f | Qt::ItemIsEditable : Qt::ItemIsSelectable;
    case RemoveColumn: return item->rootWanted() ? f : Qt::ItemIsSelectable;
    default: return f;
    }
}

QVariant MusicListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || (role != Qt::DisplayRole && role != Qt::AccessibleTextRole)) return {};
    static const char* const titles[] = {"", "Name", "Artist", "Kind", "Size", "Status", "Mode", ""};
    if (role == Qt::AccessibleTextRole && section == CheckedColumn) return QStringLiteral("Checked");
    if (role == Qt::AccessibleTextRole && section == RemoveColumn) return QStringLiteral("Remove");
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QString();
}
