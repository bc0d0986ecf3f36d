#include "platform/platform.h"

#ifndef _WIN32
#include <unistd.h>
#include <cerrno>
#endif

namespace velmora::platform {

void write_stderr(const char* data, std::size_t size) noexcept {
#ifdef _WIN32
    HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0) return;
        data += written;
        size -= written;
    }
#else
    while (size > 0) {
        ssize_t written = ::write(2, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
#endif
}

}  // namespace velmora::platform
