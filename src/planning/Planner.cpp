#include "Planner.h"

#include "library/PathUtils.h"
#include "library/Song.h"
#include "platform/FileSystem.h"
#include "library/PathUtils.h"

#include <QFile>

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
void listFiles(int dirFd, const QString& prefix, const std::function<void(const QString& path, const char* name)>& found) {
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    while (dirent* e = ::readdir(dir)) {
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
            if (fd >= 0) listFiles(fd, path, found);
        } else if (type == DT_REG) {
            found(path, name);
        }
    }
    ::closedir(dir);
}

}  // namespace

Planner::Result Planner::plan(const Input& input, std::vector<std::unique_ptr<SYWanted>>& wantedStuff, const Library& library) {
    Result result;
    result.previousFiles = input.previousFiles;
    QHash<QString, Song*> stale = input.previousFiles;
    PresentFiles present;
    PathList unaccounted;

    // Scan the player. Paths are compared in decomposed form, but file
    // systems other than the Mac's keep names as they were written: every
    // file found is acted on (sized, moved, deleted) as it is spelled.
    QString player = input.playerFolder;
    while (player.size() > 1 && player.endsWith(u'/')) player.chop(1);
    QHash<QString, QString> spelled;  // decomposed path -> the path on disk, where they differ
    auto onDisk = [&spelled](const QString& path) { return spelled.value(path, path); };
    // Case-folded path -> the path found; built only when a wanted path is
    // missing from the scan, which a steady pass never needs.
    std::vector<QString> scanned;
    QHash<QString, QString> folded;
    auto foldedSpelling = [&scanned, &folded](const QString& path) {
        if (folded.isEmpty())
            for (const QString& p : scanned) folded.insert(p.toCaseFolded(), p);
        return folded.value(path.toCaseFolded());
    };
    auto found = [&present, &unaccounted](const QString& path) { return present.positionOf(path) >= 0 || unaccounted.contains(path); };
    int root = ::open(fsys::encode(player).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root >= 0) {
        listFiles(root, player, [&](const QString& foundPath, const char* name) {
            QString path = decomposed(foundPath);
            if (path.contains(QStringLiteral("/.Trashes/"))) return;
            // Two spellings of one name: the first one found stands for it.
            if (found(path)) return;
            if (path != foundPath) spelled.insert(path, foundPath);
            // What a copy interrupted by a crash left: removed, never shown.
            if (isPartialName(QFile::decodeName(name))) {
                present.set(path, nullptr);
                return;
            }
            scanned.push_back(path);
            auto it = stale.find(path);
            if (it != stale.end()) {
                // A file holds what its name says. A song now made in another
                // format is not in this file any more: it goes, never renamed.
                Song* song = it.value();
                if (song && !path.endsWith(u'.' + song->copiedExtension(), Qt::CaseInsensitive)) song = nullptr;
                present.set(path, song);
                stale.erase(it);
            } else {
                unaccounted.append(path);
            }
        });
    }

    // Build the layout.
    QHash<QString, Song*> layout;
    struct Wanted {
        QString path;
        SYWanted* item;
    };
    std::vector<Wanted> laidOut;
    for (const auto& item : wantedStuff) {
        Layout l = item->layoutDictionary();
        for (const auto& [path, song] : l.entries()) {
            layout.insert(path, song);
            result.wantedByLayout.insert(path, item.get());
            laidOut.push_back({path, item.get()});
            // File systems that ignore case (FAT, the Mac's) find a file here
            // that the scan listed under another spelling: that file is known
            // by the wanted path from now on, or it would be shown as an
            // other file and copied over for ever.
            if (!found(path)) {
                QString other = foldedSpelling(path);
                if (!other.isNull() && other != path && fsys::existsNoFollow(path)) {
                    bool adopted = true;
                    if (!unaccounted.contains(other) && present.holds(other, song)) {
                        present.remove(other);
                        present.set(path, song);
                    } else if (!unaccounted.remove(other)) {
                        adopted = false;  // the file stands for another song
                    } else if (auto it = stale.find(path); it != stale.end()) {
                        present.set(path, it.value());  // recorded under this spelling
                        stale.erase(it);
                    } else {
                        unaccounted.append(path);
                    }
                    if (adopted) spelled.insert(path, onDisk(other));
                }
            }
            std::optional<std::uint64_t> sourceSize = fsys::size(song->copyFromPath());
            std::optional<std::uint64_t> hereSize = sourceSize ? fsys::size(onDisk(path)) : std::nullopt;
            // A file spelled otherwise does not stand at the copy's
            // destination; replacing it means deleting it.
            bool replaceSpelled = spelled.contains(path);
            bool isUnaccounted = unaccounted.contains(path);
            if (sourceSize && hereSize) {
                if (*sourceSize == *hereSize) {
                    if (isUnaccounted) {
                        // Already there: taken over without copying.
                        unaccounted.remove(path);
                        present.set(path, song);
                        result.previousFiles.insert(path, song);
                        result.tookOverFiles = true;
                    }
                } else if (isUnaccounted) {
                    unaccounted.remove(path);
                    if (replaceSpelled) present.set(path, nullptr);
                } else {
                    // No longer the file of this song: it will be replaced.
                    present.remove(path);
                    result.previousFiles.remove(path);
                    if (replaceSpelled) present.set(path, nullptr);
                }
            } else if (isUnaccounted) {
                unaccounted.remove(path);
            }
        }
    }

    // Forget gone files.
    for (auto it = stale.constBegin(); it != stale.constEnd(); ++it) result.previousFiles.remove(it.key());
    result.forgotGoneFiles = !stale.isEmpty();

    // Reconcile the other-file items.
    for (auto it = wantedStuff.begin(); it != wantedStuff.end();) {
        auto* file = dynamic_cast<SYWantedFile*>(it->get());
        if (!file) {
            ++it;
            continue;
        }
        QString path = file->path();
        if (!unaccounted.contains(path)) {
            it = wantedStuff.erase(it);
            result.otherFilesChanged = true;
        } else if (file->remove()) {
            present.set(path, nullptr);
            unaccounted.remove(path);
            it = wantedStuff.erase(it);
            result.otherFilesChanged = true;
        } else {
            unaccounted.remove(path);
            ++it;
        }
    }
    // New unaccounted files: shown as other files, but for stray ".DS_Store".
    unaccounted.forEach([&](const QString& path) {
        if (path.endsWith(QStringLiteral("/.DS_Store"))) {
            present.set(path, nullptr);
        } else {
            wantedStuff.push_back(std::make_unique<SYWantedFile>(library, path));
            result.otherFilesChanged = true;
        }
    });

    // Match wanted paths with present files: playlists' paths first, then
    // albums', then songs', each group by artist and name. Items are ranked
    // once; comparing them for every path would cost more than the pass.
    std::vector<SYWanted*> ranked;
    for (const auto& item : wantedStuff) ranked.push_back(item.get());
    std::stable_sort(ranked.begin(), ranked.end(), [](const SYWanted* a, const SYWanted* b) { return a->compare(*b) < 0; });
    QHash<const SYWanted*, int> rank;
    for (std::size_t i = 0; i < ranked.size(); ++i)
        rank.insert(ranked[i], i > 0 && ranked[i - 1]->compare(*ranked[i]) == 0 ? rank.value(ranked[i - 1]) : int(i));
    std::vector<std::pair<int, const QString*>> order;
    order.reserve(laidOut.size());
    for (const Wanted& w : laidOut)
        if (result.wantedByLayout.value(w.path) == w.item) order.emplace_back(rank.value(w.item), &w.path);
    std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    // Each path is here once: an item lays a path out once, and only the
    // last item that laid it out keeps it.
    for (const auto& [itemRank, pathPtr] : order) {
        const QString& path = *pathPtr;
        Song* song = layout.value(path);
        long first = present.firstOf(song);
        if (first >= 0) {
            long exact = present.positionOf(path);
            std::size_t used = exact >= 0 && present.holds(std::size_t(exact), song) ? std::size_t(exact) : std::size_t(first);
            QString from = present.pathAt(used);
            if (from != path) result.moves.push_back({WorkRecord::move(song, onDisk(from), path)});
            present.take(used);
            continue;
        }
        if (song->needsConversion() && !song->isCached() && song != input.convertingSong)
            result.conversions.push_back({WorkRecord::conversion(song, path)});
        result.copies.push_back({WorkRecord::copy(song, song->copyFromPath(), path), song->copiedSize()});
    }

    // Delete the leftovers.
    present.forEachLeft([&](const QString& path, Song* song) {
        QString file = onDisk(path);
        result.deletions.push_back({WorkRecord::remove(file, song), fsys::sizeNoFollow(file).value_or(0)});
    });

    std::stable_sort(result.copies.begin(), result.copies.end(),
                     [](const Weighted& a, const Weighted& b) { return QString::compare(a.record->to, b.record->to, Qt::CaseSensitive) < 0; });
    return result;
}
