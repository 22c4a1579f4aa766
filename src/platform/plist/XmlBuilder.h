#pragma once

// The value builder of the XML reader: it takes the document's tokens (tags
// and the text between them) in order and builds the values in the
// document's arena, with an explicit stack: containers collect their children
// on two reusable stacks (items, entries) and are copied into the arena in
// one block when they close. Keys are interned, so the millions of repeated
// keys of a library file share one copy and duplicate keys in a dict are
// found by pointer. A leaf value becomes its node as soon as its text is
// seen, so nothing points into the scanner's buffer across a refill.
//
// It knows nothing of bytes and buffers: a failure names what is wrong and
// the token where it was found, and the scanner turns that into a position.

#include "Arena.h"
#include "Value.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace plist {

class KeyTable;

class XmlBuilder {
public:
    explicit XmlBuilder(Document& doc);

    // One tag; `at` is where it starts, for the failure. Always inlined: it is
    // too large for the compiler to inline by itself, and as a call the reader
    // runs a fifth more instructions on a library file.
    [[gnu::always_inline]] bool tag(std::string_view name, bool closing, bool selfClosing, const char* at);
    // The text between two tags, whose entities are decoded when it has an '&'.
    bool text(std::string_view t, bool hasAmpersand);
    // After the last token: the root, or false when the document is cut short
    // or empty.
    bool finish();

    // Inside a value or a skipped element, where text may stand; elsewhere
    // only blanks may.
    bool takesText() const { return leaf_ != Leaf::None; }
    // Inside a value, where no markup may stand.
    bool inValue() const { return leaf_ != Leaf::None && leaf_ != Leaf::Skip; }

    const Node* root() const { return root_; }
    // Why the last call answered false, and the token (null at the end).
    const char* failure() const { return failure_; }
    const char* failedAt() const { return failedAt_; }

private:
    enum class Leaf : std::uint8_t { None, Key, String, Integer, Real, Date, Data, True, False, Skip };

    struct Frame {
        bool isDict;
        std::uint32_t id;
        std::size_t start;  // into entries_ or items_
        const char* pendingKey = nullptr;
    };

    // Compares with a literal of known length, which the compiler inlines.
    template <std::size_t N>
    static bool is(std::string_view s, const char (&literal)[N]) {
        return s.size() == N - 1 && std::memcmp(s.data(), literal, N - 1) == 0;
    }
    bool leafValue(std::string_view t, bool hasAmpersand = false);
    void attach(const Node& node);
    static bool namesLeaf(std::string_view name, Leaf leaf);
    bool openContainer(bool isDict, bool selfClosing, const char* at);
    void closeContainer();
    bool fail(const char* what, const char* at) {
        failure_ = what;
        failedAt_ = at;
        return false;
    }

    Arena& arena_;
    KeyTable& keys_;

    std::vector<Frame> frames_;
    std::vector<Node, LargeAllocator<Node>> items_;
    std::vector<Entry, LargeAllocator<Entry>> entries_;
    std::string scratch_;
    std::uint32_t nextFrameId_ = 1;

    Leaf leaf_ = Leaf::None;
    bool leafHasText_ = false;
    Node leafNode_;
    std::string skipName_;  // an unknown element being skipped, and its depth
    int skipDepth_ = 0;

    bool sawPlist_ = false;
    bool haveRoot_ = false;
    const Node* root_ = nullptr;
    const char* failure_ = nullptr;
    const char* failedAt_ = nullptr;
};

// What runs for every token is defined here, so that it inlines into the
// scanner's loop.

// Whether `name` is the element name of that kind of leaf.
inline bool XmlBuilder::namesLeaf(std::string_view name, Leaf leaf) {
    switch (leaf) {
    case Leaf::Key: return is(name, "key");
    case Leaf::String: return is(name, "string");
    case Leaf::Integer: return is(name, "integer");
    case Leaf::Real: return is(name, "real");
    case Leaf::Date: return is(name, "date");
    case Leaf::Data: return is(name, "data");
    case Leaf::True: return is(name, "true");
    case Leaf::False: return is(name, "false");
    case Leaf::None:
    case Leaf::Skip: break;
    }
    return false;
}

