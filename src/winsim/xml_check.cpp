#include "xml_check.h"

#include <algorithm>
#include <vector>

namespace winsim::detail {
namespace {

bool is_space(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool is_name_start(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' ||
           (c >= 0xC0 && c != 0xD7 && c != 0xF7 && c != 0xFFFE && c != 0xFFFF);
}

bool is_name_char(char16_t c) {
    return is_name_start(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == 0xB7;
}

bool starts_with_ignoring_case(std::u16string_view text, std::u16string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

struct Failure {
    std::size_t at;
    const char16_t* message;
};

class Checker {
public:
    explicit Checker(std::u16string_view doc) : doc_(doc) {}

    std::optional<Failure> run() {
        if (!doc_.empty() && doc_[0] == 0xFEFF) pos_ = 1;
        if (looking_at(u"<?xml") && pos_ + 5 < doc_.size() && is_space(doc_[pos_ + 5])) {
            if (auto f = skip_until(pos_ + 5, u"?>")) return f;
        }
        bool seen_root = false;
        for (;;) {
            skip_spaces();
            if (pos_ == doc_.size()) {
                if (!seen_root) return Failure{pos_, u"XML document must have a top level element"};
                return std::nullopt;
            }
            if (doc_[pos_] != u'<') return Failure{pos_, u"invalid at the top level of the document"};
            if (looking_at(u"<!--")) {
                if (auto f = skip_until(pos_ + 4, u"-->")) return f;
            } else if (looking_at(u"<?")) {
                if (auto f = processing_instruction()) return f;
            } else if (looking_at(u"<!DOCTYPE")) {
                return Failure{pos_, u"DTD is prohibited"};
            } else if (looking_at(u"<!") || looking_at(u"</")) {
                return Failure{pos_, u"invalid at the top level of the document"};
            } else if (seen_root) {
                return Failure{pos_, u"only one top level element is allowed in an XML document"};
            } else {
                if (auto f = element()) return f;
                seen_root = true;
            }
        }
    }

private:
    bool looking_at(std::u16string_view text) const { return doc_.substr(pos_).starts_with(text); }

    void skip_spaces() {
        while (pos_ < doc_.size() && is_space(doc_[pos_])) ++pos_;
    }

    std::optional<Failure> skip_until(std::size_t from, std::u16string_view end) {
        const std::size_t found = doc_.find(end, from);
        if (found == std::u16string_view::npos) return Failure{doc_.size(), u"unexpected end of input"};
        pos_ = found + end.size();
        return std::nullopt;
    }

    std::optional<Failure> processing_instruction() {
        const std::size_t start = pos_;
        pos_ += 2;
        std::u16string_view target;
        if (auto f = name(target)) return f;
        if (starts_with_ignoring_case(target, u"xml") && target.size() == 3)
            return Failure{start, u"XML declaration is allowed only at the start of the document"};
        return skip_until(pos_, u"?>");
    }

    std::optional<Failure> name(std::u16string_view& out) {
        if (pos_ == doc_.size()) return Failure{pos_, u"unexpected end of input"};
        if (!is_name_start(doc_[pos_])) return Failure{pos_, u"a name was started with an invalid character"};
        const std::size_t start = pos_;
        while (pos_ < doc_.size() && is_name_char(doc_[pos_])) ++pos_;
        out = doc_.substr(start, pos_ - start);
        return std::nullopt;
    }

    // A start tag with its attributes; `empty` tells whether it closed itself.
    std::optional<Failure> start_tag(std::u16string_view& tag, bool& empty) {
        ++pos_;
        if (auto f = name(tag)) return f;
        std::vector<std::u16string_view> attributes;
        for (;;) {
            const std::size_t before_space = pos_;
            skip_spaces();
            if (pos_ == doc_.size()) return Failure{pos_, u"unexpected end of input"};
            if (looking_at(u"/>")) {
                pos_ += 2;
                empty = true;
                return std::nullopt;
            }
            if (doc_[pos_] == u'>') {
                ++pos_;
                empty = false;
                return std::nullopt;
            }
            if (pos_ == before_space) return Failure{pos_, u"missing whitespace"};
            const std::size_t attribute_at = pos_;
            std::u16string_view attribute;
            if (auto f = name(attribute)) return f;
            if (std::ranges::find(attributes, attribute) != attributes.end())
                return Failure{attribute_at, u"duplicate attribute"};
            attributes.push_back(attribute);
            skip_spaces();
            if (pos_ == doc_.size()) return Failure{pos_, u"unexpected end of input"};
            if (doc_[pos_] != u'=') return Failure{pos_, u"missing equals sign between attribute and attribute value"};
            ++pos_;
            skip_spaces();
            if (pos_ == doc_.size()) return Failure{pos_, u"unexpected end of input"};
            const char16_t quote = doc_[pos_];
            if (quote != u'"' && quote != u'\'')
                return Failure{pos_, u"a string literal was expected, but no opening quote character was found"};
            ++pos_;
            for (;;) {
                if (pos_ == doc_.size()) return Failure{pos_, u"unexpected end of input"};
                const char16_t c = doc_[pos_];
                if (c == quote) break;
                if (c == u'<') return Failure{pos_, u"the character '<' cannot be used in an attribute value"};
                ++pos_;
            }
            ++pos_;
        }
    }

    // The document element and everything inside it, without recursion so
    // that deep nesting cannot exhaust the stack.
    std::optional<Failure> element() {
        std::vector<std::u16string_view> open;
        std::u16string_view tag;
        bool empty = false;
        if (auto f = start_tag(tag, empty)) return f;
        if (empty) return std::nullopt;
        open.push_back(tag);
        while (!open.empty()) {
            const std::size_t next = doc_.find(u'<', pos_);
            if (next == std::u16string_view::npos) return Failure{doc_.size(), u"unexpected end of input"};
            pos_ = next;
            if (looking_at(u"</")) {
                const std::size_t at = pos_;
                pos_ += 2;
                std::u16string_view closing;
                if (auto f = name(closing)) return f;
                if (closing != open.back()) return Failure{at, u"end tag does not match the start tag"};
                skip_spaces();
                if (pos_ == doc_.size()) return Failure{pos_, u"unexpected end of input"};
                if (doc_[pos_] != u'>') return Failure{pos_, u"a name contained an invalid character"};
                ++pos_;
                open.pop_back();
            } else if (looking_at(u"<!--")) {
                if (auto f = skip_until(pos_ + 4, u"-->")) return f;
            } else if (looking_at(u"<![CDATA[")) {
                if (auto f = skip_until(pos_ + 9, u"]]>")) return f;
            } else if (looking_at(u"<?")) {
                if (auto f = processing_instruction()) return f;
            } else if (looking_at(u"<!")) {
                return Failure{pos_, u"incorrect document syntax"};
            } else {
                if (auto f = start_tag(tag, empty)) return f;
                if (!empty) open.push_back(tag);
            }
        }
        return std::nullopt;
    }

    std::u16string_view doc_;
    std::size_t pos_ = 0;
};

}  // namespace

std::optional<XmlError> check_well_formed(std::u16string_view document) {
    const std::optional<Failure> failure = Checker(document).run();
    if (!failure) return std::nullopt;
    long line = 1;
    long column = 1;
    for (std::size_t i = 0; i < failure->at && i < document.size(); ++i) {
        const char16_t c = document[i];
        if (c == u'\n' || (c == u'\r' && !(i + 1 < document.size() && document[i + 1] == u'\n'))) {
            ++line;
            column = 1;
        } else if (c != u'\r') {
            ++column;
        }
    }
    return XmlError{line, column, failure->message};
}

}  // namespace winsim::detail
