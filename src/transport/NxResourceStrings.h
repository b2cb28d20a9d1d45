#pragma once
// The transport's fixed message texts. Templates are printf-style ("%s", "%d").
#include <cstdint>
#include <string>

namespace NxStrings {
inline constexpr const char* ConnectionClosedGracefully = "Connection Closed Gracefully.";
inline constexpr const char* NotConnected = "Not Connected";
inline constexpr const char* ReadTimeout = "Read Timeout";
inline constexpr const char* MaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr const char* NotEnoughDataInBuffer = "Not enough data in buffer.";
inline constexpr const char* NoDataToRead = "No data to read.";
inline constexpr const char* FileNotFound = "File \"%s\" not found";
inline constexpr const char* AlreadyConnected = "Already connected.";
inline constexpr const char* Disconnected = "Disconnected.";
inline constexpr const char* ConnectTimeout = "Connect timed out.";
inline constexpr const char* CannotAllocateSocket = "Cannot allocate socket.";
inline constexpr const char* CouldNotBindSocket =
    "Could not bind socket. Address and port are already in use.";
inline constexpr const char* InvalidPortRange = "Invalid Port Range (%d - %d)";
inline constexpr const char* CanNotBindRange = "Can not bind in port range (%d - %d)";
inline constexpr const char* SetSizeExceeded = "Set Size Exceeded.";
inline constexpr const char* WinsockInitializationError = "Winsock Initialization Error.";
inline constexpr const char* WS2LoadError = "Error on loading Winsock2 library (%s)";
inline constexpr const char* WS2CallError = "Error on call Winsock2 library function %s";
inline constexpr const char* InvalidServiceName = "%s is not a valid service.";
inline constexpr const char* SocketErrorFormat = "Socket Error # %d\r\n%s";
// TLS: each text names the check that failed; "%s" is the detail the library gave.
inline constexpr const char* TLSUntrustedIssuer = "TLS certificate not trusted: untrusted issuer (%s)";
inline constexpr const char* TLSNameMismatch = "TLS certificate name mismatch: not valid for %s";
inline constexpr const char* TLSValidity = "TLS certificate expired or not yet valid (%s)";
inline constexpr const char* TLSHandshakeFailure = "TLS handshake failure (%s)";
inline constexpr const char* TLSProtocolTooOld =
    "TLS protocol too old: the server offers no TLS 1.2 or newer (%s)";
inline constexpr const char* TLSTruncated = "TLS stream truncated: %s";
inline constexpr const char* TLSRecordError = "TLS record error (%s)";
inline constexpr const char* TLSTrustFile = "TLS trusted root file cannot be used: %s";
inline constexpr const char* TLSLibrary = "TLS library not available: %s";
inline constexpr const char* CryptoLibrary = "Cryptography not available: %s";
inline constexpr const char* CryptoFailed = "Cryptography failed: %s";
// SOCKS: one text per kind of failure; "%d" is the reply code no kind has.
inline constexpr const char* SocksRequestFailed = "SOCKS request rejected or failed.";
inline constexpr const char* SocksRequestServerFailed =
    "SOCKS request rejected: the proxy cannot reach the client's identd.";
inline constexpr const char* SocksRequestIdentFailed =
    "SOCKS request rejected: the client's identd reports another user.";
inline constexpr const char* SocksUnknownError = "SOCKS proxy answered with the unknown reply code %d.";
inline constexpr const char* SocksServerRespondError = "SOCKS proxy sent no valid reply.";
inline constexpr const char* SocksAuthMethodError =
    "SOCKS proxy accepts none of the offered authentication methods.";
inline constexpr const char* SocksAuthError = "SOCKS proxy refused the user name or password.";
inline constexpr const char* SocksServerGeneralError = "SOCKS proxy: general failure.";
inline constexpr const char* SocksServerPermissionError = "SOCKS proxy: connection not allowed by its rules.";
inline constexpr const char* SocksServerNetUnreachableError = "SOCKS proxy: network unreachable.";
inline constexpr const char* SocksServerHostUnreachableError = "SOCKS proxy: host unreachable.";
inline constexpr const char* SocksServerConnectionRefusedError =
    "SOCKS proxy: connection refused by the target.";
inline constexpr const char* SocksServerTTLExpiredError = "SOCKS proxy: TTL expired.";
inline constexpr const char* SocksServerCommandError = "SOCKS proxy: command not supported.";
inline constexpr const char* SocksServerAddressError = "SOCKS proxy: address type not supported.";
inline constexpr const char* SocksFieldTooLong =
    "SOCKS host name, user name or password longer than %d bytes.";
// Details that fill the templates above.
inline constexpr const char* TLSClosedInHandshake = "the connection was closed during the handshake";
inline constexpr const char* TLSHandshakeTimedOut = "timed out";
inline constexpr const char* TLSClosedInRecord = "the connection was closed inside a record";
inline constexpr const char* TLSClosedWithoutNotify = "the connection was closed without a close_notify";
} // namespace NxStrings

