#pragma once
// Typed HTTP header records. A record keeps the well-known fields as typed values beside
// its raw lines (HeaderLines): ComposeHeaderLines writes the fields into the lines in a
// fixed order before a request is sent, ParseHeaderLines reads a received head back into
// the fields. The proxy record contributes the proxy credentials line.
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "http/NxAuthentication.h"
#include "http/NxGlobal.h"
#include "http/NxHeaderList.h"

// Fields common to requests and responses.
class TNxEntityHeaderInfo {
public:
    TNxEntityHeaderInfo();
    TNxEntityHeaderInfo(const TNxEntityHeaderInfo&) = delete;
    TNxEntityHeaderInfo& operator=(const TNxEntityHeaderInfo&) = delete;
    virtual ~TNxEntityHeaderInfo() = default;

    // Fields from HeaderLines (first line of each name; absent headers give empty text).
    virtual void ParseHeaderLines();
    // HeaderLines from the fields, in the fixed order, then the custom lines.
    virtual void ComposeHeaderLines();
    // The defaults: empty texts, ContentLength -1 (ContentLengthGiven untouched), ranges
    // and dates 0, ContentType "text/html", HeaderLines emptied. CacheControl, Pragma and
    // CustomHeaders stay.
    virtual void ResetFields();

    const std::string& CacheControl() const noexcept { return FCacheControl; }
    void SetCacheControl(const std::string& value) { FCacheControl = value; }
    TNxHeaderList& HeaderLines() noexcept { return FHeaderLines; }
    const TNxHeaderList& HeaderLines() const noexcept { return FHeaderLines; }
    const std::string& Connection() const noexcept { return FConnection; }
    void SetConnection(const std::string& value) { FConnection = value; }
    const std::string& ContentEncoding() const noexcept { return FContentEncoding; }
    void SetContentEncoding(const std::string& value) { FContentEncoding = value; }
    const std::string& ContentLanguage() const noexcept { return FContentLanguage; }
    void SetContentLanguage(const std::string& value) { FContentLanguage = value; }
    int32_t ContentLength() const noexcept { return FContentLength; }
    // Also sets ContentLengthGiven to value >= 0.
    void SetContentLength(int32_t value) noexcept {
        FContentLength = value;
        FContentLengthGiven = value >= 0;
    }
    uint32_t ContentRangeEnd() const noexcept { return FContentRangeEnd; }
    void SetContentRangeEnd(uint32_t value) noexcept { FContentRangeEnd = value; }
    uint32_t ContentRangeStart() const noexcept { return FContentRangeStart; }
    void SetContentRangeStart(uint32_t value) noexcept { FContentRangeStart = value; }
    const std::string& ContentType() const noexcept { return FContentType; }
    void SetContentType(const std::string& value) { FContentType = value; }
    const std::string& ContentVersion() const noexcept { return FContentVersion; }
    void SetContentVersion(const std::string& value) { FContentVersion = value; }
    TNxHeaderList& CustomHeaders() noexcept { return FCustomHeaders; }
    const TNxHeaderList& CustomHeaders() const noexcept { return FCustomHeaders; }
    // Copies the lines of value.
    void SetCustomHeaders(const TStringList& value) { FCustomHeaders.Assign(value); }
    TDateTime Date() const noexcept { return FDate; }
    void SetDate(TDateTime value) noexcept { FDate = value; }
    TDateTime Expires() const noexcept { return FExpires; }
    void SetExpires(TDateTime value) noexcept { FExpires = value; }
    TDateTime LastModified() const noexcept { return FLastModified; }
    void SetLastModified(TDateTime value) noexcept { FLastModified = value; }
    const std::string& Pragma() const noexcept { return FPragma; }
    void SetPragma(const std::string& value) { FPragma = value; }
    bool ContentLengthGiven() const noexcept { return FContentLengthGiven; }
    void SetContentLengthGiven(bool value) noexcept { FContentLengthGiven = value; }

protected:
    // The entity part of ResetFields; virtual calls do not reach derived classes from a
    // constructor, so each constructor resets its own level.
    void ResetEntityFields();

private:
    std::string FCacheControl;
    TNxHeaderList FHeaderLines{1024};
    std::string FConnection;
    std::string FContentEncoding;
    std::string FContentLanguage;
    int32_t FContentLength = -1;
    uint32_t FContentRangeEnd = 0;
    uint32_t FContentRangeStart = 0;
    std::string FContentType;
    std::string FContentVersion;
    TNxHeaderList FCustomHeaders;
    TDateTime FDate = 0;
    TDateTime FExpires = 0;
    TDateTime FLastModified = 0;
    std::string FPragma;
    bool FContentLengthGiven = false;
};

class TNxRequestHeaderInfo : public TNxEntityHeaderInfo {
public:
    TNxRequestHeaderInfo();

    // The entity lines, then the request lines with SetValue, so a custom line of the
    // same name is overwritten in place instead of repeated.
    void ComposeHeaderLines() override;
    // Accept "text/html, */*", AcceptCharSet empty, the default UserAgent,
    // BasicAuthentication off, then the entity reset.
    void ResetFields() override;

