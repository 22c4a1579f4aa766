#include "Planner.h"

#include "library/PathUtils.h"
#include "library/Song.h"
#include "library/SongContext.h"
#include "library/Library.h"
#include "platform/FileSystem.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <cstring>
#include <functional>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An insertion-ordered set of paths with removal: the files found on the
// player that the record does not know.
class PathList {
public:
    void append(const QString& path) {
        if (index_.contains(path)) return;
        index_.insert(path, paths_.size());
        paths_.push_back(path);
    }
    bool contains(const QString& path) const { return index_.contains(path); }
    bool remove(const QString& path) {
        auto it = index_.find(path);
        if (it == index_.end()) return false;
        paths_[*it].clear();
        index_.erase(it);
        return true;
    }
    template <typename F>
    void forEach(F f) const {
        for (const QString& p : paths_)
            if (!p.isNull()) f(p);
    }

private:
    std::vector<QString> paths_;
    QHash<QString, std::size_t> index_;
};

// The present files, in a fixed enumeration order (the order they were found
// or added), with the lookups the matching needs: by path, and the positions
// holding each song in order.
class PresentFiles {
public:
    void set(const QString& path, Song* song) {
        auto it = byPath_.constFind(path);
        if (it != byPath_.constEnd()) {
            entries_[*it].alive = false;  // replaced: the new content goes to the end
        }
        std::size_t pos = entries_.size();
        entries_.push_back(Entry{path, song, true});
        byPath_.insert(path, pos);
        if (song) bySong_[song].positions.push_back(pos);
    }
    bool remove(const QString& path) {
        auto it = byPath_.find(path);
        if (it == byPath_.end()) return false;
        entries_[*it].alive = false;
        byPath_.erase(it);
        return true;
    }
    // The first position still holding the song; -1 when none.
    long firstOf(Song* song) {
        auto it = bySong_.find(song);
        if (it == bySong_.end()) return -1;
        SongPositions& sp = *it;
        while (sp.head < sp.positions.size() && !holds(sp.positions[sp.head], song)) ++sp.head;
        return sp.head < sp.positions.size() ? long(sp.positions[sp.head]) : -1;
    }
    long positionOf(const QString& path) const {
        auto it = byPath_.constFind(path);
        return it == byPath_.constEnd() ? -1 : long(*it);
    }
    bool holds(std::size_t pos, Song* song) const { return entries_[pos].alive && entries_[pos].song == song; }
    bool holds(const QString& path, Song* song) const {
        long pos = positionOf(path);
        return pos >= 0 && holds(std::size_t(pos), song);
    }
    const QString& pathAt(std::size_t pos) const { return entries_[pos].path; }
    void take(std::size_t pos) {
        entries_[pos].alive = false;
        byPath_.remove(entries_[pos].path);
    }
    template <typename F>
    void forEachLeft(F f) const {
        for (const Entry& e : entries_)
            if (e.alive) f(e.path, e.song);
    }

private:
    struct Entry {
        QString path;
        Song* song;  // none: a file that holds no song of the library
        bool alive;
    };
    struct SongPositions {
        std::vector<std::size_t> positions;
        std::size_t head = 0;
    };
    std::vector<Entry> entries_;
    QHash<QString, std::size_t> byPath_;
    QHash<Song*, SongPositions> bySong_;
};

