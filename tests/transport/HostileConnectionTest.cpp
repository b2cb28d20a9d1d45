// The TCP connection against peers that misbehave: lines and counted blocks cut at
// every byte, lines that never end, binary bytes, resets. Every read ends in the
// documented exception or the exact bytes, within the read time-out.
#include <gtest/gtest.h>

#include <string>

#include "base/Stream.h"
#include "transport/NxException.h"
#include "transport/NxTCPConnectionTest.h"

namespace {
class HostileConnection : public NxTCPConnectionFixture {};
} // namespace

// The last line read, then the close: the next read fails, it does not come back empty.
TEST_F(HostileConnection, ReadAfterTheLastLineMeetsTheClose) {
    server.Send("0\r\n").Close();
    Connect();
    EXPECT_EQ(client.ReadLine(), "0");
    EXPECT_THROW(client.ReadLine(), ENxConnClosedGracefully);
}
