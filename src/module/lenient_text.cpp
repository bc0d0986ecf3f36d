#include "module/lenient_text.h"

#include "module/py_ref.h"
#include "module/python_errors.h"
#include "platform/text.h"

namespace velmora::python {

std::string lenient_text(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
        return std::string(data, static_cast<std::size_t>(size));
    }
    // The failure is always a UnicodeEncodeError, never a PanicException.
    PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
    const PyRef bytes = expect_object(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return platform::replace_invalid_utf8(
        std::string_view(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

}  // namespace velmora::python
