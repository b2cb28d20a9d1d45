#pragma once
// The socket stack over BSD sockets (the native build). Every failure is reported with
// the Winsock number of the same condition, so messages keep their numbers on both
// targets; the table is in NxStackPosix.cpp.
#include "transport/NxStack.h"

class TNxStackPosix final : public TNxPlatformStack {
public:
    TNxStackPosix();

    // The Winsock number for an errno value; a value with no counterpart is returned
    // unchanged (its message then has no text).
    static int32_t MapErrno(int error);
    // The Winsock number for a getaddrinfo/getnameinfo result (EAI_*).
    static int32_t MapResolverError(int error);
};
