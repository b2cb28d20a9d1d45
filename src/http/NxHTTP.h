#pragma once
// The blocking HTTP/1.1 client: one call fetches one URL into a caller's stream over a
// TCP connection that is kept open between calls while the server allows it. Every
// response that is not wanted becomes an exception.
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>

#include "base/Stream.h"
#include "http/NxAuthentication.h"
#include "http/NxCookieManager.h"
#include "http/NxHTTPBody.h"
#include "http/NxHTTPException.h"
#include "http/NxHTTPHeaderInfo.h"
#include "http/NxURI.h"
#include "transport/NxException.h"
#include "transport/NxIOHandlerTLS.h"
#include "transport/NxTCPClient.h"

// A scheme other than http or https with no port to go by.
NX_DECLARE_EXCEPTION(ENxUnknownProtocol, ENxException)
// A redirect that would take an https request to plain http.
NX_DECLARE_EXCEPTION(ENxRedirectDowngrade, ENxException)

enum TNxHTTPMethod { hmHead, hmGet, hmPost, hmOptions, hmTrace, hmPut, hmDelete, hmConnect };
enum TNxHTTPProtocolVersion { pv1_0, pv1_1 };
enum TNxHTTPOption { hoInProcessAuth = 0, hoKeepOrigProtocol = 1, hoForceEncodeParams = 2 };
enum TNxRouteKind { rkDirect = 0, rkTls = 1, rkProxy = 2, rkTlsProxy = 3 };
// The verdict on one response: another pass for a new target, finished, a situation
// the rules do not cover, or another pass for the same URL with credentials.
enum TNxNextStep { nsFollow, nsDone, nsUnknown, nsAuthRetry };

// A set of TNxHTTPOption, one bit per member.
class TNxHTTPOptions {
public:
    TNxHTTPOptions() = default;
    TNxHTTPOptions(std::initializer_list<TNxHTTPOption> options) {
        for (auto o : options)
            Include(o);
    }
    bool Contains(TNxHTTPOption o) const noexcept { return (FBits & Bit(o)) != 0; }
    void Include(TNxHTTPOption o) noexcept { FBits = static_cast<uint8_t>(FBits | Bit(o)); }
    void Exclude(TNxHTTPOption o) noexcept { FBits = static_cast<uint8_t>(FBits & ~Bit(o)); }
    bool operator==(const TNxHTTPOptions&) const = default;

private:
    static uint8_t Bit(TNxHTTPOption o) noexcept { return static_cast<uint8_t>(1u << o); }
    uint8_t FBits = 0;
};

// The word that starts the request line, its blank included.
const char* MethodWord(TNxHTTPMethod method);

class TNxCustomHTTP;

using TNxHTTPOnRedirectEvent = std::function<void(
    TNxComponent* Sender, std::string& dest, int32_t& NumRedirect, bool& Handled, TNxHTTPMethod& VMethod)>;
using TNxOnSelectAuthorization = std::function<void(
    TNxComponent* Sender, TNxAuthenticationClass& AuthenticationClass, const TNxHeaderList& AuthInfo)>;
using TNxOnAuthorization =
    std::function<void(TNxComponent* Sender, TNxAuthentication* Authentication, bool& Handled)>;
using TNxHTTPResponseEvent = std::function<void(TNxCustomHTTP* Sender)>;

class TNxHTTPRequest : public TNxRequestHeaderInfo {
public:
    explicit TNxHTTPRequest(TNxCustomHTTP* http) : FHTTP(http) {}
    TNxCustomHTTP* HTTP() const noexcept { return FHTTP; }

    // First the URL of the call, then the request-target that is written.
    std::string Target;
    TNxHTTPMethod RequestMethod = hmGet;
    // Borrowed; POST and PUT only.
    TStream* UploadStream = nullptr;
    TNxRouteKind Route = rkDirect;

private:
    TNxCustomHTTP* FHTTP;
};

class TNxHTTPResponse : public TNxResponseHeaderInfo {
public:
    explicit TNxHTTPResponse(TNxCustomHTTP* http) : FHTTP(http) {}
    TNxCustomHTTP* HTTP() const noexcept { return FHTTP; }

