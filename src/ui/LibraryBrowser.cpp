#include "LibraryBrowser.h"

#include "Drops.h"
#include "library/Library.h"

#include <QAction>
#include <QMimeData>
#include <QHash>
#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QSet>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <numeric>

namespace {

bool lessText(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; }

const char* const kSectionNames[] = {"Playlists", "Albums", "Songs"};

}  // namespace

LibraryModel::LibraryModel(const Library& library, QObject* parent) : QAbstractItemModel(parent), library_(library) {}

void LibraryModel::populate() {
    beginResetModel();
    const auto& playlists = library_.playlistIds();
    for (const QString& id : playlists) playlistText_.push_back(library_.playlistWithID(id)->name().toCaseFolded());
    const auto& albums = library_.albums();
    QHash<QString, std::size_t> artistOf;
    for (std::size_t a = 0; a < albums.size(); ++a) {
        const Album& album = *albums[a];
        // Found by any of its artists: albums are grouped by name alone.
        QStringList names{album.name(), album.artist()};
        for (const Song* s : album.tracks())
            if (QString artist = s->string("Artist"); !names.contains(artist)) names.append(artist);
        albumText_.push_back(names.join(u' ').toCaseFolded());
        auto it = artistOf.constFind(album.artist());
        if (it == artistOf.constEnd()) {
            it = artistOf.insert(album.artist(), artists_.size());
            artists_.push_back({album.artist(), {}});
        }
        artists_[*it].albums.push_back(int(a));
    }
    std::sort(artists_.begin(), artists_.end(), [](const Artist& a, const Artist& b) { return lessText(a.name, b.name); });
    for (Artist& artist : artists_)
        std::sort(artist.albums.begin(), artist.albums.end(), [&](int a, int b) { return lessText(albums[std::size_t(a)]->name(), albums[std::size_t(b)]->name()); });
    const auto& songs = library_.songs();
    songText_.reserve(songs.size());
    std::vector<QString> names;
    names.reserve(songs.size());
    for (const auto& s : songs) {
        names.push_back(s->name().toCaseFolded());
        songText_.push_back(names.back() + u' ' + s->string("Artist").toCaseFolded() + u' ' + s->albumName().toCaseFolded());
    }
    songOrder_.resize(songs.size());
    std::iota(songOrder_.begin(), songOrder_.end(), 0);
    std::stable_sort(songOrder_.begin(), songOrder_.end(), [&](int a, int b) { return names[std::size_t(a)] < names[std::size_t(b)]; });
    endResetModel();
    setFilter({});
}

bool LibraryModel::matches(const QString& text, const QStringList& words) {
    for (const QString& w : words)
        if (!text.contains(w)) return false;
    return true;
}

void LibraryModel::setFilter(const QString& text) {
    QStringList words = text.toCaseFolded().split(u' ', Qt::SkipEmptyParts);
    beginResetModel();
    shownPlaylists_.clear();
    for (std::size_t p = 0; p < playlistText_.size(); ++p)
        if (matches(playlistText_[p], words)) shownPlaylists_.push_back(int(p));
    shownArtists_.clear();
    shownAlbums_.clear();
    artistRowOfAlbum_.assign(albumText_.size(), -1);
    albumRow_.assign(albumText_.size(), -1);
    for (std::size_t a = 0; a < artists_.size(); ++a) {
        bool whole = matches(artists_[a].name.toCaseFolded(), words);
        std::vector<int> shown;
        for (int album : artists_[a].albums)
            if (whole || matches(albumText_[std::size_t(album)], words)) shown.push_back(album);
        if (shown.empty()) continue;
        int row = int(shownArtists_.size());
        for (std::size_t i = 0; i < shown.size(); ++i) {
            artistRowOfAlbum_[std::size_t(shown[i])] = row;
            albumRow_[std::size_t(shown[i])] = int(i);
        }
        shownArtists_.push_back(int(a));
        shownAlbums_.push_back(std::move(shown));
    }
    shownSongs_.clear();
    if (words.isEmpty()) shownSongs_ = songOrder_;
    else
        for (int s : songOrder_)
            if (matches(songText_[std::size_t(s)], words)) shownSongs_.push_back(s);
    endResetModel();
}

