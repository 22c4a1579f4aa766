// brisle library [--json]

#include "CliSession.h"

#include <atomic>
#include <thread>
#include <vector>

namespace cli {

namespace {

// What each song needs of the disk (its copied size, a look at its file)
// and its cache name, worked out in load order on a thread of its own while
// this one writes the rest of each song: together they are a third of the
// command's time beyond loading, and songs are safe to read from any thread.
// On a machine with a core to spare that third no longer adds to the time;
// the work itself stays the same.
class AheadOfWriting {
public:
    explicit AheadOfWriting(const std::vector<std::unique_ptr<Song>>& songs)
        : songs_(songs), sizes_(songs.size()), cachePaths_(songs.size()), thread_([this] { run(); }) {}
    ~AheadOfWriting() { thread_.join(); }

    quint64 copiedSize(std::size_t i) {
        waitFor(i);
        return sizes_[i];
    }
    const QString& cachePath(std::size_t i) {
        waitFor(i);
        return cachePaths_[i];
    }

private:
    void waitFor(std::size_t i) {
        for (std::size_t done = done_.load(std::memory_order_acquire); done <= i; done = done_.load(std::memory_order_acquire))
            done_.wait(done, std::memory_order_acquire);
    }
    void run() {
        constexpr std::size_t kBatch = 256;  // songs between signs of progress
        for (std::size_t i = 0; i < songs_.size(); ++i) {
            sizes_[i] = songs_[i]->copiedSize();
            cachePaths_[i] = songs_[i]->cachePath();
            if ((i + 1) % kBatch == 0 || i + 1 == songs_.size()) {
                done_.store(i + 1, std::memory_order_release);
                done_.notify_one();
            }
        }
    }

    const std::vector<std::unique_ptr<Song>>& songs_;
    // Written by the thread up to done_.
    std::vector<quint64> sizes_;
    std::vector<QString> cachePaths_;
    std::atomic<std::size_t> done_{0};
    std::thread thread_;
};

void writeIds(JsonWriter& json, const std::vector<Song*>& songs) {
    json.beginArray();
    for (const Song* s : songs) json.utf8Value(s->dict()[s->keys().persistentId].string());
    json.endArray();
}

}  // namespace

QString describeLeftOut(const LeftOutCounts& counts) {
    static const char* const kReasons[] = {"protected", "video", "not a file", "no persistent ID", "file missing", "not in the library"};
    QStringList parts;
    for (std::size_t i = 0; i < std::size(kReasons); ++i)
        if (int n = counts.byReason[i]) parts.append(QStringLiteral("%1: %2").arg(QLatin1String(kReasons[i])).arg(n));
    return parts.join(QStringLiteral(", "));
}

int libraryCommand(const Options& o) {
    Session session(o, Session::Access::ReadOnly);
    if (!session.loadLibrary()) return session.failure();
    const Controller& c = session.controller();
    const Library& lib = c.library();
    Library::Counts counts = lib.counts();
    if (!o.json) {
        print(QStringLiteral("Library file: ") + c.pathToItunes());
        print(QStringLiteral("Songs: %1 in %2 albums; playlists: %3").arg(lib.songs().size()).arg(lib.albums().size()).arg(lib.playlistIds().size()));
        int left = counts.leftOut.total();
        print(left ? QStringLiteral("Left out: %1 tracks (%2)").arg(left).arg(describeLeftOut(counts.leftOut)) : QStringLiteral("Left out: none"));
        return 0;
    }

    JsonWriter json;
    json.beginObject();
    json.field("libraryPath", c.pathToItunes());
    json.field("candidates", counts.candidates);
    json.field("usable", counts.usable);
    json.key("songs");
    json.beginArray();
    AheadOfWriting ahead(lib.songs());
    for (std::size_t i = 0; i < lib.songs().size(); ++i) {
        const Song* s = lib.songs()[i].get();
        json.beginObject();
        const SongKeys& keys = s->keys();
        json.field("trackId", s->trackId());
        json.key("persistentId");
        json.utf8Value(s->dict()[keys.persistentId].string());  // every loaded song has one
        json.key("name");
        if (plist::Value name = s->dict()[keys.name]; name.isString()) json.utf8Value(name.string());
        else json.null();
        json.key("album");
        if (plist::Value album = s->dict()[keys.album]; album.isString() && !album.string().empty()) json.utf8Value(album.string());
        else json.value(kOtherSongs);
        json.field("index", s->index());
        json.field("needsConversion", s->needsConversion());
        json.field("cachePath", ahead.cachePath(i));
        json.field("albumPath", s->albumPath());
        json.field("copiedSize", ahead.copiedSize(i));
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
