// The indexed work list against a plain list doing the same: the indexes
// must never change what the list holds, in which order, or its totals.

#include "library/Song.h"
#include "workers/RecordList.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <vector>

namespace {

TEST(RecordList, TheIndexesNeverChangeTheContentsTheOrderOrTheTotals) {
    // Songs only serve as identities here; they are never looked into.
    std::vector<Song*> songs = {nullptr, reinterpret_cast<Song*>(0x1000), reinterpret_cast<Song*>(0x2000), reinterpret_cast<Song*>(0x3000)};
    const QStringList paths = {"/p/a", "/p/b", "/p/c", "/p/A", ""};
    QRandomGenerator random(20240611);
    for (int round = 0; round < 40; ++round) {
        RecordList list;
        std::vector<std::pair<Record, quint64>> plain;  // what the list must hold, with weights
        for (int step = 0; step < 200; ++step) {
            auto pick = [&](const auto& v) { return v[random.bounded(int(v.size()))]; };
            int op = random.bounded(100);
            if (op < 45 || plain.empty()) {
                Record r = random.bounded(2) ? WorkRecord::copy(pick(songs), pick(paths), pick(paths)) : WorkRecord::remove(pick(paths), pick(songs));
                quint64 w = random.bounded(1000);
                list.append(r, w);
                plain.emplace_back(r, w);
                if (random.bounded(8) == 0) {  // the very same record twice
                    list.append(r, w);
                    plain.emplace_back(r, w);
                }
            } else if (op < 55) {
                ASSERT_EQ(list.takeFirst(), plain.front().first);
                plain.erase(plain.begin());
            } else if (op < 68) {
                Record r = random.bounded(4) ? plain[random.bounded(int(plain.size()))].first : WorkRecord::remove(QStringLiteral("/none"));
                auto it = std::find_if(plain.begin(), plain.end(), [&](const auto& e) { return e.first == r; });
                bool there = it != plain.end();
                if (there) plain.erase(it);
                ASSERT_EQ(list.removeIdentical(r.get()), there);
            } else if (op < 80) {
                QString to = pick(paths), from = pick(paths);
                auto gone = std::erase_if(plain, [&](const auto& e) { return !to.isEmpty() && e.first->to == to && e.first->from == from; });
                ASSERT_EQ(list.removeMatching(to, from), int(gone));
            } else if (op < 88) {
                Song* s = pick(songs);
                quint64 w = random.bounded(5000);
                list.reweigh(s, w);
                if (s)
                    for (auto& e : plain)
                        if (e.first->song == s) e.second = w;
            } else if (op < 96) {
                list.sortByTo();
                std::stable_sort(plain.begin(), plain.end(),
                                 [](const auto& a, const auto& b) { return QString::compare(a.first->to, b.first->to, Qt::CaseSensitive) < 0; });
            } else {
                list.clear();
                plain.clear();
            }

            std::vector<Record> expected;
            quint64 total = 0;
            for (const auto& [r, w] : plain) { expected.push_back(r); total += w; }
            ASSERT_EQ(std::vector<Record>(list.begin(), list.end()), expected) << "round " << round << ", step " << step;
            ASSERT_EQ(list.snapshot(), expected);
            ASSERT_EQ(list.size(), plain.size());
            ASSERT_EQ(list.totalWeight(), total) << "round " << round << ", step " << step;
            for (const QString& p : paths.first(4))  // the paths that are not empty
                ASSERT_EQ(list.countTo(p), std::count_if(plain.begin(), plain.end(), [&](const auto& e) { return e.first->to == p; }));
            for (Song* s : std::span(songs).subspan(1))  // the songs that are not null
                ASSERT_EQ(list.containsSong(s), std::any_of(plain.begin(), plain.end(), [&](const auto& e) { return e.first->song == s; }));
        }
    }
}

}  // namespace
