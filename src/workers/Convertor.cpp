#include "Convertor.h"

#include "Encoder.h"
#include "Mp3Settings.h"
#include "PlayerFiles.h"
#include "RecordList.h"
#include "Tagger.h"
#include "library/Song.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>

void Convertor::setList(RecordList& todoList, RecordList& toCacheList, std::mutex& todoLock) {
    todoList_ = &todoList;
    toCacheList_ = &toCacheList;
    todoLock_ = &todoLock;
}

void Convertor::start() {
    callRoot([this] { root_.setConvertor(this); });
}

// One per process: a second process never writes into this one's file.
QString Convertor::temporaryPath(const QString& cacheDir) {
    return cacheDir + QStringLiteral(".Brisle temp ") + QString::number(QCoreApplication::applicationPid());
}

namespace {

bool settled(const Song* song) { return song->isCached() || !song->needsConversion(); }

std::optional<QString> text(const Song& song, std::string_view key) {
    plist::Value v = song.dict()[key];
    if (!v.isString()) return std::nullopt;
    return QString::fromUtf8(v.string());
}

}  // namespace

SongTags Convertor::tagsFor(const Song& song) {
    SongTags tags;
    tags.title = text(song, "Name");
    tags.artist = text(song, "Artist");
    tags.album = song.albumName();  // "Other songs" for songs without one, as the list shows them
    tags.composer = text(song, "Composer");
    tags.track = int(song.integer("Track Number"));
    tags.trackCount = int(song.integer("Track Count"));
    tags.disc = int(song.integer("Disc Number"));
    tags.discCount = int(song.integer("Disc Count"));
    tags.year = int(song.integer("Year"));
    tags.genre = text(song, "Genre").value_or(QString());
    tags.encodedBy = QStringLiteral("Brisle v" BRISLE_VERSION);
    return tags;
}

// The next record to convert: the plan's first, then those asked for ahead of
// time. Records whose song is cached meanwhile (or no longer needs
// converting) are dropped without work.
Record Convertor::nextRecord() {
    for (;;) {
        std::unique_lock lock(*todoLock_);
        if (!todoList_->empty()) {
            Record record = todoList_->takeFirst();
            lock.unlock();
            if (settled(record->song)) continue;
            return record;
        }
        Record found;
        while (!toCacheList_->empty()) {
            Record record = toCacheList_->takeFirst();
            if (settled(record->song)) continue;
            found = std::move(record);
            break;
        }
        lock.unlock();
        if (!found) return nullptr;
        if (settled(found->song)) continue;
        return found;
    }
}

void Convertor::process() {
    Q_ASSERT(QThread::currentThread() == thread());
    callRoot([this] { root_.setConvertorBusy(true); });
    while (!stopping()) {
        Record record = nextRecord();
        if (!record) break;
        convert(record);
    }
    callRoot([this] {
        root_.setConvertingSong(nullptr, QString());
        root_.setConvertorBusy(false);
    });
}

void Convertor::convert(const Record& record) {
    Song* song = record->song;
    QString cacheDir = song->cacheDir();
    QString temp = temporaryPath(cacheDir);
    // A cache folder that cannot be made drops the conversion; the next
    // planning pass asks for it again.
    if (!fsys::makePath(cacheDir)) return;
    {
        QFile empty(temp);
        if (!empty.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    }
    callRoot([this, &record, &temp] { root_.setConvertingSong(record, temp); });

    // The format and rate are read once: the file is made in them and goes
    // under the cache name that says so, whatever the settings do meanwhile.
    const Song::Conversion target = song->conversion();
    EncodeSettings settings = encodeSettingsFor(target.aac ? QStringLiteral("AAC") : QStringLiteral("MP3"), target.bitrateKbps);
    // A source that can't be read, or an export that fails, must never
    // count as cached: nothing moves into the cache then.
    auto encoded = encodeAudio(song->originalPath(), temp, settings, stoppingFlag());
    if (!encoded || !writeTags(temp, tagsFor(*song))) {
        playerfiles::removeFile(temp);
        if (stopping()) return;
        // Tried again only once its file changes: until then it must not hold
        // up the sync, a sort or an eject.
        song->setAside();
        const QString reason = encoded ? QStringLiteral("its tags could not be written") : encoded.error();
        callRoot([this, &record, &reason] { root_.conversionFailed(record, reason); });
        return;
    }
    if (playerfiles::moveFile(temp, target.cachePath)) {
        callRoot([this, &record] {
            root_.workDone(record);
            root_.runCopier();
        });
    } else {
        playerfiles::removeFile(temp);
    }
}
