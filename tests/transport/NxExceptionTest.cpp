#include <gtest/gtest.h>

#include <type_traits>

#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"

namespace {
std::string Msg(int32_t code) {
    return SocketErrorMessage(code, CommonSocketErrorText(code));
}
} // namespace

TEST(SocketErrorMessage, ExactBytesOfTheTable) {
    struct Case {
        int32_t code;
        const char* want;
    } cases[] = {
        {10004, "Socket Error # 10004\r\nInterrupted system call."},
        {10035, "Socket Error # 10035\r\nOperation would block. "},
        {10048, "Socket Error # 10048\r\nAddress already in use."},
        {10053, "Socket Error # 10053\r\nSoftware caused connection abort."},
        {10054, "Socket Error # 10054\r\nConnection reset by peer."},
        {10058, "Socket Error # 10058\r\nCannot send or receive after socket is closed."},
        {10060, "Socket Error # 10060\r\nConnection timed out."},
        {10061, "Socket Error # 10061\r\nConnection refused."},
        {10066, "Socket Error # 10066\r\nDirectory not empty"},
        {11002, "Socket Error # 11002\r\n"},
        {0, "Socket Error # 0\r\n"},
        {-1, "Socket Error # -1\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Msg(c.code), c.want) << c.code;
}

TEST(SocketErrorMessage, EveryCodeHasItsTextAndHostNotFoundComesFromTheStacks) {
    // The whole common table: 38 codes from 10004 to 10066, each with a non-empty text.
    int entries = 0;
    for (int32_t code = 10000; code < 10100; ++code)
        if (*CommonSocketErrorText(code)) ++entries;
    EXPECT_EQ(entries, 38);
    EXPECT_STREQ(CommonSocketErrorText(11001), "");
    EXPECT_EQ(SocketErrorMessage(11001, HostNotFoundText), "Socket Error # 11001\r\nHost not found.");
    EXPECT_STREQ(CommonSocketErrorText(10047), "Address family not supported by protocol family.");
    EXPECT_STREQ(CommonSocketErrorText(10059), "Too many references, cannot splice.");
}

TEST(TransportExceptions, TreeAsCallersCatchIt) {
    static_assert(std::is_base_of_v<ENxSilentException, ENxConnClosedGracefully>);
    static_assert(std::is_base_of_v<ENxException, ENxSilentException>);
    static_assert(std::is_base_of_v<Exception, ENxException>);
    static_assert(std::is_base_of_v<ENxProtocolReplyError, ENxSSLProtocolReplyError>);
    static_assert(std::is_base_of_v<ENxStackError, ENxStackInitializationFailed>);
    static_assert(std::is_base_of_v<ENxSocketHandleError, ENxCanNotBindPortInRange>);
    static_assert(std::is_base_of_v<ENxTCPConnectionError, ENxNotConnected>);
    static_assert(std::is_base_of_v<ENxSocksError, ENxSocksServerAddressError>);
    static_assert(!std::is_base_of_v<ENxSocketError, ENxConnectException>);

    try {
        throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
    } catch (const ENxSilentException& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
        EXPECT_STREQ(e.ClassName(), "ENxConnClosedGracefully");
    }
    try {
        throw ENxSocketError(10061, Msg(10061));
    } catch (const ENxException& e) {
        auto* s = dynamic_cast<const ENxSocketError*>(&e);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->ErrorCode(), 10061);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    ENxProtocolReplyError r(-1, "text");
    EXPECT_EQ(r.ReplyCode(), -1);
    EXPECT_STREQ(r.ClassName(), "ENxProtocolReplyError");
}

TEST(TransportExceptions, StubErrorWithAndWithoutCode) {
    ENxWS2StubError plain("Error on call Winsock2 library function send", 0);
    EXPECT_EQ(plain.Message(), "Error on call Winsock2 library function send");
    EXPECT_EQ(plain.Title(), plain.Message());
    EXPECT_EQ(plain.SystemErrorText(), "");
    EXPECT_EQ(plain.SystemErrorCode(), 0u);

    // 2 is "file not found" on both Windows and POSIX, so the system has a text for it.
    ENxWS2StubError coded("Error on loading Winsock2 library (WS2_32.DLL)", 2);
    EXPECT_EQ(coded.SystemErrorCode(), 2u);
    EXPECT_FALSE(coded.SystemErrorText().empty());
    EXPECT_EQ(coded.Message(), coded.Title() + ": " + coded.SystemErrorText());
    EXPECT_NE(coded.SystemErrorText().back(), '.') << "trailing punctuation is cut";
}

TEST(TransportExceptions, MessageTemplates) {
    EXPECT_STREQ(NxStrings::CouldNotBindSocket,
                 "Could not bind socket. Address and port are already in use.");
    EXPECT_STREQ(NxStrings::CanNotBindRange, "Can not bind in port range (%d - %d)");
    EXPECT_STREQ(NxStrings::WinsockInitializationError, "Winsock Initialization Error.");
    EXPECT_STREQ(NxStrings::NotConnected, "Not Connected");
}
