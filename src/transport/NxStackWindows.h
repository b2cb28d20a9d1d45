#pragma once
// The socket stack over Winsock 2, loaded by name ("WS2_32.DLL") on the first start; each
// library function is looked up by its exported name on its first call and remembered.
// The library is started (version 2.2) once per process and cleaned up and released at
// program end.
#include "transport/NxStack.h"

class TNxStackWindows final : public TNxPlatformStack {
public:
    TNxStackWindows();

    // The library's file name.
    static constexpr const char* LibraryName = "WS2_32.DLL";
};
