#include <gtest/gtest.h>

#include "base/Format.h"
#include "base/Stream.h"

#include <cstdio>
#include <cstring>

TEST(MemoryStream, WriteReadSeekAndSize) {
    TMemoryStream s;
    s.WriteString("hello");
    EXPECT_EQ(s.Size(), 5);
    EXPECT_EQ(s.Position(), 5);
    s.SetPosition(1);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, 8), 4);
    EXPECT_STREQ(buf, "ello");
    EXPECT_EQ(s.Read(buf, 8), 0);
    s.SetSize(2);
    EXPECT_EQ(s.Position(), 2) << "position is clamped to a shrunk size";
    EXPECT_EQ(s.ToString(), "he");
}

// The same through a write and through memory filled in place (WriteSpace, CommitWrite).
TEST(MemoryStream, WriteAfterSeekPastEndZeroFillsTheGap) {
    for (const bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "in place" : "written");
        TMemoryStream s;
        s.SetSize(100);
        std::memset(s.Memory(), 'o', 100);
        s.SetSize(0);
        s.Seek(3, soBeginning);
        if (inPlace) {
            int64_t room = 8;
            char* space = s.WriteSpace(room, 1);
            ASSERT_NE(space, nullptr);
            *space = 'x';
            s.CommitWrite(1);
        } else {
            s.WriteString("x");
        }
        EXPECT_EQ(s.ToString(), std::string("\0\0\0x", 4));
        EXPECT_EQ(s.Position(), 4);
    }
}

// A limited stream offers room up to its limit only, and none at it.
TEST(LimitedStream, OffersRoomUpToItsLimit) {
    TMemoryStream body;
    TLimitedStream limited(body, 10);
    limited.WriteString("abcdef");
    int64_t room = 100;
    char* space = limited.WriteSpace(room, 1);
    ASSERT_NE(space, nullptr);
    EXPECT_EQ(room, 4);
    std::memcpy(space, "ghij", 4);
    limited.CommitWrite(4);
    EXPECT_EQ(body.ToString(), "abcdefghij");
    room = 1;
    EXPECT_EQ(limited.WriteSpace(room, 1), nullptr);
    EXPECT_THROW(limited.WriteString("k"), EStreamLimitExceeded);
}

TEST(MemoryStream, SetSizeReservesOnceAndGrowthIsGeometric) {
    TMemoryStream s;
    s.SetSize(1 << 20);
    const char* block = s.Memory();
    s.SetPosition(0);
    std::string piece(4096, 'a');
    for (int i = 0; i < 256; ++i)
        s.WriteString(piece);
    EXPECT_EQ(s.Memory(), block) << "writes within a reserved size never move the block";
    s.Clear();
    int growths = 0;
    int64_t cap = 0;
    for (int i = 0; i < 4096; ++i) {
        s.WriteString(piece);
        if (s.Capacity() != cap) ++growths, cap = s.Capacity();
    }
    EXPECT_LT(growths, 40) << "16 MiB in 4 KiB writes must not regrow on every write";

    // A body sized piece by piece (the chunks of a chunked body): the first piece gets
    // exactly its size, later ones make the room grow geometrically.
    TMemoryStream body;
    body.ExpectGrowth(1000);
    body.SetSize(1000);
    EXPECT_EQ(body.Capacity(), 1000);
    growths = 0;
    cap = body.Capacity();
    for (int64_t end = 2000; end <= 4096000; end += 1000) {
        body.ExpectGrowth(end);
        body.SetSize(end);
        if (body.Capacity() != cap) ++growths, cap = body.Capacity();
    }
    EXPECT_LT(growths, 40) << "4096 pieces must not regrow the body for every piece";
}

TEST(MemoryStream, CopyFromWholeSourceAndCount) {
    TMemoryStream a, b;
    a.WriteString("0123456789");
    b.CopyFrom(a, 0);
    EXPECT_EQ(b.ToString(), "0123456789");
    a.SetPosition(2);
    TMemoryStream c;
    c.CopyFrom(a, 3);
    EXPECT_EQ(c.ToString(), "234");
    EXPECT_THROW(c.CopyFrom(a, 100), EStreamError);
}

TEST(Format, TemplatesOfTheMessages) {
    struct Case {
        std::string got, want;
    } cases[] = {
        {Format("Invalid Port Range (%d - %d)", 5000, 5002), "Invalid Port Range (5000 - 5002)"},
        {Format("OLE error %.8x", 0x80004002u), "OLE error 80004002"},
        {Format("File \"%s\" not found", "a b"), "File \"a b\" not found"},
        {Format("%s", std::string(1000, 'x').c_str()), std::string(1000, 'x')},
        {Format("%d", -1), "-1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.got, c.want);
}

TEST(FileReadStream, ReadsSeeksAndRefusesWrites) {
    const std::string name = ::testing::TempDir() + "nx-file-read-stream.bin";
    TMemoryStream src;
    src.WriteString("0123456789");
    src.SaveToFile(name);
    {
        TFileReadStream f(name);
        EXPECT_EQ(f.Size(), 10);
        f.SetPosition(4);
        char buf[16] = {};
        EXPECT_EQ(f.Read(buf, 16), 6);
        EXPECT_STREQ(buf, "456789");
        EXPECT_EQ(f.Write("x", 1), 0);
        EXPECT_THROW(f.SetSize(0), EStreamError);
    }
    std::remove(name.c_str());
    EXPECT_THROW(TFileReadStream{name}, EStreamError);
}
