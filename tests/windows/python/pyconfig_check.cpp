// Compiled with the Windows pyconfig.h: what it claims about the target must
// be what the compiler does, or the module would disagree with python314.dll
// about the layout of every object it touches.
#include <Python.h>

#include <cstddef>

static_assert(SIZEOF_SHORT == sizeof(short));
static_assert(SIZEOF_INT == sizeof(int));
static_assert(SIZEOF_LONG == sizeof(long));
static_assert(SIZEOF_LONG_LONG == sizeof(long long));
static_assert(SIZEOF_FLOAT == sizeof(float));
static_assert(SIZEOF_DOUBLE == sizeof(double));
static_assert(SIZEOF_VOID_P == sizeof(void*));
static_assert(SIZEOF_SIZE_T == sizeof(std::size_t));
static_assert(SIZEOF_TIME_T == sizeof(time_t));
static_assert(SIZEOF_WCHAR_T == sizeof(wchar_t));
static_assert(SIZEOF__BOOL == sizeof(bool));
static_assert(ALIGNOF_SIZE_T == alignof(std::size_t));
static_assert(sizeof(Py_ssize_t) == sizeof(std::size_t));
static_assert(PY_SSIZE_T_MAX == static_cast<Py_ssize_t>(static_cast<std::size_t>(-1) >> 1));
// The release interpreter: no debug or free-threaded object header.
static_assert(sizeof(PyObject) == 2 * sizeof(void*));
