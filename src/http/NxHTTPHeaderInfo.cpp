#include "http/NxHTTPHeaderInfo.h"

#include <limits>

#include "base/Format.h"
#include "http/NxHTTPStrings.h"
#include "transport/NxStack.h"

namespace {

void SetIfNotEmpty(TNxHeaderList& lines, const char* name, const std::string& value) {
    if (!value.empty()) lines.SetValue(name, value);
}

// A strict decimal read for the byte positions of Content-Range: leading blanks and a
// sign allowed, then digits only. Positions are unsigned 32-bit, so anything outside
// 0..4294967295 is as unreadable as letters.
uint32_t ToPosition(const std::string& text) {
    const int64_t value = StrToInt64Def(text, -1);
    if (value < 0 || value > static_cast<int64_t>(std::numeric_limits<uint32_t>::max()))
        throw EConvertError(Format(NxHTTPStrings::NotAValidInteger, text.c_str()));
    return static_cast<uint32_t>(value);
}

// True when text is a whole decimal number (the seconds form of Expires).
bool ReadSeconds(const std::string& text, int64_t& seconds) {
    seconds = StrToInt64Def(text, 0);
    return seconds != 0 || StrToInt64Def(text, 1) == 0;
}

} // namespace

// --- TNxEntityHeaderInfo -----------------------------------------------------------------

TNxEntityHeaderInfo::TNxEntityHeaderInfo() {
    ResetEntityFields();
}

void TNxEntityHeaderInfo::ResetEntityFields() {
    FConnection.clear();
    FContentEncoding.clear();
    FContentLanguage.clear();
    FContentLength = -1;
    FContentRangeEnd = 0;
    FContentRangeStart = 0;
    FContentType = "text/html";
    FContentVersion.clear();
    FDate = 0;
    FExpires = 0;
    FLastModified = 0;
    FHeaderLines.Clear();
}

void TNxEntityHeaderInfo::ResetFields() {
    ResetEntityFields();
}

void TNxEntityHeaderInfo::ComposeHeaderLines() {
    FHeaderLines.Clear();
    SetIfNotEmpty(FHeaderLines, "Connection", FConnection);
    SetIfNotEmpty(FHeaderLines, "Content-Version", FContentVersion);
    SetIfNotEmpty(FHeaderLines, "Content-Encoding", FContentEncoding);
    SetIfNotEmpty(FHeaderLines, "Content-Language", FContentLanguage);
    SetIfNotEmpty(FHeaderLines, "Content-Type", FContentType);
    if (FContentLength >= 0) FHeaderLines.SetValue("Content-Length", std::to_string(FContentLength));
    SetIfNotEmpty(FHeaderLines, "Cache-control", FCacheControl);
    if (FDate > 0) FHeaderLines.SetValue("Date", FormatInternetDate(FDate));
    if (FExpires > 0) FHeaderLines.SetValue("Expires", FormatInternetDate(FExpires));
    SetIfNotEmpty(FHeaderLines, "Pragma", FPragma);
    if (!FCustomHeaders.IsEmpty()) FHeaderLines.SetText(FHeaderLines.Text() + FCustomHeaders.Text());
}

void TNxEntityHeaderInfo::ParseHeaderLines() {
    FConnection = FHeaderLines.GetValue("Connection");
    FContentVersion = FHeaderLines.GetValue("Content-Version");
    FContentEncoding = FHeaderLines.GetValue("Content-Encoding");
    FContentLanguage = FHeaderLines.GetValue("Content-Language");
    FContentType = FHeaderLines.GetValue("Content-Type");
    SetContentLength(StrToIntDef(Trim(FHeaderLines.GetValue("Content-Length")), -1));
    FDate = InternetDateToLocal(FHeaderLines.GetValue("Date"));
    FLastModified = InternetDateToLocal(FHeaderLines.GetValue("Last-Modified"));
    // Servers may send a number of seconds instead of a date (-1 is the old "already
    // expired" idiom, read as a date like any other text).
    const std::string expires = FHeaderLines.GetValue("Expires");
    int64_t seconds = 0;
    if (ReadSeconds(expires, seconds) && seconds != -1)
        FExpires = NxNow() + static_cast<double>(seconds) * NxOneSecond;
    else
        FExpires = InternetDateToLocal(expires);
    FPragma = FHeaderLines.GetValue("Pragma");
}

// --- TNxRequestHeaderInfo ----------------------------------------------------------------

TNxRequestHeaderInfo::TNxRequestHeaderInfo() {
    ResetRequestFields();
}

void TNxRequestHeaderInfo::ResetRequestFields() {
    FAccept = "text/html, */*";
    FAcceptCharSet.clear();
    FUserAgent = "Mozilla/3.0 (compatible; Nx Library)";
    FBasicAuthentication = false;
}

