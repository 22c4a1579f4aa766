// XML property-list reader.
//
// A single pass over the text with an explicit stack: containers collect their
// children on two reusable stacks (items, entries) and are copied into the
// document's arena in one block when they close. Keys are interned, so the
// millions of repeated keys of a library file share one copy and duplicate
// keys in a dict are found by pointer. The input arrives in chunks of a reused
// buffer, so a large file is never held whole in memory.

#include "Arena.h"
#include "KeyTable.h"
#include "Plist.h"
#include "PlistText.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plist {

namespace {

// The fuzz build shrinks the chunk so that its small inputs cross chunk
// boundaries and make the buffer grow.
#ifndef BRISLE_PLIST_XML_CHUNK
#define BRISLE_PLIST_XML_CHUNK (1 << 20)
#endif
constexpr std::size_t kChunk = BRISLE_PLIST_XML_CHUNK;

// Where the text comes from: all at once, or a file in chunks.
class Input {
public:
    virtual ~Input() = default;
    // Appends up to cap bytes at dst; 0 at end of input; -1 on error.
    virtual long read(char* dst, std::size_t cap) = 0;
};

class MemoryInput final : public Input {
public:
    explicit MemoryInput(std::string_view text) : text_(text) {}
    long read(char* dst, std::size_t cap) override {
        std::size_t n = std::min(cap, text_.size());
        if (n) std::memcpy(dst, text_.data(), n);  // an empty view may have no data pointer
        text_.remove_prefix(n);
        return long(n);
    }

private:
    std::string_view text_;
};

// A file read up to the size it had when opened, never further.
class FileInput final : public Input {
public:
    FileInput(int fd, std::uint64_t size) : fd_(fd), left_(size) {}
    long read(char* dst, std::size_t cap) override {
        cap = std::size_t(std::min<std::uint64_t>(cap, left_));
        if (cap == 0) return 0;
        for (;;) {
            ssize_t n = ::read(fd_, dst, cap);
            if (n >= 0) {
                left_ -= std::uint64_t(n);
                return long(n);
            }
            if (errno != EINTR) return -1;
        }
    }

private:
    int fd_;
    std::uint64_t left_;
};

inline bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

// Character classes by table: the scans below run over every byte of the file.
struct CharClasses {
    bool space[256] = {};
    bool name[256] = {};
    constexpr CharClasses() {
        space[int(' ')] = space[int('\n')] = space[int('\t')] = space[int('\r')] = true;
        for (int c = 'a'; c <= 'z'; ++c) name[c] = true;
        for (int c = 'A'; c <= 'Z'; ++c) name[c] = true;
        for (int c = '0'; c <= '9'; ++c) name[c] = true;
        name[int('-')] = name[int('_')] = name[int(':')] = name[int('.')] = true;
    }
};
constexpr CharClasses kClasses;

// Compares with a literal of known length, which the compiler inlines.
template <std::size_t N>
inline bool is(std::string_view s, const char (&literal)[N]) {
    return s.size() == N - 1 && std::memcmp(s.data(), literal, N - 1) == 0;
}

// The next '<' from p (a round always has one: its limit), noting whether an
// '&' came first. Sixteen bytes at a time where the processor offers it: this
// scan runs over most of the file. Reading past the '<' stays inside the
// buffer's slack.
inline const char* scanText(const char* p, bool& hasAmpersand) {
#if defined(__SSE2__)
    const __m128i lt = _mm_set1_epi8('<'), amp = _mm_set1_epi8('&');
    for (;;) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        unsigned ltMask = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, lt)));
        unsigned ampMask = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, amp)));
        if (ltMask) {
            unsigned at = unsigned(__builtin_ctz(ltMask));
            if (ampMask & ((1u << at) - 1)) hasAmpersand = true;
            return p + at;
        }
        if (ampMask) hasAmpersand = true;
        p += 16;
    }
#else
    while (*p != '<') {
        if (*p == '&') hasAmpersand = true;
        ++p;
    }
    return p;
