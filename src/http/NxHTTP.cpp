#include "http/NxHTTP.h"

#include <exception>
#include <typeinfo>

#include "base/Format.h"
#include "http/NxGlobal.h"
#include "http/NxHTTPBody.h"
#include "http/NxHTTPStrings.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxStack.h"

namespace {

constexpr const char* CookieHeader = "Cookie";
constexpr const char* SetCookieHeader = "Set-cookie";
constexpr const char* SetCookie2Header = "Set-cookie2";
constexpr const char* KeepAliveValue = "keep-alive";

constexpr int32_t StatusSwitchingProtocols = 101;
constexpr int32_t StatusNoContent = 204;
constexpr int32_t StatusNotModified = 304;
constexpr int32_t StatusUnauthorized = 401;
constexpr int32_t StatusProxyAuthRequired = 407;

const char* VersionText(TNxHTTPProtocolVersion version) {
    return version == pv1_0 ? "1.0" : "1.1";
}

// A port text read as a number; anything else is the conversion error.
int32_t PortNumber(const std::string& text) {
    int32_t value = StrToIntDef(text, -1);
    if (value == -1 && StrToIntDef(text, 0) == 0)
        throw EConvertError(Format(NxHTTPStrings::NotAValidInteger, text.c_str()));
    return value;
}

bool ValueIs(const std::string& value, const char* wanted) {
    return NxSameText(Trim(value), wanted);
}

bool IsDigit(char ch) {
    return ch >= '0' && ch <= '9';
}

// "HTTP/" digit "." digit, a blank, three digits, then the end or a blank and a reason
// phrase (RFC 9112 4), no byte a field may not carry anywhere. Further blanks before the
// code pass, as StatusCodeOf reads them.
bool IsStatusLine(const std::string& line) {
    if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0 || !IsDigit(line[5]) || line[6] != '.' ||
        !IsDigit(line[7]) || line[8] != ' ')
        return false;
    size_t at = 9;
    while (at < line.size() && line[at] == ' ')
        ++at;
    if (line.size() < at + 3 || !IsDigit(line[at]) || !IsDigit(line[at + 1]) || !IsDigit(line[at + 2]))
        return false;
    at += 3;
    return (at == line.size() || line[at] == ' ') && !NxHasForbiddenFieldByte(line);
}

// What the request line and the Host line are made of must not end or split them: no
// blank, CR, LF or other control byte (the request would say something else than the URL).
void CheckRequestField(const char* name, const std::string& value) {
    for (char ch : value)
        if (static_cast<unsigned char>(ch) <= ' ' || ch == '\x7F')
            throw ENxURIException(Format(NxHTTPStrings::URIInvalidCharacter, name));
}

// A close or a reset: the server had given the connection up.
bool IsDroppedConnection(const ENxException& e) {
    if (dynamic_cast<const ENxConnClosedGracefully*>(&e) != nullptr) return true;
    const auto* socket = dynamic_cast<const ENxSocketError*>(&e);
    return socket != nullptr &&
           (socket->ErrorCode() == NxErr::ECONNRESET_ || socket->ErrorCode() == NxErr::ECONNABORTED_ ||
            socket->ErrorCode() == NxErr::ESHUTDOWN_);
}

// The first word of each challenge, looked up in the scheme registry.
TNxAuthenticationClass FirstKnownScheme(const TNxHeaderList& challenges) {
    for (const auto& challenge : challenges.Lines()) {
        std::string rest = challenge;
        if (TNxAuthenticationClass found = FindAuthMethod(Fetch(rest, " "))) return found;
    }
    return nullptr;
}

// Sets ReadTimeout for a scope and puts the old value back on every way out.
class TReadTimeoutScope {
public:
    TReadTimeoutScope(TNxTCPConnection& connection, int32_t timeout)
        : FConnection(connection), FSaved(connection.ReadTimeout) {
        connection.ReadTimeout = timeout;
    }
    ~TReadTimeoutScope() { FConnection.ReadTimeout = FSaved; }
    TReadTimeoutScope(const TReadTimeoutScope&) = delete;
    TReadTimeoutScope& operator=(const TReadTimeoutScope&) = delete;

private:
    TNxTCPConnection& FConnection;
    int32_t FSaved;
};

} // namespace

