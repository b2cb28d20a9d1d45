#include "setup/SetupBaseURL.h"

#include <cctype>

#ifndef NX_BASE_URL
#error "NX_BASE_URL is the distribution server's base URL; the build sets it"
#endif

// Alone in its file, so that the build can link the same installer against another
// server (the end-to-end runs' https installer brings its own definition).
const char* const kSetupBaseURL = NX_BASE_URL;

bool BaseURLIsHttps(const char* url) {
    const char* scheme = "https://";
    for (; *scheme; ++scheme, ++url)
        if (std::tolower(static_cast<unsigned char>(*url)) != *scheme) return false;
    return true;
}
