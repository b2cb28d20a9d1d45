// The SOCKS negotiation of the socket handler's connect against a scripted proxy on loopback:
// each row is what the client must send, what the proxy answers, and the outcome. A granted
// connection must leave the stream at the target's first byte.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "support/ScriptedServer.h"
#include "support/UnderValgrind.h"
#include "transport/NxException.h"
#include "transport/NxIOHandlerSocket.h"

namespace {
std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out += static_cast<char>(v);
    return out;
}

const std::string kName = "dist.example"; // 12 bytes
const std::string kPort80 = Bytes({0, 80});
const std::string kLoopback = Bytes({127, 0, 0, 1});
const std::string kGreeting = Bytes({5, 1, 0});
const std::string kGreetingWithPassword = Bytes({5, 2, 0, 2});
const std::string kConnectName = Bytes({5, 1, 0, 3, 12}) + kName + kPort80;
const std::string kBoundIPv4 = Bytes({5, 0, 0, 1, 10, 0, 0, 9, 0x1F, 0x90});
constexpr const char* kTargetBytes = "HELLO";

struct SocksRow {
    const char* Name;
    TSocksVersion Version;
    std::string Host;
    // The exchange: what the client sends, then what the proxy answers, in turns.
    std::vector<std::pair<std::string, std::string>> Turns;
    // Empty: the connection is granted and the target's bytes follow the last answer.
    std::string Error;
    std::string Message;
    TSocksAuthentication Authentication = saNoAuthentication;
    bool ResolveAtProxy = true;
};

std::vector<SocksRow> Rows() {
    const auto connect4 = Bytes({4, 1, 0, 80}) + kLoopback + "bob" + '\0';
    const auto reply4 = [](int code) { return Bytes({0, code, 0, 0, 0, 0, 0, 0}); };
    const auto code5 = [](int code) { return Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}); };
    const auto login = Bytes({1, 3}) + "bob" + Bytes({6}) + "secret";
    const std::string noReply = "SOCKS proxy sent no valid reply.";
    const std::string badMethod = "SOCKS proxy accepts none of the offered authentication methods.";
    const std::pair<std::string, std::string> granted5 = {kGreeting, Bytes({5, 0})};
    // clang-format off
    std::vector<SocksRow> rows = {
        {"4 granted, resolved here", svSocks4, "localhost", {{connect4, reply4(90)}}, "", ""},
        {"4 rejected", svSocks4, "localhost", {{connect4, reply4(91)}}, "ENxSocksRequestFailed", "SOCKS request rejected or failed."},
        {"4 no identd", svSocks4, "localhost", {{connect4, reply4(92)}}, "ENxSocksRequestServerFailed", "SOCKS request rejected: the proxy cannot reach the client's identd."},
        {"4 identd mismatch", svSocks4, "localhost", {{connect4, reply4(93)}}, "ENxSocksRequestIdentFailed", "SOCKS request rejected: the client's identd reports another user."},
        {"4 unknown code", svSocks4, "localhost", {{connect4, reply4(32)}}, "ENxSocksUnknownError", "SOCKS proxy answered with the unknown reply code 32."},
        {"4 reply of another version", svSocks4, "localhost", {{connect4, Bytes({5, 90, 0, 0, 0, 0, 0, 0})}}, "ENxSocksServerRespondError", noReply},
        // The reply's version 4 instead of 0, as some servers send it.
        {"4A name at the proxy", svSocks4A, kName, {{Bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "bob" + '\0' + kName + '\0', Bytes({4, 90, 0, 0, 0, 0, 0, 0})}}, "", ""},
        {"4A address sent as it is", svSocks4A, "127.0.0.1", {{connect4, reply4(90)}}, "", ""},
        {"4A reply cut short", svSocks4A, "127.0.0.1", {{connect4, Bytes({0, 90, 0})}}, "ENxSocksServerRespondError", noReply},
        {"5 name at the proxy", svSocks5, kName, {granted5, {kConnectName, kBoundIPv4}}, "", ""},
        {"5 name resolved here", svSocks5, "localhost", {granted5, {Bytes({5, 1, 0, 1}) + kLoopback + kPort80, kBoundIPv4}}, "", "", saNoAuthentication, false},
        {"5 bound address as a name", svSocks5, kName, {granted5, {kConnectName, Bytes({5, 0, 0, 3, 4}) + "abcd" + kPort80}}, "", ""},
        {"5 bound IPv6 address", svSocks5, kName, {granted5, {kConnectName, Bytes({5, 0, 0, 4}) + std::string(16, '\1') + kPort80}}, "", ""},
        {"5 user name and password", svSocks5, kName, {{kGreetingWithPassword, Bytes({5, 2})}, {login, Bytes({1, 0})}, {kConnectName, kBoundIPv4}}, "", "", saUsernamePassword},
        {"5 password refused", svSocks5, kName, {{kGreetingWithPassword, Bytes({5, 2})}, {login, Bytes({1, 1})}}, "ENxSocksAuthError", "SOCKS proxy refused the user name or password.", saUsernamePassword},
        {"5 no acceptable method", svSocks5, kName, {{kGreeting, Bytes({5, 0xFF})}}, "ENxSocksAuthMethodError", badMethod},
        {"5 a method not offered", svSocks5, kName, {{kGreeting, Bytes({5, 2})}}, "ENxSocksAuthMethodError", badMethod},
        {"5 greeting answered as 4", svSocks5, kName, {{kGreeting, Bytes({4, 0})}}, "ENxSocksServerRespondError", noReply},
        {"5 unknown bound address type", svSocks5, kName, {granted5, {kConnectName, Bytes({5, 0, 0, 9, 0, 0})}}, "ENxSocksServerRespondError", noReply},
        {"5 reply cut in the bound address", svSocks5, kName, {granted5, {kConnectName, Bytes({5, 0, 0, 1, 10, 0})}}, "ENxSocksServerRespondError", noReply},
        {"5 name too long", svSocks5, std::string(256, 'a'), {}, "ENxSocksError", "SOCKS host name, user name or password longer than 255 bytes."},
        {"5 code 1", svSocks5, kName, {granted5, {kConnectName, code5(1)}}, "ENxSocksServerGeneralError", "SOCKS proxy: general failure."},
        {"5 code 2", svSocks5, kName, {granted5, {kConnectName, code5(2)}}, "ENxSocksServerPermissionError", "SOCKS proxy: connection not allowed by its rules."},
        {"5 code 3", svSocks5, kName, {granted5, {kConnectName, code5(3)}}, "ENxSocksServerNetUnreachableError", "SOCKS proxy: network unreachable."},
        {"5 code 4", svSocks5, kName, {granted5, {kConnectName, code5(4)}}, "ENxSocksServerHostUnreachableError", "SOCKS proxy: host unreachable."},
        {"5 code 5", svSocks5, kName, {granted5, {kConnectName, code5(5)}}, "ENxSocksServerConnectionRefusedError", "SOCKS proxy: connection refused by the target."},
        {"5 code 6", svSocks5, kName, {granted5, {kConnectName, code5(6)}}, "ENxSocksServerTTLExpiredError", "SOCKS proxy: TTL expired."},
        {"5 code 7", svSocks5, kName, {granted5, {kConnectName, code5(7)}}, "ENxSocksServerCommandError", "SOCKS proxy: command not supported."},
        {"5 code 8", svSocks5, kName, {granted5, {kConnectName, code5(8)}}, "ENxSocksServerAddressError", "SOCKS proxy: address type not supported."},
        {"5 code 9", svSocks5, kName, {granted5, {kConnectName, code5(9)}}, "ENxSocksUnknownError", "SOCKS proxy answered with the unknown reply code 9."},
    };
    // clang-format on
    return rows;
}

