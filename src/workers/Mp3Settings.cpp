#include "Mp3Settings.h"

#include <QtEndian>

#include <cstdint>
#include <cstring>

namespace {

constexpr std::uint32_t fourCc(const char (&s)[5]) {
    return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
           std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
}

constexpr int containerHeaderSize = 12;
constexpr int atomHeaderSize = 20;

void appendBigEndian32(QByteArray& out, std::uint32_t v) {
    char b[4];
    qToBigEndian(v, b);
    out.append(b, 4);
}

void appendAtomHeader(QByteArray& out, std::uint32_t size, std::uint32_t type, std::uint32_t id, std::uint16_t children) {
    appendBigEndian32(out, size);
    appendBigEndian32(out, type);
    appendBigEndian32(out, id);
    out.append(2, '\0');
    char c[2];
    qToBigEndian(children, c);
    out.append(c, 2);
    out.append(4, '\0');
}

// A 4-byte leaf; `bytes` is already in the order it is stored in.
void appendLeaf(QByteArray& out, std::uint32_t type, const char (&bytes)[4]) {
    // IDs passed as 0 to the old QTInsertChild became the first unique ID
    // among siblings of that type, which is 1 for each of these.
    appendAtomHeader(out, atomHeaderSize + 4, type, 1, 0);
    out.append(bytes, 4);
}

struct Atom {
    qsizetype offset;  // of its header
    std::uint32_t size;
    std::uint32_t type;
    std::uint16_t children;
};

std::uint32_t readBigEndian32(const QByteArray& b, qsizetype at) { return qFromBigEndian<std::uint32_t>(b.constData() + at); }

// The atom at `offset`, if its header and its whole size fit before `end`.
std::optional<Atom> atomAt(const QByteArray& b, qsizetype offset, qsizetype end) {
    if (offset < 0 || end > b.size() || end - offset < atomHeaderSize) return std::nullopt;
    Atom a{offset, readBigEndian32(b, offset), readBigEndian32(b, offset + 4),
           qFromBigEndian<std::uint16_t>(b.constData() + offset + 14)};
    if (a.size < std::uint32_t(atomHeaderSize) || a.size > std::uint64_t(end - offset)) return std::nullopt;
    return a;
}

std::optional<Atom> findChild(const QByteArray& b, const Atom& parent, std::uint32_t type) {
    const qsizetype end = parent.offset + parent.size;
    qsizetype offset = parent.offset + atomHeaderSize;
    for (int i = 0; i < parent.children; ++i) {
        auto child = atomAt(b, offset, end);
        if (!child) return std::nullopt;
        if (child->type == type) return child;
        offset += child->size;
    }
    return std::nullopt;
}

}  // namespace

QByteArray makeMp3SettingsContainer(int bitrateKbps) {
    constexpr int leafSize = atomHeaderSize + 4;
    constexpr int lameSize = atomHeaderSize + 5 * leafSize;
    constexpr int rootSize = atomHeaderSize + lameSize;

    QByteArray out;
    out.reserve(containerHeaderSize + rootSize);
    out.append(containerHeaderSize, '\0');  // reserved, then lock count 0
    appendAtomHeader(out, rootSize, fourCc("sean"), 1, 1);
    appendAtomHeader(out, lameSize, fourCc("Lame"), 1000, 5);

    const std::uint32_t version = 1;
    char vers[4];
    std::memcpy(vers, &version, 4);  // the exporter read it as a native integer
    appendLeaf(out, fourCc("VERS"), vers);

    char qual[4];
    qToBigEndian(std::uint32_t(bitrateKbps), qual);
    appendLeaf(out, fourCc("QUAL"), qual);

    const char zero[4] = {};
    appendLeaf(out, fourCc("MIN "), zero);
    appendLeaf(out, fourCc("AVG "), zero);
    appendLeaf(out, fourCc("MAX "), zero);
    return out;
}

std::optional<int> mp3BitrateFromSettings(const QByteArray& container) {
    auto root = atomAt(container, containerHeaderSize, container.size());
    if (!root || root->type != fourCc("sean")) return std::nullopt;
    auto lame = findChild(container, *root, fourCc("Lame"));
    if (!lame) return std::nullopt;
    auto qual = findChild(container, *lame, fourCc("QUAL"));
    if (!qual || qual->children != 0 || qual->size != std::uint32_t(atomHeaderSize + 4)) return std::nullopt;
    const std::uint32_t rate = readBigEndian32(container, qual->offset + atomHeaderSize);
    if (rate == 0 || rate > 10000) return std::nullopt;
    return int(rate);
}
