#include "xml_check.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace winsim::detail {
namespace {

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
    Checker(std::u16string_view doc, XmlHandler* handler) : doc_(doc), handler_(handler) {}

    std::optional<Failure> run() {
        if (!doc_.empty() && doc_[0] == 0xFEFF) pos_ = 1;
        if (looking_at(u"<?xml") && pos_ + 5 < doc_.size() && is_xml_space(doc_[pos_ + 5])) {
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
        while (pos_ < doc_.size() && is_xml_space(doc_[pos_])) ++pos_;
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

    // A start tag with its attributes, which it leaves in attributes_;
    // `empty` tells whether it closed itself.
    std::optional<Failure> start_tag(std::u16string_view& tag, bool& empty) {
        ++pos_;
        if (auto f = name(tag)) return f;
        attributes_.clear();
        // A fresh set rather than a cleared one, whose buckets would be wiped
        // again at every tag.
        if (!names_seen_.empty()) names_seen_ = {};
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
            if (is_duplicate(attribute)) return Failure{attribute_at, u"duplicate attribute"};
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
            const std::size_t value_at = pos_;
            for (;;) {
                if (pos_ == doc_.size()) return Failure{pos_, u"unexpected end of input"};
                const char16_t c = doc_[pos_];
                if (c == quote) break;
                if (c == u'<') return Failure{pos_, u"the character '<' cannot be used in an attribute value"};
                ++pos_;
            }
            attributes_.push_back(XmlAttribute{attribute, doc_.substr(value_at, pos_ - value_at), attribute_at});
            ++pos_;
        }
    }

    // Whether an earlier attribute of the tag has the name. Past a few
    // attributes the names go into a set, so that a tag with very many of
    // them is still read in linear time.
    bool is_duplicate(std::u16string_view attribute) {
        constexpr std::size_t scanned = 16;
        if (attributes_.size() < scanned)
            return std::ranges::find(attributes_, attribute, &XmlAttribute::name) != attributes_.end();
        if (names_seen_.empty())
            for (const XmlAttribute& earlier : attributes_) names_seen_.insert(earlier.name);
        return !names_seen_.insert(attribute).second;
    }

    // The document element and everything inside it, without recursion so
    // that deep nesting cannot exhaust the stack.
    std::optional<Failure> element() {
        std::vector<std::u16string_view> open;
        std::u16string_view tag;
        bool empty = false;
        if (auto f = open_element(tag, empty)) return f;
        if (empty) return std::nullopt;
        open.push_back(tag);
        while (!open.empty()) {
            const std::size_t next = doc_.find(u'<', pos_);
            if (next == std::u16string_view::npos) return Failure{doc_.size(), u"unexpected end of input"};
            if (next > pos_ && handler_ != nullptr) handler_->text(doc_.substr(pos_, next - pos_), pos_);
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
                if (handler_ != nullptr) handler_->end_element(at);
            } else if (looking_at(u"<!--")) {
                if (auto f = skip_until(pos_ + 4, u"-->")) return f;
            } else if (looking_at(u"<![CDATA[")) {
                const std::size_t content_at = pos_ + 9;
                if (auto f = skip_until(content_at, u"]]>")) return f;
                if (handler_ != nullptr) handler_->text(doc_.substr(content_at, pos_ - 3 - content_at), content_at);
            } else if (looking_at(u"<?")) {
                if (auto f = processing_instruction()) return f;
            } else if (looking_at(u"<!")) {
                return Failure{pos_, u"incorrect document syntax"};
            } else {
                if (auto f = open_element(tag, empty)) return f;
                if (!empty) open.push_back(tag);
            }
        }
        return std::nullopt;
    }

    std::optional<Failure> open_element(std::u16string_view& tag, bool& empty) {
        const std::size_t at = pos_ + 1;
        if (auto f = start_tag(tag, empty)) return f;
        if (handler_ != nullptr) handler_->start_element(tag, at, attributes_, pos_, empty);
        return std::nullopt;
    }

    std::u16string_view doc_;
    XmlHandler* handler_;
    std::size_t pos_ = 0;
    std::vector<XmlAttribute> attributes_;  // of the latest start tag
    std::unordered_set<std::u16string_view> names_seen_;
};

std::optional<XmlError> read(std::u16string_view document, XmlHandler* handler) {
    const std::optional<Failure> failure = Checker(document, handler).run();
    if (!failure) return std::nullopt;
    const TextPosition where = position_of(document, failure->at);
    return XmlError{where.line, where.column, failure->message};
}

}  // namespace

bool is_xml_space(char16_t c) noexcept { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

bool is_name_start(char16_t c) noexcept {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_' || c == u':' ||
           (c >= 0xC0 && c != 0xD7 && c != 0xF7 && c != 0xFFFE && c != 0xFFFF);
}

bool is_name_char(char16_t c) noexcept {
    return is_name_start(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == 0xB7;
}

std::optional<XmlError> check_well_formed(std::u16string_view document) { return read(document, nullptr); }

std::optional<XmlError> read_xml(std::u16string_view document, XmlHandler& handler) { return read(document, &handler); }

TextPosition position_of(std::u16string_view document, std::size_t offset) {
    long line = 1;
    long column = 1;
    for (std::size_t i = 0; i < offset && i < document.size(); ++i) {
        const char16_t c = document[i];
        if (c == u'\n' || (c == u'\r' && !(i + 1 < document.size() && document[i + 1] == u'\n'))) {
            ++line;
            column = 1;
        } else if (c != u'\r') {
            ++column;
        }
    }
    return TextPosition{line, column};
}

}  // namespace winsim::detail
