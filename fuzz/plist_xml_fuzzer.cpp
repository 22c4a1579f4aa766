// libFuzzer target for the property-list readers (XML and, through the
// "bplist" magic, binary) and the XML writer.
//
// Each input is parsed, every value of the result is read the way a consumer
// reads it, and the tree is written back out. Our own output must always be
// readable, and a second write must reproduce the first: whatever a write
// loses (fractions of dates, unreadable values) it loses only once.

#include "platform/plist/Plist.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

namespace {

std::uint64_t mix(std::uint64_t h, std::uint64_t v) { return (h ^ v) * 1099511628211ull; }

std::uint64_t hashText(std::string_view s) {
    std::uint64_t h = 0;
    for (unsigned char c : s) h = mix(h, c);
    return h;
}

// Touches every byte reachable from v, so the sanitizers see any bad pointer.
std::uint64_t walk(plist::Value v) {
    std::uint64_t h = mix(0, std::uint64_t(v.type()));
    h = mix(h, std::uint64_t(v.asInteger()));
    h = mix(h, v.asBoolean());
    switch (v.type()) {
    case plist::Type::String: h = mix(h, hashText(v.string())); break;
    case plist::Type::Data: h = mix(h, hashText(v.data())); break;
    case plist::Type::Array:
        for (std::size_t i = 0; i < v.size(); ++i) h = mix(h, walk(v.at(i)));
        break;
    case plist::Type::Dict: {
        std::unordered_set<std::string_view> keys;
        for (std::size_t i = 0; i < v.size(); ++i) {
            std::string_view key = v.keyAt(i);
            h = mix(h, hashText(key));
            h = mix(h, walk(v.valueAt(i)));
            // Readers keep one entry per key.
            if (!keys.insert(key).second) {
                std::fprintf(stderr, "key %zu is repeated\n", i);
                std::abort();
            }
        }
        // Lookups find what iteration found.
        if (v.size() > 0 && v[v.keyAt(v.size() - 1)].node() != v.valueAt(v.size() - 1).node()) {
            std::fprintf(stderr, "lookup of the last key found another entry\n");
            std::abort();
        }
        break;
    }
    default: break;
    }
    return h;
}

std::string rewrite(std::string_view xml, const char* what) {
    auto doc = plist::parseXml(xml);
    if (!doc) {
        std::fprintf(stderr, "%s: our own output is unreadable: %s\n", what, doc.error().message.c_str());
        std::abort();
    }
    return plist::writeXml(plist::toObject(doc->root()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto doc = plist::parse(bytes);
    if (!doc) return 0;
    volatile std::uint64_t sink = walk(doc->root());
    (void)sink;

    std::string first = plist::writeXml(plist::toObject(doc->root()));
    std::string second = rewrite(first, "first rewrite");
    std::string third = rewrite(second, "second rewrite");
    if (second != third) {
        std::fprintf(stderr, "writing is not stable:\n--- second\n%s\n--- third\n%s\n", second.c_str(), third.c_str());
        std::abort();
    }
    return 0;
}
