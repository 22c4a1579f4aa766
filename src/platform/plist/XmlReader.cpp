// XML property-list reader.
//
// A single pass over the text with an explicit stack: containers collect their
// children on two reusable stacks (items, entries) and are copied into the
// document's arena in one block when they close. Keys are interned, so the
// millions of repeated keys of a library file share one copy and duplicate
// keys in a dict are found by pointer. The input arrives in chunks of a reused
// buffer, so a large file is never held whole in memory.

#include "Arena.h"
#include "Plist.h"
#include "PlistText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include <fcntl.h>
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

class FileInput final : public Input {
public:
    explicit FileInput(int fd) : fd_(fd) {}
    ~FileInput() override { ::close(fd_); }
    long read(char* dst, std::size_t cap) override {
        for (;;) {
            ssize_t n = ::read(fd_, dst, cap);
            if (n >= 0) return long(n);
            if (errno != EINTR) return -1;
        }
    }

private:
    int fd_;
};

// Interning table: open addressing over arena strings. The hash is kept in
// the slot so that a probe rarely looks at the text.
class Interner {
public:
    explicit Interner(Arena& arena) : arena_(arena), slots_(1024) {}

    const char* intern(std::string_view s) {
        std::uint64_t h = hash(s);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = std::size_t(h >> 20) & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (!slot.text) {
                slot = Slot{h, arena_.storeString(s)};
                const char* k = slot.text;
                if (++count_ * 2 > slots_.size()) rehash();
                return k;
            }
            if (slot.hash == h && keyLength(slot.text) == s.size() && std::memcmp(slot.text, s.data(), s.size()) == 0) return slot.text;
        }
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        const char* text = nullptr;
    };
    static std::uint64_t hash(std::string_view s) {
        // FNV-1a over 8-byte words, then a multiply to spread the bits.
        std::uint64_t h = 1469598103934665603ull ^ s.size();
        std::size_t i = 0;
        for (; i + 8 <= s.size(); i += 8) {
            std::uint64_t w;
            std::memcpy(&w, s.data() + i, 8);
            h = (h ^ w) * 1099511628211ull;
        }
        for (; i < s.size(); ++i) h = (h ^ std::uint8_t(s[i])) * 1099511628211ull;
        h ^= h >> 32;
        return h * 0x9E3779B97F4A7C15ull;
    }
    void rehash() {
        std::vector<Slot> old(slots_.size() * 2);
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
    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

class Reader {
public:
    Reader(Input& in, Document& doc, std::size_t bufferSize)
        : in_(in), doc_(doc), arena_(doc.arena()), keys_(arena_), shortStrings_(arena_) {
        buf_.resize(bufferSize);
    }

    Result<const Node*> run();

private:
    struct Frame {
        bool isDict;
        std::size_t start;                // into entries_ or items_
        const char* pendingKey = nullptr;  // dict: key waiting for its value
        bool haveKey = false;
        std::unique_ptr<std::unordered_set<const char*>> seen;  // large dicts only
    };

    // Buffer handling. Offsets are relative to pos_ so that they survive a refill.
    bool fill();
    bool ensure(std::size_t n);
    bool find(char c, std::size_t from, std::size_t& at);
    std::string_view view(std::size_t from, std::size_t to) const {
        return {buf_.data() + pos_ + from, to - from};
    }
    void skipWhitespace();

    Error syntax(const char* what) const;

    Result<bool> skipMarkup();  // <?...?>, <!-- -->, <!DOCTYPE>
    Result<std::string_view> elementText(std::string_view name, bool selfClosing);
    Result<bool> skipElement(std::string_view name, bool selfClosing);
    void attach(Node node);
    void closeContainer();

    Input& in_;
    Document& doc_;
    Arena& arena_;
    Interner keys_;
    Interner shortStrings_;
    std::vector<char> buf_;
    std::size_t pos_ = 0, len_ = 0;
    bool eof_ = false, ioError_ = false;
    std::size_t consumed_ = 0;  // bytes before buf_[0], for error positions

    std::vector<Frame> frames_;
    std::vector<Node> items_;
    std::vector<Entry> entries_;
    std::string scratch_;
    const Node* root_ = nullptr;
    bool haveRoot_ = false;
};

bool Reader::fill() {
    if (eof_) return false;
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, len_ - pos_);
        consumed_ += pos_;
        len_ -= pos_;
        pos_ = 0;
    }
    if (len_ == buf_.size()) buf_.resize(buf_.size() * 2);  // one token longer than a chunk
    long n = in_.read(buf_.data() + len_, buf_.size() - len_);
    if (n < 0) ioError_ = true;
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    len_ += std::size_t(n);
    return true;
}

