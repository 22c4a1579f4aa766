#include "SongContext.h"

#include "PathUtils.h"
#include "platform/Defaults.h"

namespace {

// FAT and exFAT refuse these characters and control characters in names.
// Linux's vfat and exfat drivers also strip a trailing "." and refuse a
// trailing " ": a folder named so would stand under another name than the
// planned one and be copied again on every pass.
QString withFatRules(QString name, bool fat, bool component) {
    if (!fat) return name;
    if (component && (name.endsWith(u'.') || name.endsWith(u' '))) name.back() = u'_';
    for (QChar& c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) {
            c = u'_';
            continue;
        }
        switch (c.unicode()) {
        case u'"':
        case u'*':
        case u'<':
        case u'>':
        case u'\\':
        case u'|': c = u'_'; break;
        default: break;
        }
    }
    return name;
}

// The units a name takes on the player, as it is written (decomposed).
qsizetype storedUnits(QStringView name, bool fat) {
    // Below U+00C0 nothing decomposes, so most names need no decomposing.
    qsizetype plain = 0;
    bool simple = true;
    for (QChar c : name) {
        if (c.unicode() >= 0xC0) {
            simple = false;
            break;
        }
        plain += fat || c.unicode() < 0x80 ? 1 : 2;
    }
    if (simple) return plain;
    QString d = decomposed(name.toString());
    return fat ? d.size() : d.toUtf8().size();
}

// The name decomposed and cut so that it takes at most `room` units, never
// inside a surrogate pair or a UTF-8 sequence; unchanged when it fits.
QString fitted(const QString& name, qsizetype room, bool fat) {
    // Decomposing takes a while and nearly every name fits: a bound first,
    // generous for any decomposition (a few characters at most per unit,
    // each a few bytes in UTF-8).
    qsizetype bound = 0;
    for (QChar c : name) bound += c.unicode() < 0x80 ? 1 : c.unicode() < 0xC0 ? 2 : fat ? 6 : 18;
    if (bound <= room) return name;
    if (storedUnits(name, fat) <= room) return name;
    const QString d = decomposed(name);
    qsizetype used = 0, end = 0;
    for (qsizetype i = 0; i < d.size();) {
        const char32_t c = QChar::isHighSurrogate(d[i].unicode()) && i + 1 < d.size() ? QChar::surrogateToUcs4(d[i], d[i + 1]) : d[i].unicode();
        const qsizetype units = c > 0xFFFF ? 2 : 1;
        used += fat ? units : c < 0x80 ? 1 : c < 0x800 ? 2 : c > 0xFFFF ? 4 : 3;
        if (used > room) break;
        i += units;
        end = i;
    }
    return d.left(end);
}

}  // namespace

std::uint64_t SongContext::nextId() {
    static std::atomic<std::uint64_t> last{0};
    return ++last;
}

const SongContext::Settings& SongContext::settings() const {
    struct Copy {
        std::uint64_t context = 0;
        std::uint64_t generation = 0;
        Settings settings;
    };
    thread_local Copy copy;
    // Read before the values: a change made while they are read raises it
    // again, and the next call reads them anew.
    std::uint64_t generation = defaults_.generation();
    if (copy.context == id_ && copy.generation == generation) return copy.settings;
    Settings& s = copy.settings;
    s.convertHighBitRateSongs = defaults_.integer("convertHighBitRateSongs") != 0;
    s.convertHighBitRateThreshold = defaults_.integer("convertHighBitRateThreshold");
    s.playerAacCompatible = defaults_.boolean("playerAacCompatible");
    s.convertsToAac = defaults_.string("convertToFormat") == u"AAC";
    s.convertToBitrate = int(defaults_.integer("convertToBitrate"));
    s.pathToPlayer = defaults_.string("pathToPlayer");
    s.createArtistSubfolders = defaults_.boolean("createArtistSubfolders");
    s.createAlbumSubfolders = defaults_.boolean("createAlbumSubfolders");
    copy.context = id_;
    copy.generation = generation;
    return s;
}

QString SongContext::folderName(const QString& name) const {
    // An empty name would join into "a//b", a path the player listing never
    // gives back, so the song would be copied again on every pass.
    if (name.isEmpty()) return QStringLiteral("_");
    const bool fat = fatNames();
    // Cut first: the cut may end the name in a "." or " ".
    return withFatRules(fitted(stringByReplacingBadChars(name), kMaxNameUnits, fat), fat, true);
}

QString SongContext::fileName(QStringView prefix, const QString& name, QStringView extension) const {
    const bool fat = fatNames();
    // The extension follows the name part, so its end is no name's end.
    const qsizetype room = kMaxNameUnits - storedUnits(prefix, fat) - 1 - storedUnits(extension, fat);
    return prefix + withFatRules(fitted(stringByReplacingBadChars(name), std::max<qsizetype>(room, 0), fat), fat, false) + u'.' + extension;
}

QString sizeText(quint64 bytes) {
    return QString::asprintf("%.1f MB", double(float(bytes)) * 9.53674316e-07);
}
