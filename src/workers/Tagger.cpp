#include "Tagger.h"

#include <QFile>

#include <id3v2tag.h>
#include <mp4file.h>
#include <mp4tag.h>
#include <mpegfile.h>
#include <textidentificationframe.h>

#include <algorithm>

namespace {

using Result = std::expected<void, QString>;

std::unexpected<QString> failure(const QString& message) { return std::unexpected(message); }
QString quoted(const QString& path) { return u'\'' + path + u'\''; }

TagLib::String toTagLib(const QString& s) { return TagLib::String(s.toStdString(), TagLib::String::UTF8); }

QString numberPair(int n, int total) {
    return total > 0 ? QString::number(n) + u'/' + QString::number(total) : QString::number(n);
}

std::optional<QString> given(const std::optional<QString>& s) {
    return s && !s->isEmpty() ? s : std::nullopt;
}
std::optional<QString> given(const QString& s) { return s.isEmpty() ? std::nullopt : std::optional(s); }

enum class Kind { Mpeg, Mp4, Unknown };

Kind kindOf(const QByteArray& head) {
    if (head.size() >= 8 && head.mid(4, 4) == "ftyp") return Kind::Mp4;
    if (head.startsWith("ID3")) return Kind::Mpeg;
    if (head.size() >= 2 && std::uint8_t(head[0]) == 0xFF && (std::uint8_t(head[1]) & 0xE0) == 0xE0) return Kind::Mpeg;
    return Kind::Unknown;
}

void setId3Text(TagLib::ID3v2::Tag& tag, const char* id, const std::optional<QString>& value) {
    tag.removeFrames(id);
    if (!value) return;
    // v2.3 has no UTF-8: Latin-1 when it fits, else UTF-16.
    const bool latin1 = std::all_of(value->begin(), value->end(), [](QChar c) { return c.unicode() <= 0xFF; });
    auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, latin1 ? TagLib::String::Latin1 : TagLib::String::UTF16);
    frame->setText(toTagLib(*value));
    tag.addFrame(frame);
}

Result writeMp3Tags(const QString& path, const QByteArray& name, const SongTags& t) {
    TagLib::MPEG::File file(name.constData(), false);
    if (!file.isValid()) return failure(u"cannot tag " + quoted(path) + u": not a readable MP3 file");
    if (file.readOnly()) return failure(u"cannot tag " + quoted(path) + u": the file is read-only");
    TagLib::ID3v2::Tag& tag = *file.ID3v2Tag(true);
    setId3Text(tag, "TIT2", given(t.title));
    setId3Text(tag, "TPE1", given(t.artist));
    setId3Text(tag, "TALB", given(t.album));
    setId3Text(tag, "TCOM", given(t.composer));
    setId3Text(tag, "TRCK", numberPair(t.track, t.trackCount));
    setId3Text(tag, "TPOS", numberPair(t.disc, t.discCount));
    // The year goes in as v2.4's TDRC; saving as v2.3 turns it into TYER.
    setId3Text(tag, "TYER", std::nullopt);
    setId3Text(tag, "TDRC", t.year > 0 ? std::optional(QString::number(t.year)) : std::nullopt);
    setId3Text(tag, "TCON", given(t.genre));
    setId3Text(tag, "TENC", given(t.encodedBy));
    if (!file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v3, TagLib::File::DoNotDuplicate))
        return failure(u"cannot write the tags of " + quoted(path));
    return {};
}

void setMp4Text(TagLib::MP4::Tag& tag, const char* key, const std::optional<QString>& value) {
    if (value) tag.setItem(key, TagLib::StringList(toTagLib(*value)));
    else tag.removeItem(key);
}

Result writeMp4Tags(const QString& path, const QByteArray& name, const SongTags& t) {
    TagLib::MP4::File file(name.constData(), false);
    if (!file.isValid() || !file.tag()) return failure(u"cannot tag " + quoted(path) + u": not a readable MPEG-4 file");
    if (file.readOnly()) return failure(u"cannot tag " + quoted(path) + u": the file is read-only");
    TagLib::MP4::Tag& tag = *file.tag();
    setMp4Text(tag, "\251nam", given(t.title));
    setMp4Text(tag, "\251ART", given(t.artist));
    setMp4Text(tag, "\251alb", given(t.album));
    setMp4Text(tag, "\251wrt", given(t.composer));
    tag.setItem("trkn", TagLib::MP4::Item(t.track, t.trackCount));
    tag.setItem("disk", TagLib::MP4::Item(t.disc, t.discCount));
    setMp4Text(tag, "\251day", t.year > 0 ? std::optional(QString::number(t.year)) : std::nullopt);
    setMp4Text(tag, "\251gen", given(t.genre));
    setMp4Text(tag, "\251too", given(t.encodedBy));
    if (!file.save()) return failure(u"cannot write the tags of " + quoted(path));
    return {};
}

}  // namespace

std::expected<void, QString> writeTags(const QString& path, const SongTags& tags) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return failure(u"cannot tag " + quoted(path) + u": " + f.errorString());
    const QByteArray head = f.read(12);
    f.close();
    const QByteArray name = QFile::encodeName(path);
    switch (kindOf(head)) {
    case Kind::Mpeg: return writeMp3Tags(path, name, tags);
    case Kind::Mp4: return writeMp4Tags(path, name, tags);
    case Kind::Unknown: break;
    }
    return failure(u"cannot tag " + quoted(path) + u": not an MP3 or MPEG-4 audio file");
}