bool Reader::ensure(std::size_t n) {
    while (len_ - pos_ < n)
        if (!fill()) return false;
    return true;
}

bool Reader::find(char c, std::size_t from, std::size_t& at) {
    for (;;) {
        std::size_t avail = len_ - pos_;
        if (from < avail) {
            const void* hit = std::memchr(buf_.data() + pos_ + from, c, avail - from);
            if (hit) {
                at = std::size_t(static_cast<const char*>(hit) - (buf_.data() + pos_));
                return true;
            }
            from = avail;
        }
        if (!fill()) return false;
    }
}

void Reader::skipWhitespace() {
    for (;;) {
        while (pos_ < len_) {
            char c = buf_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
            ++pos_;
        }
        if (!fill()) return;
    }
}

Error Reader::syntax(const char* what) const {
    char msg[160];
    std::snprintf(msg, sizeof msg, "not a property list: %s (near byte %zu)", what, consumed_ + pos_);
    return Error{Error::Kind::Syntax, msg};
}

// Processing instructions, comments and the document type; pos_ is at '<'.
Result<bool> Reader::skipMarkup() {
    if (!ensure(4)) return std::unexpected(syntax("truncated markup"));
    std::size_t at;
    if (buf_[pos_ + 1] == '!' && buf_[pos_ + 2] == '-' && buf_[pos_ + 3] == '-') {
        std::size_t from = 4;
        for (;;) {
            if (!find('>', from, at)) return std::unexpected(syntax("unterminated comment"));
            if (at >= 6 && buf_[pos_ + at - 1] == '-' && buf_[pos_ + at - 2] == '-') break;
            from = at + 1;
        }
    } else {
        if (!find('>', 1, at)) return std::unexpected(syntax("unterminated markup"));
        // A document type with an internal subset holds '>' inside brackets.
        std::string_view head = view(0, at);
        if (head.starts_with("<!") && head.find('[') != std::string_view::npos && head.find(']') == std::string_view::npos) {
            std::size_t close;
            if (!find(']', at, close) || !find('>', close, at)) return std::unexpected(syntax("unterminated document type"));
        }
    }
    pos_ += at + 1;
    return true;
}

// The text of an element whose start tag was just consumed, and its end tag.
// The view stays valid until the next read from the input.
Result<std::string_view> Reader::elementText(std::string_view name, bool selfClosing) {
    if (selfClosing) return std::string_view();
    std::size_t lt, gt;
    if (!find('<', 0, lt) || !find('>', lt, gt)) return std::unexpected(syntax("unterminated element"));
    std::string_view end = view(lt + 1, gt);
    while (!end.empty() && (end.back() == ' ' || end.back() == '\t' || end.back() == '\n' || end.back() == '\r')) end.remove_suffix(1);
    if (end.size() != name.size() + 1 || end[0] != '/' || end.substr(1) != name) return std::unexpected(syntax("unexpected element inside a value"));
    std::string_view text = view(0, lt);
    pos_ += gt + 1;
    return text;
}