// Every regular file below the folder (links to files count, links to folders
// are not followed), hidden ones included, with the volume's trash left out.
// Stops early once `cancelled` is set.
void listFiles(int dirFd, const QString& prefix, const std::function<void(const QString& path, const char* name)>& found,
               const std::atomic<bool>* cancelled) {
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    while (dirent* e = (cancelled && *cancelled) ? nullptr : ::readdir(dir)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        unsigned char type = e->d_type;
        if (type == DT_UNKNOWN || type == DT_LNK) {
            struct stat st;
            if (::fstatat(::dirfd(dir), name, &st, type == DT_LNK ? 0 : AT_SYMLINK_NOFOLLOW) != 0) continue;  // vanished or dangling
            if (S_ISDIR(st.st_mode) && type == DT_LNK) continue;  // a link to a folder is not walked
            type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        QString path = prefix + u'/' + QFile::decodeName(name);
        if (type == DT_DIR) {
            if (std::strcmp(name, ".Trashes") == 0) continue;
            int fd = ::openat(::dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd >= 0) listFiles(fd, path, found, cancelled);
        } else if (type == DT_REG) {
            found(path, name);
        }
    }
    ::closedir(dir);
}

// Where the wanted files stand, compared as the player's file system
// compares names (FAT and exFAT ignore case). Two wanted folders spelled
// otherwise, or two different wanted files, at one place: the later one gets
// " 2" (" 3"...) at the end of its name, before a file's extension. "Later"
// is by spelling, then by song, never by the order of the list, so every pass
// names them alike and nothing is copied again.
class Places {
public:
    Places(const QString& playerFolder, bool ignoreCase) : root_(playerFolder), ignoreCase_(ignoreCase) {
        while (root_.size() > 1 && root_.endsWith(u'/')) root_.chop(1);
    }

    // Every wanted path, before any place is asked for.
    void add(const QString& path, Song* song) {  // path: lives as long as the places
        if (!path.startsWith(root_ + u'/')) return;
        entries_.push_back({&path, song});
        if (!ignoreCase_) return;  // folders spelled alike are one, and otherwise two
        for (QString folder = parentOf(path); folder.size() > root_.size() && !folders_.contains(folder); folder = parentOf(folder))
            folders_.insert(folder);
    }

    // Answers the renamed wanted paths and where they go.
    std::vector<std::pair<QString, QString>> resolve() {
        std::vector<std::pair<QString, QString>> renamed;
        if (ignoreCase_) placeFolders(renamed);
        // The first claim of each place (by its entry), and every claim of a
        // place claimed twice.
        QHash<QString, std::size_t> first;
        first.reserve(qsizetype(entries_.size()));
        QHash<QString, std::vector<Claim>> contested;
        auto claimOf = [&](std::size_t entry) { return Claim{entries_[entry].first, placeOf(*entries_[entry].first), entries_[entry].second}; };
        for (std::size_t entry = 0; entry < entries_.size(); ++entry) {
            const QString given = placeOf(*entries_[entry].first);
            auto it = first.constFind(key(given));
            if (it == first.constEnd()) {
                first.insert(key(given), entry);
                continue;
            }
            const Claim earlier = claimOf(*it);
            if (earlier.given == given && earlier.song == entries_[entry].second) continue;
            std::vector<Claim>& all = contested[it.key()];
            if (all.empty()) all.push_back(earlier);
            all.push_back(claimOf(entry));
        }
        QStringList keys = contested.keys();
        keys.sort();
        for (const QString& k : keys) {
            std::vector<Claim>& all = contested[k];
            std::sort(all.begin(), all.end(), [](const Claim& a, const Claim& b) {
                if (a.given != b.given) return a.given < b.given;
                return a.song->persistentId() < b.song->persistentId();
            });
            for (std::size_t i = 1; i < all.size(); ++i) {
                if (all[i].given == all[i - 1].given && all[i].song == all[i - 1].song) continue;
                const qsizetype dot = all[i].given.lastIndexOf(u'.');
                const bool extension = dot > all[i].given.lastIndexOf(u'/');
                QString given;
                for (int n = 2;; ++n) {
                    const QString suffix = u' ' + QString::number(n);
                    given = extension ? QString(all[i].given.left(dot) + suffix + all[i].given.mid(dot)) : QString(all[i].given + suffix);
                    if (!first.contains(key(given)) && !folderKeys_.contains(key(given))) break;
                }
                first.insert(key(given), 0);
                files_.insert({*all[i].path, all[i].song}, given);
                renamed.emplace_back(*all[i].path, given);
            }
        }
        return renamed;
    }

    QString place(const QString& path, Song* song) const {
        if (files_.isEmpty() && folderPlaces_.isEmpty()) return path;
        auto it = files_.constFind({path, song});
        return it != files_.constEnd() ? *it : placeOf(path);
    }

private:
    struct Claim {
        const QString* path;  // in the item's layout
        QString given;
        Song* song;
    };

    static QString parentOf(const QString& path) { return path.left(path.lastIndexOf(u'/')); }
    QString key(const QString& path) const { return ignoreCase_ ? path.toCaseFolded() : path; }

    // The path with its folders where they were placed.
    QString placeOf(const QString& path) const {
        if (folderPlaces_.isEmpty()) return path;
        const QString parent = parentOf(path);
        auto it = folderPlaces_.constFind(parent);
        return it == folderPlaces_.constEnd() ? path : *it + path.mid(parent.size());
    }

    // Parents come before their children in the order of their spellings.
    void placeFolders(std::vector<std::pair<QString, QString>>& renamed) {
        QStringList folders(folders_.begin(), folders_.end());
        folders.sort();
        for (const QString& f : folders) folderKeys_.insert(key(f));
        QHash<QString, QString> taken;  // key -> the folder's spelling
        for (const QString& folder : folders) {
            const QString parent = parentOf(folder);
            QString given = folderPlaces_.value(parent, parent) + folder.mid(parent.size());
            auto it = taken.constFind(key(given));
            if (it != taken.constEnd() && *it != given) {
                const QString base = given;
                for (int n = 2; taken.contains(key(given)) || folderKeys_.contains(key(given)); ++n) given = base + u' ' + QString::number(n);
                renamed.emplace_back(folder, given);
            }
            taken.insert(key(given), given);
            if (given != folder) folderPlaces_.insert(folder, given);
        }
        for (auto it = taken.constBegin(); it != taken.constEnd(); ++it) folderKeys_.insert(it.key());
    }

    QString root_;
    bool ignoreCase_;
    std::vector<std::pair<const QString*, Song*>> entries_;  // in the items' layouts
    QSet<QString> folders_, folderKeys_;
    QHash<QString, QString> folderPlaces_;  // wanted folder -> its place, where they differ
    QHash<std::pair<QString, Song*>, QString> files_;  // renamed files
};

}  // namespace

