#pragma once
// The installer's version, in one place: the version resource (Setup.rc) and the
// installation log take it from here. Plain macros, since the resource compiler reads it too.
#define NX_SETUP_VERSION_MAJOR 1
#define NX_SETUP_VERSION_MINOR 0
#define NX_SETUP_VERSION_PATCH 0
#define NX_SETUP_VERSION_BUILD 0
#define NX_SETUP_VERSION_TEXT "1.0.0.0"

#ifndef RC_INVOKED
inline constexpr const char* kSetupVersion = NX_SETUP_VERSION_TEXT;
#endif
