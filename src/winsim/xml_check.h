#pragma once
// The well-formedness check that the Task Scheduler makes before it reads a
// task definition.

#include <optional>
#include <string>
#include <string_view>

namespace winsim::detail {

struct XmlError {
    long line;    // 1-based
    long column;  // 1-based, in UTF-16 units
    std::u16string message;
};

// The first well-formedness error of the document, or nothing when it is
// well-formed: a document element, nested and matched tags, quoted attribute
// values without duplicates, and nothing but whitespace, comments and
// processing instructions around the element, with an optional leading XML
// declaration.
std::optional<XmlError> check_well_formed(std::u16string_view document);

}  // namespace winsim::detail
