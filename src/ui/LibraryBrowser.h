#pragma once

// The library browser beside the music list: the library's playlists, its
// albums by artist and its songs, with a search field that filters as one
// types. Dragging from it carries the same payload as a drop from the music
// library application would (whole playlists, otherwise tracks); "Add to
// Player" does the same without a mouse.
//
// The texts searched are folded once, off the main thread, and each kind's
// texts lie in one buffer that a word is looked for through at once, so that
// a library of 100,000 songs answers every keystroke at once.

#include <QAbstractItemModel>
#include <QWidget>

#include <memory>
#include <thread>
#include <vector>

class Library;
class QLineEdit;
class QMimeData;
class QPushButton;
class QTreeView;
class Song;

class LibraryModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Kind : quint8 { SectionNode, PlaylistNode, ArtistNode, AlbumNode, SongNode };
    enum Section { Playlists, Albums, Songs, SectionCount };

    explicit LibraryModel(const Library& library, QObject* parent = nullptr);
    ~LibraryModel() override;

    // Lists the playlists, and builds the albums' and songs' search texts
    // and order on another thread (a moment on a large library): they show
    // when it is done.
    void populate();
    // Shows only what matches every word of the text, without regard to case.
    void setFilter(const QString& text);

    Kind kindOf(const QModelIndex& index) const;
    // What the rows stand for: whole playlists when any playlist is among
    // them, otherwise the songs of the albums, artists and songs, each once.
    QByteArray payloadFor(const QModelIndexList& rows) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }

private:
    struct Index;
    static quintptr id(Kind kind, std::size_t n) { return (quintptr(kind) << 56) | quintptr(n); }
    static std::size_t number(const QModelIndex& index) { return std::size_t(index.internalId() & ((quintptr(1) << 56) - 1)); }
    void applyFilter();

    const Library& library_;
    std::unique_ptr<Index> index_;  // once built
    std::thread builder_;
    QStringList words_;
    // What the filter lets through.
    std::vector<int> shownPlaylists_, shownArtists_, shownSongs_;
    std::vector<std::vector<int>> shownAlbums_;  // per shown artist
    std::vector<int> artistRowOfAlbum_;          // by library album
};

class LibraryBrowser : public QWidget {
    Q_OBJECT
public:
    explicit LibraryBrowser(const Library& library, QWidget* parent = nullptr);

    LibraryModel& model() { return *model_; }
    QTreeView& view() { return *view_; }
    QLineEdit& searchField() { return *search_; }
    void populate();
    // "Add to Player" on the selected rows.
    void addSelection();

Q_SIGNALS:
    // "Add to Player": the payload of the selected rows.
    void addRequested(const QMimeData* mime);

private:
    LibraryModel* model_;
    QLineEdit* search_;
    QTreeView* view_;
    QPushButton* add_;
};
