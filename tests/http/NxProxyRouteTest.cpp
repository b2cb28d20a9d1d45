// The client that tries the routes of a proxy configuration in order, against scripted servers
// on loopback: which way answered, what it was sent, and when it moves on.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "http/NxProxyRoute.h"
#include "support/ScriptedServer.h"

namespace {
std::string Reply(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

// The servers a row may name, each made and started only when the row uses it.
//   origin  the server itself (the direct way)
//   proxy   an HTTP proxy; proxy502 one that cannot reach the server
//   socks   a SOCKS 5 proxy that, once it has granted the connection, answers as the server
//   refused a port that refuses every connection
class Ways {
public:
    explicit Ways(const std::vector<std::string>& used) {
        for (const std::string& name : used)
            if (name != "refused") FServers[name] = std::make_unique<nxtest::ScriptedServer>();
        // The origin's port is in the URL whether or not the row goes there.
        if (!FServers.count("origin")) FServers["origin"] = std::make_unique<nxtest::ScriptedServer>();
        const uint16_t origin = FServers["origin"]->Reserve();
        for (auto& [name, server] : FServers) {
            if (name == "socks")
                server->ExpectReceived(Bytes({5, 1, 0}))
                    .Send(Bytes({5, 0}))
                    .ExpectReceived(Bytes({5, 1, 0, 1, 127, 0, 0, 1, origin >> 8, origin & 0xFF}))
                    .Send(Bytes({5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
            server->ExpectReceived("\r\n\r\n")
                .Send(name == "proxy502" ? Reply("502 Bad Gateway", "") : Reply("200 OK", "via " + name));
            if (name != "origin" || std::find(used.begin(), used.end(), "origin") != used.end())
                server->Start();
        }
    }
    TNxProxyRoute Route(const std::string& name) {
        TNxProxyRoute route;
        if (name == "origin") return route;
        route.Host = "127.0.0.1";
        route.Port = name == "refused" ? FRefusing.Port() : FServers[name]->Port();
        route.Type = name == "socks" ? ptSocks : ptHTTP;
        route.Socks = name == "socks" ? svSocks5 : svNoSocks;
        // Credentials on every HTTP proxy: they must reach that proxy and nothing else.
        if (route.Type == ptHTTP) route.Username = "bob", route.Password = "secret";
        return route;
    }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(FServers.at("origin")->Port()) + "/a";
    }
    std::string Received(const std::string& name) const {
        return FServers.count(name) ? FServers.at(name)->Received() : std::string();
    }

private:
    nxtest::RefusingPort FRefusing;
    std::map<std::string, std::unique_ptr<nxtest::ScriptedServer>> FServers;
};

// A read limit, so that a script gone wrong cannot hold the test; the connect is a plain one.
class TQuickHTTP : public TNxProxiedHTTP {
public:
    TQuickHTTP() { ReadTimeout = 3000; }
    void OpenConnection(int32_t) override { TNxProxiedHTTP::OpenConnection(-1); }
};
} // namespace

TEST(ProxyRoutes, TriedInOrderUntilOneAnswers) {
    struct Row {
        std::vector<std::string> Routes;
        std::string Answer;               // the body, or the exception's class
        int RouteFailures;                // OnRouteFailed calls
        std::string AnsweringRequestLine; // empty: as the server is asked straight
    };
    const Row rows[] = {
        {{"proxy"}, "via proxy", 0, "absolute"},
        {{"refused", "proxy"}, "via proxy", 1, "absolute"},
        {{"refused", "origin"}, "via origin", 1, ""},
        {{"refused", "socks"}, "via socks", 1, ""},
        {{"socks", "proxy"}, "via socks", 0, ""},
        // A proxy that answers, even with an error, is the outcome: the next is not tried.
        {{"proxy502", "origin"}, "ENxHTTPProtocolException", 0, ""},
        {{"refused", "refused"}, "ENxSocketError", 1, ""},
        {{}, "via origin", 0, ""},
    };
    for (const Row& row : rows) {
        std::string names;
        for (const auto& name : row.Routes)
            names += name + " ";
        SCOPED_TRACE(names);
        Ways ways(row.Routes.empty() ? std::vector<std::string>{"origin"} : row.Routes);
        TQuickHTTP http;
        std::vector<TNxProxyRoute> routes;
        for (const auto& name : row.Routes)
            routes.push_back(ways.Route(name));
        http.SetRoutes(routes);
        int failures = 0;
        http.OnRouteFailed = [&](const TNxProxyRoute& failed, const Exception&) {
            EXPECT_EQ(failed, routes[static_cast<size_t>(failures)]);
            ++failures;
            return true;
        };
        TMemoryStream body;
        std::string answer;
        try {
            http.GetInto(ways.Url(), &body);
            answer = body.ToString();
        } catch (const Exception& e) {
            answer = e.ClassName();
        }
        EXPECT_EQ(answer, row.Answer);
        EXPECT_EQ(failures, row.RouteFailures);
        const std::string via = row.Answer.rfind("via ", 0) == 0 ? row.Answer.substr(4) : std::string();
        if (via.empty()) continue;
        const std::string head = ways.Received(via);
        const std::string line = row.AnsweringRequestLine == "absolute"
                                     ? "GET " + ways.Url() + " HTTP/1.1\r\n"
                                     : "GET /a HTTP/1.1\r\n";
        EXPECT_NE(head.find(line), std::string::npos) << head;
        EXPECT_EQ(head.find("Proxy-Authorization: Basic Ym9iOnNlY3JldA==") != std::string::npos,
                  via == "proxy")
            << head;
        EXPECT_EQ(http.CurrentRoute().Text(),
                  row.Routes.empty() ? "direct" : routes[static_cast<size_t>(failures)].Text());
    }
}

// The same server by another way: a connection kept from the SOCKS route must not carry the
// next request, which goes straight.
TEST(ProxyRoutes, AnotherRouteOpensAnotherConnection) {
    Ways ways({"socks", "origin"});
    TQuickHTTP http;
    TMemoryStream body;
    http.SetRoutes({ways.Route("socks")});
    http.GetInto(ways.Url(), &body);
    EXPECT_EQ(body.ToString(), "via socks");
    body.SetSize(0);
    http.SetRoutes({});
    http.GetInto(ways.Url(), &body);
    EXPECT_EQ(body.ToString(), "via origin");
}
