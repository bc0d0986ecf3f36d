#include "platform/bstr.h"

#include <cstring>

namespace velmora::platform {

VARIANT empty_variant() noexcept {
    VARIANT variant;
    std::memset(&variant, 0, sizeof variant);
    return variant;
}

}  // namespace velmora::platform
