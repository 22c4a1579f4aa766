// brisle library --json

#include "CliSession.h"

#include <QJsonArray>

namespace cli {

namespace {

QJsonArray persistentIds(const std::vector<Song*>& songs) {
    QJsonArray ids;
    for (const Song* s : songs) ids.append(s->persistentId());
    return ids;
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

    QJsonArray songs;
    for (const auto& s : lib.songs()) {
        songs.append(QJsonObject{
            {QStringLiteral("trackId"), qint64(s->trackId())},
            {QStringLiteral("persistentId"), s->persistentId()},
            {QStringLiteral("name"), s->dict()["Name"].isString() ? QJsonValue(s->name()) : QJsonValue()},
            {QStringLiteral("album"), s->albumName()},
            {QStringLiteral("index"), s->index()},
            {QStringLiteral("needsConversion"), s->needsConversion()},
            {QStringLiteral("cachePath"), s->cachePath()},
            {QStringLiteral("albumPath"), s->albumPath()},
            {QStringLiteral("copiedSize"), qint64(s->copiedSize())},
        });
    }
    QJsonArray albums;
    for (const auto& a : lib.albums()) {
        albums.append(QJsonObject{
            {QStringLiteral("name"), a->name()},
            {QStringLiteral("artist"), a->artist()},
            {QStringLiteral("tracks"), persistentIds(a->tracks())},
        });
    }
    QJsonArray playlists;
    for (const QString& id : lib.playlistIds()) {
        const Album* p = lib.playlistWithID(id);
        playlists.append(QJsonObject{
            {QStringLiteral("id"), id},
            {QStringLiteral("name"), p->name()},
            {QStringLiteral("tracks"), persistentIds(p->tracks())},
        });
    }
    Library::Counts counts = lib.counts();
    printJson(QJsonObject{
        {QStringLiteral("libraryPath"), c.pathToItunes()},
        {QStringLiteral("candidates"), counts.candidates},
        {QStringLiteral("usable"), counts.usable},
        {QStringLiteral("songs"), songs},
        {QStringLiteral("albums"), albums},
        {QStringLiteral("playlists"), playlists},
    });
    return 0;
}

}  // namespace cli
