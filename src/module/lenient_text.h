#pragma once

#include <Python.h>

#include <string>

namespace velmora::python {

// Text of a str for use inside a message: its UTF-8 form, or, when it holds
// lone surrogates, its "surrogatepass" bytes with every maximal invalid
// subsequence replaced by U+FFFD (so a lone surrogate shows as three of them).
// Never leaves an exception pending; a failure to make the bytes is
// null_object_fault().
std::string lenient_text(PyObject* text);

}  // namespace velmora::python
