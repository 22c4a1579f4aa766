#include "SongContext.h"

#include "PathUtils.h"
#include "platform/Defaults.h"

namespace {

QString withFatRules(QString name, bool fat) {
    if (!fat) return name;
    for (QChar& c : name) {
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

bool SongContext::convertsToAac() const { return defaults_.string("convertToFormat") == u"AAC"; }

int SongContext::convertToBitrate() const { return int(defaults_.integer("convertToBitrate")); }

QString SongContext::folderName(const QString& name) const {
    // An empty name would join into "a//b", a path the player listing never
    // gives back, so the song would be copied again on every pass.
    if (name.isEmpty()) return QStringLiteral("_");
    return withFatRules(stringByReplacingBadChars(name), fatNames());
}

QString SongContext::fileNamePart(const QString& name) const {
    return withFatRules(stringByReplacingBadChars(name), fatNames());
}

QString sizeText(quint64 bytes) {
    return QString::asprintf("%.1f MB", double(float(bytes)) * 9.53674316e-07);
}
