#pragma once

#include "platform/platform.h"
#include "platform/text.h"
#include "platform/unique_handle.h"

namespace velmora::platform {

// An owned BSTR. A null BSTR is the empty string and is never handed to
// SysFreeString.
struct FreeBstr {
    void operator()(BSTR value) const noexcept { SysFreeString(value); }
};

class Bstr : public UniqueHandle<BSTR, FreeBstr> {
public:
    using UniqueHandle::UniqueHandle;

    // Length in UTF-16 code units; 0 for a null BSTR.
    UINT length() const noexcept { return get() == nullptr ? 0 : SysStringLen(get()); }
    Utf16View view() const noexcept { return {get(), length()}; }
};

// A VARIANT with every byte zero (VT_EMPTY): "not given" for optional
// arguments of automation methods.
VARIANT empty_variant() noexcept;

}  // namespace velmora::platform
