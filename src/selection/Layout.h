#pragma once

#include <QHash>
#include <QString>

#include <utility>
#include <vector>

class Song;

// Where songs go on the player: full NFD paths to songs, in the order the
// item laid them out. A path set again for the same song is kept once; for
// another song (two names that map to one) both stay, and the planner gives
// the later one a place of its own.
class Layout {
public:
    void set(const QString& path, Song* song) {
        auto it = index_.constFind(path);
        if (it != index_.constEnd() && entries_[*it].second == song) return;
        if (it == index_.constEnd()) index_.insert(path, entries_.size());
        entries_.emplace_back(path, song);
    }

    const std::vector<std::pair<QString, Song*>>& entries() const { return entries_; }
    bool contains(const QString& path) const { return index_.contains(path); }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }

private:
    std::vector<std::pair<QString, Song*>> entries_;
    QHash<QString, std::size_t> index_;
};
