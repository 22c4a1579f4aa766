// Binary property-list reader ("bplist00").
//
// The file is a flat table of objects addressed by number, so unlike XML a
// hostile file can point anywhere: every offset, count and reference is
// checked against the buffer before use, a container may not contain itself,
// and the tree may not grow past a size proportional to the file (containers
// referenced from many places would otherwise multiply it).
//
// Nodes are built like the XML reader builds them: children collect on two
// reusable stacks and are copied into the arena in one block per container.

#include "Arena.h"
#include "Plist.h"
#include "PlistText.h"

#include <bit>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <vector>

namespace plist {

namespace {

constexpr std::size_t kHeader = 8;
constexpr std::size_t kTrailer = 32;
constexpr int kMaxDepth = 512;
// Binary dates count from 2001-01-01, ours from 1970-01-01.
constexpr double kEpochShift = 978307200.0;
// Larger dicts find repeated keys through a hash map instead of a scan.
constexpr std::size_t kLinearKeyScan = 16;

std::uint64_t readBigEndian(const unsigned char* p, unsigned width) {
    std::uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i) v = (v << 8) | p[i];
    return v;
}

class BinaryReader {
public:
    BinaryReader(std::string_view bytes, Document& doc)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()), arena_(doc.arena()) {}

    Result<const Node*> run();

private:
    enum class Count { Ok, Unreadable, Broken };

    // Failure of the whole read; readers answer nullopt after calling it.
    std::nullopt_t fail(const char* what) {
        error_ = Error{Error::Kind::Syntax, std::string("not a property list: ") + what};
        return std::nullopt;
    }
    std::optional<std::size_t> offsetOf(std::uint64_t ref);
    Count readCount(std::size_t marker, std::uint64_t& count, std::size_t& start) const;
    // A Null node is a value that cannot be read; nullopt is a broken file.
    std::optional<Node> readObject(std::uint64_t ref, int depth);
    std::optional<Node> readText(std::uint64_t ref, std::size_t marker);
    std::optional<Node> readArray(std::uint64_t ref, std::size_t start, std::uint64_t count, int depth);
    std::optional<Node> readDict(std::uint64_t ref, std::size_t start, std::uint64_t count, int depth);
    bool spend();

    const unsigned char* data_;
    std::size_t size_;
    Arena& arena_;
    Error error_;

    unsigned offsetSize_ = 0, refSize_ = 0;
    std::uint64_t objects_ = 0;
    std::size_t table_ = 0;  // offset table; objects lie in [kHeader, table_)
    std::uint64_t budget_ = 0;

    std::vector<std::uint8_t> open_;        // containers being read: a reference back is a cycle
    std::vector<const char*> texts_;        // strings and data already stored, by object
    std::vector<Node> items_;
    std::vector<Entry> entries_;
    std::string scratch_;
};

Result<const Node*> BinaryReader::run() {
    auto broken = [](const char* what) { return std::unexpected(Error{Error::Kind::Syntax, std::string("not a property list: ") + what}); };
    if (size_ < kHeader + kTrailer) return broken("binary property list too short");
    if (std::memcmp(data_, "bplist00", kHeader) != 0) return broken("unsupported binary property list version");

    const unsigned char* t = data_ + size_ - kTrailer;
    offsetSize_ = t[6];
    refSize_ = t[7];
    objects_ = readBigEndian(t + 8, 8);
    std::uint64_t top = readBigEndian(t + 16, 8);
    std::uint64_t table = readBigEndian(t + 24, 8);
    std::size_t trailerStart = size_ - kTrailer;
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return broken("bad integer sizes in the trailer");
    if (objects_ == 0 || top >= objects_) return broken("bad object count in the trailer");
    if (table <= kHeader || table >= trailerStart) return broken("offset table out of range");
    if (objects_ > (trailerStart - table) / offsetSize_) return broken("offset table runs past the trailer");
    table_ = std::size_t(table);

    // Every reference costs the file at least a byte, so a tree larger than
    // this comes from shared containers being expanded over and over.
    budget_ = std::uint64_t(size_) * 2 + 4096;
    open_.assign(std::size_t(objects_), 0);
    texts_.assign(std::size_t(objects_), nullptr);

    auto root = readObject(top, 0);
    if (!root) return std::unexpected(error_);
    Node* n = arena_.allocateArray<Node>(1);
    *n = *root;
    return n;
}

