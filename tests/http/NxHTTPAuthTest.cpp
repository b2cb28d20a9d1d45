#include <gtest/gtest.h>

#include <string>

#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "support/ScriptedServer.h"

namespace {

std::string Reply(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

class NxHTTPAuthTest : public ::testing::Test {
protected:
    void SetUp() override { http.ReadTimeout = 5000; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
    }
    // The head of the request whose target is path.
    std::string HeadOf(const std::string& path) const {
        const std::string all = server.Received();
        size_t at = all.find("GET " + path + " ");
        if (at == std::string::npos) return {};
        return all.substr(at, all.find("\r\n\r\n", at) - at);
    }
    int32_t FailCode(const std::string& path) {
        TMemoryStream ms;
        try {
            http.GetInto(Url(path), &ms);
        } catch (const ENxHTTPProtocolException& e) {
            return e.ReplyCode();
        }
        return 0;
    }

    nxtest::ScriptedServer server;
    TNxHTTP http;
};

} // namespace

// Without a credentials handler a Basic challenge fails the request, but the scheme stays
// with the client and every later request offers empty Basic credentials.
TEST_F(NxHTTPAuthTest, BasicChallengeLeavesEmptyCredentialsBehind) {
    server.ExpectReceived("/secret ")
        .Send(Reply("401 Unauthorized",
                    "WWW-Authenticate: Negotiate\r\nWWW-Authenticate: Basic realm=\"r\"\r\n", "no"))
        .ExpectReceived("/later ")
        .Send(Reply("200 OK", "", "ok"))
        .ExpectReceived("/again ")
        .Send(Reply("200 OK", "", "ok"));
    server.Start();
    EXPECT_EQ(FailCode("/secret"), 401);
    EXPECT_EQ(http.AuthAttempts(), 1);
    ASSERT_NE(http.Request().Authenticator(), nullptr);
    EXPECT_STREQ(http.Request().Authenticator()->ClassName(), "TNxBasicAuthentication");
    EXPECT_EQ(FailCode("/later"), 0);
    EXPECT_EQ(FailCode("/again"), 0);
    EXPECT_EQ(HeadOf("/secret").find("Authorization"), std::string::npos);
    EXPECT_NE(HeadOf("/later").find("\r\nAuthorization: Basic Og=="), std::string::npos) << HeadOf("/later");
    EXPECT_NE(HeadOf("/again").find("\r\nAuthorization: Basic Og=="), std::string::npos);
}

TEST_F(NxHTTPAuthTest, UnregisteredSchemesAddNothing) {
    server.ExpectReceived("/a ")
        .Send(Reply("401 Unauthorized", "WWW-Authenticate: Digest realm=x\r\n", ""))
        .ExpectReceived("/b ")
        .Send(Reply("407 Proxy Authentication Required", "Proxy-Authenticate: NTLM\r\n", ""))
        .ExpectReceived("/c ")
        .Send(Reply("200 OK", "", ""));
    server.Start();
    EXPECT_EQ(FailCode("/a"), 401);
    EXPECT_EQ(http.Request().Authenticator(), nullptr);
    EXPECT_EQ(FailCode("/b"), 407);
    EXPECT_EQ(http.ProxyParams().Authenticator(), nullptr);
    EXPECT_EQ(FailCode("/c"), 0);
    EXPECT_EQ(server.Received().find("Authorization"), std::string::npos);
}

// With a handler and in-process authorization the client answers the challenge itself,
// on the same connection, and the retry is no hop.
TEST_F(NxHTTPAuthTest, HandlerAnswersTheChallengeInProcess) {
    http.HTTPOptions.Include(hoInProcessAuth);
    int asked = 0;
    http.OnAuthorization = [&](TNxComponent*, TNxAuthentication* auth, bool& handled) {
        ++asked;
        auth->SetUsername("user");
        auth->SetPassword("pass");
        handled = true;
    };
    server.ExpectReceived("/private ")
        .Send(Reply("401 Unauthorized", "WWW-Authenticate: Basic realm=x\r\n", "challenge body"))
        .ExpectReceived("dXNlcjpwYXNz")
        .Send(Reply("200 OK", "", "content"));
    server.Start();
    TMemoryStream ms;
    http.GetInto(Url("/private"), &ms);
    EXPECT_EQ(ms.ToString(), "content") << "the challenge's body is skipped";
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(http.HopCount(), 0);
    EXPECT_EQ(http.Request().Username(), "user");
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_NE(server.Received().find("Authorization: Basic dXNlcjpwYXNz\r\n"), std::string::npos);
}

TEST_F(NxHTTPAuthTest, RetriesEndAtAuthRetries) {
    http.HTTPOptions.Include(hoInProcessAuth);
    http.AuthRetries = 2;
    http.OnAuthorization = [](TNxComponent*, TNxAuthentication*, bool& handled) { handled = true; };
    const std::string challenge = Reply("401 Unauthorized", "WWW-Authenticate: Basic\r\n", "");
    // Two challenges are answered; the third fails the request.
    server.Send(challenge).ExpectReceived("Authorization").Send(challenge).Send(challenge);
    server.Start();
    TMemoryStream ms;
    try {
        http.GetInto(Url("/p"), &ms);
        FAIL() << "accepted";
    } catch (const ENxHTTPProtocolException& e) {
        EXPECT_EQ(e.ReplyCode(), 401);
    }
    EXPECT_EQ(http.AuthAttempts(), 2);
}
