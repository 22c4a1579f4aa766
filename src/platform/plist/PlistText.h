#pragma once

// Text forms of property-list values, shared by the XML reader and writer.

#include "Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plist {

// Decodes &amp; &lt; &gt; &quot; &apos; and numeric references into scratch.
// An unknown or malformed reference is kept as it stands.
std::string_view decodeEntities(std::string_view text, std::string& scratch);

std::optional<std::int64_t> parseInteger(std::string_view text);
std::optional<double> parseReal(std::string_view text);
// "2006-05-12T19:20:14Z" (the Z may be missing); nothing when malformed.
std::optional<Date> parseDate(std::string_view text);
// Whitespace is skipped; any other stray character makes it unreadable.
std::optional<std::string_view> decodeBase64(std::string_view text, std::string& scratch);

// A code point as UTF-8 (the caller has refused surrogates and values past 0x10FFFF).
void appendUtf8(std::string& out, std::uint32_t codePoint);

std::string formatDate(Date d);
std::string encodeBase64(std::string_view bytes);
// Escapes markup. Control characters that XML cannot hold (all but tab,
// line feed and carriage return) are written as U+F000 plus their code, as
// the Mac's file sharing stores them in names, so that every reader takes the
// file; withControlCharacters() turns them back.
void appendEscaped(std::string& out, std::string_view text);
std::string withControlCharacters(std::string_view text);

}  // namespace plist