    // The first line as received.
    std::string StatusLine;
    // The number after the first word of StatusLine; -1 when there is none.
    int32_t StatusCode() const;
    // Whether the connection may serve the next request; recomputed on every call from
    // the connection's state, the client's version and this response's headers and framing.
    bool KeepConnection() const;
    // Borrowed; receives the body.
    TStream* BodyStream = nullptr;
    // How the body of the last final response is delimited, as its head gave it (none for a
    // HEAD request, 1xx, 204, 304 and a tunnel's 2xx).
    TNxBodyFraming Framing;

private:
    TNxCustomHTTP* FHTTP;
};

// The request and response records every request of one client reuses.
class TNxHTTPProtocol {
public:
    explicit TNxHTTPProtocol(TNxCustomHTTP* http) : Request(http), Response(http) {}
    TNxHTTPRequest Request;
    TNxHTTPResponse Response;
};

// The status code of a status line (exposed for the table tests).
int32_t StatusCodeOf(const std::string& statusLine);

class TNxCustomHTTP : public TNxTCPClient {
public:
    static constexpr int32_t DefaultAuthRetries = 3;
    static constexpr int32_t DefaultRedirectMaximum = 15;
    static constexpr int32_t DefaultPort = 80;
    // Read time-outs while an error body is read for the exception, and while a body is
    // skipped, so that a server that never ends the body cannot hold the client forever.
    static constexpr int32_t ErrorBodyReadTimeout = 2000;
    static constexpr int32_t SkippedBodyReadTimeout = 4000;

    TNxCustomHTTP();
    ~TNxCustomHTTP() override;

    // Both also copy the value into TargetURI (the port as decimal text).
    void SetHost(const std::string& host) override;
    void SetPort(int32_t port) override;

    // --- own virtual operations, in slot order ------------------------------------------
    // 401: whether to retry with credentials.
    virtual bool AskAuthorization(TNxHTTPRequest& request, TNxHTTPResponse& response);
    // 407: the twin with the proxy's challenge and credentials.
    virtual bool AskProxyAuthorization(TNxHTTPRequest& request, TNxHTTPResponse& response);
    // Starts as HandleRedirects; OnRedirect may change every argument and the answer.
    virtual bool AskRedirect(std::string& location, TNxHTTPMethod& method, int32_t& hopCount);
    // The whole request: passes until the response is accepted, ends the request or fails.
    virtual void RunRequest(TNxHTTPMethod method, const std::string& url, TStream* uploadStream,
                            TStream* bodyStream);

    // --- operations ---------------------------------------------------------------------
    // GET url into stream. Returns when the response was accepted and its body is in the
    // stream (written from its position on, the stream cut at the body's end); raises
    // otherwise.
    void GetInto(const std::string& url, TStream* stream) { RunRequest(hmGet, url, nullptr, stream); }
    void Head(const std::string& url) { RunRequest(hmHead, url, nullptr, nullptr); }
    void Post(const std::string& url, TStream& source, TStream* response) {
        RunRequest(hmPost, url, &source, response);
    }
    void Put(const std::string& url, TStream& source, TStream* response) {
        RunRequest(hmPut, url, &source, response);
    }
    void Options(const std::string& url, TStream* response) { RunRequest(hmOptions, url, nullptr, response); }
    void Trace(const std::string& url, TStream* response) { RunRequest(hmTrace, url, nullptr, response); }

    // --- properties ---------------------------------------------------------------------
    int32_t AuthRetries = DefaultAuthRetries;
    bool AllowCookies = true;
    bool HandleRedirects = false;
    TNxHTTPProtocolVersion ProtocolVersion = pv1_1;
    int32_t RedirectMaximum = DefaultRedirectMaximum;
    TNxHTTPOptions HTTPOptions{hoForceEncodeParams};
    // The most a response's head (interim heads included) and a chunked body's trailer
    // section may hold; beyond them the response fails.
    TNxFieldLimits HeadLimits;
    TNxHTTPOnRedirectEvent OnRedirect;
    TNxOnSelectAuthorization OnSelectAuthorization;
    TNxOnSelectAuthorization OnSelectProxyAuthorization;
    TNxOnAuthorization OnAuthorization;
    TNxOnAuthorization OnProxyAuthorization;
    // An accepted (2xx) response on an open connection, once its head is read and before
    // its body goes into the caller's stream: the handler may look at the head and move or
    // cut the stream. An exception from it ends the request and closes the connection,
    // since the unread body would otherwise be taken for the next response.
    TNxHTTPResponseEvent OnResponseAccepted;

