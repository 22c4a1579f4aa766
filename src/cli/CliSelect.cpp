// brisle select: choosing what goes on the player without the window. Every
// change goes through the same controller operations as the window's, so the
// saved selection is exactly what the window would save.

#include "CliSession.h"

#include <functional>

namespace cli {

namespace {

// Finds what a name given on the command line means: an exact identifier,
// else an exact name, else a name without regard to case. Several equally
// good matches are refused with the candidates listed. Names are compared
// composed: a terminal types "é" as one character, a library file may store
// it as "e" and an accent.
template <typename T>
class Lookup {
public:
    Lookup(QString what, QString given) : what_(std::move(what)), given_(given.normalized(QString::NormalizationForm_C)), typed_(std::move(given)) {}

    void add(T item, const QString& id, const QString& name, const QString& description) {
        candidates_.push_back({item, id, name.normalized(QString::NormalizationForm_C), description});
    }

    std::optional<T> find() const {
        for (auto rank : {0, 1, 2}) {
            std::vector<const Candidate*> hits;
            for (const Candidate& c : candidates_) {
                bool hit = rank == 0   ? (!c.id.isEmpty() && c.id == given_)
                           : rank == 1 ? c.name == given_
                                       : c.name.compare(given_, Qt::CaseInsensitive) == 0;
                if (hit) hits.push_back(&c);
            }
            if (hits.size() == 1) return hits[0]->item;
            if (hits.size() > 1) {
                QString list;
                for (const Candidate* c : hits) list += QStringLiteral("\n  ") + c->description;
                fail(QStringLiteral("%1 \"%2\" is ambiguous; give one of these instead:%3").arg(what_, typed_, list));
                return std::nullopt;
            }
        }
        fail(QStringLiteral("no %1 \"%2\"").arg(what_, typed_));
        return std::nullopt;
    }

private:
    struct Candidate {
        T item;
        QString id, name, description;
    };
    QString what_, given_, typed_;
    std::vector<Candidate> candidates_;
};

QString songDescription(const Song* s) {
    return QStringLiteral("%1  %2 (%3, %4)").arg(s->persistentId(), s->name(), s->string("Artist"), s->albumName());
}

QString checkMark(int checked) {
    return checked == 1 ? QStringLiteral("[x]") : checked == 0 ? QStringLiteral("[ ]") : QStringLiteral("[-]");
}

QString modeName(int mode) { return mode ? QStringLiteral("As albums") : QStringLiteral("As playlist"); }

void writeItem(JsonWriter& json, const SYWanted* item) {
    json.beginObject();
    json.field("type", item->type());
    json.field("name", item->valueForKey("Name").toString());
    json.field("checked", item->checkState());
    if (auto* p = item->as<SYWantedPlaylist>()) {
        json.field("kind", QStringLiteral("playlist"));
        json.field("id", p->persistentID());
        json.field("mode", modeName(p->mode()));
    } else if (auto* a = item->as<SYWantedAlbum>()) {
        json.field("kind", QStringLiteral("album"));
        json.field("artist", a->album()->artist());
        json.key("tracks");
        json.beginArray();
        for (const auto& row : a->songs()) {
            json.beginObject();
            json.field("index", row->index());
            json.field("name", row->song()->name());
            json.field("persistentId", row->persistentID());
            json.field("checked", row->checkState());
            json.endObject();
        }
        json.endArray();
    } else if (auto* s = item->as<SYWantedSong>()) {
        json.field("kind", QStringLiteral("song"));
        json.field("artist", s->song()->string("Artist"));
        json.field("persistentId", s->persistentID());
    } else if (auto* f = item->as<SYWantedFile>()) {
        json.field("kind", QStringLiteral("file"));
        json.field("path", f->path());
        json.field("remove", f->remove());
    }
    json.endObject();
}

void printItem(const SYWanted* item) {
    if (auto* p = item->as<SYWantedPlaylist>()) {
        print(QStringLiteral("Playlist  %1  [%2]  (%3)").arg(p->valueForKey("Name").toString(), modeName(p->mode()), p->persistentID()));
    } else if (auto* a = item->as<SYWantedAlbum>()) {
        QString artist = a->album()->artist();
        print(QStringLiteral("Album     %1 %2%3").arg(checkMark(a->checkState()), a->album()->name(), artist.isEmpty() ? QString() : QStringLiteral(" - ") + artist));
        for (const auto& row : a->songs())
            print(QStringLiteral("            %1 %2 %3").arg(checkMark(row->checkState())).arg(row->index(), 2, 10, QLatin1Char('0')).arg(row->song()->name()));
    } else if (auto* s = item->as<SYWantedSong>()) {
        print(QStringLiteral("Song      %1 - %2  (%3)").arg(s->song()->name(), s->song()->string("Artist"), s->persistentID()));
    } else if (auto* f = item->as<SYWantedFile>()) {
        print(QStringLiteral("File      %1%2").arg(f->path(), f->remove() ? QStringLiteral("  (to be deleted)") : QString()));
    }
}

std::optional<Album*> findPlaylist(const Library& lib, const QString& given) {
    Lookup<Album*> lookup(QStringLiteral("playlist"), given);
    for (const QString& id : lib.playlistIds()) {
        Album* p = lib.playlistWithID(id);
        lookup.add(p, id, p->name(), QStringLiteral("%1  %2 (%3 songs)").arg(id, p->name()).arg(p->tracks().size()));
    }
    return lookup.find();
}

template <typename T>
std::optional<T*> findWanted(Controller& c, const QString& what, const QString& given) {
    Lookup<T*> lookup(what, given);
    for (const auto& item : c.wantedStuff()) {
        auto* w = item->template as<T>();
        if (!w) continue;
        QString id;
        if constexpr (std::is_same_v<T, SYWantedPlaylist>) id = w->persistentID();
        QString name = w->valueForKey("Name").toString();
        lookup.add(w, id, name, id.isEmpty() ? name : id + QStringLiteral("  ") + name);
    }
    return lookup.find();
}

int list(Session& session, const Options& o) {
    std::vector<SYWanted*> items = session.controller().selection().sorted();
    if (o.json) {
        JsonWriter json;
        json.beginObject();
        json.field("player", session.controller().pathToPlayer());
        json.key("items");
        json.beginArray();
        for (const SYWanted* item : items) writeItem(json, item);
        json.endArray();
        json.endObject();
        return finishJson(json);
    }
    if (items.empty()) print(QStringLiteral("Nothing is selected. Add playlists, albums or songs with \"brisle select add-...\"."));
    for (const SYWanted* item : items) printItem(item);
    return 0;
}

int addPlaylist(Session& session, const QString& given) {
    Controller& c = session.controller();
    std::optional<Album*> playlist = findPlaylist(c.library(), given);
    if (!playlist) return 1;
    QString id;
    for (const QString& candidate : c.library().playlistIds())
        if (c.library().playlistWithID(candidate) == *playlist) id = candidate;
    bool present = std::any_of(c.wantedStuff().begin(), c.wantedStuff().end(), [&](const auto& w) {
        auto* p = w->template as<SYWantedPlaylist>();
        return p && p->persistentID() == id;
    });
    c.addPlaylists({id});
    const Album* p = *playlist;
    if (present) print(QStringLiteral("The playlist \"%1\" was already selected.").arg(p->name()));
    else if (int n = p->leftOut().total())
        print(QStringLiteral("Added the playlist \"%1\" with %2 of its %3 tracks; the others can't be placed (%4).")
                  .arg(p->name())
                  .arg(p->tracks().size())
                  .arg(p->tracks().size() + std::size_t(n))
                  .arg(describeLeftOut(p->leftOut())));
    else print(QStringLiteral("Added the playlist \"%1\" (%2 songs).").arg(p->name()).arg(p->tracks().size()));
    return 0;
}

int addAlbum(Session& session, const QString& given) {
    Controller& c = session.controller();
    Lookup<Album*> lookup(QStringLiteral("album"), given);
    for (const auto& a : c.library().albums())
        lookup.add(a.get(), QString(), a->name(), QStringLiteral("%1 (%2)").arg(a->name(), a->artist()));
    std::optional<Album*> album = lookup.find();
    if (!album) return 1;
    c.addSongs((*album)->tracks());
    print(QStringLiteral("Added the album \"%1\" with all %2 tracks ticked.").arg((*album)->name()).arg((*album)->tracks().size()));
    return 0;
}

int addSong(Session& session, const QString& given) {
    Controller& c = session.controller();
    Lookup<Song*> lookup(QStringLiteral("song"), given);
    for (const auto& s : c.library().songs()) lookup.add(s.get(), s->persistentId(), s->name(), songDescription(s.get()));
    std::optional<Song*> song = lookup.find();
    if (!song) return 1;
    c.addSongs({*song});
    if ((*song)->albumName() == kOtherSongs) print(QStringLiteral("Added the song \"%1\".").arg((*song)->name()));
    else print(QStringLiteral("Ticked \"%1\" in the album \"%2\".").arg((*song)->name(), (*song)->albumName()));
    return 0;
}

int remove(Session& session, const QString& given) {
    Controller& c = session.controller();
    Lookup<SYWanted*> lookup(QStringLiteral("selected item"), given);
    for (const auto& item : c.wantedStuff()) {
        QString id, name = item->valueForKey("Name").toString();
        if (auto* p = item->as<SYWantedPlaylist>()) id = p->persistentID();
        else if (auto* s = item->as<SYWantedSong>()) id = s->persistentID();
        else if (auto* f = item->as<SYWantedFile>()) id = f->path();
        lookup.add(item.get(), id, name, QStringLiteral("%1 %2%3").arg(item->type(), name, id.isEmpty() ? QString() : QStringLiteral("  (") + id + u')'));
    }
    std::optional<SYWanted*> item = lookup.find();
    if (!item) return 1;
    if ((*item)->as<SYWantedFile>()) {
        fail(QStringLiteral("\"%1\" is a file found on the player, not a selected item; it is never deleted without your confirmation.").arg(given));
        return 1;
    }
    QString kind = (*item)->as<SYWantedPlaylist>() ? QStringLiteral("playlist")
                   : (*item)->as<SYWantedAlbum>()  ? QStringLiteral("album")
                                                           : QStringLiteral("song");
    QString name = (*item)->valueForKey("Name").toString();
    c.removeItem(*item);
    print(QStringLiteral("Removed the %1 \"%2\".").arg(kind, name));
    return 0;
}

int mode(Session& session, const QString& given, const QString& value) {
    int m = value == u"as-playlist" ? 0 : value == u"as-albums" ? 1 : -1;
    if (m < 0) {
        fail(QStringLiteral("mode: say as-playlist or as-albums, not \"%1\"").arg(value));
        return 2;
    }
    std::optional<SYWantedPlaylist*> playlist = findWanted<SYWantedPlaylist>(session.controller(), QStringLiteral("selected playlist"), given);
    if (!playlist) return 1;
    session.controller().setPlaylistMode(*playlist, m);
    print(QStringLiteral("The playlist \"%1\" is laid out %2.").arg((*playlist)->valueForKey("Name").toString(), modeName(m).toLower()));
    return 0;
}

int check(Session& session, const QString& albumName, const QString& trackGiven, const QString& value) {
    int on = value == u"on" ? 1 : value == u"off" ? 0 : -1;
    if (on < 0) {
        fail(QStringLiteral("check: say on or off, not \"%1\"").arg(value));
        return 2;
    }
    std::optional<SYWantedAlbum*> album = findWanted<SYWantedAlbum>(session.controller(), QStringLiteral("selected album"), albumName);
    if (!album) return 1;
    Lookup<SYWantedAlbumTrack*> lookup(QStringLiteral("track"), trackGiven);
    bool isNumber = false;
    int number = trackGiven.toInt(&isNumber);
    for (const auto& row : (*album)->songs()) {
        QString id = isNumber ? (row->index() == number ? trackGiven : QString()) : row->persistentID();
        lookup.add(row.get(), id, row->song()->name(), QStringLiteral("%1 %2").arg(row->index()).arg(row->song()->name()));
    }
    std::optional<SYWantedAlbumTrack*> row = lookup.find();
    if (!row) return 1;
    session.controller().setTrackChecked(*row, on == 1);
    print(QStringLiteral("%1 \"%2\" in \"%3\".").arg(on ? QStringLiteral("Ticked") : QStringLiteral("Unticked"), (*row)->song()->name(), (*album)->album()->name()));
    return 0;
}

}  // namespace

int selectCommand(const Options& o) {
    const QStringList& p = o.positional;
    QString sub = p.value(0);
    static const std::map<QString, std::pair<int, const char*>> arity = {
        {QStringLiteral("list"), {1, "no words"}},
        {QStringLiteral("add-playlist"), {2, "NAME-or-ID"}},
        {QStringLiteral("add-album"), {2, "NAME"}},
        {QStringLiteral("add-song"), {2, "NAME-or-ID"}},
        {QStringLiteral("remove"), {2, "ITEM"}},
        {QStringLiteral("mode"), {3, "PLAYLIST as-playlist|as-albums"}},
        {QStringLiteral("check"), {4, "ALBUM TRACK on|off"}},
    };
    auto it = arity.find(sub);
    if (it == arity.end()) return usageError(o.command, sub.isEmpty() ? QStringLiteral("which action?") : QStringLiteral("unknown action \"%1\"").arg(sub));
    if (p.size() != it->second.first) return usageError(o.command, QStringLiteral("%1 takes %2").arg(sub, QLatin1String(it->second.second)));
    if (o.json && sub != u"list") return usageError(o.command, QStringLiteral("--json goes with \"select list\""));
    Session session(o, sub == u"list" ? Session::Access::ReadOnly : Session::Access::Writes);
    if (!session.restore()) return session.failure();
    int status;
    if (sub == u"list") status = list(session, o);
    else if (sub == u"add-playlist") status = addPlaylist(session, p[1]);
    else if (sub == u"add-album") status = addAlbum(session, p[1]);
    else if (sub == u"add-song") status = addSong(session, p[1]);
    else if (sub == u"remove") status = remove(session, p[1]);
    else if (sub == u"mode") status = mode(session, p[1], p[2]);
    else status = check(session, p[1], p[2], p[3]);
    // A selection that could not be saved is a failure, whatever was printed.
    return status == 0 && session.ui().hadWarnings() ? 1 : status;
}

}  // namespace cli
