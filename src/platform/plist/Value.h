#pragma once

// Property-list values.
//
// Two shapes, for two very different jobs:
//  - Document/Value: what a reader produces. The whole tree lives in one arena
//    owned by the Document; Value is a cheap non-owning view (like string_view).
//    A 185 MB library becomes a few hundred thousand arena pages instead of
//    millions of heap blocks, which is what makes loading fast.
//  - Object: a small owned, mutable tree for values the program builds itself
//    (settings, saved selection). Convert with toObject().
//
// This module uses the standard library only, so that the fuzzer can build it
// without Qt. Strings are UTF-8.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace plist {

enum class Type : std::uint8_t { Null, Bool, Integer, Real, String, Date, Data, Array, Dict };

struct Node;
struct Entry;
class Arena;
class KeyTable;

// A dict key, possibly resolved against one document (Document::key): then
// a lookup compares one pointer per entry instead of text.
class Key {
public:
    Key(std::string_view text) : text_(text) {}
    Key(const char* text) : text_(text) {}
    std::string_view text() const { return text_; }
    // The document's own copy of the key when it was resolved and is there.
    const char* interned() const { return interned_; }
    bool resolved() const { return resolved_; }

private:
    friend class Document;
    friend class Value;
    std::string_view text_;
    const char* interned_ = nullptr;
    bool resolved_ = false;  // with interned_ null: no dict of the document has it
};

// Seconds since 1970-01-01T00:00:00Z, fractions kept.
struct Date {
    double secondsSince1970 = 0;
    friend bool operator==(const Date&, const Date&) = default;
};

// A read-only view of one value of a Document. A default-constructed Value is
// "absent": every query on it answers nothing, 0, false or an empty view.
class Value {
public:
    Value() = default;
    explicit Value(const Node* node) : n_(node) {}

    Type type() const;
    bool isNull() const { return type() == Type::Null; }
    explicit operator bool() const { return !isNull(); }
    bool isString() const { return type() == Type::String; }
    bool isDict() const { return type() == Type::Dict; }
    bool isArray() const { return type() == Type::Array; }

    // Typed reads. Wrong types answer the fallback.
    bool boolean(bool fallback = false) const;
    std::int64_t integer(std::int64_t fallback = 0) const;
    double real(double fallback = 0) const;
    std::string_view string() const;  // String only; otherwise empty
    Date date() const;                // Date only; otherwise 0
    std::string_view data() const;    // Data only; raw bytes

    // Reads as a number the way a settings store does: integers, reals
    // (truncated), booleans (0/1) and decimal text all count.
    std::int64_t asInteger() const;
    bool asBoolean() const;

    // Containers. size() is the number of items or entries.
    std::size_t size() const;
    Value at(std::size_t i) const;                    // array item
    std::string_view keyAt(std::size_t i) const;      // dict entry key
    Value valueAt(std::size_t i) const;               // dict entry value
    Value operator[](std::string_view key) const;     // dict lookup; absent when missing
    Value operator[](const Key& key) const;
    Value operator[](const char* key) const { return (*this)[std::string_view(key)]; }

    const Node* node() const { return n_; }
    // A dict's entries, for one pass over all of them; null for others.
    const Entry* entries() const;

private:
    const Node* n_ = nullptr;
};

// In-arena representation. 16 bytes per value, 24 per dict entry.
struct Node {
    Type type = Type::Null;
    std::uint32_t size = 0;  // string/data length, item or entry count
    union {
        bool b;
        std::int64_t i;
        double d;
        const char* s;        // String (NUL-terminated) and Data bytes
        const Node* items;    // Array
        const Entry* entries; // Dict
    };
    Node() : i(0) {}
};

struct Entry {
    const char* key;  // NUL-terminated; its length is stored just before it
    Node value;
};

// A reader's container: its items or entries, taken from the reader's stack,
// copied into one block of the arena.
Node arrayNode(Arena& arena, std::span<const Node> items);
Node dictNode(Arena& arena, std::span<const Entry> entries);

inline std::uint32_t keyLength(const char* key) {
    std::uint32_t len;
    __builtin_memcpy(&len, key - sizeof len, sizeof len);
    return len;
}

// An owned, parsed property list.
class Document {
public:
    Document();
    Document(Document&&) noexcept;
    Document& operator=(Document&&) noexcept;
    ~Document();

    Value root() const { return Value(root_); }
    std::size_t bytesUsed() const;

    // Resolves a key for fast lookups in this document's dicts (documents
    // whose reader interns keys; others answer a key that compares text).
    Key key(std::string_view text) const;

    // For readers.
    Arena& arena() { return *arena_; }
    void setRoot(const Node* root) { root_ = root; }
    KeyTable& enableKeyTable();

private:
    std::unique_ptr<Arena> arena_;
    std::unique_ptr<KeyTable> keys_;
    const Node* root_ = nullptr;
};

// A mutable owned tree. Dicts keep insertion order; set() replaces.
class Object {
public:
    using Array = std::vector<Object>;
    using Dict = std::vector<std::pair<std::string, Object>>;
    struct Data {
        std::string bytes;
        friend bool operator==(const Data&, const Data&) = default;
    };

    Object() = default;
    Object(bool b) : v_(b) {}
    Object(int i) : v_(std::int64_t(i)) {}
    Object(std::int64_t i) : v_(i) {}
    Object(double d) : v_(d) {}
    Object(std::string s) : v_(std::move(s)) {}
    Object(const char* s) : v_(std::string(s)) {}
    Object(std::string_view s) : v_(std::string(s)) {}
    Object(Date d) : v_(d) {}
    Object(Data d) : v_(std::move(d)) {}
    Object(Array a) : v_(std::move(a)) {}
    Object(Dict d) : v_(std::move(d)) {}

    static Object array() { return Object(Array{}); }
    static Object dict() { return Object(Dict{}); }

    Type type() const;
    bool isNull() const { return type() == Type::Null; }

    const bool* ifBool() const { return std::get_if<bool>(&v_); }
    const std::int64_t* ifInteger() const { return std::get_if<std::int64_t>(&v_); }
    const double* ifReal() const { return std::get_if<double>(&v_); }
    const std::string* ifString() const { return std::get_if<std::string>(&v_); }
    const Date* ifDate() const { return std::get_if<Date>(&v_); }
    const Data* ifData() const { return std::get_if<Data>(&v_); }
    const Array* ifArray() const { return std::get_if<Array>(&v_); }
    Array* ifArray() { return std::get_if<Array>(&v_); }
    const Dict* ifDict() const { return std::get_if<Dict>(&v_); }
    Dict* ifDict() { return std::get_if<Dict>(&v_); }

    // Same lenient reads as Value.
    std::int64_t asInteger() const;
    bool asBoolean() const;
    std::string asString() const;  // strings only

    // Dict helpers (on a non-dict, find answers nullptr and set does nothing).
    const Object* find(std::string_view key) const;
    void set(std::string_view key, Object value);
    bool remove(std::string_view key);
    // Array helper.
    void append(Object value);

    friend bool operator==(const Object&, const Object&) = default;

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, Date, Data, Array, Dict> v_;
};

// Control characters the XML writer had to write as U+F000 plus their code
// come back as they were.
Object toObject(Value v);

}  // namespace plist
