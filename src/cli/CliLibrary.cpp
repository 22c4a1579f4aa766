// brisle library --json

#include "CliSession.h"

namespace cli {

namespace {

void writeIds(JsonWriter& json, const std::vector<Song*>& songs) {
    json.beginArray();
    for (const Song* s : songs) json.value(s->persistentId());
    json.endArray();
}

}  // namespace

int libraryCommand(const Options& o) {
    if (!o.json) {
        fail(QStringLiteral("library: only --json output is offered"));
        return 2;
    }
    Session session(o);
    if (!session.loadLibrary()) return 1;
    const Controller& c = session.controller();
    const Library& lib = c.library();
    Library::Counts counts = lib.counts();

    JsonWriter json;
    json.beginObject();
    json.field("libraryPath", c.pathToItunes());
    json.field("candidates", counts.candidates);
    json.field("usable", counts.usable);
    json.key("songs");
    json.beginArray();
    for (const auto& s : lib.songs()) {
        json.beginObject();
        json.field("trackId", s->trackId());
        json.field("persistentId", s->persistentId());
        json.key("name");
        if (s->dict()["Name"].isString()) json.value(s->name());
        else json.null();
        json.field("album", s->albumName());
        json.field("index", s->index());
        json.field("needsConversion", s->needsConversion());
        json.field("cachePath", s->cachePath());
        json.field("albumPath", s->albumPath());
        json.field("copiedSize", s->copiedSize());
        json.endObject();
    }
    json.endArray();
    json.key("albums");
    json.beginArray();
    for (const auto& a : lib.albums()) {
        json.beginObject();
        json.field("name", a->name());
        json.field("artist", a->artist());
        json.key("tracks");
        writeIds(json, a->tracks());
        json.endObject();
    }
    json.endArray();
    json.key("playlists");
    json.beginArray();
    for (const QString& id : lib.playlistIds()) {
        const Album* p = lib.playlistWithID(id);
        json.beginObject();
        json.field("id", id);
        json.field("name", p->name());
        json.key("tracks");
        writeIds(json, p->tracks());
        json.endObject();
    }
    json.endArray();
    json.endObject();
    return finishJson(json);
}

}  // namespace cli
