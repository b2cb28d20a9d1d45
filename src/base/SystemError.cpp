#include "base/SystemError.h"

#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {
std::string TrimTrail(std::string text) {
    while (!text.empty()) {
        unsigned char c = static_cast<unsigned char>(text.back());
        if (c <= ' ' || c == '.')
            text.pop_back();
        else
            break;
    }
    return text;
}
} // namespace

#ifdef _WIN32
std::string SysErrorMessage(uint32_t code) {
    char buffer[1024];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                 FORMAT_MESSAGE_ARGUMENT_ARRAY,
                             nullptr, code, 0, buffer, sizeof buffer, nullptr);
    return TrimTrail(std::string(buffer, n));
}

uint32_t LastSystemError() { return GetLastError(); }
#else
std::string SysErrorMessage(uint32_t code) {
    const char* text = std::strerror(static_cast<int>(code));
    if (!text || std::strncmp(text, "Unknown error", 13) == 0) return {};
    return TrimTrail(text);
}

uint32_t LastSystemError() { return static_cast<uint32_t>(errno); }
#endif
