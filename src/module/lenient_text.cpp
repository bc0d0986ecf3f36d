#include "module/lenient_text.h"

#include "module/fault_boundary.h"
#include "module/py_ref.h"

namespace velmora::module {
namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

}  // namespace

std::string lenient_text(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    // The failure is always a UnicodeEncodeError, never a PanicException.
    PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
    const PyRef bytes = expect_object(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return replace_invalid_utf8(
        std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::string replace_invalid_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto byte_at = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    std::size_t i = 0;
    while (i < bytes.size()) {
        const unsigned char lead = byte_at(i);
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        }
        // Well-formed sequences: the lead byte fixes the length and the range
        // of the first continuation byte, which excludes overlongs, surrogates
        // and values above U+10FFFF.
        std::size_t continuations = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead == 0xE0) {
            continuations = 2;
            low = 0xA0;
        } else if (lead == 0xED) {
            continuations = 2;
            high = 0x9F;
        } else if (lead >= 0xE1 && lead <= 0xEF) {
            continuations = 2;
        } else if (lead == 0xF0) {
            continuations = 3;
            low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            continuations = 3;
        } else if (lead == 0xF4) {
            continuations = 3;
            high = 0x8F;
        } else {
            out.append(replacement_character);
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        std::size_t seen = 0;
        while (seen < continuations && end < bytes.size() && byte_at(end) >= low && byte_at(end) <= high) {
            low = 0x80;
            high = 0xBF;
            ++end;
            ++seen;
        }
        if (seen == continuations) {
            out.append(bytes.substr(i, end - i));
        } else {
            // The maximal subpart of an ill-formed sequence becomes one U+FFFD.
            out.append(replacement_character);
        }
        i = end;
    }
    return out;
}

}  // namespace velmora::module
