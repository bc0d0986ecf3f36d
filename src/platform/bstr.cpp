#include "platform/bstr.h"

#include <cstring>

namespace velmora::platform {

VARIANT empty_variant() noexcept {
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): the memset zeroes padding too, which {} need not
    VARIANT variant;
    std::memset(&variant, 0, sizeof variant);
    return variant;
}

}  // namespace velmora::platform