std::optional<std::size_t> BinaryReader::offsetOf(std::uint64_t ref) {
    if (ref >= objects_) return fail("object reference out of range");
    std::uint64_t off = readBigEndian(data_ + table_ + std::size_t(ref) * offsetSize_, offsetSize_);
    if (off < kHeader || off >= table_) return fail("object offset out of range");
    return std::size_t(off);
}

// The length of a string, data or container: in the marker's low nibble, or,
// when that is 0xF, in an integer object that follows.
BinaryReader::Count BinaryReader::readCount(std::size_t marker, std::uint64_t& count, std::size_t& start) const {
    start = marker + 1;
    unsigned nibble = data_[marker] & 0x0F;
    if (nibble != 0x0F) {
        count = nibble;
        return Count::Ok;
    }
    if (start >= table_) return Count::Broken;
    unsigned char m = data_[start];
    if ((m & 0xF0) != 0x10 || (m & 0x0F) > 3) return Count::Unreadable;
    unsigned width = 1u << (m & 0x0F);
    if (width > table_ - start - 1) return Count::Broken;
    count = readBigEndian(data_ + start + 1, width);
    start += 1 + width;
    return Count::Ok;  // the caller checks it against the bytes left
}

bool BinaryReader::spend() {
    if (budget_ == 0) {
        fail("too many values for the size of the file");
        return false;
    }
    --budget_;
    return true;
}

std::optional<Node> BinaryReader::readObject(std::uint64_t ref, int depth) {
    auto at = offsetOf(ref);
    if (!at) return std::nullopt;
    std::size_t pos = *at;
    unsigned char m = data_[pos];
    std::size_t room = table_ - pos - 1;  // bytes after the marker
    Node n;
    switch (m >> 4) {
    case 0x0:
        if (m == 0x08 || m == 0x09) {
            n.type = Type::Bool;
            n.b = m == 0x09;
        }
        return n;  // null, fill and unknown: absent
    case 0x1: {
        unsigned lg = m & 0x0F;
        if (lg > 4) return n;
        unsigned width = 1u << lg;
        if (width > room) return fail("integer runs past the objects");
        n.type = Type::Integer;
        // 1, 2 and 4 bytes are unsigned, 8 are signed; of 16 the low 64 bits are kept.
        n.i = std::int64_t(width == 16 ? readBigEndian(data_ + pos + 9, 8) : readBigEndian(data_ + pos + 1, width));
        return n;
    }
    case 0x2: {
        if (m != 0x22 && m != 0x23) return n;
        unsigned width = m == 0x22 ? 4 : 8;
        if (width > room) return fail("real runs past the objects");
        std::uint64_t bits = readBigEndian(data_ + pos + 1, width);
        n.type = Type::Real;
        n.d = width == 4 ? double(std::bit_cast<float>(std::uint32_t(bits))) : std::bit_cast<double>(bits);
        return n;
    }
    case 0x3:
        if (m != 0x33) return n;
        if (room < 8) return fail("date runs past the objects");
        n.type = Type::Date;
        n.d = std::bit_cast<double>(readBigEndian(data_ + pos + 1, 8)) + kEpochShift;
        return n;
    case 0x4:
    case 0x5:
    case 0x6: return readText(ref, pos);
    case 0x8: {
        unsigned width = (m & 0x0F) + 1u;
        if (width > 8) return n;
        if (width > room) return fail("identifier runs past the objects");
        n.type = Type::Integer;
        n.i = std::int64_t(readBigEndian(data_ + pos + 1, width));
        return n;
    }
    case 0xA:
    case 0xC:
    case 0xD: {
        if (depth >= kMaxDepth) return fail("nesting too deep");
        if (open_[std::size_t(ref)]) return fail("a container contains itself");
        std::uint64_t count;
        std::size_t start;
        Count c = readCount(pos, count, start);
        if (c == Count::Broken) return fail("container runs past the objects");
        if (c == Count::Unreadable) return n;
        open_[std::size_t(ref)] = 1;
        auto result = (m >> 4) == 0xD ? readDict(ref, start, count, depth) : readArray(ref, start, count, depth);
        open_[std::size_t(ref)] = 0;
        return result;
    }
    default: return n;  // unknown type
    }
}