#endif
}

// The length of a property-list element name at q, or 0 when it is another
// name: the few names of the format are matched without a loop.
template <std::size_t N>
inline bool startsWithName(const char* q, const char (&name)[N]) {
    return std::memcmp(q, name, N - 1) == 0 && !kClasses.name[std::uint8_t(q[N - 1])];
}
inline std::size_t knownNameLength(const char* q) {
    switch (*q) {
    case 'k': return startsWithName(q, "key") ? 3 : 0;
    case 's': return startsWithName(q, "string") ? 6 : 0;
    case 'i': return startsWithName(q, "integer") ? 7 : 0;
    case 'd': return startsWithName(q, "dict") || startsWithName(q, "date") || startsWithName(q, "data") ? 4 : 0;
    case 't': return startsWithName(q, "true") ? 4 : 0;
    case 'f': return startsWithName(q, "false") ? 5 : 0;
    case 'r': return startsWithName(q, "real") ? 4 : 0;
    case 'a': return startsWithName(q, "array") ? 5 : 0;
    default: return 0;
    }
}

// Plain decimal digits, the common case, without the general parser's work.
inline std::optional<std::int64_t> fastInteger(std::string_view t) {
    if (t.empty() || t.size() > 18) return parseInteger(t);
    std::int64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return parseInteger(t);
        v = v * 10 + (c - '0');
    }
    return v;
}

// The reader works on tokens (tags and the text between them) of a buffer
// that holds whole tokens only: each round stops at the last '<' read so far,
// so every tag and text before it is complete, and raw pointer scans need no
// bounds checks (the '<' at the limit stops them). A leaf value is turned
// into its node as soon as its text is seen, so nothing points into the
// buffer across a refill.
class Reader {
public:
    Reader(Input& in, Document& doc, std::size_t bufferSize) : in_(in), arena_(doc.arena()), keys_(doc.enableKeyTable()) {
        buf_.resize(std::max<std::size_t>(bufferSize, 16) + kSlack);
    }

    Result<const Node*> run();

private:
    enum class Leaf : std::uint8_t { None, Key, String, Integer, Real, Date, Data, True, False, Skip };
    enum class Round { Done, NeedMore, Failed };

    struct Frame {
        bool isDict;
        std::uint32_t id;
        std::size_t start;  // into entries_ or items_
        const char* pendingKey = nullptr;
    };

    bool fill();
    // Room after the data for the sentinel and for 16-byte reads past it.
    static constexpr std::size_t kSlack = 32;
    std::size_t capacity() const { return buf_.size() - kSlack; }
    Round round(std::size_t limit);
    bool tag(std::string_view name, bool closing, bool selfClosing, const char* at);
    bool text(const char* p, const char* end, bool hasAmpersand);
    bool leafValue(std::string_view t, bool hasAmpersand = false);
    void attach(const Node& node);
    static bool namesLeaf(std::string_view name, Leaf leaf);
    void closeContainer();
    bool fail(const char* what, const char* at);
    Error syntaxError() const { return Error{Error::Kind::Syntax, error_}; }

    Input& in_;
    Arena& arena_;
    KeyTable& keys_;
    std::vector<char, LargeAllocator<char>> buf_;
    std::size_t pos_ = 0, len_ = 0;
    bool eof_ = false, ioError_ = false;
    std::size_t consumed_ = 0;  // bytes before buf_[0], for error positions

    std::vector<Frame> frames_;
    std::vector<Node, LargeAllocator<Node>> items_;
    std::vector<Entry, LargeAllocator<Entry>> entries_;
    std::string scratch_;
    std::uint32_t nextFrameId_ = 1;

    Leaf leaf_ = Leaf::None;
    bool leafHasText_ = false;
    Node leafNode_;
    std::string skipName_;  // an unknown element being skipped, and its depth
    int skipDepth_ = 0;

    bool sawPlist_ = false;
    bool haveRoot_ = false;
    const Node* root_ = nullptr;
    std::string error_;
};

