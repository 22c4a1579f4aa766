#include "JsonWriter.h"

#include <QString>
#include <QStringEncoder>
#include <QUtf8StringView>

// Strings are scanned for characters to escape 16 bytes at a time; RapidJSON
// does that only when writing to its own StringBuffer.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>

namespace cli {

struct JsonWriter::Impl {
    explicit Impl(std::FILE* f) : file(f), writer(buffer) { writer.SetIndent(' ', 4); }

    // The document goes out in pieces of about this size; a longer string
    // grows the buffer for the time it takes to write it.
    static constexpr std::size_t kFlushAt = 1 << 16;

    void flushIfFull() {
        if (buffer.GetSize() >= kFlushAt) flush();
    }
    // Keeps the first error: errno has moved on by the time the document ends.
    void flush() {
        const std::size_t n = buffer.GetSize();
        errno = 0;
        if (n && !error && std::fwrite(buffer.GetString(), 1, n, file) != n) error = errno ? errno : EIO;
        buffer.Clear();
    }

    // Every string passes through one reused buffer. Stateless: a high
    // surrogate ending one string must not pair with the start of the next.
    std::string_view utf8(QStringView text) {
        std::size_t need = std::size_t(encoder.requiredSpace(text.size()));
        if (bytes.size() < need) bytes.resize(std::max(need, 2 * bytes.size()));
        char* end = encoder.appendToBuffer(bytes.data(), text);
        return {bytes.data(), std::size_t(end - bytes.data())};
    }

    std::FILE* file;
    int error = 0;
    rapidjson::StringBuffer buffer;
    rapidjson::PrettyWriter<rapidjson::StringBuffer> writer;
    QStringEncoder encoder{QStringEncoder::Utf8, QStringConverter::Flag::Stateless};
    std::string bytes;
};

JsonWriter::JsonWriter(std::FILE* out) : d_(std::make_unique<Impl>(out)) {}

JsonWriter::~JsonWriter() = default;

void JsonWriter::beginObject() { d_->writer.StartObject(); }
void JsonWriter::endObject() {
    d_->writer.EndObject();
    d_->flushIfFull();
}
void JsonWriter::beginArray() { d_->writer.StartArray(); }
void JsonWriter::endArray() {
    d_->writer.EndArray();
    d_->flushIfFull();
}

void JsonWriter::key(std::string_view name) { d_->writer.Key(name.data(), rapidjson::SizeType(name.size())); }

void JsonWriter::key(QStringView name) {
    std::string_view s = d_->utf8(name);
    d_->writer.Key(s.data(), rapidjson::SizeType(s.size()));
}

void JsonWriter::value(QStringView text) {
    std::string_view s = d_->utf8(text);
    d_->writer.String(s.data(), rapidjson::SizeType(s.size()));
    d_->flushIfFull();
}

void JsonWriter::utf8Value(std::string_view text) {
    if (!QUtf8StringView(text.data(), qsizetype(text.size())).isValidUtf8()) return value(QString::fromUtf8(text.data(), qsizetype(text.size())));
    d_->writer.String(text.data(), rapidjson::SizeType(text.size()));
    d_->flushIfFull();
}

void JsonWriter::value(bool b) {
    d_->writer.Bool(b);
    d_->flushIfFull();
}

void JsonWriter::value(qint64 n) {
    d_->writer.Int64(n);
    d_->flushIfFull();
}

void JsonWriter::value(quint64 n) {
    d_->writer.Uint64(n);
    d_->flushIfFull();
}

void JsonWriter::value(double d) {
    if (std::isfinite(d)) d_->writer.Double(d);
    else d_->writer.Null();
    d_->flushIfFull();
}

void JsonWriter::null() {
    d_->writer.Null();
    d_->flushIfFull();
}

int JsonWriter::finish() {
    Q_ASSERT(d_->writer.IsComplete());
    d_->buffer.Put('\n');
    d_->flush();
    errno = 0;
    if (std::fflush(d_->file) != 0 && !d_->error) d_->error = errno ? errno : EIO;
    return d_->error;
}

}  // namespace cli