// An element this reader does not know: skipped whole, nested ones included.
Result<bool> Reader::skipElement(std::string_view tagName, bool selfClosing) {
    if (selfClosing) return true;
    std::string name(tagName);
    int depth = 1;
    while (depth > 0) {
        std::size_t lt, gt;
        if (!find('<', 0, lt) || !find('>', lt, gt)) return std::unexpected(syntax("unterminated element"));
        std::string_view tag = view(lt + 1, gt);
        bool closing = !tag.empty() && tag[0] == '/';
        std::string_view tname = closing ? tag.substr(1) : tag;
        tname = tname.substr(0, tname.find_first_of(" \t\r\n/"));
        if (tname == name) {
            if (closing) --depth;
            else if (tag.empty() || tag.back() != '/') ++depth;
        }
        pos_ += gt + 1;
    }
    return true;
}

void Reader::attach(Node node) {
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
    if (!f.haveKey) return;  // a value without a key is dropped
    const char* key = f.pendingKey;
    f.haveKey = false;
    if (node.type == Type::Null) return;  // unreadable value: the key is absent

    // A repeated key: the later value wins, in the place of the first.
    std::size_t count = entries_.size() - f.start;
    if (count > 64 && !f.seen) {
        f.seen = std::make_unique<std::unordered_set<const char*>>();
        for (std::size_t i = f.start; i < entries_.size(); ++i) f.seen->insert(entries_[i].key);
    }
    bool repeated = f.seen ? !f.seen->insert(key).second : false;
    if (!f.seen || repeated) {
        for (std::size_t i = f.start; i < entries_.size(); ++i) {
            if (entries_[i].key == key) {
                entries_[i].value = node;
                return;
            }
        }
    }
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

Result<const Node*> Reader::run() {
    bool sawPlist = false;
    for (;;) {
        skipWhitespace();
        if (pos_ >= len_ && !fill()) break;
        if (buf_[pos_] != '<') return std::unexpected(syntax("text outside of any value"));
        if (!ensure(2)) return std::unexpected(syntax("truncated"));
        char second = buf_[pos_ + 1];
        if (second == '?' || second == '!') {
            auto skipped = skipMarkup();
            if (!skipped) return std::unexpected(skipped.error());
            continue;
        }
        std::size_t gt;
        if (!find('>', 1, gt)) return std::unexpected(syntax("unterminated tag"));
        std::string_view tag = view(1, gt);
        if (tag.empty()) return std::unexpected(syntax("empty tag"));
        bool closing = tag[0] == '/';
        bool selfClosing = !closing && tag.size() > 1 && tag.back() == '/';
        std::string_view nameView = closing ? tag.substr(1) : tag.substr(0, tag.size() - (selfClosing ? 1 : 0));
        nameView = nameView.substr(0, nameView.find_first_of(" \t\r\n"));
        // Element names are short; copy so the view survives the reads below.
        char nameBuf[16];
        std::size_t nameLen = std::min(nameView.size(), sizeof nameBuf);
        std::memcpy(nameBuf, nameView.data(), nameLen);
        std::string_view name(nameBuf, nameView.size() > sizeof nameBuf ? 0 : nameLen);
        if (nameView.size() > sizeof nameBuf) name = "?";
        pos_ += gt + 1;

        if (closing) {
            if (name == "plist") {
                if (!frames_.empty()) return std::unexpected(syntax("</plist> inside a container"));
                continue;
            }
            if (frames_.empty()) return std::unexpected(syntax("closing tag without an opening one"));
            if ((name == "dict") != frames_.back().isDict || (name != "dict" && name != "array"))
                return std::unexpected(syntax("mismatched closing tag"));
            closeContainer();
            continue;
        }
        if (haveRoot_ && frames_.empty()) return std::unexpected(syntax("more than one top-level value"));

        if (name == "plist") {
            if (sawPlist || !frames_.empty()) return std::unexpected(syntax("nested <plist>"));
            sawPlist = true;
            continue;
        }
        if (name == "dict" || name == "array") {
            if (frames_.size() > 512) return std::unexpected(syntax("nesting too deep"));
            if (selfClosing) {
                Node n;
                n.type = name == "dict" ? Type::Dict : Type::Array;
                attach(n);
            } else {
                frames_.push_back(Frame{name == "dict", name == "dict" ? entries_.size() : items_.size()});
            }
            continue;
        }
        if (name == "key") {
            auto text = elementText(name, selfClosing);
            if (!text) return std::unexpected(text.error());
            if (frames_.empty() || !frames_.back().isDict) continue;  // a stray key is ignored
            std::string_view k = *text;
            if (k.find('&') != std::string_view::npos) k = decodeEntities(k, scratch_);
            frames_.back().pendingKey = keys_.intern(k);
            frames_.back().haveKey = true;
            continue;
        }
        if (name == "true" || name == "false") {
            auto text = elementText(name, selfClosing);
            if (!text) return std::unexpected(text.error());
            Node n;
            n.type = Type::Bool;
            n.b = name == "true";
            attach(n);
            continue;
        }
        if (name == "string" || name == "integer" || name == "real" || name == "date" || name == "data") {
            auto text = elementText(name, selfClosing);
            if (!text) return std::unexpected(text.error());
            std::string_view t = *text;
            Node n;
            if (name == "string") {
                if (t.find('&') != std::string_view::npos) t = decodeEntities(t, scratch_);
                if (t.size() <= 0xFFFFFFFFu) {
                    n.type = Type::String;
                    n.size = std::uint32_t(t.size());
                    n.s = arena_.storeString(t);
                }
            } else if (name == "integer") {
                if (auto v = parseInteger(t)) {
                    n.type = Type::Integer;
                    n.i = *v;
                }
            } else if (name == "real") {
                if (auto v = parseReal(t)) {
                    n.type = Type::Real;
                    n.d = *v;
                }
            } else if (name == "date") {
                if (auto v = parseDate(t)) {
                    n.type = Type::Date;
                    n.d = v->secondsSince1970;
                }
            } else if (auto bytes = decodeBase64(t, scratch_)) {
                n.type = Type::Data;
                n.size = std::uint32_t(bytes->size());
                n.s = arena_.storeString(*bytes);
            }
            attach(n);
            continue;
        }
        // Unknown element: skipped, and it counts as an unreadable value. As the
        // top element of a document without <plist> it is another kind of XML.
        if (frames_.empty() && !sawPlist) return std::unexpected(syntax("not a property-list element"));
        auto skipped = skipElement(name, selfClosing);
        if (!skipped) return std::unexpected(skipped.error());
        attach(Node());
    }
    if (ioError_) return std::unexpected(Error{Error::Kind::Io, "read error"});
    if (!frames_.empty()) return std::unexpected(syntax("truncated: a container is not closed"));
    if (!haveRoot_) return std::unexpected(syntax("no value"));
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
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(Error{Error::Kind::Io, path + ": " + std::strerror(errno)});
    char magic[8];
    ssize_t got = ::pread(fd, magic, sizeof magic, 0);
    if (got < 0) {
        int e = errno;
        ::close(fd);
        return std::unexpected(Error{Error::Kind::Io, path + ": " + std::strerror(e)});
    }
    if (got >= 6 && std::memcmp(magic, "bplist", 6) == 0) {
        std::string bytes;
        char chunk[65536];
        for (;;) {
            ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                int e = errno;
                ::close(fd);
                return std::unexpected(Error{Error::Kind::Io, path + ": " + std::strerror(e)});
            }
            if (n == 0) break;
            bytes.append(chunk, std::size_t(n));
        }
        ::close(fd);
        return parseBinary(bytes);
    }
    FileInput in(fd);
    auto doc = runReader(in);
    if (!doc && doc.error().kind == Error::Kind::Io) doc.error().message = path + ": read error";
    return doc;
}

Result<Document> parse(std::string_view bytes) {
    if (bytes.starts_with("bplist")) return parseBinary(bytes);
    return parseXml(bytes);
}

}  // namespace plist
