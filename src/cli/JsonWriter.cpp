#include "JsonWriter.h"

#include <QStringEncoder>

#include <rapidjson/prettywriter.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>

namespace cli {

namespace {

// RapidJSON's output stream: a buffer before fwrite that keeps the first
// error, since errno has moved on by the time the document ends.
class FileStream {
public:
    using Ch = char;
    explicit FileStream(std::FILE* f) : file_(f) {}

    void Put(char c) {
        if (used_ == sizeof buffer_) Flush();
        buffer_[used_++] = c;
    }
    void Flush() {
        errno = 0;
        if (used_ && !error_ && std::fwrite(buffer_, 1, used_, file_) != used_) error_ = errno ? errno : EIO;
        used_ = 0;
    }
    int finish() {
        Flush();
        errno = 0;
        if (std::fflush(file_) != 0 && !error_) error_ = errno ? errno : EIO;
        return error_;
    }

private:
    std::FILE* file_;
    char buffer_[1 << 16];
    std::size_t used_ = 0;
    int error_ = 0;
};

}  // namespace

struct JsonWriter::Impl {
    explicit Impl(std::FILE* f) : stream(f), writer(stream) { writer.SetIndent(' ', 4); }

    // Every string passes through one reused buffer. Stateless: a high
    // surrogate ending one string must not pair with the start of the next.
    std::string_view utf8(QStringView text) {
        std::size_t need = std::size_t(encoder.requiredSpace(text.size()));
        if (bytes.size() < need) bytes.resize(std::max(need, 2 * bytes.size()));
        char* end = encoder.appendToBuffer(bytes.data(), text);
        return {bytes.data(), std::size_t(end - bytes.data())};
    }

    FileStream stream;
    rapidjson::PrettyWriter<FileStream> writer;
    QStringEncoder encoder{QStringEncoder::Utf8, QStringConverter::Flag::Stateless};
    std::string bytes;
};

JsonWriter::JsonWriter(std::FILE* out) : d_(std::make_unique<Impl>(out)) {}

JsonWriter::~JsonWriter() = default;

void JsonWriter::beginObject() { d_->writer.StartObject(); }
void JsonWriter::endObject() { d_->writer.EndObject(); }
void JsonWriter::beginArray() { d_->writer.StartArray(); }
void JsonWriter::endArray() { d_->writer.EndArray(); }

void JsonWriter::key(std::string_view name) { d_->writer.Key(name.data(), rapidjson::SizeType(name.size())); }

void JsonWriter::key(QStringView name) {
    std::string_view s = d_->utf8(name);
    d_->writer.Key(s.data(), rapidjson::SizeType(s.size()));
}

void JsonWriter::value(QStringView text) {
    std::string_view s = d_->utf8(text);
    d_->writer.String(s.data(), rapidjson::SizeType(s.size()));
}

void JsonWriter::value(bool b) { d_->writer.Bool(b); }
void JsonWriter::value(qint64 n) { d_->writer.Int64(n); }
void JsonWriter::value(quint64 n) { d_->writer.Uint64(n); }

void JsonWriter::value(double d) {
    if (std::isfinite(d)) d_->writer.Double(d);
    else d_->writer.Null();
}

void JsonWriter::null() { d_->writer.Null(); }

int JsonWriter::finish() {
    Q_ASSERT(d_->writer.IsComplete());
    d_->stream.Put('\n');
    return d_->stream.finish();
}

}  // namespace cli
