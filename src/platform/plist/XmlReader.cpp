// XML property-list reader: the token scanner over chunked input, and the
// entry points. One pass over the text: the input arrives in chunks of a
// reused buffer, so a large file is never held whole in memory, and each tag
// and text goes to the value builder (XmlBuilder) as soon as it is complete.

#include "Plist.h"

#include "Arena.h"
#include "XmlBuilder.h"

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

// The reader works on tokens (tags and the text between them) of a buffer
// that holds whole tokens only: each round stops at the last '<' read so far,
// so every tag and text before it is complete, and raw pointer scans need no
// bounds checks (the '<' at the limit stops them).
class Reader {
public:
    Reader(Input& in, Document& doc, std::size_t bufferSize) : in_(in), builder_(doc) {
        buf_.resize(std::max<std::size_t>(bufferSize, 16) + kSlack);
    }

    Result<const Node*> run();

private:
    enum class Round { Done, NeedMore, Failed };

    bool fill();
    // Room after the data for the sentinel and for 16-byte reads past it.
    static constexpr std::size_t kSlack = 32;
    std::size_t capacity() const { return buf_.size() - kSlack; }
    Round round(std::size_t limit);
    bool fail(const char* what, const char* at);
    bool builderFailed() { return fail(builder_.failure(), builder_.failedAt()); }
    Error syntaxError() const { return Error{Error::Kind::Syntax, error_}; }

    Input& in_;
    XmlBuilder builder_;
    std::vector<char, LargeAllocator<char>> buf_;
    std::size_t pos_ = 0, len_ = 0;
    bool eof_ = false, ioError_ = false;
    std::size_t consumed_ = 0;  // bytes before buf_[0], for error positions
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

// Processes the complete tokens before `limit` (a '<', or the end of the
// input at its end). Markup that runs past it waits for more input.
Reader::Round Reader::round(std::size_t limit) {
    char* base = buf_.data();
    const char* p = base + pos_;
    const char* lim = base + limit;
    while (p < lim) {
        if (*p != '<') {
            if (!builder_.takesText()) {
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
            if (!builder_.text(std::string_view(t, std::size_t(p - t)), hasAmpersand)) {
                builderFailed();
                return Round::Failed;
            }
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
            if (builder_.inValue()) {
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
        if (!builder_.tag(name, closing, selfClosing, p)) {
            builderFailed();
            return Round::Failed;
        }
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
    if (!builder_.finish()) {
        builderFailed();
        return std::unexpected(syntaxError());
    }
    return builder_.root();
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
