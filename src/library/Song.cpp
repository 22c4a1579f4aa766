#include "Song.h"

#include "SongContext.h"
#include "platform/Defaults.h"
#include "platform/FileSystem.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>

#include <array>
#include <charconv>
#include <cstring>

namespace {

constexpr double kDistantPast = -62135596800.0;  // 0001-01-01T00:00:00Z

QVariant toVariant(plist::Value v) {
    switch (v.type()) {
    case plist::Type::Null: return {};
    case plist::Type::Bool: return v.boolean();
    case plist::Type::Integer: return qlonglong(v.integer());
    case plist::Type::Real: return v.real();
    case plist::Type::String: return QString::fromUtf8(v.string());
    case plist::Type::Date:
        return QDateTime::fromMSecsSinceEpoch(qint64(v.date().secondsSince1970 * 1000), Qt::UTC);
    case plist::Type::Data: return QByteArray(v.data().data(), qsizetype(v.data().size()));
    case plist::Type::Array: {
        QVariantList list;
        for (std::size_t i = 0; i < v.size(); ++i) list.append(toVariant(v.at(i)));
        return list;
    }
    case plist::Type::Dict: {
        QVariantMap map;
        for (std::size_t i = 0; i < v.size(); ++i) map.insert(QString::fromUtf8(v.keyAt(i)), toVariant(v.valueAt(i)));
        return map;
    }
    }
    return {};
}

// What ends a plain run of a file URL: an escape, a query or a fragment.
constexpr auto kUrlSpecial = [] {
    std::array<bool, 256> special{};
    special['%'] = special['?'] = special['#'] = true;
    return special;
}();

// As "%llX" prints it; toUpper() on QString::number's digits costs as much as
// the rest of a cache name.
QString upperHex(std::uint64_t n) {
    char digits[16];
    char* end = std::to_chars(digits, digits + sizeof digits, n, 16).ptr;
    for (char* c = digits; c != end; ++c)
        if (*c >= 'a') *c = char(*c - 'a' + 'A');
    return QString::fromLatin1(digits, end - digits);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = char(c | 0x20);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

// ---- SYContent ----

QVariant SYContent::valueForKey(std::string_view key) const {
    if (key == "Name") return name();
    if (key == "Copied Size") return sizeText(copiedSize());
    return {};
}

// ---- file URLs ----

// "file://localhost/a%20b" or "file:///a%20b" to "/a b". Other hosts and
// schemes, and paths longer than the platform's 1023 bytes, give nothing.
bool appendFileUrlPath(std::string_view url, std::string& out) {
    constexpr std::string_view scheme = "file://";
    if (url.size() < scheme.size() || !std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) { return (a | 0x20) == b || a == b; }))
        return false;
    url.remove_prefix(scheme.size());
    std::size_t slash = url.find('/');
    if (slash == std::string_view::npos) return false;
    std::string_view host = url.substr(0, slash);
    if (!host.empty() && host != "localhost" && host != "LOCALHOST") return false;
    url.remove_prefix(slash);

    // Plain runs are copied whole: the loader decodes every Location.
    const std::size_t start = out.size();
    const char* p = url.data();
    const char* end = p + url.size();
    while (p < end) {
        const char* q = p;
        while (q < end && !kUrlSpecial[std::uint8_t(*q)]) ++q;
        out.append(p, q);
        if (q == end || *q != '%') break;  // a query or fragment is not part of the path
        if (q + 2 < end && hexValue(q[1]) >= 0 && hexValue(q[2]) >= 0) {
            out += char(hexValue(q[1]) * 16 + hexValue(q[2]));
            p = q + 3;
        } else {
            out += '%';
            p = q + 1;
        }
    }
    std::string_view path(out.data() + start, out.size() - start);
    if (path.size() > 1023 || path.find('\0') != std::string_view::npos) {
        out.resize(start);
        return false;
    }
    // A folder URL ends in "/"; the path does not.
    while (out.size() - start > 1 && out.back() == '/') out.pop_back();
    return true;
}

