#include "Value.h"

#include "Arena.h"
#include "KeyTable.h"
#include "PlistText.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace plist {

namespace {

// Decimal text as a settings store reads it: leading blanks, an optional sign
// and the digits that follow; anything else ends the number ("12abc" is 12).
std::int64_t leadingInteger(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n')) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    std::int64_t value = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        int digit = s[i] - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10) return negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

std::int64_t truncatedReal(double d) {
    if (std::isnan(d)) return 0;
    if (d >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
    if (d <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(d);
}

bool truthyText(std::string_view s) {
    if (s == "YES" || s == "yes" || s == "Y" || s == "y" || s == "true" || s == "TRUE" || s == "True") return true;
    return leadingInteger(s) != 0;
}

// A container node whose children are copied into one block of the arena.
template <typename T>
Node container(Arena& arena, Type type, std::span<const T> children, const T* Node::*field) {
    Node node;
    node.type = type;
    node.size = std::uint32_t(children.size());
    T* block = arena.allocateArray<T>(children.size());
    if (!children.empty()) std::memcpy(static_cast<void*>(block), children.data(), children.size_bytes());
    node.*field = block;
    return node;
}

}  // namespace

Node arrayNode(Arena& arena, std::span<const Node> items) { return container(arena, Type::Array, items, &Node::items); }

Node dictNode(Arena& arena, std::span<const Entry> entries) { return container(arena, Type::Dict, entries, &Node::entries); }

// ---- Value ----

Type Value::type() const { return n_ ? n_->type : Type::Null; }

bool Value::boolean(bool fallback) const { return type() == Type::Bool ? n_->b : fallback; }

std::int64_t Value::integer(std::int64_t fallback) const { return type() == Type::Integer ? n_->i : fallback; }

double Value::real(double fallback) const {
    switch (type()) {
    case Type::Real: return n_->d;
    case Type::Integer: return double(n_->i);
    default: return fallback;
    }
}

std::string_view Value::string() const {
    return type() == Type::String ? std::string_view(n_->s, n_->size) : std::string_view();
}

Date Value::date() const { return type() == Type::Date ? Date{n_->d} : Date{}; }

std::string_view Value::data() const {
    return type() == Type::Data ? std::string_view(n_->s, n_->size) : std::string_view();
}

std::int64_t Value::asInteger() const {
    switch (type()) {
    case Type::Integer: return n_->i;
    case Type::Real: return truncatedReal(n_->d);
    case Type::Bool: return n_->b ? 1 : 0;
    case Type::String: return leadingInteger(string());
    default: return 0;
    }
}

bool Value::asBoolean() const {
    switch (type()) {
    case Type::Bool: return n_->b;
    case Type::Integer: return n_->i != 0;
    case Type::Real: return n_->d != 0;
    case Type::String: return truthyText(string());
    default: return false;
    }
}

std::size_t Value::size() const {
    Type t = type();
    return (t == Type::Array || t == Type::Dict) ? n_->size : 0;
}

Value Value::at(std::size_t i) const {
    if (type() != Type::Array || i >= n_->size) return {};
    return Value(&n_->items[i]);
}

std::string_view Value::keyAt(std::size_t i) const {
    if (type() != Type::Dict || i >= n_->size) return {};
    const char* k = n_->entries[i].key;
    return {k, keyLength(k)};
}

Value Value::valueAt(std::size_t i) const {
    if (type() != Type::Dict || i >= n_->size) return {};
    return Value(&n_->entries[i].value);
}

Value Value::operator[](std::string_view key) const {
    if (type() != Type::Dict) return {};
    const Entry* e = n_->entries;
    for (std::uint32_t i = 0; i < n_->size; ++i) {
        const char* k = e[i].key;
        if (keyLength(k) == key.size() && std::memcmp(k, key.data(), key.size()) == 0) return Value(&e[i].value);
    }
    return {};
}

Value Value::operator[](const Key& key) const {
    if (!key.resolved_) return (*this)[key.text_];
    if (type() != Type::Dict || !key.interned_) return {};
    const Entry* e = n_->entries;
    for (std::uint32_t i = 0; i < n_->size; ++i)
        if (e[i].key == key.interned_) return Value(&e[i].value);
    return {};
}

const Entry* Value::entries() const { return type() == Type::Dict ? n_->entries : nullptr; }

// ---- Document ----

Document::Document() : arena_(std::make_unique<Arena>()) {}
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

std::size_t Document::bytesUsed() const { return arena_ ? arena_->bytesUsed() : 0; }

KeyTable& Document::enableKeyTable() {
    if (!keys_) keys_ = std::make_unique<KeyTable>(*arena_);
    return *keys_;
}

Key Document::key(std::string_view text) const {
    Key k(text);
    if (keys_) {
        k.interned_ = keys_->find(text);
        k.resolved_ = true;
    }
    return k;
}

// ---- Object ----

Type Object::type() const {
    switch (v_.index()) {
    case 0: return Type::Null;
    case 1: return Type::Bool;
    case 2: return Type::Integer;
    case 3: return Type::Real;
    case 4: return Type::String;
    case 5: return Type::Date;
    case 6: return Type::Data;
    case 7: return Type::Array;
    default: return Type::Dict;
    }
}

std::int64_t Object::asInteger() const {
    if (auto* i = ifInteger()) return *i;
    if (auto* d = ifReal()) return truncatedReal(*d);
    if (auto* b = ifBool()) return *b ? 1 : 0;
    if (auto* s = ifString()) return leadingInteger(*s);
    return 0;
}

bool Object::asBoolean() const {
    if (auto* b = ifBool()) return *b;
    if (auto* i = ifInteger()) return *i != 0;
    if (auto* d = ifReal()) return *d != 0;
    if (auto* s = ifString()) return truthyText(*s);
    return false;
}

std::string Object::asString() const {
    if (auto* s = ifString()) return *s;
    return {};
}

const Object* Object::find(std::string_view key) const {
    const Dict* d = ifDict();
    if (!d) return nullptr;
    for (const auto& [k, v] : *d)
        if (k == key) return &v;
    return nullptr;
}

void Object::set(std::string_view key, Object value) {
    Dict* d = ifDict();
    if (!d) return;
    for (auto& [k, v] : *d) {
        if (k == key) {
            v = std::move(value);
            return;
        }
    }
    d->emplace_back(std::string(key), std::move(value));
}

bool Object::remove(std::string_view key) {
    Dict* d = ifDict();
    if (!d) return false;
    for (auto it = d->begin(); it != d->end(); ++it) {
        if (it->first == key) {
            d->erase(it);
            return true;
        }
    }
    return false;
}

void Object::append(Object value) {
    if (Array* a = ifArray()) a->push_back(std::move(value));
}

Object toObject(Value v) {
    switch (v.type()) {
    case Type::Null: return {};
    case Type::Bool: return Object(v.boolean());
    case Type::Integer: return Object(v.integer());
    case Type::Real: return Object(v.real());
    case Type::String: return Object(withControlCharacters(v.string()));
    case Type::Date: return Object(v.date());
    case Type::Data: return Object(Object::Data{std::string(v.data())});
    case Type::Array: {
        Object::Array a;
        a.reserve(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) a.push_back(toObject(v.at(i)));
        return Object(std::move(a));
    }
    case Type::Dict: {
        // Readers leave no repeated keys, so entries can be appended as they come.
        Object::Dict d;
        d.reserve(v.size());
        for (std::size_t i = 0; i < v.size(); ++i) d.emplace_back(withControlCharacters(v.keyAt(i)), toObject(v.valueAt(i)));
        return Object(std::move(d));
    }
    }
    return {};
}

}  // namespace plist
