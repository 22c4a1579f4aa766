#include "Selection.h"

#include "library/Library.h"

#include <QHash>
#include <QSet>

#include <algorithm>

namespace {

bool isOtherSongs(const Song* s) {
    const Album* a = s->albumObject();
    return !a || a->name() == kOtherSongs;
}

}  // namespace

void Selection::addSongs(const std::vector<Song*>& songs) {
    std::vector<Song*> singles;
    std::vector<Album*> groupOrder;
    QHash<Album*, std::vector<Song*>> groups;
    for (Song* s : songs) {
        if (isOtherSongs(s)) {
            singles.push_back(s);
            continue;
        }
        auto it = groups.find(s->albumObject());
        if (it == groups.end()) {
            groupOrder.push_back(s->albumObject());
            it = groups.insert(s->albumObject(), {});
        }
        it->push_back(s);
    }

    for (Album* album : groupOrder) {
        const std::vector<Song*>& group = groups[album];
        SYWantedAlbum* existing = nullptr;
        for (const auto& item : wantedStuff_)
            if (auto* w = item->as<SYWantedAlbum>(); w && w->album() == album) existing = w;  // the last one
        if (!existing) {
            wantedStuff_.push_back(std::make_unique<SYWantedAlbum>(library_, album, &group));
            continue;
        }
        for (const auto& row : existing->songs())
            if (std::find(group.begin(), group.end(), row->song()) != group.end()) row->setChecked(1);
    }

    QSet<QString> wanted;
    for (const auto& item : wantedStuff_)
        if (auto* w = item->as<SYWantedSong>()) wanted.insert(w->persistentID());
    for (Song* s : singles) {
        QString id = s->persistentId();
        if (wanted.contains(id)) continue;
        wanted.insert(id);
        wantedStuff_.push_back(std::make_unique<SYWantedSong>(library_, s));
    }
}

void Selection::addPlaylists(const QStringList& persistentIds) {
    for (const QString& id : persistentIds) {
        bool present = std::any_of(wantedStuff_.begin(), wantedStuff_.end(), [&](const std::unique_ptr<SYWanted>& item) {
            auto* p = item->as<SYWantedPlaylist>();
            return p && p->persistentID() == id;
        });
        if (!present) wantedStuff_.push_back(std::make_unique<SYWantedPlaylist>(library_, id));
    }
}

void Selection::removeItem(const SYWanted* item) {
    auto it = std::find_if(wantedStuff_.begin(), wantedStuff_.end(), [&](const auto& w) { return w.get() == item; });
    if (it != wantedStuff_.end()) wantedStuff_.erase(it);
}

void Selection::tracksAdded() {
    for (const auto& item : wantedStuff_)
        if (auto* album = item->as<SYWantedAlbum>()) album->addNewTracks();
}

plist::Object Selection::propertyList() const {
    plist::Object playlists = plist::Object::array(), albums = plist::Object::array(), songs = plist::Object::array();
    for (const auto& item : wantedStuff_) {
        if (auto* p = item->as<SYWantedPlaylist>()) playlists.append(p->propertyList());
        else if (auto* a = item->as<SYWantedAlbum>()) albums.append(a->propertyList());
        else if (auto* s = item->as<SYWantedSong>()) songs.append(s->persistentID().toStdString());
    }
    return plist::Object(plist::Object::Dict{
        {"wantedPlaylists", std::move(playlists)},
        {"wantedSongs", std::move(songs)},
        {"wantedAlbums", std::move(albums)},
    });
}

void Selection::restore(const plist::Object& saved) {
    wantedStuff_.clear();
    auto list = [&](std::string_view key) -> const plist::Object::Array& {
        static const plist::Object::Array none;
        const plist::Object* v = saved.find(key);
        return v && v->ifArray() ? *v->ifArray() : none;
    };
    for (const plist::Object& id : list("wantedSongs")) {
        const std::string* s = id.ifString();
        if (Song* song = s ? library_.songWithPersistentId(QString::fromStdString(*s)) : nullptr)
            wantedStuff_.push_back(std::make_unique<SYWantedSong>(library_, song));
    }
    for (const plist::Object& entry : list("wantedAlbums")) {
        const plist::Object* name = entry.find("Name");
        if (!name || !name->ifString()) continue;
        if (Album* album = library_.albumNamed(QString::fromStdString(*name->ifString())))
            wantedStuff_.push_back(std::make_unique<SYWantedAlbum>(library_, album, entry));
    }
    for (const plist::Object& entry : list("wantedPlaylists")) {
        // The older form is the bare identifier.
        QString id;
        int mode = 0;
        if (const std::string* s = entry.ifString()) {
            id = QString::fromStdString(*s);
        } else if (const plist::Object* pid = entry.find("persistentID"); pid && pid->ifString()) {
            id = QString::fromStdString(*pid->ifString());
            if (const plist::Object* m = entry.find("mode")) mode = int(m->asInteger() != 0);
        }
        if (id.isEmpty() || !library_.playlistWithID(id)) continue;
        auto playlist = std::make_unique<SYWantedPlaylist>(library_, id);
        playlist->setMode(mode);
        wantedStuff_.push_back(std::move(playlist));
    }
}

std::vector<std::unique_ptr<SYWanted>> Selection::wantedObjectsForSongs(const std::vector<Song*>& songs) const {
    std::vector<Album*> order;
    QHash<Album*, qsizetype> counts;
    for (Song* s : songs) {
        if (isOtherSongs(s)) continue;
        if (!counts.contains(s->albumObject())) order.push_back(s->albumObject());
        ++counts[s->albumObject()];
    }
    std::vector<std::unique_ptr<SYWanted>> result;
    QSet<Song*> taken;
    for (Album* album : order) {
        if (counts[album] != qsizetype(album->tracks().size())) continue;
        result.push_back(std::make_unique<SYWantedAlbum>(library_, album));
        for (Song* s : album->tracks()) taken.insert(s);
    }
    for (Song* s : songs)
        if (!taken.contains(s)) result.push_back(std::make_unique<SYWantedSong>(library_, s));
    return result;
}

std::vector<SYWanted*> Selection::sorted() const {
    std::vector<SYWanted*> items;
    items.reserve(wantedStuff_.size());
    for (const auto& w : wantedStuff_) items.push_back(w.get());
    std::stable_sort(items.begin(), items.end(), [](const SYWanted* a, const SYWanted* b) { return a->compare(*b) < 0; });
    return items;
}