inline bool XmlBuilder::text(std::string_view t, bool hasAmpersand) {
    if (leaf_ == Leaf::Skip) return true;
    if (leaf_ != Leaf::None) {
        if (leafHasText_) return fail("markup inside a value", t.data());
        leafHasText_ = true;
        return leafValue(t, hasAmpersand);
    }
    for (const char& c : t)
        if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return fail("text outside of any value", &c);
    return true;
}

// <dict> or <array>: a frame that collects its children, or at once an
// empty container when the tag closes itself.
inline bool XmlBuilder::openContainer(bool isDict, bool selfClosing, const char* at) {
    if (frames_.size() > 512) return fail("nesting too deep", at);
    if (selfClosing) {
        Node n;
        n.type = isDict ? Type::Dict : Type::Array;
        attach(n);
    } else {
        frames_.push_back(Frame{isDict, nextFrameId_++, isDict ? entries_.size() : items_.size()});
    }
    return true;
}

// One tag; `at` is its '<', for error positions.
inline bool XmlBuilder::tag(std::string_view name, bool closing, bool selfClosing, const char* at) {
    const char* p = at;
    if (name.empty()) return fail("empty tag", p);

    if (leaf_ == Leaf::Skip) {
        if (name == skipName_) {
            if (closing) --skipDepth_;
            else if (!selfClosing) ++skipDepth_;
        }
        if (skipDepth_ == 0) {
            leaf_ = Leaf::None;
            attach(Node());
        }
        return true;
    }
    if (leaf_ != Leaf::None) {
        // Only the leaf's own end tag may follow its text.
        if (!closing || !namesLeaf(name, leaf_)) return fail("unexpected element inside a value", p);
        if (!leafHasText_ && !leafValue({})) return false;
        Leaf done = leaf_;
        leaf_ = Leaf::None;
        if (done != Leaf::Key) attach(leafNode_);
        return true;
    }

    if (closing) {
        bool dict = is(name, "dict");
        if (!dict && !is(name, "array")) {
            if (!is(name, "plist")) return fail("mismatched closing tag", p);
            if (!frames_.empty()) return fail("</plist> inside a container", p);
            return true;
        }
        if (frames_.empty()) return fail("closing tag without an opening one", p);
        if (dict != frames_.back().isDict) return fail("mismatched closing tag", p);
        closeContainer();
        return true;
    }
    if (haveRoot_ && frames_.empty()) return fail("more than one top-level value", p);

    Leaf leaf = Leaf::None;
    switch (name.size()) {
    case 3:
        if (is(name, "key")) leaf = Leaf::Key;
        break;
    case 4:
        if (is(name, "dict")) return openContainer(true, selfClosing, p);
        if (is(name, "true")) leaf = Leaf::True;
        else if (is(name, "real")) leaf = Leaf::Real;
        else if (is(name, "date")) leaf = Leaf::Date;
        else if (is(name, "data")) leaf = Leaf::Data;
        break;
    case 5:
        if (is(name, "array")) return openContainer(false, selfClosing, p);
        if (is(name, "false")) leaf = Leaf::False;
        else if (is(name, "plist")) {
            if (sawPlist_ || !frames_.empty()) return fail("nested <plist>", p);
            sawPlist_ = true;
            return true;
        }
        break;
    case 6:
        if (is(name, "string")) leaf = Leaf::String;
        break;
    case 7:
        if (is(name, "integer")) leaf = Leaf::Integer;
        break;
    default: break;
    }
    if (leaf == Leaf::None) {
        // Unknown element: skipped, and it counts as an unreadable value. As the
        // top element of a document without <plist> it is another kind of XML.
        if (frames_.empty() && !sawPlist_) return fail("not a property-list element", p);
        if (selfClosing) {
            attach(Node());
            return true;
        }
        leaf_ = Leaf::Skip;
        skipName_.assign(name);
        skipDepth_ = 1;
        return true;
    }
    leaf_ = leaf;
    leafHasText_ = false;
    leafNode_ = Node();
    if (selfClosing) {
        if (!leafValue({})) return false;
        leaf_ = Leaf::None;
        if (leaf != Leaf::Key) attach(leafNode_);
    }
    return true;
}

}  // namespace plist