QString decodeFileUrl(std::string_view url, std::string* bytesOut) {
    std::string bytes;
    if (!appendFileUrlPath(url, bytes)) return {};
    QString path = QFile::decodeName(QByteArray::fromStdString(bytes));
    if (bytesOut) *bytesOut = std::move(bytes);
    return path;
}

// ---- Song ----

namespace {
plist::Key resolve(const plist::Document* document, const char* text) { return document ? document->key(text) : plist::Key(text); }
}  // namespace

SongKeys::SongKeys(const plist::Document* d)
    : name(resolve(d, "Name")), album(resolve(d, "Album")), artist(resolve(d, "Artist")), kind(resolve(d, "Kind")),
      bitRate(resolve(d, "Bit Rate")), totalTime(resolve(d, "Total Time")), dateAdded(resolve(d, "Date Added")),
      persistentId(resolve(d, "Persistent ID")), trackId(resolve(d, "Track ID")), trackNumber(resolve(d, "Track Number")),
      location(resolve(d, "Location")), podcast(resolve(d, "Podcast")), compilation(resolve(d, "Compilation")) {}

namespace {
const SongKeys kUnresolvedKeys;
}

Song::Song(plist::Value dict, const SongContext& context, const SongKeys* keys)
    : dict_(dict), context_(context), keys_(keys ? keys : &kUnresolvedKeys) {}

QString Song::text(const plist::Key& key) const {
    plist::Value v = dict_[key];
    return v.isString() ? QString::fromUtf8(v.string()) : QString();
}

QString Song::name() const { return text(keys_->name); }

QString Song::string(std::string_view key) const {
    if (key == "Album") return albumName();
    plist::Value v = dict_[key];
    return v.isString() ? QString::fromUtf8(v.string()) : QString();
}

std::int64_t Song::integer(std::string_view key) const { return dict_[key].asInteger(); }

bool Song::flag(std::string_view key) const { return dict_[key].asBoolean(); }

std::optional<double> Song::date(std::string_view key) const {
    plist::Value v = dict_[key];
    if (v.type() != plist::Type::Date) return std::nullopt;
    return v.date().secondsSince1970;
}

QString Song::persistentId() const { return text(keys_->persistentId); }

QString Song::albumName() const {
    plist::Value v = dict_[keys_->album];
    if (!v.isString() || v.string().empty()) return kOtherSongs;
    return QString::fromUtf8(v.string());
}

QVariant Song::valueForKey(std::string_view key) const {
    // What the loader wrote comes first, as it replaced the file's values.
    if (key == "Album") return albumName();
    if (key == "index") return album_ ? QVariant(index_) : QVariant();
    if (key == "Album Object") return album_ ? QVariant::fromValue(album_) : QVariant();
    if (plist::Value v = dict_[key]) return toVariant(v);
    if (key == "Status") {
        if (legacyIsCopied()) return QStringLiteral("Copied");
        if (!needsConversion()) return QStringLiteral("Ready");
        if (isCached()) return QStringLiteral("Cached");
        return {};
    }
    if (key == "Last Used") return QDateTime::fromMSecsSinceEpoch(qint64(lastUsed() * 1000), Qt::UTC);
    if (key == "Copied Size") return sizeText(copiedSize());
    return {};
}

QString Song::originalPath() const {
    if (!decodedPath_.empty()) return QFile::decodeName(QByteArray::fromRawData(decodedPath_.data(), qsizetype(decodedPath_.size())));
    return decodeFileUrl(dict_[keys_->location].string());
}

std::string Song::originalPathBytes() const {
    if (!decodedPath_.empty()) return std::string(decodedPath_);
    std::string bytes;
    if (decodeFileUrl(dict_[keys_->location].string(), &bytes).isNull()) return {};
    return bytes;
}

QString Song::copyFromPath() const { return needsConversion() ? cachePath() : originalPath(); }

