#include "Plist.h"
#include "PlistText.h"

#include <cmath>
#include <cstdio>

namespace plist {

namespace {

void writeValue(std::string& out, const Object& v, int depth) {
    auto indent = [&](int d) { out.append(std::size_t(d), '\t'); };
    switch (v.type()) {
    case Type::Null:
        // Property lists have no null; an absent value is written as an empty string.
        out += "<string></string>";
        break;
    case Type::Bool: out += *v.ifBool() ? "<true/>" : "<false/>"; break;
    case Type::Integer: out += "<integer>" + std::to_string(*v.ifInteger()) + "</integer>"; break;
    case Type::Real: {
        double d = *v.ifReal();
        char buf[40];
        if (std::isnan(d)) std::snprintf(buf, sizeof buf, "nan");
        else if (std::isinf(d)) std::snprintf(buf, sizeof buf, d > 0 ? "+infinity" : "-infinity");
        else std::snprintf(buf, sizeof buf, "%.17g", d);
        out += "<real>";
        out += buf;
        out += "</real>";
        break;
    }
    case Type::String:
        out += "<string>";
        appendEscaped(out, *v.ifString());
        out += "</string>";
        break;
    case Type::Date: out += "<date>" + formatDate(*v.ifDate()) + "</date>"; break;
    case Type::Data:
        out += "<data>";
        out += encodeBase64(v.ifData()->bytes);
        out += "</data>";
        break;
    case Type::Array: {
        const auto& a = *v.ifArray();
        if (a.empty()) {
            out += "<array/>";
            break;
        }
        out += "<array>\n";
        for (const Object& item : a) {
            indent(depth + 1);
            writeValue(out, item, depth + 1);
            out += '\n';
        }
        indent(depth);
        out += "</array>";
        break;
    }
    case Type::Dict: {
        const auto& d = *v.ifDict();
        if (d.empty()) {
            out += "<dict/>";
            break;
        }
        out += "<dict>\n";
        for (const auto& [key, value] : d) {
            indent(depth + 1);
            out += "<key>";
            appendEscaped(out, key);
            out += "</key>\n";
            indent(depth + 1);
            writeValue(out, value, depth + 1);
            out += '\n';
        }
        indent(depth);
        out += "</dict>";
        break;
    }
    }
}

}  // namespace

std::string writeXml(const Object& root) {
    std::string out =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    writeValue(out, root, 0);
    out += "\n</plist>\n";
    return out;
}

}  // namespace plist
