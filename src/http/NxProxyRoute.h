#pragma once
// The ways to a server: straight, through an HTTP proxy (absolute request targets, a CONNECT
// tunnel for https), or through a SOCKS proxy (the socket handler's negotiation); and a client
// that is given the ways a proxy configuration names for a URL, in order, and takes the next
// one when a proxy cannot be reached.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/NxHTTP.h"
#include "transport/NxIOHandlerSocket.h"

enum TNxProxyType { ptDirect, ptHTTP, ptSocks };

struct TNxProxyRoute {
    TNxProxyType Type = ptDirect;
    std::string Host;
    int32_t Port = 0;
    // ptSocks only.
    TSocksVersion Socks = svNoSocks;
    bool ResolveAtProxy = true;
    // The proxy's credentials, empty for none: for an HTTP proxy a Basic Proxy-Authorization
    // sent from the first request on (the CONNECT of a tunnel included), for SOCKS 5 the user
    // name and password, for SOCKS 4 the user id.
    std::string Username;
    std::string Password;

    // "direct" or scheme://host:port ("http", "socks4", "socks4a", "socks5" for a SOCKS 5 proxy
    // given addresses, "socks5h" for one given names): never the credentials, so that it can
    // be logged and shown.
    std::string Text() const;
    bool operator==(const TNxProxyRoute&) const = default;
};

// A client that sends each request the way its routes say: the first, and when the
// connection to a proxy cannot be opened (refused, no such host, no answer, a SOCKS proxy's
// refusal) the next, until one answers; the last one's failure is the request's. A route
// that answered in any way (an HTTP error, a TLS failure) is the request's outcome.
class TNxProxiedHTTP : public TNxHTTP {
public:
    TNxProxiedHTTP() = default;
    ~TNxProxiedHTTP() override;

    // The routes of the next requests, tried in this order; none: straight to the server. While
    // the same routes are set again, the one that answered last is tried first (and the others
    // after it in order), so that a proxy that is down costs one failed connect, not one a file.
    void SetRoutes(std::vector<TNxProxyRoute> routes);
    const std::vector<TNxProxyRoute>& Routes() const { return FRoutes; }
    // The route of the last request (the one that answered, or the last tried).
    const TNxProxyRoute& CurrentRoute() const { return FCurrent; }

    // A route could not be reached and another follows: false stops there (the failure is
    // raised), true goes on with the next.
    std::function<bool(const TNxProxyRoute& failed, const Exception& why)> OnRouteFailed;

    void RunRequest(TNxHTTPMethod method, const std::string& url, TStream* uploadStream,
                    TStream* bodyStream) override;
    // Lends the route's SOCKS settings to the socket handler (created first when the client
    // has none, as the base would), then connects; a failure marks the route as unreachable.
    void OpenConnection(int32_t timeout = -1) override;

private:
    // Settings for the route; a kept connection of another route is closed first.
    void Apply(const TNxProxyRoute& route);

    std::vector<TNxProxyRoute> FRoutes;
    size_t FFirst = 0;
    TNxProxyRoute FCurrent;
    // Made for the first SOCKS route only: a network component of its own, which a client that
    // never meets a SOCKS proxy does not hold.
    std::unique_ptr<TNxSocksInfo> FSocks;
    bool FConnectFailed = false;
};