LibraryModel::Kind LibraryModel::kindOf(const QModelIndex& index) const { return Kind(index.internalId() >> 56); }

QModelIndex LibraryModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column != 0) return {};
    auto fits = [row](std::size_t n) { return std::size_t(row) < n; };
    if (!parent.isValid()) return fits(SectionCount) ? createIndex(row, 0, id(SectionNode, std::size_t(row))) : QModelIndex();
    std::size_t n = number(parent);
    switch (kindOf(parent)) {
    case SectionNode:
        if (n == Playlists && fits(shownPlaylists_.size())) return createIndex(row, 0, id(PlaylistNode, std::size_t(shownPlaylists_[std::size_t(row)])));
        if (n == Albums && fits(shownArtists_.size())) return createIndex(row, 0, id(ArtistNode, std::size_t(row)));
        if (n == Songs && fits(shownSongs_.size())) return createIndex(row, 0, id(SongNode, std::size_t(shownSongs_[std::size_t(row)])));
        return {};
    case ArtistNode:
        if (n < shownAlbums_.size() && fits(shownAlbums_[n].size())) return createIndex(row, 0, id(AlbumNode, std::size_t(shownAlbums_[n][std::size_t(row)])));
        return {};
    default: return {};
    }
}

QModelIndex LibraryModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) return {};
    switch (kindOf(child)) {
    case SectionNode: return {};
    case PlaylistNode: return createIndex(Playlists, 0, id(SectionNode, Playlists));
    case ArtistNode: return createIndex(Albums, 0, id(SectionNode, Albums));
    case SongNode: return createIndex(Songs, 0, id(SectionNode, Songs));
    case AlbumNode: {
        int artistRow = artistRowOfAlbum_[number(child)];
        return createIndex(artistRow, 0, id(ArtistNode, std::size_t(artistRow)));
    }
    }
    return {};
}

int LibraryModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return SectionCount;
    std::size_t n = number(parent);
    switch (kindOf(parent)) {
    case SectionNode: return int(n == Playlists ? shownPlaylists_.size() : n == Albums ? shownArtists_.size() : shownSongs_.size());
    case ArtistNode: return n < shownAlbums_.size() ? int(shownAlbums_[n].size()) : 0;
    default: return 0;
    }
}

int LibraryModel::columnCount(const QModelIndex&) const { return 1; }

QVariant LibraryModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole)) return {};
    std::size_t n = number(index);
    switch (kindOf(index)) {
    case SectionNode: return QString::fromLatin1(kSectionNames[n]);
    case PlaylistNode: {
        const Album* p = library_.playlistWithID(library_.playlistIds()[n]);
        return role == Qt::ToolTipRole ? QStringLiteral("%1 (%2 songs)").arg(p->name()).arg(p->tracks().size()) : p->name();
    }
    case ArtistNode: {
        const QString& name = artists_[std::size_t(shownArtists_[n])].name;
        return name.isEmpty() ? QStringLiteral("Unknown Artist") : name;
    }
    case AlbumNode: return library_.albums()[n]->name();
    case SongNode: {
        const Song& s = *library_.songs()[n];
        QString artist = s.string("Artist");
        return artist.isEmpty() ? s.name() : s.name() + QStringLiteral(" \u2014 ") + artist;
    }
    }
    return {};
}

Qt::ItemFlags LibraryModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    if (kindOf(index) == SectionNode) return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList LibraryModel::mimeTypes() const { return {kDropMimeType}; }