// Data (0x4), ASCII text (0x5) and UTF-16 text (0x6), stored once per object.
std::optional<Node> BinaryReader::readText(std::uint64_t ref, std::size_t pos) {
    unsigned kind = data_[pos] >> 4;
    Node n;
    const char*& stored = texts_[std::size_t(ref)];
    if (!stored) {
        std::uint64_t count;
        std::size_t start;
        Count c = readCount(pos, count, start);
        if (c == Count::Broken) return fail("string runs past the objects");
        if (c == Count::Unreadable) return n;
        std::size_t room = table_ - start;
        if (count > (kind == 0x6 ? room / 2 : room)) return fail("string runs past the objects");
        const unsigned char* p = data_ + start;
        std::string_view text(reinterpret_cast<const char*>(p), std::size_t(count));
        if (kind == 0x5) {
            // Only ASCII is expected; other bytes are read as Latin-1 to stay valid UTF-8.
            bool ascii = true;
            for (unsigned char ch : text) ascii = ascii && ch < 0x80;
            if (!ascii) {
                scratch_.clear();
                for (unsigned char ch : text) appendUtf8(scratch_, ch);
                text = scratch_;
            }
        } else if (kind == 0x6) {
            scratch_.clear();
            scratch_.reserve(std::size_t(count) * 3);
            for (std::size_t i = 0; i < count; ++i) {
                std::uint32_t u = std::uint32_t(readBigEndian(p + 2 * i, 2));
                if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count) {
                    std::uint32_t lo = std::uint32_t(readBigEndian(p + 2 * i + 2, 2));
                    if (lo >= 0xDC00 && lo <= 0xDFFF) {
                        appendUtf8(scratch_, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                        ++i;
                        continue;
                    }
                }
                appendUtf8(scratch_, (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u);
            }
            text = scratch_;
        }
        if (text.size() > 0xFFFFFFFFu) return n;
        stored = arena_.storeString(text);
    }
    n.type = kind == 0x4 ? Type::Data : Type::String;
    n.size = keyLength(stored);
    n.s = stored;
    return n;
}

std::optional<Node> BinaryReader::readArray(std::uint64_t, std::size_t start, std::uint64_t count, int depth) {
    if (count > (table_ - start) / refSize_ || count > 0xFFFFFFFFu) return fail("array runs past the objects");
    std::size_t first = items_.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (!spend()) return std::nullopt;
        auto item = readObject(readBigEndian(data_ + start + i * refSize_, refSize_), depth + 1);
        if (!item) return std::nullopt;
        if (item->type != Type::Null) items_.push_back(*item);
    }
    Node node = arrayNode(arena_, std::span(items_).subspan(first));
    items_.resize(first);
    return node;
}

std::optional<Node> BinaryReader::readDict(std::uint64_t, std::size_t start, std::uint64_t count, int depth) {
    if (count > (table_ - start) / refSize_ / 2 || count > 0xFFFFFFFFu) return fail("dictionary runs past the objects");
    std::size_t first = entries_.size();
    std::unordered_map<std::string_view, std::size_t> index;  // key -> entry, for large dicts
    const unsigned char* keys = data_ + start;
    const unsigned char* values = keys + std::size_t(count) * refSize_;
    for (std::size_t i = 0; i < count; ++i) {
        if (!spend()) return std::nullopt;
        std::uint64_t keyRef = readBigEndian(keys + i * refSize_, refSize_);
        auto keyAt = offsetOf(keyRef);
        if (!keyAt) return std::nullopt;
        unsigned keyKind = data_[*keyAt] >> 4;
        if (keyKind != 0x5 && keyKind != 0x6) continue;  // only strings name entries
        auto key = readText(keyRef, *keyAt);
        if (!key) return std::nullopt;
        if (key->type != Type::String) continue;
        auto value = readObject(readBigEndian(values + i * refSize_, refSize_), depth + 1);
        if (!value) return std::nullopt;
        if (value->type == Type::Null) continue;  // unreadable value: the key is absent

        // A repeated key: the later value wins, in the place of the first.
        std::string_view k(key->s, key->size);
        if (count > kLinearKeyScan) {
            auto [it, added] = index.try_emplace(k, entries_.size());
            if (!added) {
                entries_[it->second].value = *value;
                continue;
            }
        } else {
            bool replaced = false;
            for (std::size_t e = first; e < entries_.size() && !replaced; ++e) {
                const char* other = entries_[e].key;
                if (other == key->s || std::string_view(other, keyLength(other)) == k) {
                    entries_[e].value = *value;
                    replaced = true;
                }
            }
            if (replaced) continue;
        }
        entries_.push_back(Entry{key->s, *value});
    }
    Node node = dictNode(arena_, std::span(entries_).subspan(first));
    entries_.resize(first);
    return node;
}

}  // namespace

Result<Document> parseBinary(std::string_view bytes) {
    Document doc;
    BinaryReader reader(bytes, doc);
    auto root = reader.run();
    if (!root) return std::unexpected(root.error());
    doc.setRoot(*root);
    return doc;
}

}  // namespace plist
