#include "Plist.h"

namespace plist {

Result<Document> parseBinary(std::string_view) {
    return std::unexpected(Error{Error::Kind::Syntax, "binary property lists are not read yet"});
}

}  // namespace plist
