#pragma once

#include "Arena.h"
#include "Value.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace plist {

// Interning table for keys: open addressing over arena strings, the hash
// kept in the slot so that a probe rarely looks at the text. Each key also
// carries a stamp (the last dict that used it) for finding repeated keys.
// Keys are short: read in words, the last one overlapping the one before
// (or, below eight bytes, in overlapping halves), without a library call.
inline std::uint64_t lastWord(const char* p, std::size_t n) {
    std::uint64_t w = 0;
    if (n >= 8) {
        std::memcpy(&w, p + n - 8, 8);
    } else if (n >= 4) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        w = lo | std::uint64_t(hi) << 32;
    } else if (n > 0) {
        w = std::uint8_t(p[0]) | std::uint64_t(std::uint8_t(p[n / 2])) << 8 | std::uint64_t(std::uint8_t(p[n - 1])) << 16;
    }
    return w;
}

inline bool equalText(const char* a, std::string_view b) {
    std::size_t n = b.size();
    for (std::size_t i = 0; i + 8 < n; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) return false;
    }
    return lastWord(a, n) == lastWord(b.data(), n);
}

class KeyTable {
public:
    explicit KeyTable(Arena& arena) : arena_(arena), slots_(1024) {}

    const char* intern(std::string_view s) {
        std::uint64_t h = hash(s);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = std::size_t(h >> 20) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.text) {
                const char* k = arena_.storeKey(s);
                slot = Slot{h, k};
                if (++count_ * 2 > slots_.size()) rehash();
                return k;
            }
            if (slot.hash == h && keyLength(slot.text) == s.size() && equalText(slot.text, s)) return slot.text;
        }
    }

    // The interned copy of a key, or nothing when no dict of the document
    // has it.
    const char* find(std::string_view s) const {
        std::uint64_t h = hash(s);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = std::size_t(h >> 20) & mask;; i = (i + 1) & mask) {
            const Slot& slot = slots_[i];
            if (!slot.text) return nullptr;
            if (slot.hash == h && keyLength(slot.text) == s.size() && equalText(slot.text, s)) return slot.text;
        }
    }

    static std::uint32_t& stampOf(const char* key) {
        return *reinterpret_cast<std::uint32_t*>(const_cast<char*>(key) - 2 * sizeof(std::uint32_t));
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        const char* text = nullptr;
    };
    static std::uint64_t hash(std::string_view s) {
        // FNV-1a over 8-byte words, then a multiply to spread the bits.
        std::uint64_t h = 1469598103934665603ull ^ s.size();
        for (std::size_t i = 0; i + 8 < s.size(); i += 8) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            h = (h ^ w) * 1099511628211ull;
        }
        h = (h ^ lastWord(s.data(), s.size())) * 1099511628211ull;
        h ^= h >> 32;
        return h * 0x9E3779B97F4A7C15ull;
    }
    void rehash() {
        std::vector<Slot, LargeAllocator<Slot>> old(slots_.size() * 2);
        old.swap(slots_);
        std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (!slot.text) continue;
            std::size_t i = std::size_t(slot.hash >> 20) & mask;
            while (slots_[i].text) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    Arena& arena_;
    // A library's track numbers are keys too: a hundred thousand of them.
    std::vector<Slot, LargeAllocator<Slot>> slots_;
    std::size_t count_ = 0;
};

}  // namespace plist