const char* MethodWord(TNxHTTPMethod method) {
    switch (method) {
    case hmHead:
        return "HEAD ";
    case hmGet:
        return "GET ";
    case hmPost:
        return "POST ";
    case hmOptions:
        return "OPTIONS ";
    case hmTrace:
        return "TRACE ";
    case hmPut:
        return "PUT ";
    case hmDelete:
        return "DELETE ";
    case hmConnect:
        return "CONNECT ";
    }
    return "GET ";
}

int32_t StatusCodeOf(const std::string& statusLine) {
    size_t blank = statusLine.find(' ');
    if (blank == std::string::npos) return -1;
    std::string rest = Trim(statusLine.substr(blank + 1));
    return StrToIntDef(FetchPeek(rest, " "), -1);
}

int32_t TNxHTTPResponse::StatusCode() const {
    return StatusCodeOf(StatusLine);
}

bool TNxHTTPResponse::KeepConnection() const {
    if (!FHTTP->IsConnected() || Framing.CloseAfter) return false;
    if (FHTTP->ProtocolVersion == pv1_1)
        return !ValueIs(Connection(), "CLOSE") && !ValueIs(ProxyConnection(), "CLOSE");
    return ValueIs(Connection(), "KEEP-ALIVE") || ValueIs(ProxyConnection(), "KEEP-ALIVE");
}

// --- TNxCustomHTTP ------------------------------------------------------------------------

TNxCustomHTTP::TNxCustomHTTP()
    : FProxyParams(std::make_unique<TNxProxyConnectionInfo>()), FTargetURI(std::make_unique<TNxURI>()),
      FExchange(std::make_unique<TNxHTTPProtocol>(this)) {
    SetPort(DefaultPort);
}

TNxCustomHTTP::~TNxCustomHTTP() {
    ForgetCookieManager();
}

void TNxCustomHTTP::SetHost(const std::string& host) {
    TNxTCPClient::SetHost(host);
    FTargetURI->SetHost(host);
}

void TNxCustomHTTP::SetPort(int32_t port) {
    TNxTCPClient::SetPort(port);
    FTargetURI->SetPort(std::to_string(port));
}

void TNxCustomHTTP::ForgetCookieManager() {
    if (FCookieManager != nullptr && FCookieManagerNotice != 0)
        FCookieManager->RemoveFreeNotification(FCookieManagerNotice);
    FCookieManagerNotice = 0;
    FCookieManager = nullptr;
    FOwnedCookieManager.reset();
}

void TNxCustomHTTP::SetCookieManager(TNxCookieManager* manager) {
    if (manager == FCookieManager) return;
    ForgetCookieManager();
    FCookieManager = manager;
    if (manager != nullptr)
        FCookieManagerNotice = manager->AddFreeNotification([this](TNxCookieManager* gone) {
            if (gone == FCookieManager) {
                FCookieManager = nullptr;
                FCookieManagerNotice = 0;
                (void)FOwnedCookieManager.release(); // already being destroyed
            }
        });
}

void TNxCustomHTTP::DoOnDisconnected() {
    TNxTCPClient::DoOnDisconnected();
    FTunnelTarget.clear();
    if (TNxAuthentication* proxy = FProxyParams->Authenticator()) proxy->Reset();
    // A finished scheme has nothing more to say; one still under way (Basic never
    // advances its step) stays and keeps answering later requests.
    TNxAuthentication* auth = Request().Authenticator();
    if (auth != nullptr && auth->CurrentStep() == auth->Steps()) Request().SetAuthenticator(nullptr);
}

