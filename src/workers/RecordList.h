#pragma once

// An ordered list of work records with the lookups the workers and the status
// display need made cheap: removal by identity and by paths, counts by
// destination, and a running total of a weight per record (the bytes a copy
// will take, the bytes a deletion frees). A plain list would make every
// copied file cost a scan of the whole list, which for tens of thousands of
// songs is what the user waits on.
//
// Not thread-safe: guarded by the controller's todoLock like the lists it
// replaces.

#include "planning/WorkRecord.h"

#include <QHash>
#include <QMultiHash>

#include <list>
#include <vector>

class RecordList {
    struct Entry {
        Record record;
        quint64 weight;
    };

public:
    void append(Record record, quint64 weight = 0);
    bool empty() const { return items_.empty(); }
    std::size_t size() const { return items_.size(); }
    const Record& first() const { return items_.front().record; }
    Record takeFirst();
    void clear();

    bool contains(const WorkRecord* record) const { return byIdentity_.contains(record); }
    // Removes this very record; false when it is not (or no longer) here.
    bool removeIdentical(const WorkRecord* record);
    // Removes every record whose "to" and "from" equal these; answers how many.
    int removeMatching(const QString& to, const QString& from);
    // How many records go to this destination.
    int countTo(const QString& to) const { return int(byTo_.count(to)); }
    bool containsSong(const Song* song) const { return bySong_.contains(song); }

    quint64 totalWeight() const { return total_; }
    // Gives every record of the song a new weight (its size became known).
    void reweigh(const Song* song, quint64 weight);

    // Ascending by "to", plain string order; equal ones keep their order.
    void sortByTo();
    std::vector<Record> snapshot() const;

    class const_iterator {
    public:
        using Base = std::list<Entry>::const_iterator;
        explicit const_iterator(Base it) : it_(it) {}
        const Record& operator*() const { return it_->record; }
        const_iterator& operator++() {
            ++it_;
            return *this;
        }
        bool operator!=(const const_iterator& o) const { return it_ != o.it_; }
        bool operator==(const const_iterator& o) const { return it_ == o.it_; }
        using iterator_category = std::forward_iterator_tag;
        using value_type = Record;
        using difference_type = std::ptrdiff_t;
        using pointer = const Record*;
        using reference = const Record&;

    private:
        Base it_;
    };
    const_iterator begin() const { return const_iterator(items_.begin()); }
    const_iterator end() const { return const_iterator(items_.end()); }

private:
    using Iterator = std::list<Entry>::iterator;
    void forget(Iterator it);

    std::list<Entry> items_;
    QMultiHash<const WorkRecord*, Iterator> byIdentity_;
    QMultiHash<QString, Iterator> byTo_;
    QMultiHash<const Song*, Iterator> bySong_;
    quint64 total_ = 0;
};