// One pass, step by step; see Planner.h for the steps. Paths are compared in
// decomposed form, but file systems other than the Mac's keep names as they
// were written: every file found is acted on (sized, moved, deleted) as it is
// spelled. Touches nothing but its own state, the songs and the disk.
class Planner::Pass {
public:
    Pass(Input input, const Library& library, const std::atomic<bool>* cancelled)
        : input_(std::move(input)), library_(library), cancelled_(cancelled), stale_(input_.previousFiles) {
        result_.previousFiles = input_.previousFiles;
    }

    // The steps after the scan.
    Result plan(std::vector<Item> items) {
        items_ = std::move(items);
        layOut();
        forgetGoneFiles();
        reconcileOtherFiles();
        matchPaths();
        keepNewPlaces();
        deleteLeftovers();
        std::stable_sort(result_.copies.begin(), result_.copies.end(), [](const Weighted& a, const Weighted& b) {
            return QString::compare(a.record->to, b.record->to, Qt::CaseSensitive) < 0;
        });
        return std::move(result_);
    }

    // Every file below the player folder: recorded ones are present, others
    // unaccounted for.
    void scan() {
        QString player = input_.playerFolder;
        while (player.size() > 1 && player.endsWith(u'/')) player.chop(1);
        int root = ::open(fsys::encode(player).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (root < 0) return;
        listFiles(root, player, [&](const QString& foundPath, const char* name) {
            QString path = decomposed(foundPath);
            if (path.contains(QStringLiteral("/.Trashes/"))) return;
            // Two spellings of one name: the first one found stands for it.
            if (found(path)) return;
            if (path != foundPath) spelled_.insert(path, foundPath);
            // What a copy interrupted by a crash left: removed, never shown.
            if (isPartialName(QFile::decodeName(name))) {
                present_.set(path, nullptr);
                return;
            }
            scanned_.push_back(path);
            auto it = stale_.find(path);
            if (it != stale_.end()) {
                // A file holds what its name says. A song now made in another
                // format is not in this file any more: it goes, never renamed.
                Song* song = it.value();
                if (song && !path.endsWith(u'.' + song->copiedExtension(), Qt::CaseInsensitive)) song = nullptr;
                present_.set(path, song);
                stale_.erase(it);
            } else {
                unaccounted_.append(path);
            }
        }, cancelled_);
    }

private:
    struct Wanted {
        QString path;
        SYWanted* item;
    };

    bool cancelled() const { return cancelled_ && *cancelled_; }
    QString onDisk(const QString& path) const { return spelled_.value(path, path); }
    bool found(const QString& path) const { return present_.positionOf(path) >= 0 || unaccounted_.contains(path); }

    // Case-folded path -> the path found; built only when a wanted path is
    // missing from the scan, which a steady pass never needs.
    QString foldedSpelling(const QString& path) {
        if (folded_.isEmpty())
            for (const QString& p : scanned_) folded_.insert(p.toCaseFolded(), p);
        return folded_.value(path.toCaseFolded());
    }

    // The layouts of the wanted items, each file at a place of its own;
    // files already in place are taken over.
    void layOut() {
        Places places(input_.playerFolder, library_.context().fatNames());
        for (const Item& item : items_)
            for (const auto& [path, song] : item.layout.entries()) places.add(path, song);
        result_.renamed = places.resolve();
        for (const Item& item : items_) {
            for (const auto& [wantedPath, song] : item.layout.entries()) {
                if (cancelled()) return;
                const QString path = places.place(wantedPath, song);
                layout_.insert(path, song);
                result_.wantedByLayout.insert(path, item.item);
                laidOut_.push_back({path, item.item});
                if (!found(path)) adoptOtherSpelling(path, song);
                takeOver(path, song);
            }
        }
    }

    // File systems that ignore case (FAT, the Mac's) find a file here that the
    // scan listed under another spelling: that file is known by the wanted
    // path from now on, or it would be shown as an other file and copied over
    // for ever.
    void adoptOtherSpelling(const QString& path, Song* song) {
        QString other = foldedSpelling(path);
        if (other.isNull() || other == path || !fsys::existsNoFollow(path)) return;
        if (!unaccounted_.contains(other) && present_.holds(other, song)) {
            present_.remove(other);
            present_.set(path, song);
        } else if (!unaccounted_.remove(other)) {
            return;  // the file stands for another song
        } else if (auto it = stale_.find(path); it != stale_.end()) {
            present_.set(path, it.value());  // recorded under this spelling
            stale_.erase(it);
        } else {
            unaccounted_.append(path);
        }
        spelled_.insert(path, onDisk(other));
    }

    // A file at a wanted path as big as its source is the song's: taken over
    // when the record did not know it. One of another size will be replaced.
    void takeOver(const QString& path, Song* song) {
        // The file here first: on an empty player the source is never read.
        std::optional<std::uint64_t> hereSize = fsys::size(onDisk(path));
        std::optional<std::uint64_t> sourceSize = hereSize ? fsys::size(song->copyFromPath()) : std::nullopt;
        // A file spelled otherwise does not stand at the copy's destination;
        // replacing it means deleting it.
        bool replaceSpelled = spelled_.contains(path);
        bool isUnaccounted = unaccounted_.contains(path);
        if (sourceSize && hereSize) {
            if (*sourceSize == *hereSize) {
                if (isUnaccounted) {
                    // Already there: taken over without copying.
                    unaccounted_.remove(path);
                    present_.set(path, song);
                    result_.previousFiles.insert(path, song);
                    result_.tookOverFiles = true;
                }
            } else if (isUnaccounted) {
                unaccounted_.remove(path);
                if (replaceSpelled) present_.set(path, nullptr);
            } else {
                // No longer the file of this song: it will be replaced.
                present_.remove(path);
                result_.previousFiles.remove(path);
                if (replaceSpelled) present_.set(path, nullptr);
            }
        } else if (isUnaccounted) {
            unaccounted_.remove(path);
        }
    }

    // Recorded files the scan did not find.
    void forgetGoneFiles() {
        for (auto it = stale_.constBegin(); it != stale_.constEnd(); ++it) result_.previousFiles.remove(it.key());
        result_.forgotGoneFiles = !stale_.isEmpty();
    }

    // Other-file items: gone ones leave the list, confirmed ones are deleted,
    // new unaccounted files join it (but for stray ".DS_Store").
    void reconcileOtherFiles() {
        for (Item& item : items_) {
            if (!item.otherFile) continue;
            const QString& path = *item.otherFile;
            if (!unaccounted_.contains(path)) {
                drop(item);
            } else if (item.removeFile) {
                present_.set(path, nullptr);
                unaccounted_.remove(path);
                drop(item);
            } else {
                unaccounted_.remove(path);
            }
        }
        unaccounted_.forEach([&](const QString& path) {
            if (path.endsWith(QStringLiteral("/.DS_Store"))) {
                present_.set(path, nullptr);
            } else {
                // Made here, but only this pass sees it until the main thread
                // puts it in the list.
                result_.newFiles.push_back(std::make_unique<SYWantedFile>(library_, path));
                result_.otherFilesChanged = true;
            }
        });
    }

    void drop(Item& item) {
        result_.droppedFiles.push_back(item.item);
        result_.otherFilesChanged = true;
        item.item = nullptr;
    }

    // Wanted paths against present files: playlists' paths first, then
    // albums', then songs', each group by artist and name. A song already on
    // the player moves (its copy at the path itself first), others are copied
    // (and converted first when they need it). Items are ranked once;
    // comparing them for every path would cost more than the pass.
    void matchPaths() {
        // The list as it will be: its items less the dropped files, then the
        // new ones.
        struct Ranked {
            const SYWanted* item;
            SYWanted::SortKey key;
        };
        std::vector<Ranked> ranked;
        for (const Item& item : items_)
            if (item.item) ranked.push_back({item.item, item.key});
        for (const auto& file : result_.newFiles) ranked.push_back({file.get(), file->sortKey()});
        std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) { return SYWanted::compare(a.key, b.key) < 0; });
        QHash<const SYWanted*, int> rank;
        for (std::size_t i = 0; i < ranked.size(); ++i)
            rank.insert(ranked[i].item,
                        i > 0 && SYWanted::compare(ranked[i - 1].key, ranked[i].key) == 0 ? rank.value(ranked[i - 1].item) : int(i));
        std::vector<std::pair<int, const QString*>> order;
        order.reserve(laidOut_.size());
        for (const Wanted& w : laidOut_)
            if (result_.wantedByLayout.value(w.path) == w.item) order.emplace_back(rank.value(w.item), &w.path);
        std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        // Each path is here once: an item lays a path out once, and only the
        // last item that laid it out keeps it. A song wanted at two paths is
        // converted once: both copies come from the one cache file.
        QSet<const Song*> converting;
        for (const auto& [itemRank, pathPtr] : order) {
            if (cancelled()) return;
            const QString& path = *pathPtr;
            Song* song = layout_.value(path);
            long first = present_.firstOf(song);
            if (first >= 0) {
                long exact = present_.positionOf(path);
                std::size_t used = exact >= 0 && present_.holds(std::size_t(exact), song) ? std::size_t(exact) : std::size_t(first);
                QString from = present_.pathAt(used);
                if (from != path) result_.moves.push_back({WorkRecord::move(song, onDisk(from), path)});
                present_.take(used);
                continue;
            }
            if (song->needsConversion() && !song->isCached() && song != input_.convertingSong) {
                if (song->isSetAside()) continue;  // it could not be converted, and its file is as it was
                if (!converting.contains(song)) {
                    converting.insert(song);
                    result_.conversions.push_back({WorkRecord::conversion(song, path)});
                }
            }
            result_.copies.push_back({WorkRecord::copy(song, song->copyFromPath(), path), song->copiedSize()});
        }
    }

    // A name given to a wanted path is news only while something is still
    // to go there; a player in step says nothing.
    void keepNewPlaces() {
        if (result_.renamed.empty()) return;
        QSet<QString> targets;
        for (const auto* list : {&result_.copies, &result_.moves})
            for (const Weighted& w : *list) targets.insert(w.record->to);
        std::erase_if(result_.renamed, [&](const auto& renamed) {
            if (targets.contains(renamed.second)) return false;
            const QString folder = renamed.second + u'/';
            return std::none_of(targets.begin(), targets.end(), [&](const QString& t) { return t.startsWith(folder); });
        });
    }

    // Whatever is left on the player goes.
    void deleteLeftovers() {
        present_.forEachLeft([&](const QString& path, Song* song) {
            if (cancelled()) return;
            QString file = onDisk(path);
            result_.deletions.push_back({WorkRecord::remove(file, song), fsys::sizeNoFollow(file).value_or(0)});
        });
    }

    const Input input_;
    const Library& library_;
    const std::atomic<bool>* cancelled_;
    std::vector<Item> items_;  // a dropped file's item is null
    Result result_;

    QHash<QString, Song*> stale_;  // recorded files not found yet
    PresentFiles present_;
    PathList unaccounted_;         // found, and not in the record
    QHash<QString, QString> spelled_;  // decomposed path -> the path on disk, where they differ
    std::vector<QString> scanned_;
    QHash<QString, QString> folded_;
    QHash<QString, Song*> layout_;
    std::vector<Wanted> laidOut_;
};

