#include "http/NxProxyRoute.h"

#include <memory>

std::string TNxProxyRoute::Text() const {
    if (Type == ptDirect) return "direct";
    std::string scheme = "http";
    if (Type == ptSocks) {
        switch (Socks) {
        case svSocks4:
            scheme = "socks4";
            break;
        case svSocks4A:
            scheme = "socks4a";
            break;
        default:
            scheme = ResolveAtProxy ? "socks5h" : "socks5";
            break;
        }
    }
    return scheme + "://" + Host + ":" + std::to_string(Port);
}

TNxProxiedHTTP::~TNxProxiedHTTP() {
    // The settings are a member: a borrowed handler that outlives the client must not keep them.
    if (auto* socket = dynamic_cast<TNxIOHandlerSocket*>(IOHandler())) socket->SetSocksInfo(nullptr);
}

void TNxProxiedHTTP::SetRoutes(std::vector<TNxProxyRoute> routes) {
    if (routes == FRoutes) return;
    FRoutes = std::move(routes);
    FFirst = 0;
}

void TNxProxiedHTTP::Apply(const TNxProxyRoute& route) {
    // A connection kept from another route goes to another place (or the same server by
    // another way): it cannot serve this one. New credentials for the same proxy can.
    const bool sameWay = route.Type == FCurrent.Type && route.Host == FCurrent.Host &&
                         route.Port == FCurrent.Port && route.Socks == FCurrent.Socks &&
                         route.ResolveAtProxy == FCurrent.ResolveAtProxy;
    if (!sameWay && IsConnected()) CloseConnection();
    FCurrent = route;
    TNxProxyConnectionInfo& proxy = ProxyParams();
    const bool http = route.Type == ptHTTP;
    proxy.SetProxyServer(http ? route.Host : std::string());
    proxy.SetProxyPort(http ? route.Port : 0);
    // Credentials go to this proxy only, never to a server reached straight or by SOCKS.
    proxy.SetAuthenticator(nullptr);
    proxy.SetProxyUsername(http ? route.Username : std::string());
    proxy.SetProxyPassword(http ? route.Password : std::string());
    proxy.SetBasicAuthentication(http && !route.Username.empty());
    const bool socks = route.Type == ptSocks;
    if (!socks && !FSocks) return;
    if (!FSocks) FSocks = std::make_unique<TNxSocksInfo>();
    TNxSocksInfo& settings = *FSocks;
    settings.Version = socks ? route.Socks : svNoSocks;
    settings.Host = socks ? route.Host : std::string();
    settings.Port = socks ? route.Port : 0;
    settings.Username = socks ? route.Username : std::string();
    settings.Password = socks ? route.Password : std::string();
    settings.Authentication = socks && !route.Username.empty() ? saUsernamePassword : saNoAuthentication;
    settings.ResolveAtProxy = route.ResolveAtProxy;
}

void TNxProxiedHTTP::OpenConnection(int32_t timeout) {
    if (!IOHandler()) {
        auto handler = std::make_unique<TNxIOHandlerSocket>();
        handler->OnStatus = OnStatus;
        AdoptIOHandler(std::move(handler));
    }
    if (auto* socket = dynamic_cast<TNxIOHandlerSocket*>(IOHandler())) socket->SetSocksInfo(FSocks.get());
    try {
        TNxHTTP::OpenConnection(timeout);
    } catch (...) {
        FConnectFailed = true;
        throw;
    }
}

void TNxProxiedHTTP::RunRequest(TNxHTTPMethod method, const std::string& url, TStream* uploadStream,
                                TStream* bodyStream) {
    if (FRoutes.empty()) Apply(TNxProxyRoute{});
    for (size_t tried = 0;; ++tried) {
        const size_t at = FRoutes.empty() ? 0 : (FFirst + tried) % FRoutes.size();
        if (!FRoutes.empty()) Apply(FRoutes[at]);
        FConnectFailed = false;
        try {
            TNxHTTP::RunRequest(method, url, uploadStream, bodyStream);
            FFirst = at;
            return;
        } catch (const Exception& error) {
            // A TLS failure is the server's answer, whichever way it came.
            const bool unreachable = FConnectFailed && dynamic_cast<const ENxTLSError*>(&error) == nullptr;
            if (!unreachable || tried + 1 >= FRoutes.size()) {
                if (!unreachable) FFirst = at;
                throw;
            }
            if (OnRouteFailed && !OnRouteFailed(FRoutes[at], error)) throw;
        }
    }
}