void TNxCustomHTTP::RunRequest(TNxHTTPMethod method, const std::string& url, TStream* uploadStream,
                               TStream* bodyStream) {
    TNxHTTPRequest& request = Request();
    TNxHTTPResponse& response = Response();
    const int64_t start = bodyStream != nullptr ? bodyStream->Position() : 0;
    FAuthAttempts = 0;
    FProxyAuthAttempts = 0;
    request.Target = url;
    request.RequestMethod = method;
    request.UploadStream = uploadStream;
    response.BodyStream = bodyStream;

    auto finish = [&] {
        FHopCount = 0;
        if (!response.KeepConnection()) CloseConnection();
    };
    try {
        for (bool done = false; !done;) {
            ++FHopCount;
            ResolveTarget();
            Exchange();
            switch (JudgeResponse()) {
            case nsFollow:
                // Whatever this pass wrote is cut off.
                if (bodyStream != nullptr) {
                    bodyStream->SetPosition(start);
                    bodyStream->SetSize(start);
                }
                FAuthAttempts = 0;
                FProxyAuthAttempts = 0;
                break;
            case nsAuthRetry:
                --FHopCount; // a retry with credentials is no hop
                request.Target = url;
                break;
            case nsDone:
                done = true;
                break;
            case nsUnknown:
                throw ENxException(NxHTTPStrings::UndefinedSituation);
            }
        }
    } catch (...) {
        // A rejected status and a refused redirect have had their answer read to the end: the
        // connection may serve the next request. Anything else may have left part of an
        // answer unread, which the next request on this connection would take for its own.
        bool answered = false;
        try {
            throw;
        } catch (const ENxHTTPProtocolException&) {
            answered = true;
        } catch (const ENxRedirectDowngrade&) {
            answered = true;
        } catch (...) {
        }
        try {
            if (answered) {
                finish();
            } else {
                FHopCount = 0;
                CloseConnection();
            }
        } catch (...) {
            // the request's own failure is the one to report
        }
        throw;
    }
    finish();
}

void TNxCustomHTTP::ResolveTarget() {
    TNxHTTPRequest& request = Request();
    TNxURI& target = *FTargetURI;
    TNxURI uri(request.Target);
    if (!uri.User().empty()) {
        request.SetUsername(uri.User());
        request.SetPassword(uri.Password());
    }
    target.SetUser(request.Username());
    target.SetPassword(request.Password());
    target.SetPath(MergePath(target.Path(), uri.Path(), '/'));
    target.SetDocument(uri.Document());
    target.SetQuery(uri.Query());
    // A host-less URL (a relative redirect target) keeps the previous host.
    if (!uri.Host().empty()) target.SetHost(uri.Host());
    // A reference without scheme and host (a relative redirect) stays on https: turning it
    // into http would leave TLS without anyone asking for it.
    if (!uri.Protocol().empty())
        target.SetProtocol(uri.Protocol());
    else if (!(uri.Host().empty() && NxSameText(target.Protocol(), "https")))
        target.SetProtocol("http");
    if (!uri.Port().empty()) {
        target.SetPort(uri.Port());
    } else {
        int32_t current = StrToIntDef(target.Port(), 0);
        if (current == 0 || current == 80 || current == 443) {
            if (NxSameText(target.Protocol(), "http"))
                target.SetPort("80");
            else if (NxSameText(target.Protocol(), "https"))
                target.SetPort("443");
            else
                throw ENxUnknownProtocol("");
        }
        // Any other port stays: a later URL without one goes to the same port again.
    }
    // A URL with a blank or a control byte is refused before anything is sent.
    CheckRequestField("Host", target.Host());
    CheckRequestField("Port", target.Port());
    CheckRequestField("Path", target.Path());
    CheckRequestField("Document", target.Document());
    CheckRequestField("Query", target.Query());
    request.Target = target.Path() + target.Document() + target.Query();
    if (request.RequestMethod == hmOptions && uri.Document() == "*") request.Target.assign(1, '*');
    const TNxHTTPMethod method = request.RequestMethod;
    if (ProtocolVersion == pv1_0 &&
        (method == hmOptions || method == hmTrace || method == hmPut || method == hmDelete))
        throw ENxException(NxHTTPStrings::MethodRequiresHTTP11);
    if ((method == hmPost || method == hmPut) && request.UploadStream != nullptr)
        request.SetContentLength(static_cast<int32_t>(request.UploadStream->Size()));
    else if (method == hmPost || method == hmPut)
        request.SetContentLength(0);
    else
        request.SetContentLength(-1);
    request.SetHost(target.Port() == "80" ? target.Host() : target.Host() + ":" + target.Port());
}

