#include "XmlBuilder.h"

#include "KeyTable.h"
#include "PlistText.h"

#include <cstring>

namespace plist {

namespace {

// Plain decimal digits, the common case, without the general parser's work.
inline std::optional<std::int64_t> fastInteger(std::string_view t) {
    if (t.empty() || t.size() > 18) return parseInteger(t);
    std::int64_t v = 0;
    for (char c : t) {
        if (c < '0' || c > '9') return parseInteger(t);
        v = v * 10 + (c - '0');
    }
    return v;
}

}  // namespace

XmlBuilder::XmlBuilder(Document& doc) : arena_(doc.arena()), keys_(doc.enableKeyTable()) {}

void XmlBuilder::attach(const Node& node) {
    if (frames_.empty()) {
        if (!haveRoot_) {
            Node* n = arena_.allocateArray<Node>(1);
            *n = node;
            root_ = n;
            haveRoot_ = true;
        }
        return;
    }
    Frame& f = frames_.back();
    if (!f.isDict) {
        if (node.type != Type::Null) items_.push_back(node);
        return;
    }
    const char* key = f.pendingKey;
    if (!key) return;  // a value without a key is dropped
    f.pendingKey = nullptr;
    if (node.type == Type::Null) return;  // unreadable value: the key is absent

    // A repeated key: the later value wins, in the place of the first. The
    // stamp says whether this dict used the key already; a later stamp was
    // left by a dict nested in this one, and then only a search can tell.
    std::uint32_t& stamp = KeyTable::stampOf(key);
    if (stamp >= f.id) {
        for (std::size_t i = f.start; i < entries_.size(); ++i) {
            if (entries_[i].key == key) {
                entries_[i].value = node;
                stamp = f.id;
                return;
            }
        }
    }
    stamp = f.id;
    entries_.push_back(Entry{key, node});
}

void XmlBuilder::closeContainer() {
    Frame& f = frames_.back();
    Node node;
    if (f.isDict) {
        node = dictNode(arena_, std::span(entries_).subspan(f.start));
        entries_.resize(f.start);
    } else {
        node = arrayNode(arena_, std::span(items_).subspan(f.start));
        items_.resize(f.start);
    }
    frames_.pop_back();
    attach(node);
}

// The value of a leaf from its text; false for a syntax error.
bool XmlBuilder::leafValue(std::string_view t, bool hasAmpersand) {
    Node n;
    switch (leaf_) {
    case Leaf::Key:
        if (hasAmpersand) t = decodeEntities(t, scratch_);
        if (!frames_.empty() && frames_.back().isDict) frames_.back().pendingKey = keys_.intern(t);
        return true;  // a stray key is ignored
    case Leaf::String:
        if (hasAmpersand) t = decodeEntities(t, scratch_);
        if (t.size() <= 0xFFFFFFFFu) {
            n.type = Type::String;
            n.size = std::uint32_t(t.size());
            n.s = arena_.storeString(t);
        }
        break;
    case Leaf::Integer:
        if (auto v = fastInteger(t)) {
            n.type = Type::Integer;
            n.i = *v;
        }
        break;
    case Leaf::Real:
        if (auto v = parseReal(t)) {
            n.type = Type::Real;
            n.d = *v;
        }
        break;
    case Leaf::Date:
        if (auto v = parseDate(t)) {
            n.type = Type::Date;
            n.d = v->secondsSince1970;
        }
        break;
    case Leaf::Data:
        if (auto bytes = decodeBase64(t, scratch_); bytes && bytes->size() <= 0xFFFFFFFFu) {
            n.type = Type::Data;
            n.size = std::uint32_t(bytes->size());
            n.s = arena_.storeString(*bytes);
        }
        break;
    case Leaf::True:
    case Leaf::False:
        n.type = Type::Bool;
        n.b = leaf_ == Leaf::True;
        break;
    case Leaf::None:
    case Leaf::Skip: break;
    }
    leafNode_ = n;
    return true;
}

bool XmlBuilder::finish() {
    if (leaf_ != Leaf::None || !frames_.empty()) return fail("truncated: an element is not closed", nullptr);
    if (!haveRoot_) return fail("no value", nullptr);
    return true;
}

}  // namespace plist