bool Reader::fail(const char* what, const char* at) {
    char msg[160];
    std::size_t offset = at ? std::size_t(at - buf_.data()) : pos_;
    std::snprintf(msg, sizeof msg, "not a property list: %s (near byte %zu)", what, consumed_ + offset);
    error_ = msg;
    return false;
}

bool Reader::fill() {
    if (eof_) return false;
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, len_ - pos_);
        consumed_ += pos_;
        len_ -= pos_;
        pos_ = 0;
    }
    if (len_ == capacity()) buf_.resize(capacity() * 2 + kSlack);  // one token longer than the buffer
    long n = in_.read(buf_.data() + len_, capacity() - len_);
    if (n < 0) ioError_ = true;
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    len_ += std::size_t(n);
    return true;
}

void Reader::attach(const Node& node) {
    if (frames_.empty()) {
        if (!haveRoot_) {
            Node* n = arena_.allocateArray<Node>(1);
            *n = node;
            root_ = n;
            haveRoot_ = true;
        }
        return;
    }
    Frame& f = frames_.back();
    if (!f.isDict) {
        if (node.type != Type::Null) items_.push_back(node);
        return;
    }
    const char* key = f.pendingKey;
    if (!key) return;  // a value without a key is dropped
    f.pendingKey = nullptr;
    if (node.type == Type::Null) return;  // unreadable value: the key is absent

    // A repeated key: the later value wins, in the place of the first. The
    // stamp says whether this dict used the key already; a later stamp was
    // left by a dict nested in this one, and then only a search can tell.
    std::uint32_t& stamp = KeyTable::stampOf(key);
    if (stamp >= f.id) {
        for (std::size_t i = f.start; i < entries_.size(); ++i) {
            if (entries_[i].key == key) {
                entries_[i].value = node;
                stamp = f.id;
                return;
            }
        }
    }
    stamp = f.id;
    entries_.push_back(Entry{key, node});
}

void Reader::closeContainer() {
    Frame& f = frames_.back();
    Node node;
    if (f.isDict) {
        std::size_t n = entries_.size() - f.start;
        Entry* block = arena_.allocateArray<Entry>(n);
        if (n) std::memcpy(static_cast<void*>(block), entries_.data() + f.start, n * sizeof(Entry));
        entries_.resize(f.start);
        node.type = Type::Dict;
        node.size = std::uint32_t(n);
        node.entries = block;
    } else {
        std::size_t n = items_.size() - f.start;
        Node* block = arena_.allocateArray<Node>(n);
        if (n) std::memcpy(static_cast<void*>(block), items_.data() + f.start, n * sizeof(Node));
        items_.resize(f.start);
        node.type = Type::Array;
        node.size = std::uint32_t(n);
        node.items = block;
    }
    frames_.pop_back();
    attach(node);
}

// Whether `name` is the element name of that kind of leaf.
bool Reader::namesLeaf(std::string_view name, Leaf leaf) {
    switch (leaf) {
    case Leaf::Key: return is(name, "key");
    case Leaf::String: return is(name, "string");
    case Leaf::Integer: return is(name, "integer");
    case Leaf::Real: return is(name, "real");
    case Leaf::Date: return is(name, "date");
    case Leaf::Data: return is(name, "data");
    case Leaf::True: return is(name, "true");
    case Leaf::False: return is(name, "false");
    case Leaf::None:
    case Leaf::Skip: break;
    }
    return false;
}