// The Winsock numbers the library names. The native stack maps its errors onto these.
namespace NxErr {
inline constexpr int32_t EINTR_ = 10004;
inline constexpr int32_t EBADF_ = 10009;
inline constexpr int32_t EACCES_ = 10013;
inline constexpr int32_t EFAULT_ = 10014;
inline constexpr int32_t EINVAL_ = 10022;
inline constexpr int32_t EMFILE_ = 10024;
inline constexpr int32_t EWOULDBLOCK_ = 10035;
inline constexpr int32_t EINPROGRESS_ = 10036;
inline constexpr int32_t EALREADY_ = 10037;
inline constexpr int32_t ENOTSOCK_ = 10038;
inline constexpr int32_t EDESTADDRREQ_ = 10039;
inline constexpr int32_t EMSGSIZE_ = 10040;
inline constexpr int32_t EPROTOTYPE_ = 10041;
inline constexpr int32_t ENOPROTOOPT_ = 10042;
inline constexpr int32_t EPROTONOSUPPORT_ = 10043;
inline constexpr int32_t ESOCKTNOSUPPORT_ = 10044;
inline constexpr int32_t EOPNOTSUPP_ = 10045;
inline constexpr int32_t EPFNOSUPPORT_ = 10046;
inline constexpr int32_t EAFNOSUPPORT_ = 10047;
inline constexpr int32_t EADDRINUSE_ = 10048;
inline constexpr int32_t EADDRNOTAVAIL_ = 10049;
inline constexpr int32_t ENETDOWN_ = 10050;
inline constexpr int32_t ENETUNREACH_ = 10051;
inline constexpr int32_t ENETRESET_ = 10052;
inline constexpr int32_t ECONNABORTED_ = 10053;
inline constexpr int32_t ECONNRESET_ = 10054;
inline constexpr int32_t ENOBUFS_ = 10055;
inline constexpr int32_t EISCONN_ = 10056;
inline constexpr int32_t ENOTCONN_ = 10057;
inline constexpr int32_t ESHUTDOWN_ = 10058;
inline constexpr int32_t ETOOMANYREFS_ = 10059;
inline constexpr int32_t ETIMEDOUT_ = 10060;
inline constexpr int32_t ECONNREFUSED_ = 10061;
inline constexpr int32_t ELOOP_ = 10062;
inline constexpr int32_t ENAMETOOLONG_ = 10063;
inline constexpr int32_t EHOSTDOWN_ = 10064;
inline constexpr int32_t EHOSTUNREACH_ = 10065;
inline constexpr int32_t ENOTEMPTY_ = 10066;
inline constexpr int32_t HOST_NOT_FOUND_ = 11001;
// The name service's "try again" (a temporary resolver failure), on both stacks.
inline constexpr int32_t TRY_AGAIN_ = 11002;
} // namespace NxErr

// The common table's text for a socket error code; empty when the code has no entry.
// 11001 is not in it: the stacks add "Host not found." in front of it.
const char* CommonSocketErrorText(int32_t code);
inline constexpr const char* HostNotFoundText = "Host not found.";
// "Socket Error # <code>" CR LF <text>.
std::string SocketErrorMessage(int32_t code, const std::string& text);
