#pragma once
// The SOCKS negotiation a socket handler runs over its connection to the proxy, before any
// byte of its own: SOCKS 4 (the client resolves the name), 4A (the proxy resolves it) and 5
// (RFC 1928, with the user name and password of RFC 1929; the proxy resolves a name unless
// told otherwise). It asks the proxy for a TCP connection to the target and reads exactly
// the proxy's answer, so that the next byte on the socket is the target's.
#include <cstddef>
#include <cstdint>
#include <string>

class TNxSocketHandle;
class TNxSocksInfo;

namespace NxSocks {
// How long the whole negotiation may take when the connect set no limit of its own.
inline constexpr int32_t DefaultTimeout = 60000;
// One length byte carries a SOCKS 5 host name (RFC 1928 5) and the user name and password
// (RFC 1929 2).
inline constexpr size_t MaxFieldLength = 255;
} // namespace NxSocks

// Negotiates a connection to host:port through the proxy at the other end of the connected
// handle, within timeout milliseconds (0 or less: NxSocks::DefaultTimeout). Failures: the
// ENxSocks* kind of the proxy's reply code; ENxSocksServerRespondError for a reply that is cut
// short, malformed or late; ENxSocksAuthMethodError and ENxSocksAuthError when the proxy turns
// down the offered methods or the credentials; ENxSocksError for a name or credential too long
// to send; a socket error for a send or receive that fails.
void NxSocksNegotiate(TNxSocketHandle& handle, const TNxSocksInfo& info, const std::string& host,
                      int32_t port, int32_t timeout);
