#include "platform/plist/Plist.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

using plist::Object;

namespace {

constexpr std::size_t kChunk = 1 << 20;  // the XML reader's chunk

std::string wrap(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

Object tree(const std::string& text) {
    auto doc = plist::parse(text);
    EXPECT_TRUE(doc.has_value()) << (doc ? "" : doc.error().message);
    return doc ? plist::toObject(doc->root()) : Object();
}

void expectSyntaxError(const std::string& text, const char* why = "") {
    auto doc = plist::parse(text);
    ASSERT_FALSE(doc.has_value()) << why << " accepted: " << text.substr(0, 200);
    EXPECT_EQ(doc.error().kind, plist::Error::Kind::Syntax) << why;
}

plist::Result<plist::Document> readThroughFile(const std::string& bytes) {
    auto path = std::filesystem::temp_directory_path() / ("brisle-plist-" + std::to_string(::getpid()));
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    auto doc = plist::readFile(path.string());
    std::filesystem::remove(path);
    return doc;
}

// ---- XML: values ----

TEST(PlistXmlValues, UnreadableValuesAreAbsentAndTheRestIsKept) {
    Object o = tree(wrap(R"(<dict>
        <key>bad int</key><integer>12abc</integer>
        <key>int</key><integer> -42 </integer>
        <key>overflow</key><integer>99999999999999999999</integer>
        <key>bad real</key><real>one</real>
        <key>real</key><real>2.5e3</real>
        <key>bad date</key><date>2006-13-12T19:20:14Z</date>
        <key>date</key><date>2006-05-12T19:20:14Z</date>
        <key>day</key><date>1970-01-02</date>
        <key>bad data</key><data>AAE*</data>
        <key>data</key><data>
            AAECAw
            QF</data>
        <key>empty int</key><integer/>
        <key>last</key><string>still here</string>
    </dict>)"));
    EXPECT_EQ(o, Object(Object::Dict{{"int", -42}, {"real", 2500.0}, {"date", plist::Date{1147461614}},
                                     {"day", plist::Date{86400}}, {"data", Object::Data{std::string("\0\1\2\3\4\5", 6)}},
                                     {"last", "still here"}}));
    // In an array an unreadable item is left out, the others keep their order.
    EXPECT_EQ(tree(wrap("<array><integer>1</integer><integer>x</integer><integer>3</integer></array>")),
              Object(Object::Array{1, 3}));
}

TEST(PlistXmlValues, EntitiesContainersAndMarkupAroundValues) {
    const std::pair<std::string, Object> cases[] = {
        {wrap(R"(<dict><key>a&amp;b</key><string>&#38;|&#x26;|&amp;|&lt;&gt;|&quot;&apos;|&foo;|&#xD800;|&#233;|&#x1F600;|& x</string></dict>)"),
         Object::Dict{{"a&b", "&|&|&|<>|\"'|&foo;|&#xD800;|\u00e9|\U0001F600|& x"}}},
        {wrap("<array><dict/><array></array><dict></dict><array/><dict /></array>"),
         Object::Array{Object::dict(), Object::array(), Object::dict(), Object::array(), Object::dict()}},
        {wrap(R"(<dict><key>skipped</key><foo><foo>1</foo><bar/></foo>
                 <key>nested</key><array><array><dict><key>x</key><array><true/><false/></array></dict></array></array>
                 <key>after</key><true/></dict>)"),
         Object::Dict{{"nested", Object::Array{Object::Array{Object::Dict{{"x", Object::Array{true, false}}}}}}, {"after", true}}},
        {R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist [ <!ENTITY e "x"> <!ELEMENT plist ANY> ]>
<!-- a comment with <tags> and -- dashes -->
<plist version="1.0">
<?some instruction?>
<dict><!-- between --><key>k</key><!----><string>v</string></dict>
</plist>
<!-- trailing -->
)", Object::Dict{{"k", "v"}}},
        {"<array><string>x</string></array>", Object::Array{"x"}},  // a bare value without <plist>
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(tree(text), expected) << text;
}

// ---- XML: broken documents ----

TEST(PlistXmlErrors, EveryTruncationBeforeTheRootClosesFails) {
    std::string text = wrap(R"(<dict><key>a</key><array><string>x &amp; y</string><integer>5</integer><dict/></array><!-- c --><key>b</key><data>AAEC</data></dict>)");
    std::size_t rootEnd = text.rfind("</dict>") + 7;
    for (std::size_t cut = 0; cut < rootEnd; ++cut) expectSyntaxError(text.substr(0, cut));
    EXPECT_TRUE(plist::parse(text.substr(0, rootEnd)).has_value());
}

TEST(PlistXmlErrors, MismatchedAndMisplacedElements) {
    for (const char* body : {"<array></dict>", "<dict></array>", "<dict><key>a</key><string>x</integer></dict>",
                             "<array><string>a<b/></string></array>", "</array>", "<array/><array/>", "plain text",
                             "<dict><key>a</key><string>x</string></dict></plist></plist><dict/>",
                             "<array><plist></plist></array>", "<dict><!-- unterminated </dict>", "<>"})
        expectSyntaxError(wrap(body));
    // Nesting has a limit, so that hostile input can't exhaust the stack of a consumer.
    std::string deep;
    for (int i = 0; i < 600; ++i) deep.insert(0, "<array>").append("</array>");
    expectSyntaxError(wrap(deep));
}

// ---- XML: chunked reading ----

// A dict with every kind of token; `i` varies the lengths.
void appendEntries(std::string& text, Object::Array& all, int i) {
    std::string n = std::to_string(i), sec = (i % 60 < 10 ? "0" : "") + std::to_string(i % 60);
    text += "<dict><key>s" + n + "&amp;</key>\n\t<string>va&lt;l" + n + "</string>\n<!-- c" + n + " --><key>i" + n +
            "</key><integer>-" + n + "</integer><key>r" + n + "</key><real>" + n + ".5</real><key>d" + n +
            "</key><date>2001-01-01T00:00:" + sec + "Z</date><key>b" + n + "</key><data>\n\tAAEC\n\tAw==\n</data><key>t" + n +
            "</key><" + (i % 2 ? "true" : "false") + "/><key>a" + n +
            "</key><array><dict/><array/><unknown>x</unknown><integer>" + n + "</integer></array>\n</dict>";
    all.push_back(Object(Object::Dict{{"s" + n + "&", "va<l" + n}, {"i" + n, -std::int64_t(i)}, {"r" + n, double(i) + 0.5},
                                      {"d" + n, plist::Date{978307200.0 + i % 60}}, {"b" + n, Object::Data{std::string("\0\1\2\3", 4)}},
                                      {"t" + n, i % 2 == 1}, {"a" + n, Object::Array{Object::dict(), Object::array(), i}}}));
}

TEST(PlistXmlChunks, AChunkBoundaryAtEveryPositionOfEachToken) {
    // The same entries, read once whole and then with the first chunk ending
    // at each of their bytes in turn: leading blanks and a comment pad them
    // into place, and each read starts a little further into the blanks.
    std::string entries;
    Object::Array expected;
    appendEntries(entries, expected, 7);
    appendEntries(entries, expected, 7);
    Object whole = tree(wrap("<array>" + entries + "</array>"));
    ASSERT_EQ(whole, Object(expected));
    std::size_t positions = entries.size() / 2 + 8;
    std::string prefix = std::string(positions, ' ') + "<plist><!--";
    std::string text = prefix + std::string(kChunk - prefix.size() - 3 - 7, ' ') + "--><array>" + entries + "</array></plist>";
    for (std::size_t at = 0; at < positions; ++at) {
        auto doc = plist::parseXml(std::string_view(text).substr(positions - at));
        ASSERT_TRUE(doc.has_value()) << "boundary at " << at << ": " << doc.error().message;
        ASSERT_EQ(plist::toObject(doc->root()), whole) << "boundary at " << at;
    }
}

// ---- Binary ----

// Writes "bplist00" files by hand: objects are added already encoded, and
// refer to each other by index.
class Bplist {
public:
    static std::string be(std::uint64_t v, unsigned width) {
        std::string s;
        for (unsigned i = width; i-- > 0;) s += char((v >> (8 * i)) & 0xFF);
        return s;
    }
    // A marker with its count, the count following as an integer when large.
    static std::string head(unsigned type, std::uint64_t count) {
        if (count < 15) return std::string(1, char(type << 4 | count));
        unsigned lg = count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : count <= 0xFFFFFFFFu ? 2 : 3;
        return std::string(1, char(type << 4 | 0xF)) + char(0x10 | lg) + be(count, 1u << lg);
    }
    static std::string integer(std::uint64_t v, unsigned lg = 3) { return char(0x10 | lg) + be(v, 1u << lg); }
    static std::string ascii(const std::string& s) { return head(0x5, s.size()) + s; }
    static std::string utf16(const std::u16string& s) {
        std::string out = head(0x6, s.size());
        for (char16_t c : s) out += be(c, 2);
        return out;
    }
    std::string refs(const std::vector<std::size_t>& list) const {
        std::string out;
        for (std::size_t r : list) out += be(r, refSize);
        return out;
    }
    std::string array(const std::vector<std::size_t>& items) const { return head(0xA, items.size()) + refs(items); }
    std::string dict(const std::vector<std::size_t>& keys, const std::vector<std::size_t>& values) const {
        return head(0xD, keys.size()) + refs(keys) + refs(values);
    }
    std::size_t add(std::string encoded) {
        objects.push_back(std::move(encoded));
        return objects.size() - 1;
    }
    std::string build() const {  // the first object is the top one
        std::string out = "bplist00", table;
        for (const std::string& o : objects) {
            table += be(out.size(), offsetSize);
            out += o;
        }
        std::uint64_t tableAt = out.size();
        return out + table + std::string(6, '\0') + char(offsetSize) + char(refSize) + be(objects.size(), 8) + be(0, 8) +
               be(tableAt, 8);
    }

    unsigned refSize = 1, offsetSize = 1;
    std::vector<std::string> objects;
};

// Read from memory and from a file, which must agree.
Object binaryTree(const std::string& bytes) {
    auto doc = plist::parse(bytes);
    EXPECT_TRUE(doc.has_value()) << (doc ? "" : doc.error().message);
    auto fromFile = readThroughFile(bytes);
    EXPECT_TRUE(fromFile.has_value()) << (fromFile ? "" : fromFile.error().message);
    if (!doc || !fromFile) return Object();
    Object o = plist::toObject(doc->root());
    EXPECT_EQ(plist::toObject(fromFile->root()), o);
    return o;
}

TEST(PlistBinary, EveryType) {
    const std::vector<std::tuple<const char*, std::string, std::optional<Object>>> fields{
        {"int1", Bplist::integer(200, 0), 200},
        {"int2", Bplist::integer(0xBEEF, 1), 0xBEEF},
        {"int4", Bplist::integer(0xDEADBEEF, 2), std::int64_t(0xDEADBEEF)},
        {"int8", Bplist::integer(std::uint64_t(-5), 3), -5},
        {"int16", "\x14" + Bplist::be(0x0102030405060708ull, 8) + Bplist::be(0x1122334455667788ull, 8), std::int64_t(0x1122334455667788)},
        {"float", "\x22" + Bplist::be(0x3FC00000, 4), 1.5},
        {"double", "\x23" + Bplist::be(0xC004000000000000ull, 8), -2.5},
        {"date", "\x33" + Bplist::be(0x3FF8000000000000ull, 8), plist::Date{978307201.5}},  // 1.5 s after 2001
        {"data", Bplist::head(0x4, 3) + std::string("\0\xff\x01", 3), Object::Data{std::string("\0\xff\x01", 3)}},
        {"ascii", Bplist::ascii("a longer string than fifteen bytes"), "a longer string than fifteen bytes"},
        {"utf16", Bplist::utf16(u"\u00e9\U0001F600"), "\u00e9\U0001F600"},
        {"lone", Bplist::utf16(std::u16string{u'a', char16_t(0xD800), u'b', char16_t(0xDC00)}), "a\uFFFDb\uFFFD"},
        {"uid", "\x81" + Bplist::be(0x1234, 2), 0x1234},
        {"true", "\x09", true},
        {"false", "\x08", false},
        {"set", "\xC2" + std::string("\x01\x02", 2), Object::Array{"int1", "int2"}},  // refs to the first two keys
        {"empty", Bplist::head(0xA, 0), Object::array()},
        {"dict", "\xD0", Object::dict()},
        {"null", std::string(1, '\0'), std::nullopt},
        {"unknown", "\x70", std::nullopt},
        {"wide int", "\x15" + std::string(32, '\1'), std::nullopt},
    };
    Bplist b;
    b.offsetSize = 2;
    b.add("");  // the root, filled in below
    std::vector<std::size_t> keys, values;
    for (auto& [k, bytes, v] : fields) keys.push_back(b.add(Bplist::ascii(k)));
    for (auto& [k, bytes, v] : fields) values.push_back(b.add(bytes));
    b.objects[0] = b.dict(keys, values);
    Object::Dict expected;  // the values that can't be read are absent
    for (auto& [k, bytes, v] : fields)
        if (v) expected.emplace_back(k, *v);
    EXPECT_EQ(binaryTree(b.build()), Object(expected));
}

TEST(PlistBinary, BrokenStructureIsAnError) {
    Bplist good;
    good.add(good.array({1}));
    good.add(Bplist::ascii("x"));
    std::string bytes = good.build();
    ASSERT_TRUE(plist::parse(bytes).has_value());
    std::size_t trailer = bytes.size() - 32;
    auto patched = [&](std::size_t at, std::string with) { return bytes.substr(0, at) + with + bytes.substr(at + with.size()); };

    expectSyntaxError(bytes.substr(0, 39), "shorter than header and trailer");
    expectSyntaxError(bytes.substr(0, bytes.size() - 1), "truncated trailer");
    expectSyntaxError(patched(6, "01"), "unknown version");
    expectSyntaxError(patched(trailer + 6, std::string(1, '\0')), "offset size 0");
    expectSyntaxError(patched(trailer + 7, std::string(1, '\x09')), "reference size 9");
    expectSyntaxError(patched(trailer + 8, Bplist::be(0, 8)), "no objects");
    expectSyntaxError(patched(trailer + 8, Bplist::be(1ull << 60, 8)), "more objects than the file holds");
    expectSyntaxError(patched(trailer + 16, Bplist::be(2, 8)), "top object out of range");
    expectSyntaxError(patched(trailer + 24, Bplist::be(1ull << 62, 8)), "offset table past the end");
    expectSyntaxError(patched(trailer + 24, Bplist::be(3, 8)), "offset table in the header");
    expectSyntaxError(patched(trailer - 2, std::string(1, '\x60')), "object offset past the objects");
    expectSyntaxError(patched(trailer - 2, std::string(1, '\x02')), "object offset in the header");
    expectSyntaxError(patched(9, std::string(1, '\x05')), "reference out of range");

}

}  // namespace
