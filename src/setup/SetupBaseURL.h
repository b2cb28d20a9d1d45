#pragma once
// The distribution server's base URL, fixed at build time (the NX_BASE_URL setting,
// ending in "/"). With an https URL the installer installs the TLS layer.
extern const char* const kSetupBaseURL;

// The URL's scheme is https (any letter case).
bool BaseURLIsHttps(const char* url);
