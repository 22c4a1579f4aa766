#include "RecordList.h"

namespace {

template <typename Hash, typename Key, typename It>
void eraseEntry(Hash& hash, const Key& key, It it) {
    for (auto h = hash.find(key); h != hash.end() && h.key() == key; ++h) {
        if (*h == it) {
            hash.erase(h);
            return;
        }
    }
}

}  // namespace

void RecordList::append(Record record, quint64 weight) {
    const WorkRecord* key = record.get();
    items_.push_back(Entry{std::move(record), weight});
    auto it = std::prev(items_.end());
    byIdentity_.insert(key, it);
    // Deletions have no destination and some have no song: indexing them
    // under one empty key would make every removal scan them all.
    if (!key->to.isEmpty()) byTo_.insert(key->to, it);
    if (key->song) bySong_.insert(key->song, it);
    total_ += weight;
}

void RecordList::forget(Iterator it) {
    const WorkRecord* key = it->record.get();
    eraseEntry(byIdentity_, key, it);
    if (!key->to.isEmpty()) eraseEntry(byTo_, key->to, it);
    if (key->song) eraseEntry(bySong_, static_cast<const Song*>(key->song), it);
    total_ -= it->weight;
    items_.erase(it);
}

Record RecordList::takeFirst() {
    Record r = items_.front().record;
    forget(items_.begin());
    return r;
}

void RecordList::clear() {
    items_.clear();
    byIdentity_.clear();
    byTo_.clear();
    bySong_.clear();
    total_ = 0;
}

bool RecordList::removeIdentical(const WorkRecord* record) {
    auto it = byIdentity_.constFind(record);
    if (it == byIdentity_.constEnd()) return false;
    forget(*it);
    return true;
}

int RecordList::removeMatching(const QString& to, const QString& from) {
    std::vector<Iterator> hits;
    for (auto it = byTo_.constFind(to); it != byTo_.constEnd() && it.key() == to; ++it)
        if ((*it)->record->from == from) hits.push_back(*it);
    for (Iterator it : hits) forget(it);
    return int(hits.size());
}

void RecordList::reweigh(const Song* song, quint64 weight) {
    for (auto it = bySong_.constFind(song); it != bySong_.constEnd() && it.key() == song; ++it) {
        total_ = total_ - (*it)->weight + weight;
        (*it)->weight = weight;
    }
}

void RecordList::sortByTo() {
    // std::list::sort relinks nodes, so the stored iterators stay valid.
    items_.sort([](const Entry& a, const Entry& b) { return QString::compare(a.record->to, b.record->to, Qt::CaseSensitive) < 0; });
}

std::vector<Record> RecordList::snapshot() const {
    std::vector<Record> out;
    out.reserve(items_.size());
    for (const Entry& e : items_) out.push_back(e.record);
    return out;
}
