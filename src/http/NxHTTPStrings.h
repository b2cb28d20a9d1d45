#pragma once
// The HTTP client's fixed message texts. Templates are printf-style ("%s", "%d").

namespace NxHTTPStrings {
// URIs
inline constexpr const char* URIProtocolEmpty = "Protocol field is empty";
inline constexpr const char* URIHostEmpty = "Host field is empty";
// "Host", "Port", "Path", "Document" or "Query": a byte that would break the request line.
inline constexpr const char* URIInvalidCharacter = "%s field contains an invalid character";
// Internet dates
inline constexpr const char* FailedTimeZoneInfo = "Failed attempting to retrieve time zone information.";
} // namespace NxHTTPStrings

// Header records, authentication and cookies
namespace NxHTTPStrings {
inline constexpr const char* NotAValidInteger = "'%s' is not a valid integer value";
inline constexpr const char* AlreadyRegisteredAuthenticationMethod =
    "This authentication method is already registered with class name %s.";
inline constexpr const char* IndexOutOfRange = "Index out of range.";
} // namespace NxHTTPStrings

// Request engine and body reading
namespace NxHTTPStrings {
inline constexpr const char* ChunkStarted = "Chunk Started";
inline constexpr const char* InvalidChunkSize = "Invalid chunk size \"%s\"";
inline constexpr const char* InvalidContentLength = "Invalid Content-Length \"%s\"";
inline constexpr const char* UnsupportedTransferEncoding = "Unsupported Transfer-Encoding \"%s\"";
inline constexpr const char* InvalidHeaderLine = "Invalid header line \"%s\"";
inline constexpr const char* TooManyHeaderLines = "Too many header lines (more than %d)";
inline constexpr const char* HeaderSectionTooLarge = "Header section too large (more than %d bytes)";
inline constexpr const char* UndefinedSituation = "Undefined situation";
inline constexpr const char* MethodRequiresHTTP11 = "This request method is supported in HTTP 1.1";
inline constexpr const char* IOHandlerPropInvalid = "IOHandler value is not valid";
inline constexpr const char* RedirectDowngrade = "Redirect from https to http refused: %s";
} // namespace NxHTTPStrings