bool Song::needsConversion() const {
    if (!context_.conversionOn()) return false;
    const SongContext::Settings& settings = context_.settings();
    if (settings.convertHighBitRateSongs && dict_[keys_->bitRate].asInteger() > settings.convertHighBitRateThreshold) return true;
    plist::Value kind = dict_[keys_->kind];
    if (kind.string() == "MPEG audio file") return false;
    if (!settings.playerAacCompatible) return true;
    return kind.string() != "AAC audio file";
}

QString Song::cacheDir() const { return context_.cacheDir(); }

namespace {

// The persistent ID as part of a file name: letters and digits as they are,
// any other byte escaped, so that no identifier leads out of the cache folder
// and two never share a name; an overlong one by its digest.
QString cacheNamePart(std::string_view persistentId) {
    auto plain = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    std::size_t length = 0;
    for (char c : persistentId) length += plain(c) ? 1 : 3;
    if (length > 64) {
        QByteArrayView bytes(persistentId.data(), qsizetype(persistentId.size()));
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    char part[64];
    std::size_t n = 0;
    for (char c : persistentId) {
        if (plain(c)) {
            part[n++] = c;
            continue;
        }
        part[n++] = '_';
        part[n++] = kHex[std::uint8_t(c) >> 4];
        part[n++] = kHex[std::uint8_t(c) & 15];
    }
    return QLatin1StringView(part, qsizetype(n));
}

}  // namespace

Song::Conversion Song::conversion() const {
    Conversion c;
    const SongContext::Settings& settings = context_.settings();
    c.aac = settings.convertsToAac;
    c.bitrateKbps = settings.convertToBitrate;
    // The bits of the date as a double and the duration come first, as in
    // the names of older caches; songs imported together share both.
    plist::Value addedValue = dict_[keys_->dateAdded];
    double added = addedValue.type() == plist::Type::Date ? addedValue.date().secondsSince1970 : 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &added, sizeof bits);
    auto time = std::uint32_t(dict_[keys_->totalTime].asInteger());
    c.cachePath = cacheDir() + upperHex(bits) + u'-' + QString::number(time, 16) + u'-' + cacheNamePart(dict_[keys_->persistentId].string()) +
                  (c.aac ? QStringLiteral("-m4a-") : QStringLiteral("-mp3-")) + QString::number(c.bitrateKbps);
    return c;
}

bool Song::isCached() const { return fsys::exists(cachePath()); }

namespace {

QString setAsideMark(const Song& song) { return song.cachePath() + QStringLiteral(".failed"); }

QByteArray sourceStamp(const Song& song) {
    const QString source = song.originalPath();
    auto size = fsys::size(source);
    auto modified = fsys::modificationTime(source);
    return size && modified ? QByteArray::number(*size) + ' ' + QByteArray::number(*modified, 'f', 6) : QByteArray();
}

}  // namespace

void Song::setAside() const {
    QByteArray stamp = sourceStamp(*this);
    if (!stamp.isEmpty() && fsys::makePath(cacheDir())) (void)fsys::writeFileAtomically(setAsideMark(*this), stamp);
}

bool Song::isSetAside() const {
    QFile mark(setAsideMark(*this));
    if (!mark.open(QIODevice::ReadOnly)) return false;
    return mark.read(64) == sourceStamp(*this);
}

QString Song::copiedExtension() const {
    // A converted song is MP3, or AAC in an MPEG-4 file: players go by the
    // name, so it follows the format the cache file was made in.
    if (needsConversion()) return context_.convertsToAac() ? QStringLiteral("m4a") : QStringLiteral("mp3");
    // The text after the last "." of the file name, as QFileInfo::suffix()
    // gives it, found in the path's bytes: "/" and "." never occur inside a
    // multi-byte character, so only the suffix needs decoding.
    std::string bytes;
    std::string_view path = decodedPath_;
    if (path.empty()) {
        bytes = originalPathBytes();
        path = bytes;
    }
    std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == path.size() || path.find('/', dot) != std::string_view::npos) return QStringLiteral("mp3");
    // Decoded from the ".": a byte-order mark is dropped only at the start.
    std::string_view suffix = path.substr(dot);
    QString text = QFile::decodeName(QByteArray::fromRawData(suffix.data(), qsizetype(suffix.size())));
    text.remove(0, 1);
    return text;
}