// Reads exactly count bytes through the handler, within 2 s.
std::string ReadSome(TNxIOHandlerSocket& handler, size_t count) {
    std::string got;
    char buffer[64];
    while (got.size() < count && handler.WaitReadable(2000)) {
        const int32_t n = handler.Receive(buffer, static_cast<int32_t>(count - got.size()));
        if (n <= 0) break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}
} // namespace

TEST(Socks, EveryRowOfTheExchange) {
    for (const SocksRow& row : Rows()) {
        SCOPED_TRACE(std::string(row.Name) + " " + row.Message);
        nxtest::ScriptedServer proxy;
        std::string sent;
        for (const auto& [request, answer] : row.Turns) {
            sent += request;
            proxy.ExpectReceived(sent, 2000).Send(answer);
        }
        // A proxy closes after a refusal; so does one that cuts its reply.
        if (row.Error.empty())
            proxy.Send(kTargetBytes);
        else
            proxy.Close();
        proxy.Start();
        const auto began = std::chrono::steady_clock::now();

        TNxIOHandlerSocket handler;
        TNxSocksInfo& socks = handler.SocksInfo();
        socks.Version = row.Version;
        socks.Host = "127.0.0.1";
        socks.Port = proxy.Port();
        socks.Username = "bob";
        socks.Password = "secret";
        socks.Authentication = row.Authentication;
        socks.ResolveAtProxy = row.ResolveAtProxy;
        handler.OpenHandler();
        try {
            // A plain connect, without a limit of its own.
            handler.ConnectPeer(row.Host, 80, "", 0, 0, 0, 0);
            EXPECT_EQ(row.Error, "") << "granted";
            EXPECT_EQ(ReadSome(handler, 5), kTargetBytes);
        } catch (const ENxException& e) {
            EXPECT_EQ(e.ClassName(), row.Error);
            EXPECT_EQ(e.Message(), row.Message);
        }
        handler.CloseHandler();
        // A read past the reply would wait for the negotiation's limit (60 s).
        EXPECT_LT(std::chrono::steady_clock::now() - began,
                  std::chrono::milliseconds(nxtest::UnderValgrind() ? 10000 : 1000))
            << "no waiting";
        EXPECT_TRUE(proxy.WaitFinished(3000)) << proxy.Failure();
        EXPECT_EQ(proxy.Received(), sent);
    }
}

// A proxy that accepts and never answers: the negotiation ends at the connect's limit.
TEST(Socks, ASilentProxyFailsAtTheLimit) {
    nxtest::ScriptedServer proxy;
    proxy.ExpectReceived(kGreeting).Pause(3000);
    proxy.Start();
    TNxIOHandlerSocket handler;
    handler.SocksInfo().Version = svSocks5;
    handler.SocksInfo().Host = "127.0.0.1";
    handler.SocksInfo().Port = proxy.Port();
    handler.OpenHandler();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(handler.ConnectPeer(kName, 80, "", 0, 0, 0, 300), ENxSocksServerRespondError);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 2000);
}
