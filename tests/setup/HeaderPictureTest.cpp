#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "setup/HeaderPicture.h"

namespace {
// The marker segments of the data, in order.
std::string Markers(const unsigned char* data, size_t size) {
    std::string found;
    for (size_t i = 2; i + 3 < size;) {
        if (data[i] != 0xFF) break;
        const unsigned char marker = data[i + 1];
        char name[8];
        std::snprintf(name, sizeof(name), "%02X ", marker);
        found += name;
        if (marker == 0xDA) break; // entropy-coded data follows
        i += 2 + (static_cast<size_t>(data[i + 2]) << 8 | data[i + 3]);
    }
    return found;
}
} // namespace

TEST(HeaderPicture, IsABaselineJfifOf1292Bytes) {
    ASSERT_EQ(kHeaderPictureJpegSize, 1292u);
    EXPECT_EQ(kHeaderPictureJpeg[0], 0xFF);
    EXPECT_EQ(kHeaderPictureJpeg[1], 0xD8);
    EXPECT_EQ(std::memcmp(kHeaderPictureJpeg + 6, "JFIF", 5), 0);
    const std::string markers = Markers(kHeaderPictureJpeg, kHeaderPictureJpegSize);
    EXPECT_NE(markers.find("C0 "), std::string::npos) << markers; // baseline frame
    EXPECT_EQ(markers.find("C2 "), std::string::npos) << markers; // not progressive
    EXPECT_EQ(kHeaderPictureJpeg[kHeaderPictureJpegSize - 2], 0xFF);
    EXPECT_EQ(kHeaderPictureJpeg[kHeaderPictureJpegSize - 1], 0xD9);
}

TEST(HeaderPicture, DecodesTo32By32WithTheColoursItWasMadeOf) {
    const TRgbPicture picture = DecodeJpeg(kHeaderPictureJpeg, kHeaderPictureJpegSize);
    ASSERT_EQ(picture.Width, 32);
    ASSERT_EQ(picture.Height, 32);
    ASSERT_EQ(picture.Pixels.size(), 32u * 32 * 3);
    // Four quadrants around a white disc: blue, orange / green, blue (see res/make-pictures.sh).
    const struct {
        int X, Y;
        int R, G, B;
    } samples[] = {
        {4, 4, 34, 77, 179},   {27, 4, 247, 154, 33},   {4, 27, 30, 139, 71},
        {27, 27, 22, 53, 143}, {16, 11, 255, 255, 255},
    };
    for (const auto& s : samples) {
        const uint8_t* p = &picture.Pixels[(static_cast<size_t>(s.Y) * 32 + s.X) * 3];
        EXPECT_NEAR(p[0], s.R, 12) << s.X << "," << s.Y;
        EXPECT_NEAR(p[1], s.G, 12) << s.X << "," << s.Y;
        EXPECT_NEAR(p[2], s.B, 12) << s.X << "," << s.Y;
    }
}

TEST(HeaderPicture, DamagedDataRaisesInsteadOfEndingTheProgram) {
    const unsigned char notJpeg[] = "this is not a picture";
    EXPECT_THROW(DecodeJpeg(notJpeg, sizeof(notJpeg)), EJpegError);
    // Cut inside the entropy-coded data: libjpeg only warns and would fill in grey.
    EXPECT_THROW(DecodeJpeg(kHeaderPictureJpeg, kHeaderPictureJpegSize - 300), EJpegError);
    EXPECT_THROW(DecodeJpeg(kHeaderPictureJpeg, 100), EJpegError);
    // The decoder is still usable afterwards.
    EXPECT_EQ(DecodeJpeg(kHeaderPictureJpeg, kHeaderPictureJpegSize).Width, 32);
}