QString Song::legacyPlayerDir() const {
    const SongContext::Settings& settings = context_.settings();
    QString dir = settings.pathToPlayer;
    if (settings.createArtistSubfolders) {
        QString artist;
        if (dict_[keys_->podcast].asBoolean()) artist = QStringLiteral("Podcasts");
        else if (dict_[keys_->compilation].asBoolean()) artist = QStringLiteral("Compilations");
        else artist = text(keys_->artist);
        if (artist.isEmpty()) artist = QStringLiteral("No Artist");
        dir += u'/' + context_.folderName(artist);
    }
    if (settings.createAlbumSubfolders) dir += u'/' + context_.folderName(albumName());
    return dir;
}

QString Song::fileName(std::int64_t number) const {
    // "%02i ": at least two digits. Formatted in place: a path for every song
    // of the library may be asked for at once.
    char digits[16] = {'0'};
    char* end = std::to_chars(digits + 1, digits + sizeof digits, int(number)).ptr;
    const char* begin = end - digits > 2 ? digits + 1 : digits;  // one digit keeps the "0"
    char* prefixEnd = end;
    *prefixEnd++ = ' ';
    return context_.fileName(QString::fromLatin1(begin, prefixEnd - begin), name(), copiedExtension());
}

QString Song::legacyFileName() const { return fileName(dict_[keys_->trackNumber].asInteger()); }

QString Song::legacyAlbumPath() const { return legacyPlayerDir() + u'/' + legacyFileName(); }

QString Song::albumPath() const { return legacyPlayerDir() + u'/' + fileName(index_); }

bool Song::legacyIsCopied() const { return fsys::exists(legacyAlbumPath()); }

quint64 Song::copiedSize() const {
    // A song copied as it is is looked up by the loader's bytes when they are
    // valid UTF-8 (nearly always): decoding them to text and encoding that
    // again would only give the same bytes back.
    std::optional<std::uint64_t> size;
    if (!decodedPath_.empty() && !needsConversion() && QUtf8StringView(decodedPath_.data(), qsizetype(decodedPath_.size())).isValidUtf8())
        size = fsys::sizeNoFollow(decodedPath_);
    else
        size = fsys::sizeNoFollow(copyFromPath());
    if (size) return *size;
    // An estimate for an MP3 at the conversion rate.
    auto product = std::int64_t(std::int32_t(dict_[keys_->totalTime].asInteger())) * std::int64_t(std::int32_t(context_.settings().convertToBitrate));
    auto estimate = std::int32_t(product * 1024 / 8000);
    return quint64(std::int64_t(estimate));
}

double Song::lastUsed() const { return date("Date Added").value_or(kDistantPast); }

// ---- Album ----

QVariant Album::valueForKey(std::string_view key) const {
    if (key == "Name") return name_;
    if (key == "Artist") return artist_;
    if (key == "Copied Size") return sizeText(copiedSize());
    return {};
}

int LeftOutCounts::total() const {
    int n = 0;
    for (int count : byReason) n += count;
    return n;
}

quint64 Album::copiedSize() const {
    quint64 total = 0;
    for (const Song* s : tracks_) total += s->copiedSize();
    return total;
}

bool Album::isCached() const {
    for (const Song* s : tracks_)
        if (s->isCached() || !s->needsConversion()) return true;
    return false;
}

// ---- SYFile ----

QString SYFile::name() const { return path_.section(u'/', -1); }

quint64 SYFile::copiedSize() const { return fsys::size(path_).value_or(0); }

QVariant SYFile::valueForKey(std::string_view key) const {
    if (key == "path") return path_;
    return SYContent::valueForKey(key);
}