    TNxProxyConnectionInfo& ProxyParams() noexcept { return *FProxyParams; }
    TNxHTTPRequest& Request() noexcept { return FExchange->Request; }
    TNxHTTPResponse& Response() noexcept { return FExchange->Response; }
    // The status line of the last response.
    const std::string& StatusLine() const noexcept { return FExchange->Response.StatusLine; }
    int32_t ResponseCode() const { return FExchange->Response.StatusCode(); }

    TNxCookieManager* CookieManager() const noexcept { return FCookieManager; }
    // Frees a manager the client created itself; the new one is borrowed, and forgotten
    // when it is freed elsewhere.
    void SetCookieManager(TNxCookieManager* manager);
    bool OwnsCookieManager() const noexcept { return FOwnedCookieManager != nullptr; }

    TNxURI& TargetURI() noexcept { return *FTargetURI; }
    int32_t AuthAttempts() const noexcept { return FAuthAttempts; }
    int32_t ProxyAuthAttempts() const noexcept { return FProxyAuthAttempts; }
    int32_t HopCount() const noexcept { return FHopCount; }

    // The TLS layer when one is installed as the I/O handler (SetIOHandler); without it
    // an https URL raises ENxIOHandlerPropInvalid.
    TNxIOHandlerTLS* TLSLayer() const { return dynamic_cast<TNxIOHandlerTLS*>(IOHandler()); }

protected:
    void DoOnDisconnected() override;

    // The steps of one pass.
    void ResolveTarget();
    TNxRouteKind ChooseEndpoint();
    void OpenExchange();
    void EnsureConnected();
    // CONNECT host:port through the proxy, then the handshake with the target.
    void OpenTunnel();
    void SendRequestHead();
    // A request line and header lines, in one send.
    void WriteHead(const std::string& requestLine, const TNxHeaderList& lines);
    // OpenExchange and ReadResponse; a GET or HEAD on a kept connection that the server
    // closed or reset before any byte of an answer is sent once more on a new one.
    void Exchange();
    // Status line and head of the final response (interim ones skipped), then its framing.
    // For a CONNECT (tunnel) a 2xx has no body.
    void ReadResponse(bool tunnel = false);
    void ReadResponseHead(TNxFieldBudget& budget);
    void TakeCookies();
    TNxNextStep JudgeResponse();
    // Reads the body into the response's stream (a counted body cut short fails).
    void ReadBody();
    [[noreturn]] void FailWithStatus();
    void DrainBody();

private:
    void ForgetCookieManager();

    // Freed in reverse order: the exchange, the target, then the proxy settings.
    std::unique_ptr<TNxProxyConnectionInfo> FProxyParams;
    std::unique_ptr<TNxURI> FTargetURI;
    std::unique_ptr<TNxHTTPProtocol> FExchange;
    int32_t FAuthAttempts = 0;
    int32_t FProxyAuthAttempts = 0;
    int32_t FHopCount = 0;
    TNxCookieManager* FCookieManager = nullptr;
    std::unique_ptr<TNxCookieManager> FOwnedCookieManager;
    int FCookieManagerNotice = 0;
    // host:port of the tunnel the open proxy connection carries; empty for none.
    std::string FTunnelTarget;
    // The connection of this exchange served an earlier one.
    bool FReusedConnection = false;
    // A first line of the answer arrived.
    bool FResponseBegun = false;
};

// The component as the window holds it.
class TNxHTTP : public TNxCustomHTTP {
public:
    TNxHTTP() = default;
};

// Whether a request's failure is the engine's own word for an answer cut short where no
// class says so: a 2xx head whose connection closed before its body could be read, or an
// empty line where a status line belongs (a stray line end after an earlier answer).
bool NxIsCutAnswer(const std::exception& failure);