// The value of a leaf from its text; false for a syntax error.
bool Reader::leafValue(std::string_view t, bool hasAmpersand) {
    Node n;
    switch (leaf_) {
    case Leaf::Key:
        if (hasAmpersand) t = decodeEntities(t, scratch_);
        if (!frames_.empty() && frames_.back().isDict) frames_.back().pendingKey = keys_.intern(t);
        return true;  // a stray key is ignored
    case Leaf::String:
        if (hasAmpersand) t = decodeEntities(t, scratch_);
        if (t.size() <= 0xFFFFFFFFu) {
            n.type = Type::String;
            n.size = std::uint32_t(t.size());
            n.s = arena_.storeString(t);
        }
        break;
    case Leaf::Integer:
        if (auto v = fastInteger(t)) {
            n.type = Type::Integer;
            n.i = *v;
        }
        break;
    case Leaf::Real:
        if (auto v = parseReal(t)) {
            n.type = Type::Real;
            n.d = *v;
        }
        break;
    case Leaf::Date:
        if (auto v = parseDate(t)) {
            n.type = Type::Date;
            n.d = v->secondsSince1970;
        }
        break;
    case Leaf::Data:
        if (auto bytes = decodeBase64(t, scratch_); bytes && bytes->size() <= 0xFFFFFFFFu) {
            n.type = Type::Data;
            n.size = std::uint32_t(bytes->size());
            n.s = arena_.storeString(*bytes);
        }
        break;
    case Leaf::True:
    case Leaf::False:
        n.type = Type::Bool;
        n.b = leaf_ == Leaf::True;
        break;
    case Leaf::None:
    case Leaf::Skip: break;
    }
    leafNode_ = n;
    return true;
}

bool Reader::text(const char* p, const char* end, bool hasAmpersand) {
    if (leaf_ == Leaf::Skip) return true;
    if (leaf_ != Leaf::None) {
        if (leafHasText_) return fail("markup inside a value", p);
        leafHasText_ = true;
        return leafValue(std::string_view(p, std::size_t(end - p)), hasAmpersand);
    }
    for (; p < end; ++p)
        if (!isSpace(*p)) return fail("text outside of any value", p);
    return true;
}

// One tag; `at` is its '<', for error positions.
bool Reader::tag(std::string_view name, bool closing, bool selfClosing, const char* at) {
    const char* p = at;
    if (name.empty()) return fail("empty tag", p);

    if (leaf_ == Leaf::Skip) {
        if (name == skipName_) {
            if (closing) --skipDepth_;
            else if (!selfClosing) ++skipDepth_;
        }
        if (skipDepth_ == 0) {
            leaf_ = Leaf::None;
            attach(Node());
        }
        return true;
    }
    if (leaf_ != Leaf::None) {
        // Only the leaf's own end tag may follow its text.
        if (!closing || !namesLeaf(name, leaf_)) return fail("unexpected element inside a value", p);
        if (!leafHasText_ && !leafValue({})) return false;
        Leaf done = leaf_;
        leaf_ = Leaf::None;
        if (done != Leaf::Key) attach(leafNode_);
        return true;
    }

    if (closing) {
        bool dict = is(name, "dict");
        if (!dict && !is(name, "array")) {
            if (!is(name, "plist")) return fail("mismatched closing tag", p);
            if (!frames_.empty()) return fail("</plist> inside a container", p);
            return true;
        }
        if (frames_.empty()) return fail("closing tag without an opening one", p);
        if (dict != frames_.back().isDict) return fail("mismatched closing tag", p);
        closeContainer();
        return true;
    }
    if (haveRoot_ && frames_.empty()) return fail("more than one top-level value", p);

    Leaf leaf = Leaf::None;
    switch (name.size()) {
    case 3:
        if (is(name, "key")) leaf = Leaf::Key;
        break;
    case 4:
        if (is(name, "dict")) {
            if (frames_.size() > 512) return fail("nesting too deep", p);
            if (selfClosing) {
                Node n;
                n.type = Type::Dict;
                attach(n);
            } else {
                frames_.push_back(Frame{true, nextFrameId_++, entries_.size()});
            }
            return true;
        }
        if (is(name, "true")) leaf = Leaf::True;
        else if (is(name, "real")) leaf = Leaf::Real;
        else if (is(name, "date")) leaf = Leaf::Date;
        else if (is(name, "data")) leaf = Leaf::Data;
        break;
    case 5:
        if (is(name, "array")) {
            if (frames_.size() > 512) return fail("nesting too deep", p);
            if (selfClosing) {
                Node n;
                n.type = Type::Array;
                attach(n);
            } else {
                frames_.push_back(Frame{false, nextFrameId_++, items_.size()});
            }
            return true;
        }
        if (is(name, "false")) leaf = Leaf::False;
        else if (is(name, "plist")) {
            if (sawPlist_ || !frames_.empty()) return fail("nested <plist>", p);
            sawPlist_ = true;
            return true;
        }
        break;
    case 6:
        if (is(name, "string")) leaf = Leaf::String;
        break;
    case 7:
        if (is(name, "integer")) leaf = Leaf::Integer;
        break;
    default: break;
    }
    if (leaf == Leaf::None) {
        // Unknown element: skipped, and it counts as an unreadable value. As the
        // top element of a document without <plist> it is another kind of XML.
        if (frames_.empty() && !sawPlist_) return fail("not a property-list element", p);
        if (selfClosing) {
            attach(Node());
            return true;
        }
        leaf_ = Leaf::Skip;
        skipName_.assign(name);
        skipDepth_ = 1;
        return true;
    }
    leaf_ = leaf;
    leafHasText_ = false;
    leafNode_ = Node();
    if (selfClosing) {
        if (!leafValue({})) return false;
        leaf_ = Leaf::None;
        if (leaf != Leaf::Key) attach(leafNode_);
    }
    return true;
}