TNxRouteKind TNxCustomHTTP::ChooseEndpoint() {
    TNxURI& target = *FTargetURI;
    const bool https = NxSameText(target.Protocol(), "HTTPS");
    TNxProxyConnectionInfo& proxy = *FProxyParams;
    if (proxy.ProxyServer().empty()) {
        const int32_t port = PortNumber(target.Port());
        if (!NxSameText(Host(), target.Host()) || Port() != port) {
            if (IsConnected()) CloseConnection();
            SetHost(target.Host());
            SetPort(port);
        }
        TNxIOHandlerTLS* tls = TLSLayer();
        if (https && tls == nullptr) throw ENxIOHandlerPropInvalid(NxHTTPStrings::IOHandlerPropInvalid);
        // A kept connection serves only requests of its own kind.
        if (tls != nullptr && IsConnected() && tls->TLSActive() != https) CloseConnection();
        return https ? rkTls : rkDirect;
    }
    if (https && TLSLayer() == nullptr) throw ENxIOHandlerPropInvalid(NxHTTPStrings::IOHandlerPropInvalid);
    if (!NxSameText(Host(), proxy.ProxyServer()) || Port() != proxy.ProxyPort()) {
        if (IsConnected()) CloseConnection();
        // The proxy is the endpoint; the target stays in TargetURI.
        TNxTCPClient::SetHost(proxy.ProxyServer());
        TNxTCPClient::SetPort(proxy.ProxyPort());
    }
    return https ? rkTlsProxy : rkProxy;
}

void TNxCustomHTTP::OpenExchange() {
    TNxHTTPRequest& request = Request();
    request.Route = ChooseEndpoint();
    if (request.Route == rkProxy) request.Target = FTargetURI->Rebuild();
    switch (request.Route) {
    case rkDirect:
        if (ProtocolVersion == pv1_0 && request.Connection().empty()) request.SetConnection(KeepAliveValue);
        break;
    case rkProxy:
        if (ProtocolVersion == pv1_0 && request.Connection().empty())
            request.SetProxyConnection(KeepAliveValue);
        break;
    case rkTls:
    case rkTlsProxy:
        request.SetConnection("");
        break;
    }
    EnsureConnected();
    SendRequestHead();
    if ((request.RequestMethod == hmPost || request.RequestMethod == hmPut) &&
        request.UploadStream != nullptr)
        WriteFromStream(*request.UploadStream, true, 0, false);
}

void TNxCustomHTTP::EnsureConnected() {
    const TNxRouteKind route = Request().Route;
    if (!Response().KeepConnection()) CloseConnection();
    const std::string authority = FTargetURI->Host() + ":" + FTargetURI->Port();
    // A tunnel carries requests to its own target only, and a proxy connection that
    // carries one serves no plain proxy request.
    if (IsConnected() && (route == rkTlsProxy ? FTunnelTarget != authority : !FTunnelTarget.empty()))
        CloseConnection();
    ProbeClosed(false); // a connection the server closed while idle
    FReusedConnection = IsConnected();
    if (FReusedConnection) return;
    // The layer speaks TLS from the connect on only for a direct https route; a tunnel
    // starts in plain TCP to the proxy.
    if (TNxIOHandlerTLS* tls = TLSLayer()) tls->SetPassThrough(route != rkTls);
    OpenConnection(ReadTimeout);
    if (route == rkTlsProxy) OpenTunnel();
}

void TNxCustomHTTP::OpenTunnel() {
    TNxURI& target = *FTargetURI;
    const std::string authority = target.Host() + ":" + target.Port();
    TNxHeaderList head;
    head.SetValue("Host", authority);
    FProxyParams->ComposeHeaders(head);
    WriteHead(MethodWord(hmConnect) + authority + " HTTP/1.1", head);
    ReadResponse(true);
    // Only a 200 opens the tunnel; any other answer is the proxy's failure, with its body.
    if (Response().StatusCode() != 200) FailWithStatus();
    TNxIOHandlerTLS* tls = TLSLayer();
    try {
        tls->StartTLS(target.Host(), ReadTimeout);
    } catch (...) {
        // Half a handshake went into the tunnel: the connection can carry nothing more.
        DropSocket();
        throw;
    }
    tls->SetPassThrough(false);
    FTunnelTarget = authority;
}

