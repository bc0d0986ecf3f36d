#ifndef Py_CONFIG_H
#define Py_CONFIG_H
/* The configuration of the 64-bit Windows release build of CPython 3.14
   (python314.dll: shared, not debug, not free-threaded), reduced to what the
   public headers consult when an extension module includes Python.h. Used
   only to compile and link the module for Windows with mingw-w64. */

#ifndef _WIN64
#error "only the 64-bit Windows interpreter is described here"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define WITH_DOC_STRINGS 1
#define PLATFORM "win32"

/* Extension modules link against python314.dll: the C API is imported from
   it and PyMODINIT_FUNC exports the module's init function. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64 data model. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8

#define HAVE_PY_SSIZE_T 1
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX 0x7fffffffffffffffLL
#define SIZEOF_PID_T SIZEOF_INT

#define HAVE_WCHAR_H 1
#define HAVE_STDARG_PROTOTYPES
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDDEF_H 1
#define HAVE_DYNAMIC_LOADING
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define PY_SUPPORT_TIER 1

/* Floating point: IEEE 754 little-endian doubles, as on every x64 host. */
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

#endif /* !Py_CONFIG_H */
