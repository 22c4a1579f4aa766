#include "cli/JsonWriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Other programs read this output, and names in a library file or on a disk
// can hold anything: every string must give valid UTF-8 JSON that reads back
// as its text (a lone surrogate, having no UTF-8 form, as U+FFFD).
TEST(JsonWriter, AnyStringGivesValidJsonThatReadsBackAsItsText) {
    const QChar high(char16_t(0xD83C)), low(char16_t(0xDFB5));
    const QString bad(QChar::ReplacementCharacter);
    // Longer than what the writer keeps before it writes.
    const QString longText = QString(70000, u'é') + u"\"\n\\" + QString(20, u'x');
    const struct {
        QString written, read;
    } cases[] = {
        {QStringLiteral("quote \" backslash \\ slash /"), QStringLiteral("quote \" backslash \\ slash /")},
        {QString::fromUtf16(u"nul \0 \x01 tab \t newline \n \x1f del \x7f", 31), QString::fromUtf16(u"nul \0 \x01 tab \t newline \n \x1f del \x7f", 31)},
        {QStringLiteral("🎵 Björk \u2028"), QStringLiteral("🎵 Björk \u2028")},
        {QString(high), bad},
        {QString(low) + u'x', bad + u'x'},
        // A high surrogate ending one string must not pair with the next.
        {u"ends high " + QString(high), u"ends high " + bad},
        {QString(low) + u" starts low", bad + u" starts low"},
        {QString(), QString()},
        {longText, longText},
    };
    char* data = nullptr;
    std::size_t size = 0;
    std::FILE* f = open_memstream(&data, &size);
    ASSERT_NE(f, nullptr);
    {
        cli::JsonWriter json(f);
        json.beginObject();
        json.key("values");
        json.beginArray();
        for (const auto& c : cases) json.value(c.written);
        json.endArray();
        json.key("keys");
        json.beginObject();
        for (int i = 0; i < int(std::size(cases)); ++i) {
            json.key(QString(QString::number(i) + cases[i].written));
            json.value(i);
        }
        json.endObject();
        json.field("nan", std::nan(""));
        json.field("infinity", HUGE_VAL);
        json.endObject();
        ASSERT_EQ(json.finish(), 0);
    }
    std::fclose(f);
    QByteArray bytes(data, qsizetype(size));
    std::free(data);

    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8.decode(bytes);
    EXPECT_FALSE(utf8.hasError());
    for (char c : bytes) EXPECT_TRUE(uchar(c) >= 0x20 || c == '\n') << "a raw control character: " << int(c);
    QJsonParseError error;
    QJsonObject doc = QJsonDocument::fromJson(bytes, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << bytes.toStdString();
    QJsonArray values = doc.value(u"values").toArray();
    QJsonObject keys = doc.value(u"keys").toObject();
    ASSERT_EQ(values.size(), qsizetype(std::size(cases)));
    for (int i = 0; i < int(std::size(cases)); ++i) {
        EXPECT_EQ(values[i].toString(), cases[i].read) << i;
        EXPECT_EQ(keys.value(QString(QString::number(i) + cases[i].read)).toInt(-1), i) << i;
    }
    EXPECT_TRUE(doc.value(u"nan").isNull());
    EXPECT_TRUE(doc.value(u"infinity").isNull());
}

TEST(JsonWriter, OutputThatCannotBeWrittenIsReported) {
    std::FILE* full = std::fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    {
        cli::JsonWriter json(full);
        json.beginArray();
        json.value(QStringLiteral("lost"));
        json.endArray();
        EXPECT_EQ(json.finish(), ENOSPC);
    }
    std::fclose(full);
}

}  // namespace