void TNxCustomHTTP::WriteHead(const std::string& requestLine, const TNxHeaderList& lines) {
    // The whole head leaves in one send.
    BeginWriteBuffering(-1);
    try {
        WriteLine(requestLine);
        for (const auto& line : lines.Lines())
            if (!line.empty()) WriteLine(line);
        WriteLine("");
    } catch (...) {
        DiscardWriteBuffering();
        EndWriteBuffering();
        throw;
    }
    EndWriteBuffering();
}

void TNxCustomHTTP::SendRequestHead() {
    TNxHTTPRequest& request = Request();
    request.ComposeHeaderLines();
    // Inside a tunnel the request goes to the server itself: the proxy's credentials went
    // with the CONNECT and must not travel on.
    if (request.Route != rkTlsProxy) FProxyParams->ComposeHeaders(request.HeaderLines());
    if (FCookieManager != nullptr) {
        const bool secure = request.Route == rkTls || request.Route == rkTlsProxy;
        std::string cookies = FCookieManager->CookieHeaderFor(*FTargetURI, secure);
        if (!cookies.empty()) request.HeaderLines().SetValue(CookieHeader, cookies);
    }
    WriteHead(MethodWord(request.RequestMethod) + request.Target + " HTTP/" + VersionText(ProtocolVersion),
              request.HeaderLines());
}

void TNxCustomHTTP::Exchange() {
    const TNxHTTPMethod method = Request().RequestMethod;
    FReusedConnection = false;
    FResponseBegun = false;
    try {
        OpenExchange();
        ReadResponse();
    } catch (const ENxException& e) {
        // A server may close a kept connection just as the next request goes out (RFC 9112
        // 9.3.1): when not one byte of an answer came, a request that changes nothing on the
        // server is sent again on a new connection, once.
        if (!FReusedConnection || FResponseBegun || !InputBuffer().Empty() ||
            (method != hmGet && method != hmHead) || !IsDroppedConnection(e))
            throw;
        CloseConnection();
        FResponseBegun = false;
        OpenExchange();
        ReadResponse();
    }
}

void TNxCustomHTTP::ReadResponse(bool tunnel) {
    TNxHTTPResponse& response = Response();
    response.Framing = TNxBodyFraming();
    response.Framing.Kind = bkNone;
    // One budget for every head of the answer: a server cannot send interim ones forever.
    TNxFieldBudget budget(HeadLimits);
    int32_t code = 0;
    do {
        response.StatusLine = ReadLine("\n", NxTimeout::Default, TNxTCPConnection::DefaultLineLength);
        FResponseBegun = true;
        // No line end before the close: a response cut in its first line.
        if (LineTimedOut()) throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
        // Nothing after a line that is no status line can be framed (read as a head, it
        // would be read until the stall limit).
        const bool statusLine = IsStatusLine(response.StatusLine);
        if (!statusLine || !budget.Charge(response.StatusLine, false)) {
            CloseConnection();
            throw ENxHTTPProtocolException(-1, statusLine ? budget.Overrun() : response.StatusLine, "");
        }
        ReadResponseHead(budget);
        // Interim responses' cookies are kept too.
        TakeCookies();
        code = response.StatusCode();
        // Every 1xx but 101 is interim, and the final response follows it (RFC 9110 15.2).
    } while (code / 100 == 1 && code != StatusSwitchingProtocols);
    // A switch to a protocol we never asked for leaves nothing we can read.
    if (code == StatusSwitchingProtocols) CloseConnection();
    // No body: 1xx, 204 and 304, a HEAD's answer, a tunnel's 2xx (RFC 9112 6.3).
    const bool bodyless = code / 100 == 1 || code == StatusNoContent || code == StatusNotModified ||
                          Request().RequestMethod == hmHead || (tunnel && code / 100 == 2);
    if (bodyless) return;
    try {
        response.Framing =
            NxBodyFramingOf(response.HeaderLines(), response.StatusLine.compare(0, 9, "HTTP/1.0 ") == 0);
    } catch (const ENxHTTPProtocolException&) {
        CloseConnection();
        throw;
    }
    response.Framing.TrailerLimits = HeadLimits;
    response.SetContentLength(response.Framing.Kind == bkCounted ? response.Framing.Length : -1);
}

