#pragma once
// The HTTP client's fixed message texts. Templates are printf-style ("%s", "%d").

namespace NxHTTPStrings {
// URIs
inline constexpr const char* URIProtocolEmpty = "Protocol field is empty";
inline constexpr const char* URIHostEmpty = "Host field is empty";
// Internet dates
inline constexpr const char* FailedTimeZoneInfo = "Failed attempting to retrieve time zone information.";
} // namespace NxHTTPStrings
