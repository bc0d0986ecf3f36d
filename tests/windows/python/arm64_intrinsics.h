// Forced into the compile-only Arm64 check of the free-threaded build.
// CPython's headers read the thread's TEB there through __getReg(18), an
// intrinsic that MSVC (and clang in MSVC mode) knows and that the mingw-w64
// headers of this toolchain do not declare; clang declares it only under
// _MSC_VER. Nothing of this check is linked.
#pragma once
extern "C" unsigned long long __getReg(int);
