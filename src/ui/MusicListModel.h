#pragma once

// The music list's model: the wanted tree as rows, one root row per wanted
// playlist, album, song and other file on the player (in the list's order),
// an album opening into its tracks. The internal pointer of an index is its
// wanted item. Edits go through the controller, which saves and replans.
//
// The core's "about to reload" / "reload" become a model reset (items may be
// deleted in between, so no row is answered meanwhile) and "reload item" a
// dataChanged of the row and its tracks.
//
// Main thread only.

#include "app/StatusView.h"
#include "selection/Layout.h"

#include <QAbstractItemModel>
#include <QHash>

#include <vector>

class Controller;
class Song;
class SYWanted;

class MusicListModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { CheckedColumn, NameColumn, ArtistColumn, TypeColumn, SizeColumn, StatusColumn, ModeColumn, RemoveColumn, ColumnCount };
    // The "remove" toggle's state (a file marked for deletion).
    static constexpr int RemoveRole = Qt::UserRole + 1;

    explicit MusicListModel(Controller& controller, QObject* parent = nullptr);

    void aboutToReload();
    void reloadData();
    void reloadItem(const SYWanted* item);
    // What the item's row waits for changed: its Status cell.
    void redrawItem(const SYWanted* item);
    // The work lists changed: every Status text may have. They are worked
    // out as they are drawn, so a view redraws the part it shows (a
    // dataChanged of every row would cost a view a walk of all its rows,
    // at every file the copier finishes).
    void statusChanged() { Q_EMIT statusTextsChanged(); }
    // True until the list first holds a playlist, album or song.
    bool noMusic() const { return noMusic_; }

    SYWanted* itemAt(const QModelIndex& index) const;
    QModelIndex indexOf(const SYWanted* item, int column = 0) const;
    // The songs the rows stand for: a song or track its song, an album its
    // ticked tracks, a playlist its songs, a file none. Each once.
    std::vector<Song*> songsOf(const QModelIndexList& rows) const;
    // Removes the rows' items from the list (files are asked about, as
    // their DELETE button does).
    void removeRows(const QModelIndexList& rows);
    // A click in the "Checked" column of this row.
    void toggleChecked(const QModelIndex& index);

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

Q_SIGNALS:
    void statusTextsChanged();

private:
    // What is slow to work out for a row is kept until the row changes.
    struct Cached {
        Layout layout;
        QString size;
        bool hasLayout = false, hasSize = false;
    };
    Cached& cached(const SYWanted* item) const;

    Controller& controller_;
    std::vector<SYWanted*> rows_;  // the root rows, sorted
    QHash<const SYWanted*, int> rowOf_;
    mutable QHash<const SYWanted*, Cached> cache_;
    bool resetting_ = false;
    bool noMusic_ = true;
};
