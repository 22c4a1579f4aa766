#pragma once

// The command line's one way to write JSON: a document written to a FILE* as
// it is built, indented for people. Nothing is held but a small buffer, so a
// library of any size costs time in proportion and no memory. Strings come
// as UTF-16 and go out as UTF-8 with control characters escaped and a lone
// surrogate written as U+FFFD: the output is valid whatever a library file
// or a file name holds.

#include <QStringView>
#include <QtGlobal>

#include <cstdio>
#include <memory>
#include <string_view>

namespace cli {

class JsonWriter {
public:
    explicit JsonWriter(std::FILE* out = stdout);
    ~JsonWriter();
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    // The program's own keys are ASCII literals; keys taken from data are text.
    void key(std::string_view name);
    void key(QStringView name);

    void value(QStringView text);
    // Text that is UTF-8 already, as the library file holds it: written as
    // it is when valid, which spares a round trip through UTF-16.
    void utf8Value(std::string_view text);
    void value(bool b);
    void value(int n) { value(qint64(n)); }
    void value(qint64 n);
    void value(quint64 n);
    void value(double d);  // NaN and the infinities have no JSON form: null
    // A pointer would be taken as a bool.
    template <typename T>
    void value(const T*) = delete;
    void null();

    template <typename T>
    void field(std::string_view name, const T& v) {
        key(name);
        value(v);
    }

    // Ends the document with a newline and flushes; answers 0, or the errno
    // of the first write that failed.
    int finish();

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace cli
