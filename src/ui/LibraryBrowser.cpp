#include "LibraryBrowser.h"

#include "Drops.h"
#include "library/Library.h"

#include <QAction>
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
#include <cstring>
#include <string>
#include <numeric>

namespace {

bool lessText(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; }

const char* const kSectionNames[] = {"Playlists", "Albums", "Songs"};

// The folded texts of one kind of entry in one UTF-8 buffer, each ended by a
// newline: a word is looked for once through all of them (memmem runs several
// times faster than a search of UTF-16 text), not once per entry. A match of
// UTF-8 bytes is a match of the characters.
class SearchTexts {
public:
    void add(QString text) {
        starts_.push_back(all_.size());
        all_ += text.replace(u'\n', u' ').toStdString();
        all_ += '\n';
    }
    std::size_t size() const { return starts_.size(); }

    // One flag per entry: its text holds every word.
    std::vector<char> matching(const QStringList& words) const {
        if (words.isEmpty()) return std::vector<char>(size(), 1);
        std::vector<std::string> needles;
        for (const QString& w : words) needles.push_back(w.toStdString());
        // The longest word rules out the most: it is looked for through the
        // whole buffer, the others only in the entries it was found in.
        std::sort(needles.begin(), needles.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        std::vector<char> hit(size(), 0);
        std::size_t e = 0;
        for (const char* at = find(0, all_.size(), needles[0]); at; at = e < size() ? find(starts_[e], all_.size(), needles[0]) : nullptr) {
            auto offset = std::size_t(at - all_.data());
            while (e + 1 < size() && starts_[e + 1] <= offset) ++e;
            hit[e++] = 1;
        }
        for (std::size_t w = 1; w < needles.size(); ++w)
            for (std::size_t i = 0; i < hit.size(); ++i)
                if (hit[i] && !find(starts_[i], i + 1 < size() ? starts_[i + 1] : all_.size(), needles[w])) hit[i] = 0;
        return hit;
    }

private:
    const char* find(std::size_t from, std::size_t to, const std::string& needle) const {
        return static_cast<const char*>(memmem(all_.data() + from, to - from, needle.data(), needle.size()));
    }

    std::string all_;
    std::vector<std::size_t> starts_;
};

}  // namespace

// What the filter works on, built once per run.
struct LibraryModel::Index {
    struct Playlist {  // as listed: a rewritten library file changes the library's own
        QString id, name;
        std::size_t tracks;
    };
    struct Artist {
        QString name;
        std::vector<int> albums;  // into the library's albums, by name
    };
    std::vector<Playlist> playlists;
    std::vector<Artist> artists;  // by name
    std::vector<int> songOrder;   // songs by name
    SearchTexts playlistText, artistText, albumText, songText;  // songText in songOrder

    // The albums and songs: any thread (the library's songs and albums stay
    // as loaded).
    void build(const Library& library) {
        const auto& albums = library.albums();
        QHash<QString, std::size_t> artistOf;
        for (std::size_t a = 0; a < albums.size(); ++a) {
            const Album& album = *albums[a];
            // Found by any of its artists: albums are grouped by name alone.
            QStringList names{album.name(), album.artist()};
            for (const Song* s : album.tracks())
                if (QString artist = s->string("Artist"); !names.contains(artist)) names.append(artist);
            albumText.add(names.join(u' ').toCaseFolded());
            auto it = artistOf.constFind(album.artist());
            if (it == artistOf.constEnd()) {
                it = artistOf.insert(album.artist(), artists.size());
                artists.push_back({album.artist(), {}});
            }
            artists[*it].albums.push_back(int(a));
        }
        std::sort(artists.begin(), artists.end(), [](const Artist& a, const Artist& b) { return lessText(a.name, b.name); });
        for (Artist& artist : artists) {
            std::sort(artist.albums.begin(), artist.albums.end(), [&](int a, int b) { return lessText(albums[std::size_t(a)]->name(), albums[std::size_t(b)]->name()); });
            artistText.add(artist.name.toCaseFolded());
        }
        const auto& songs = library.songs();
        std::vector<QString> names;
        names.reserve(songs.size());
        for (const auto& s : songs) names.push_back(s->name().toCaseFolded());
        songOrder.resize(songs.size());
        std::iota(songOrder.begin(), songOrder.end(), 0);
        std::stable_sort(songOrder.begin(), songOrder.end(), [&](int a, int b) { return names[std::size_t(a)] < names[std::size_t(b)]; });
        for (int i : songOrder) {
            const Song& s = *songs[std::size_t(i)];
            songText.add(names[std::size_t(i)] + u' ' + s.string("Artist").toCaseFolded() + u' ' + s.albumName().toCaseFolded());
        }
    }
};

LibraryModel::LibraryModel(const Library& library, QObject* parent) : QAbstractItemModel(parent), library_(library) {}

LibraryModel::~LibraryModel() {
    if (builder_.joinable()) builder_.join();
}

void LibraryModel::populate() {
    if (index_ || builder_.joinable()) return;
    auto index = std::make_shared<Index>();
    // The playlists here: the library reads them again when its file is rewritten.
    for (const QString& id : library_.playlistIds()) {
        const Album* p = library_.playlistWithID(id);
        index->playlists.push_back({id, p->name(), p->tracks().size()});
        index->playlistText.add(p->name().toCaseFolded());
    }
    builder_ = std::thread([this, index] {
        index->build(library_);
        QMetaObject::invokeMethod(this, [this, index] {
            builder_.join();
            beginResetModel();
            index_ = std::make_unique<Index>(std::move(*index));
            applyFilter();
            endResetModel();
        }, Qt::QueuedConnection);
    });
}

void LibraryModel::setFilter(const QString& text) {
    words_ = text.toCaseFolded().split(u' ', Qt::SkipEmptyParts);
    beginResetModel();
    applyFilter();
    endResetModel();
}

void LibraryModel::applyFilter() {
    shownPlaylists_.clear();
    shownArtists_.clear();
    shownAlbums_.clear();
    shownSongs_.clear();
    if (!index_) return;
    std::vector<char> hit = index_->playlistText.matching(words_);
    for (std::size_t p = 0; p < hit.size(); ++p)
        if (hit[p]) shownPlaylists_.push_back(int(p));
    std::vector<char> artistHit = index_->artistText.matching(words_), albumHit = index_->albumText.matching(words_);
    artistRowOfAlbum_.assign(albumHit.size(), -1);
    for (std::size_t a = 0; a < index_->artists.size(); ++a) {
        std::vector<int> shown;
        for (int album : index_->artists[a].albums)
            if (artistHit[a] || albumHit[std::size_t(album)]) shown.push_back(album);
        if (shown.empty()) continue;
        for (int album : shown) artistRowOfAlbum_[std::size_t(album)] = int(shownArtists_.size());
        shownArtists_.push_back(int(a));
        shownAlbums_.push_back(std::move(shown));
    }
    hit = index_->songText.matching(words_);
    shownSongs_.reserve(hit.size());
    for (std::size_t i = 0; i < hit.size(); ++i)
        if (hit[i]) shownSongs_.push_back(index_->songOrder[i]);
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
        const Index::Playlist& p = index_->playlists[n];
        return role == Qt::ToolTipRole ? QStringLiteral("%1 (%2 songs)").arg(p.name).arg(p.tracks) : p.name;
    }
    case ArtistNode: {
        const QString& name = index_->artists[std::size_t(shownArtists_[n])].name;
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
        if (kindOf(i) == PlaylistNode) playlists.append(index_->playlists[number(i)].id);
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