// Processes the complete tokens before `limit` (a '<', or the end of the
// input at its end). Markup that runs past it waits for more input.
Reader::Round Reader::round(std::size_t limit) {
    char* base = buf_.data();
    const char* p = base + pos_;
    const char* lim = base + limit;
    while (p < lim) {
        if (*p != '<') {
            if (leaf_ == Leaf::None) {
                // Between elements only blanks may stand.
                while (kClasses.space[std::uint8_t(*p)]) ++p;
                if (*p != '<') {
                    fail("text outside of any value", p);
                    return Round::Failed;
                }
                continue;
            }
            const char* t = p;
            bool hasAmpersand = false;
            p = scanText(p, hasAmpersand);  // stops at the limit at the latest
            if (!text(t, p, hasAmpersand)) return Round::Failed;
            continue;
        }
        const char* q = p + 1;
        bool closing = *q == '/';
        if (closing) {
            ++q;
        } else if (*q == '!' || *q == '?') {
            // Comments, processing instructions and the document type may hold
            // '<' and run past the limit: look for their end in all that was read.
            std::string_view rest(p, std::size_t(base + len_ - p));
            std::size_t close;
            if (rest.starts_with("<!--")) {
                close = rest.find("-->", 4);
                if (close != std::string_view::npos) close += 2;
            } else {
                close = rest.find('>');
                std::string_view head = rest.substr(0, close);
                if (close != std::string_view::npos && head.find('[') != std::string_view::npos && head.find(']') == std::string_view::npos) {
                    std::size_t bracket = rest.find(']', close);
                    close = bracket == std::string_view::npos ? bracket : rest.find('>', bracket);
                }
            }
            if (leaf_ != Leaf::None && leaf_ != Leaf::Skip) {
                fail("markup inside a value", p);
                return Round::Failed;
            }
            if (close == std::string_view::npos) {
                pos_ = std::size_t(p - base);
                if (!eof_) return Round::NeedMore;
                fail("unterminated markup", p);
                return Round::Failed;
            }
            p += close + 1;
            continue;
        }
        const char* nameStart = q;
        std::size_t known = knownNameLength(q);
        if (known) q += known;
        else
            while (kClasses.name[std::uint8_t(*q)]) ++q;
        std::string_view name(nameStart, std::size_t(q - nameStart));
        bool selfClosing = false;
        if (*q == '/' && q[1] == '>') {
            selfClosing = !closing;
            ++q;
        } else if (*q != '>') {
            // Attributes or blanks: the tag ends at its '>'.
            while (*q != '>' && *q != '<') ++q;
            if (*q == '<') {
                fail(q >= lim ? "unterminated tag" : "'<' inside a tag", q);
                return Round::Failed;
            }
            selfClosing = !closing && q[-1] == '/';
        }
        if (!tag(name, closing, selfClosing, p)) return Round::Failed;
        p = q + 1;
    }
    pos_ = std::size_t(p - base);
    return Round::Done;
}