void TNxCustomHTTP::ReadResponseHead(TNxFieldBudget& budget) {
    TNxHTTPResponse& response = Response();
    response.HeaderLines().Clear();
    try {
        ReadFieldSection(*this, budget, &response.HeaderLines());
    } catch (const ENxConnClosedGracefully&) {
        CloseConnection(); // keep what arrived before the close
    }
    response.ParseHeaderLines();
}

void TNxCustomHTTP::TakeCookies() {
    if (FCookieManager == nullptr && AllowCookies) {
        auto manager = std::make_unique<TNxCookieManager>();
        SetCookieManager(manager.get());
        FOwnedCookieManager = std::move(manager);
    }
    if (FCookieManager == nullptr) return;
    const TNxHeaderList& lines = Response().HeaderLines();
    TStringList values;
    lines.Extract(SetCookieHeader, &values);
    for (const auto& value : values.Lines())
        FCookieManager->AddCookie(value, FTargetURI->Host());
    values.Clear();
    lines.Extract(SetCookie2Header, &values);
    for (const auto& value : values.Lines())
        FCookieManager->AddCookie2(value, FTargetURI->Host());
}

bool NxIsCutAnswer(const std::exception& failure) {
    // Both are thrown with these exact classes and texts by RunRequest and the status line's
    // reader.
    if (typeid(failure) == typeid(ENxException))
        return static_cast<const ENxException&>(failure).Message() == NxHTTPStrings::UndefinedSituation;
    if (typeid(failure) == typeid(ENxHTTPProtocolException))
        return static_cast<const ENxHTTPProtocolException&>(failure).Message().empty();
    return false;
}

TNxNextStep TNxCustomHTTP::JudgeResponse() {
    TNxHTTPRequest& request = Request();
    TNxHTTPResponse& response = Response();
    const int32_t code = response.StatusCode();
    const int32_t kind = code / 100;
    TNxNextStep verdict = nsUnknown;

    // Location makes a redirect of a 3xx only: a 201 names what it created, a 200 a mirror.
    if (kind == 3 && code != StatusNotModified && !response.Location().empty()) {
        std::string location = response.Location();
        TNxHTTPMethod method = request.RequestMethod;
        if (HandleRedirects && FHopCount < RedirectMaximum) {
            if (!AskRedirect(location, method, FHopCount)) FailWithStatus();
            if (NxSameText(FTargetURI->Protocol(), "https") &&
                NxSameText(TNxURI(location).Protocol(), "http")) {
                if (IsConnected()) DrainBody();
                throw ENxRedirectDowngrade(Format(NxHTTPStrings::RedirectDowngrade, location.c_str()));
            }
            verdict = nsFollow;
            request.Target = location;
            request.RequestMethod = method;
        } else {
            verdict = nsDone;
            if (!AskRedirect(location, method, FHopCount)) FailWithStatus();
            response.SetLocation(location);
        }
        if (IsConnected()) DrainBody();
        return verdict;
    }

    bool inProcessAuth = false;
    if (kind != 2) {
        verdict = nsFollow;
        if (code == StatusUnauthorized) {
            if (FAuthAttempts >= AuthRetries || !AskAuthorization(request, response)) {
                if (TNxAuthentication* auth = request.Authenticator()) auth->Reset();
                FailWithStatus();
            }
            inProcessAuth = HTTPOptions.Contains(hoInProcessAuth);
        } else if (code == StatusProxyAuthRequired) {
            if (FProxyAuthAttempts >= AuthRetries || !AskProxyAuthorization(request, response)) {
                if (TNxAuthentication* auth = FProxyParams->Authenticator()) auth->Reset();
                FailWithStatus();
            }
            inProcessAuth = HTTPOptions.Contains(hoInProcessAuth);
        } else {
            FailWithStatus();
        }
    }
    if (IsConnected()) {
        if (inProcessAuth) {
            DrainBody();
            verdict = nsAuthRetry;
        } else {
            if (kind == 2 && OnResponseAccepted) {
                try {
                    OnResponseAccepted(this);
                } catch (...) {
                    CloseConnection();
                    throw;
                }
            }
            ReadBody();
            verdict = nsDone;
        }
    }
    return verdict;
}