Planner::Item Planner::itemOf(SYWanted& item) {
    Item taken{&item, item.sortKey(), item.layoutDictionary(), std::nullopt, false};
    if (auto* file = item.as<SYWantedFile>()) {
        taken.otherFile = file->path();
        taken.removeFile = file->remove();
    }
    return taken;
}

Planner::Planner(Input input, const Library& library, const std::atomic<bool>* cancelled)
    : pass_(std::make_unique<Pass>(std::move(input), library, cancelled)) {}

Planner::~Planner() = default;

void Planner::scan() { pass_->scan(); }

Planner::Result Planner::plan(std::vector<Item> items) { return pass_->plan(std::move(items)); }

void Planner::applyOtherFiles(Result& result, std::vector<std::unique_ptr<SYWanted>>& wantedStuff) {
    if (!result.droppedFiles.empty()) {
        QSet<const SYWanted*> dropped(result.droppedFiles.begin(), result.droppedFiles.end());
        std::erase_if(wantedStuff, [&dropped](const auto& item) { return dropped.contains(item.get()); });
        result.droppedFiles.clear();
    }
    for (auto& file : result.newFiles) wantedStuff.push_back(std::move(file));
    result.newFiles.clear();
}

Planner::Result Planner::plan(const Input& input, std::vector<std::unique_ptr<SYWanted>>& wantedStuff, const Library& library) {
    std::vector<Item> items;
    items.reserve(wantedStuff.size());
    for (const auto& item : wantedStuff) items.push_back(itemOf(*item));
    Planner planner(input, library);
    planner.scan();
    Result result = planner.plan(std::move(items));
    applyOtherFiles(result, wantedStuff);
    return result;
}
