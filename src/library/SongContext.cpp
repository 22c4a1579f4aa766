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
    return withFatRules(stringByReplacingBadChars(name), fatNames(), true);
}

// A part of a file name: the extension follows, so its end is no name's end.
QString SongContext::fileNamePart(const QString& name) const {
    return withFatRules(stringByReplacingBadChars(name), fatNames(), false);
}

QString sizeText(quint64 bytes) {
    return QString::asprintf("%.1f MB", double(float(bytes)) * 9.53674316e-07);
}