Result<const Node*> Reader::run() {
    fill();
    for (;;) {
        std::size_t limit;
        if (eof_) {
            limit = len_;
            buf_[len_] = '<';  // the sentinel that stops the scans
        } else {
            const void* last = len_ > pos_ + 1 ? ::memrchr(buf_.data() + pos_ + 1, '<', len_ - pos_ - 1) : nullptr;
            if (!last) {
                fill();
                continue;
            }
            limit = std::size_t(static_cast<const char*>(last) - buf_.data());
        }
        Round r = round(limit);
        if (r == Round::Failed) return std::unexpected(syntaxError());
        if (eof_ && r == Round::Done) break;
        fill();
    }
    if (ioError_) return std::unexpected(Error{Error::Kind::Io, "read error"});
    if (leaf_ != Leaf::None || !frames_.empty()) {
        fail("truncated: an element is not closed", nullptr);
        return std::unexpected(syntaxError());
    }
    if (!haveRoot_) {
        fail("no value", nullptr);
        return std::unexpected(syntaxError());
    }
    return root_;
}

Result<Document> runReader(Input& in, std::size_t bufferSize = kChunk) {
    Document doc;
    Reader reader(in, doc, bufferSize);
    auto root = reader.run();
    if (!root) return std::unexpected(root.error());
    doc.setRoot(*root);
    return doc;
}

}  // namespace

Result<Document> parseXml(std::string_view text) {
    MemoryInput in(text);
    // A short text needs no full chunk (zero-filling one dominated small reads).
    return runReader(in, std::min(kChunk, text.size() + 1));
}

Result<Document> readFile(const std::string& path) {
    // Without blocking: a FIFO would otherwise hold the open until a writer came.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(Error{Error::Kind::Io, path + ": " + std::strerror(errno)});
    auto doc = readFile(fd, path);
    ::close(fd);
    return doc;
}

Result<Document> readFile(int fd, const std::string& name) {
    auto ioError = [&](const char* reason) { return std::unexpected(Error{Error::Kind::Io, name + ": " + reason}); };
    struct stat st;
    if (::fstat(fd, &st) != 0) return ioError(std::strerror(errno));
    // A device, a FIFO or a folder has no end to read to (or none at all).
    if (!S_ISREG(st.st_mode)) return ioError("not a regular file");
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return ioError(std::strerror(errno));
    const auto size = std::uint64_t(st.st_size);
    char magic[8];
    ssize_t got = ::pread(fd, magic, std::size_t(std::min<std::uint64_t>(sizeof magic, size)), 0);
    if (got < 0) return ioError(std::strerror(errno));
    if (got >= 6 && std::memcmp(magic, "bplist", 6) == 0) {
        std::string bytes(std::size_t(size), '\0');
        std::size_t have = 0;
        while (have < bytes.size()) {
            ssize_t n = ::pread(fd, bytes.data() + have, bytes.size() - have, off_t(have));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return ioError(std::strerror(errno));
            if (n == 0) break;  // shorter now than when it was opened
            have += std::size_t(n);
        }
        bytes.resize(have);
        return parseBinary(bytes);
    }
    if (::lseek(fd, 0, SEEK_SET) != 0) return ioError(std::strerror(errno));
    FileInput in(fd, size);
    auto doc = runReader(in);
    if (!doc && doc.error().kind == Error::Kind::Io) doc.error().message = name + ": read error";
    return doc;
}

Result<Document> parse(std::string_view bytes) {
    if (bytes.starts_with("bplist")) return parseBinary(bytes);
    return parseXml(bytes);
}

}  // namespace plist