QByteArray LibraryModel::payloadFor(const QModelIndexList& rows) const {
    QStringList playlists;
    for (const QModelIndex& i : rows)
        if (kindOf(i) == PlaylistNode) playlists.append(library_.playlistIds()[number(i)]);
    if (!playlists.isEmpty()) return playlistsPayload(library_, playlists);
    std::vector<Song*> songs;
    QSet<const Song*> seen;
    auto add = [&](Song* s) {
        if (!seen.contains(s)) {
            seen.insert(s);
            songs.push_back(s);
        }
    };
    auto addAlbum = [&](std::size_t a) {
        for (Song* s : library_.albums()[a]->tracks()) add(s);
    };
    for (const QModelIndex& i : rows) {
        std::size_t n = number(i);
        switch (kindOf(i)) {
        case AlbumNode: addAlbum(n); break;
        case ArtistNode:
            for (int a : shownAlbums_[n]) addAlbum(std::size_t(a));
            break;
        case SongNode: add(library_.songs()[n].get()); break;
        default: break;
        }
    }
    return tracksPayload(songs);
}

QMimeData* LibraryModel::mimeData(const QModelIndexList& indexes) const {
    auto* mime = new QMimeData;
    mime->setData(kDropMimeType, payloadFor(indexes));
    return mime;
}

// ---- the pane ----

LibraryBrowser::LibraryBrowser(const Library& library, QWidget* parent) : QWidget(parent) {
    model_ = new LibraryModel(library, this);
    search_ = new QLineEdit(this);
    search_->setPlaceholderText(QStringLiteral("Search the library"));
    search_->setAccessibleName(QStringLiteral("Search library"));
    search_->setClearButtonEnabled(true);
    for (QToolButton* clear : search_->findChildren<QToolButton*>()) clear->setAccessibleName(QStringLiteral("Clear search"));
    view_ = new QTreeView(this);
    view_->setModel(model_);
    view_->setAccessibleName(QStringLiteral("Library"));
    view_->setHeaderHidden(true);
    view_->setUniformRowHeights(true);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setDragEnabled(true);
    view_->setDragDropMode(QAbstractItemView::DragOnly);
    view_->setDefaultDropAction(Qt::CopyAction);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    add_ = new QPushButton(QStringLiteral("Add to Player"), this);
    add_->setAccessibleName(QStringLiteral("Add to Player"));
    add_->setEnabled(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(search_);
    layout->addWidget(view_, 1);
    layout->addWidget(add_);

    auto* addAction = new QAction(QStringLiteral("Add to Player"), view_);
    view_->addAction(addAction);
    view_->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(addAction, &QAction::triggered, this, &LibraryBrowser::addSelection);
    connect(add_, &QPushButton::clicked, this, &LibraryBrowser::addSelection);
    connect(view_, &QTreeView::activated, this, [this](const QModelIndex& i) {
        if (model_->kindOf(i) == LibraryModel::PlaylistNode || model_->kindOf(i) == LibraryModel::AlbumNode || model_->kindOf(i) == LibraryModel::SongNode) addSelection();
    });
    connect(search_, &QLineEdit::textChanged, model_, &LibraryModel::setFilter);
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        // The sections stay open; a narrowed search opens its artists too.
        for (int s = 0; s < LibraryModel::SectionCount; ++s) view_->setExpanded(model_->index(s, 0), true);
        QModelIndex albums = model_->index(LibraryModel::Albums, 0);
        if (!search_->text().trimmed().isEmpty() && model_->rowCount(albums) <= 20)
            for (int r = 0; r < model_->rowCount(albums); ++r) view_->setExpanded(model_->index(r, 0, albums), true);
        add_->setEnabled(false);
    });
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { add_->setEnabled(!view_->selectionModel()->selectedRows().isEmpty()); });
}

void LibraryBrowser::populate() { model_->populate(); }

void LibraryBrowser::addSelection() {
    QModelIndexList rows = view_->selectionModel()->selectedRows();
    if (rows.isEmpty()) return;
    QMimeData mime;
    mime.setData(kDropMimeType, model_->payloadFor(rows));
    Q_EMIT addRequested(&mime);
}