    const std::string& Accept() const noexcept { return FAccept; }
    void SetAccept(const std::string& value) { FAccept = value; }
    const std::string& AcceptCharSet() const noexcept { return FAcceptCharSet; }
    void SetAcceptCharSet(const std::string& value) { FAcceptCharSet = value; }
    const std::string& AcceptEncoding() const noexcept { return FAcceptEncoding; }
    void SetAcceptEncoding(const std::string& value) { FAcceptEncoding = value; }
    const std::string& AcceptLanguage() const noexcept { return FAcceptLanguage; }
    void SetAcceptLanguage(const std::string& value) { FAcceptLanguage = value; }
    const std::string& From() const noexcept { return FFrom; }
    void SetFrom(const std::string& value) { FFrom = value; }
    const std::string& Password() const noexcept { return FPassword; }
    void SetPassword(const std::string& value) { FPassword = value; }
    const std::string& Referer() const noexcept { return FReferer; }
    void SetReferer(const std::string& value) { FReferer = value; }
    const std::string& UserAgent() const noexcept { return FUserAgent; }
    void SetUserAgent(const std::string& value) { FUserAgent = value; }
    const std::string& Username() const noexcept { return FUsername; }
    void SetUsername(const std::string& value) { FUsername = value; }
    const std::string& Host() const noexcept { return FHost; }
    void SetHost(const std::string& value) { FHost = value; }
    bool BasicAuthentication() const noexcept { return FBasicAuthentication; }
    void SetBasicAuthentication(bool value) noexcept { FBasicAuthentication = value; }
    const std::string& ProxyConnection() const noexcept { return FProxyConnection; }
    void SetProxyConnection(const std::string& value) { FProxyConnection = value; }

    // The scheme that answers "Authorization"; nullptr when none. The record keeps the
    // object until the request engine replaces it (SetAuthenticator) or frees it
    // (SetAuthenticator(nullptr)), at the latest until the record is destroyed.
    TNxAuthentication* Authenticator() const noexcept { return FAuthenticator.get(); }
    void SetAuthenticator(std::unique_ptr<TNxAuthentication> value) { FAuthenticator = std::move(value); }
    std::unique_ptr<TNxAuthentication> ReleaseAuthenticator() noexcept { return std::move(FAuthenticator); }

private:
    void ResetRequestFields();

    std::string FAccept;
    std::string FAcceptCharSet;
    std::string FAcceptEncoding;
    std::string FAcceptLanguage;
    std::string FFrom;
    std::string FPassword;
    std::string FReferer;
    std::string FUserAgent;
    std::string FUsername;
    std::string FHost;
    bool FBasicAuthentication = false;
    std::string FProxyConnection;
    std::unique_ptr<TNxAuthentication> FAuthenticator;
};

class TNxResponseHeaderInfo : public TNxEntityHeaderInfo {
public:
    TNxResponseHeaderInfo();

    // Location, Server, Proxy-Connection, Content-Range, the two challenge lists, then
    // the entity fields. A Content-Range part that is not a number raises EConvertError
    // "'%s' is not a valid integer value".
    void ParseHeaderLines() override;
    // The entity reset, Location and Server emptied, both challenge lists emptied.
    void ResetFields() override;

    const std::string& Location() const noexcept { return FLocation; }
    void SetLocation(const std::string& value) { FLocation = value; }
    const std::string& Server() const noexcept { return FServer; }
    void SetServer(const std::string& value) { FServer = value; }
    const std::string& ProxyConnection() const noexcept { return FProxyConnection; }
    void SetProxyConnection(const std::string& value) { FProxyConnection = value; }
    // Every "Proxy-Authenticate" / "WWW-Authenticate" value, in order.
    TNxHeaderList& ProxyAuthenticate() noexcept { return FProxyAuthenticate; }
    const TNxHeaderList& ProxyAuthenticate() const noexcept { return FProxyAuthenticate; }
    void SetProxyAuthenticate(const TStringList& value) { FProxyAuthenticate.Assign(value); }
    TNxHeaderList& WWWAuthenticate() noexcept { return FWWWAuthenticate; }
    const TNxHeaderList& WWWAuthenticate() const noexcept { return FWWWAuthenticate; }
    void SetWWWAuthenticate(const TStringList& value) { FWWWAuthenticate.Assign(value); }

private:
    void ResetResponseFields();

    std::string FLocation;
    std::string FServer;
    std::string FProxyConnection;
    TNxHeaderList FProxyAuthenticate;
    TNxHeaderList FWWWAuthenticate;
};

// Proxy settings and the proxy credentials line.
class TNxProxyConnectionInfo {
public:
    TNxProxyConnectionInfo() = default;
    TNxProxyConnectionInfo(const TNxProxyConnectionInfo&) = delete;
    TNxProxyConnectionInfo& operator=(const TNxProxyConnectionInfo&) = delete;

    // Empties server, user name and password and sets the port to 0; BasicAuthentication
    // and the Authenticator stay.
    void Clear();
    // Adds "Proxy-Authorization" to headers when there are credentials to send.
    void ComposeHeaders(TNxHeaderList& headers);

    // Owned.
    TNxAuthentication* Authenticator() const noexcept { return FAuthenticator.get(); }
    void SetAuthenticator(std::unique_ptr<TNxAuthentication> value) { FAuthenticator = std::move(value); }
    const std::string& ProxyPassword() const noexcept { return FProxyPassword; }
    void SetProxyPassword(const std::string& value) { FProxyPassword = value; }
    int32_t ProxyPort() const noexcept { return FProxyPort; }
    // Another port frees the Authenticator: its credentials were for the old proxy.
    void SetProxyPort(int32_t value);
    const std::string& ProxyServer() const noexcept { return FProxyServer; }
    // Another server (compared without regard to case) frees the Authenticator.
    void SetProxyServer(const std::string& value);
    const std::string& ProxyUsername() const noexcept { return FProxyUsername; }
    void SetProxyUsername(const std::string& value) { FProxyUsername = value; }
    bool BasicAuthentication() const noexcept { return FBasicAuthentication; }
    void SetBasicAuthentication(bool value) noexcept { FBasicAuthentication = value; }

private:
    std::unique_ptr<TNxAuthentication> FAuthenticator;
    std::string FProxyPassword;
    int32_t FProxyPort = 0;
    std::string FProxyServer;
    std::string FProxyUsername;
    bool FBasicAuthentication = false;
};