void TNxRequestHeaderInfo::ResetFields() {
    ResetRequestFields();
    ResetEntityFields();
}

void TNxRequestHeaderInfo::ComposeHeaderLines() {
    TNxEntityHeaderInfo::ComposeHeaderLines();
    TNxHeaderList& lines = HeaderLines();
    SetIfNotEmpty(lines, "Proxy-Connection", FProxyConnection);
    SetIfNotEmpty(lines, "Host", FHost);
    SetIfNotEmpty(lines, "Accept", FAccept);
    SetIfNotEmpty(lines, "Accept-Charset", FAcceptCharSet);
    SetIfNotEmpty(lines, "Accept-Encoding", FAcceptEncoding);
    SetIfNotEmpty(lines, "Accept-Language", FAcceptLanguage);
    SetIfNotEmpty(lines, "From", FFrom);
    SetIfNotEmpty(lines, "Referer", FReferer);
    SetIfNotEmpty(lines, "User-Agent", FUserAgent);
    if (LastModified() > 0) lines.SetValue("If-Modified-Since", FormatInternetDate(LastModified()));
    if (ContentRangeStart() != 0 || ContentRangeEnd() != 0) {
        std::string range = "bytes=" + std::to_string(ContentRangeStart()) + "-";
        if (ContentRangeEnd() != 0) range += std::to_string(ContentRangeEnd());
        lines.SetValue("Range", range);
    }
    if (FAuthenticator) {
        SetIfNotEmpty(lines, "Authorization", FAuthenticator->Authentication());
    } else if (FBasicAuthentication) {
        // The object stays: later changes of Username or Password do not reach it.
        FAuthenticator = std::make_unique<TNxBasicAuthentication>();
        FAuthenticator->SetUsername(FUsername);
        FAuthenticator->SetPassword(FPassword);
        SetIfNotEmpty(lines, "Authorization", FAuthenticator->Authentication());
    }
}

// --- TNxResponseHeaderInfo ---------------------------------------------------------------

TNxResponseHeaderInfo::TNxResponseHeaderInfo() {
    ResetResponseFields();
}

void TNxResponseHeaderInfo::ResetResponseFields() {
    FLocation.clear();
    FServer.clear();
    FProxyAuthenticate.Clear();
    FWWWAuthenticate.Clear();
}

void TNxResponseHeaderInfo::ResetFields() {
    ResetEntityFields();
    ResetResponseFields();
}

void TNxResponseHeaderInfo::ParseHeaderLines() {
    const TNxHeaderList& lines = HeaderLines();
    FLocation = lines.GetValue("Location");
    FServer = lines.GetValue("Server");
    FProxyConnection = lines.GetValue("Proxy-Connection");
    std::string range = lines.GetValue("Content-Range");
    if (!range.empty()) {
        // "bytes first-last/total": the unit and the total are not kept.
        Fetch(range, " ");
        const uint32_t start = ToPosition(Fetch(range, "-"));
        const uint32_t end = ToPosition(Fetch(range, "/"));
        SetContentRangeStart(start);
        SetContentRangeEnd(end);
    }
    FWWWAuthenticate.Clear();
    lines.Extract("WWW-Authenticate", &FWWWAuthenticate);
    FProxyAuthenticate.Clear();
    lines.Extract("Proxy-Authenticate", &FProxyAuthenticate);
    TNxEntityHeaderInfo::ParseHeaderLines();
}

// --- TNxProxyConnectionInfo --------------------------------------------------------------

void TNxProxyConnectionInfo::Clear() {
    FProxyServer.clear();
    FProxyUsername.clear();
    FProxyPassword.clear();
    FProxyPort = 0;
}

void TNxProxyConnectionInfo::SetProxyPort(int32_t value) {
    if (value != FProxyPort) FAuthenticator.reset();
    FProxyPort = value;
}

void TNxProxyConnectionInfo::SetProxyServer(const std::string& value) {
    if (!NxSameText(value, FProxyServer)) FAuthenticator.reset();
    FProxyServer = value;
}

void TNxProxyConnectionInfo::ComposeHeaders(TNxHeaderList& headers) {
    if (FAuthenticator) {
        SetIfNotEmpty(headers, "Proxy-Authorization", FAuthenticator->Authentication());
    } else if (FBasicAuthentication) {
        FAuthenticator = std::make_unique<TNxBasicAuthentication>();
        FAuthenticator->SetUsername(FProxyUsername);
        FAuthenticator->SetPassword(FProxyPassword);
        SetIfNotEmpty(headers, "Proxy-Authorization", FAuthenticator->Authentication());
    }
}
