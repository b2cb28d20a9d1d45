#include <gtest/gtest.h>

#include "transport/NxComponent.h"
#include "transport/NxException.h"
#include "transport/NxSocketHandle.h"
#include "transport/NxStack.h"

namespace {
// Any network component keeps the shared stack alive for the test.
class StackTest : public ::testing::Test {
protected:
    TNxComponent FComponent;
    TNxStack& Stack() { return NxStack(); }
};
} // namespace

TEST(NxStackStatic, IsDottedQuadCutsAtTheFirstThreeDots) {
    struct Case {
        const char* text;
        bool want;
    } cases[] = {
        {"127.0.0.1", true},  {"0.0.0.0", true},    {"255.255.255.255", true},
        {"10.0.0.1", true},   {"001.02.3.4", true}, {"1.2.3", false},
        {"1.2.3.256", false}, {"1.2.3.4.5", false}, {"1..3.4", false},
        {"", false},          {"a.b.c.d", false},   {"1.2.3.4.", false},
        {"-1.2.3.4", false},  {"1.2.3. 4", false},  {"localhost", false},
        {"256.1.1.1", false}, {"1.2.3.4x", false},  {"99999999999999999999.1.1.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TNxStack::IsDottedQuad(c.text), c.want) << c.text;
}

TEST_F(StackTest, ResolveNameTakesLocalhostAndQuadsWithoutLookup) {
    for (const char* name : {"localhost", "LOCALHOST", "LocalHost", "lOcAlHoSt"})
        EXPECT_EQ(Stack().ResolveName(name), "127.0.0.1") << name;
    EXPECT_EQ(Stack().ResolveName("10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(Stack().ResolveName("192.168.001.010"), "192.168.001.010") << "a quad is returned unchanged";
}

TEST_F(StackTest, UnknownHostGivesHostNotFound) {
    try {
        Stack().ResolveName("no-such-host.invalid");
        FAIL() << "a name under .invalid resolved";
    } catch (const ENxSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 11001);
        EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
        EXPECT_EQ(Stack().LastErrorCode(), 11001);
    }
}

TEST_F(StackTest, TextToAddressAndBack) {
    const TNxIPv4Address a = Stack().TextToAddress("192.168.0.254");
    EXPECT_EQ(a, (TNxIPv4Address{192, 168, 0, 254}));
    EXPECT_EQ(Stack().AddressToText(a), "192.168.0.254");
    EXPECT_EQ(Stack().AddressToText({0, 0, 0, 0}), "0.0.0.0");
    // Each part is stored as one byte.
    EXPECT_EQ(Stack().TextToAddress("1.2.3.257"), (TNxIPv4Address{1, 2, 3, 1}));
    EXPECT_THROW(Stack().TextToAddress("1.2.x.4"), EConvertError);
    EXPECT_THROW(Stack().TextToAddress("1.2.3"), EConvertError);
}

TEST_F(StackTest, ErrorTextOfBothTables) {
    EXPECT_EQ(Stack().ErrorText(11001), "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(Stack().ErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(Stack().ErrorText(11002), "Socket Error # 11002\r\n");
}

TEST_F(StackTest, CheckResultTakesTheCodeOfTheFailedCall) {
    EXPECT_FALSE(Stack().CheckResult(0));
    EXPECT_FALSE(Stack().CheckResult(5, {10053}));
    // A real failed call: connect on a descriptor that is not a socket's.
    TNxSocketHandle h;
    h.AllocateSocket();
    const TNxSocketDescriptor d = h.Descriptor();
    h.ReleaseSocket();
    const int32_t r = Stack().Connect(d, NxSock::AfInet, 1, "127.0.0.1");
    ASSERT_EQ(r, -1);
    const int32_t code = Stack().LastError();
    EXPECT_TRUE(code == 10038 || code == 10009) << code;
    EXPECT_TRUE(Stack().CheckResult(r, {10009, 10038}));
    EXPECT_EQ(Stack().LastErrorCode(), code);
    try {
        Stack().CheckResult(Stack().Connect(d, NxSock::AfInet, 1, "127.0.0.1"), {10053});
        FAIL() << "not tolerated, must raise";
    } catch (const ENxSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), code);
        EXPECT_EQ(e.Message(), Stack().ErrorText(code));
    }
}

TEST_F(StackTest, SocketListHoldsSixtyFour) {
    TNxSocketList list;
    for (int i = 0; i < 64; ++i)
        list.Add(100 + i);
    EXPECT_EQ(list.Count(), 64);
    try {
        list.Add(1);
        FAIL();
    } catch (const ENxStackSetSizeExceeded& e) {
        EXPECT_EQ(e.Message(), "Set Size Exceeded.");
    }
    EXPECT_THROW(list.Item(64), ENxStackSetSizeExceeded);
    EXPECT_THROW(list.Item(-1), ENxStackSetSizeExceeded);
    list.Remove(100); // the last entry moves into its place
    EXPECT_EQ(list.Count(), 63);
    EXPECT_EQ(list[0], 163);
    EXPECT_FALSE(list.Contains(100));
}

TEST_F(StackTest, SelectReportsOnlyReadyDescriptors) {
    TNxSocketHandle listener;
    listener.AllocateSocket();
    listener.SetIP("127.0.0.1");
    listener.BindLocal();
    listener.Listen(5);
    TNxSocketHandle client;
    client.AllocateSocket();
    client.SetRemote("127.0.0.1", listener.Port());
    ASSERT_EQ(client.PlainConnect(), 0);

    TNxSocketList readList, writeList;
    readList.Add(listener.Descriptor());
    readList.Add(client.Descriptor());
    writeList.Add(client.Descriptor());
    // The listener is readable (a pending connection), the client writable, not readable.
    EXPECT_EQ(Stack().Select(&readList, &writeList, 1000, nullptr), 2);
    ASSERT_EQ(readList.Count(), 1);
    EXPECT_EQ(readList[0], listener.Descriptor());
    ASSERT_EQ(writeList.Count(), 1);
    EXPECT_EQ(writeList[0], client.Descriptor());
}

TEST_F(StackTest, ServiceNames) {
    EXPECT_EQ(Stack().ServiceToPort("8080"), 8080);
    try {
        Stack().ServiceToPort("no-such-service");
        FAIL();
    } catch (const ENxInvalidServiceName& e) {
        EXPECT_EQ(e.Message(), "no-such-service is not a valid service.");
    }
}

TEST(NxStackLifetime, ExistsExactlyWhileANetworkComponentExists) {
    ASSERT_EQ(NxStackUserCount(), 0) << "another test leaked a component";
    EXPECT_EQ(NxStackInstance(), nullptr);
    EXPECT_THROW(NxStack(), ENxStackError);
    {
        TNxComponent first;
        TNxStack* stack = NxStackInstance();
        ASSERT_NE(stack, nullptr);
        EXPECT_EQ(NxStackUserCount(), 1);
        {
            auto second = std::make_unique<TNxComponent>();
            EXPECT_EQ(NxStackUserCount(), 2);
            EXPECT_EQ(NxStackInstance(), stack) << "one shared stack";
        }
        EXPECT_EQ(NxStackUserCount(), 1);
        EXPECT_EQ(NxStackInstance(), stack) << "kept while a component is left";
        // The stack works again after it was freed and recreated in the same process.
        EXPECT_EQ(NxStack().ResolveName("localhost"), "127.0.0.1");
    }
    EXPECT_EQ(NxStackUserCount(), 0);
    EXPECT_EQ(NxStackInstance(), nullptr);
    TNxComponent again;
    TNxSocketHandle h;
    h.AllocateSocket();
    EXPECT_TRUE(h.HasDescriptor()) << "a recreated stack can make sockets (library still started)";
}