void TNxCustomHTTP::ReadBody() {
    TNxHTTPResponse& response = Response();
    const TNxBodyFraming& framing = response.Framing;
    ::ReadBody(*this, response.BodyStream, framing);
    // Over TLS only the close_notify tells the end of such a body from a cut stream
    // (RFC 8446 6.1); a bare TCP close may be an attacker's.
    const TNxRouteKind route = Request().Route;
    const TNxIOHandlerTLS* tls = TLSLayer();
    if ((route == rkTls || route == rkTlsProxy) && tls != nullptr && response.BodyStream != nullptr &&
        framing.Kind == bkUntilClose && !tls->CloseNotifyReceived())
        throw ENxTLSError(tcTruncated, 0, Format(NxStrings::TLSTruncated, NxStrings::TLSClosedWithoutNotify));
}

void TNxCustomHTTP::FailWithStatus() {
    TNxHTTPResponse& response = Response();
    TMemoryStream errorBody;
    {
        TReadTimeoutScope timeout(*this, ErrorBodyReadTimeout);
        // An error body cut short is still the status's failure, not the connection's.
        ::ReadBody(*this, &errorBody, response.Framing, false);
    }
    throw ENxHTTPProtocolException(response.StatusCode(), response.StatusLine, errorBody.ToString());
}

void TNxCustomHTTP::DrainBody() {
    TNxHTTPResponse& response = Response();
    TMemoryStream scratch;
    TReadTimeoutScope timeout(*this, SkippedBodyReadTimeout);
    try {
        ::ReadBody(*this, &scratch, response.Framing, false);
    } catch (const Exception&) {
        // a body that is only skipped cannot fail the request
    }
}

bool TNxCustomHTTP::AskRedirect(std::string& location, TNxHTTPMethod& method, int32_t& hopCount) {
    bool handled = HandleRedirects;
    if (OnRedirect) OnRedirect(this, location, hopCount, handled, method);
    return handled;
}

bool TNxCustomHTTP::AskAuthorization(TNxHTTPRequest& request, TNxHTTPResponse& response) {
    ++FAuthAttempts;
    if (request.Authenticator() == nullptr) {
        TNxAuthenticationClass scheme = FirstKnownScheme(response.WWWAuthenticate());
        if (scheme == nullptr) return false;
        if (OnSelectAuthorization) OnSelectAuthorization(this, scheme, response.WWWAuthenticate());
        if (scheme == nullptr) return false;
        request.SetAuthenticator(scheme->Create());
    }
    if (!OnAuthorization) return false;
    TNxAuthentication* auth = request.Authenticator();
    auth->SetUsername(request.Username());
    auth->SetPassword(request.Password());
    bool handled = false;
    OnAuthorization(this, auth, handled);
    request.SetUsername(auth->Username());
    request.SetPassword(auth->Password());
    return handled && auth->ReadyToSend();
}

bool TNxCustomHTTP::AskProxyAuthorization(TNxHTTPRequest&, TNxHTTPResponse& response) {
    ++FProxyAuthAttempts;
    TNxProxyConnectionInfo& proxy = *FProxyParams;
    if (proxy.Authenticator() == nullptr) {
        TNxAuthenticationClass scheme = FirstKnownScheme(response.ProxyAuthenticate());
        if (scheme == nullptr) return false;
        if (OnSelectProxyAuthorization)
            OnSelectProxyAuthorization(this, scheme, response.ProxyAuthenticate());
        if (scheme == nullptr) return false;
        proxy.SetAuthenticator(scheme->Create());
        // The credentials that were refused are not offered again.
        proxy.SetProxyPassword("");
        proxy.Authenticator()->Reset();
    }
    if (!OnProxyAuthorization) return false;
    TNxAuthentication* auth = proxy.Authenticator();
    auth->SetUsername(proxy.ProxyUsername());
    auth->SetPassword(proxy.ProxyPassword());
    bool handled = false;
    OnProxyAuthorization(this, auth, handled);
    proxy.SetProxyUsername(auth->Username());
    proxy.SetProxyPassword(auth->Password());
    return handled && auth->ReadyToSend();
}
