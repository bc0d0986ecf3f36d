#pragma once
// The well-formedness check that the Task Scheduler makes before it reads a
// task definition, and the reader under it, which shows the elements,
// attributes and text of the document to whoever reads its content.

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace winsim::detail {

struct XmlError {
    long line;    // 1-based
    long column;  // 1-based, in UTF-16 units
    std::u16string_view message;  // a fixed text
};

struct XmlAttribute {
    std::u16string_view name;   // as written, prefix included
    std::u16string_view value;  // as written between the quotes, references not replaced
    std::size_t at;             // offset of the name
};

// What the reader passes on, in document order. Offsets count UTF-16 units
// from the start of the document; every view points into the document.
class XmlHandler {
public:
    // A start tag: `at` is the offset of its name, `content_at` that of what
    // follows the tag. An empty-element tag (`empty`) has no end_element.
    virtual void start_element(std::u16string_view name, std::size_t at, std::span<const XmlAttribute> attributes,
                               std::size_t content_at, bool empty) = 0;
    // An end tag; `at` is the offset of its "</".
    virtual void end_element(std::size_t at) = 0;
    // Character data between two tags, or the content of a CDATA section.
    virtual void text(std::u16string_view characters, std::size_t at) = 0;

protected:
    ~XmlHandler() = default;
};

// The first well-formedness error of the document, or nothing when it is
// well-formed: a document element, nested and matched tags, quoted attribute
// values without duplicates, and nothing but whitespace, comments and
// processing instructions around the element, with an optional leading XML
// declaration.
std::optional<XmlError> check_well_formed(std::u16string_view document);

// The same check, passing the document to `handler` as it goes. The handler
// sees everything before the first error, and nothing after it.
std::optional<XmlError> read_xml(std::u16string_view document, XmlHandler& handler);

// XML's whitespace (S) and the characters of names (NameStartChar,
// NameChar), unit by unit; every unit from U+00C0 up but U+00D7, U+00F7,
// U+FFFE and U+FFFF is taken as a letter.
bool is_xml_space(char16_t c) noexcept;
bool is_name_start(char16_t c) noexcept;
bool is_name_char(char16_t c) noexcept;

struct TextPosition {
    long line;    // 1-based
    long column;  // 1-based, in UTF-16 units
};

// Where an offset of the document lies. "\r\n", "\r" and "\n" each end a line.
TextPosition position_of(std::u16string_view document, std::size_t offset);

}  // namespace winsim::detail
