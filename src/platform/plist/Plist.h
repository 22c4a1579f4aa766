#pragma once

// Reading and writing property lists: Apple's XML format (read and write)
// and the binary format "bplist00" (read).
//
// A reader never fails because of one value: a value it cannot read (an
// <integer> holding text, a malformed date) is left out, as if absent. The
// whole read fails only when the text is not a property list at all or its
// structure is broken (unclosed or mismatched elements, truncation): a
// half-read library would look like songs were removed.

#include "Value.h"

#include <expected>
#include <string>
#include <string_view>

namespace plist {

struct Error {
    enum class Kind { Io, Syntax };
    Kind kind = Kind::Syntax;
    std::string message;
};

template <typename T>
using Result = std::expected<T, Error>;

Result<Document> parseXml(std::string_view text);
Result<Document> parseBinary(std::string_view bytes);
// Either format, told apart by the "bplist" magic.
Result<Document> parse(std::string_view bytes);

// Reads a file without holding all of it in memory at once (XML is parsed
// from reused chunks; binary files are read whole, they are small). Only a
// regular file is read, and no further than the size it had when opened: a
// device or a FIFO is an Io error, and opening one never blocks.
Result<Document> readFile(const std::string& path);
// The same from a file the caller opened (and closes); it may have been
// opened without blocking.
Result<Document> readFile(int fd, const std::string& name);

// Apple's layout: tab indentation, one value per line.
std::string writeXml(const Object& root);

}  // namespace plist
