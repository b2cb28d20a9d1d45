#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/NxBuffer.h"
#include "transport/NxException.h"

namespace {

std::string Contents(TNxSimpleBuffer& b) {
    return std::string(b.Memory(), static_cast<size_t>(b.Length()));
}

} // namespace

TEST(NxSimpleBuffer, RemoveAndExtractMoveTheRestAndNotify) {
    TNxSimpleBuffer b;
    std::vector<int64_t> removed;
    b.OnBytesRemoved = [&](TNxSimpleBuffer& sender, int64_t n) {
        EXPECT_EQ(&sender, &b);
        removed.push_back(n);
    };
    b.Append("0123456789");
    b.Remove(3);
    EXPECT_EQ(Contents(b), "3456789");
    EXPECT_EQ(b.Extract(4), "3456");
    EXPECT_EQ(Contents(b), "789");
    try {
        b.Remove(4);
        FAIL() << "removing more than is held must raise";
    } catch (const ENxNotEnoughDataInBuffer& e) {
        EXPECT_STREQ(e.what(), "Not enough data in buffer.");
    }
    EXPECT_THROW(b.Extract(4), ENxNotEnoughDataInBuffer);
    EXPECT_EQ(Contents(b), "789") << "a failed removal leaves the buffer as it was";
    EXPECT_EQ(b.Extract(3), "789");
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(removed, (std::vector<int64_t>{3, 4, 3}));
}

TEST(NxSimpleBuffer, StreamViewWritesAtPositionAndReadsBack) {
    TNxSimpleBuffer b;
    b.WriteString("hello world");
    b.SetPosition(6);
    b.WriteString("there");
    EXPECT_EQ(Contents(b), "hello there");
    b.SetSize(5);
    EXPECT_EQ(b.Position(), 5);
    b.Append("!");
    b.SetPosition(0);
    char out[16] = {};
    EXPECT_EQ(b.Read(out, sizeof out), 6);
    EXPECT_STREQ(out, "hello!");
}

// The input buffer advances an offset instead of moving bytes, and compacts only once
// the consumed part reaches the threshold.
TEST(NxManagedBuffer, ConsumingAdvancesTheOffsetAndCompactsAtTheThreshold) {
    TNxManagedBuffer b(100);
    int64_t notified = 0;
    b.OnBytesRemoved = [&](TNxSimpleBuffer&, int64_t n) { notified += n; };
    std::string data;
    for (int i = 0; i < 300; ++i)
        data += static_cast<char>('a' + i % 26);
    b.Append(data);
    const char* block = b.Memory();

    struct Step {
        int64_t remove, offsetAfter;
    } steps[] = {{10, 10}, {40, 50}, {49, 99}, {1, 0}, {30, 30}};
    int64_t consumed = 0;
    for (const auto& s : steps) {
        b.Remove(s.remove);
        consumed += s.remove;
        EXPECT_EQ(b.ReadOffset(), s.offsetAfter) << "after consuming " << consumed;
        EXPECT_EQ(Contents(b), data.substr(static_cast<size_t>(consumed)));
        if (s.offsetAfter != 0) {
            EXPECT_EQ(b.Memory(), block + s.offsetAfter) << "no bytes moved";
        } else {
            block = b.Memory();
        }
    }
    EXPECT_EQ(notified, consumed);

    b.Append("XYZ");
    EXPECT_EQ(Contents(b).substr(Contents(b).size() - 3), "XYZ") << "new bytes go after the stored ones";
    b.SetPosition(0);
    char first = 0;
    b.Read(&first, 1);
    EXPECT_EQ(first, data[static_cast<size_t>(consumed)]) << "position 0 is the first unconsumed byte";

    b.Remove(b.Length());
    EXPECT_TRUE(b.Empty());
    EXPECT_EQ(b.ReadOffset(), 0) << "removing everything resets the offset";
    EXPECT_THROW(b.Remove(1), ENxNotEnoughDataInBuffer);
}

TEST(NxManagedBuffer, DefaultThresholdIs32768) {
    TNxManagedBuffer b;
    b.Append(std::string(40000, 'x'));
    b.Remove(32767);
    EXPECT_EQ(b.ReadOffset(), 32767);
    b.Remove(1);
    EXPECT_EQ(b.ReadOffset(), 0);
    EXPECT_EQ(b.Length(), 40000 - 32768);
}
