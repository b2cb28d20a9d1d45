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

// Four quadrants around a white disc: blue, orange / green, blue (see res/make-pictures.sh),
// at points of the 32-pixel drawing.
const struct {
    int X, Y;
    int R, G, B;
} kSamples[] = {
    {4, 4, 34, 77, 179},   {27, 4, 247, 154, 33},   {4, 27, 30, 139, 71},
    {27, 27, 22, 53, 143}, {16, 11, 255, 255, 255},
};
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
    for (const auto& s : kSamples) {
        const uint8_t* p = &picture.Pixels[(static_cast<size_t>(s.Y) * 32 + s.X) * 3];
        EXPECT_NEAR(p[0], s.R, 12) << s.X << "," << s.Y;
        EXPECT_NEAR(p[1], s.G, 12) << s.X << "," << s.Y;
        EXPECT_NEAR(p[2], s.B, 12) << s.X << "," << s.Y;
    }
}

TEST(HeaderPicture, ShowsTheSameColoursAtEveryDisplayScale) {
    // 32 is the stored picture itself, the other sizes the 128-pixel drawing scaled down.
    for (int size : {32, 40, 48, 56, 64}) {
        SCOPED_TRACE(testing::Message() << size << " pixels");
        const TRgbPicture picture = HeaderPicture(size, size);
        ASSERT_EQ(picture.Width, size);
        ASSERT_EQ(picture.Height, size);
        ASSERT_EQ(picture.Pixels.size(), static_cast<size_t>(size) * size * 3);
        for (const auto& s : kSamples) {
            // The sample point's centre in the larger picture.
            const int x = (2 * s.X + 1) * size / 64, y = (2 * s.Y + 1) * size / 64;
            const uint8_t* p = &picture.Pixels[(static_cast<size_t>(y) * size + x) * 3];
            EXPECT_NEAR(p[0], s.R, 12) << s.X << "," << s.Y;
            EXPECT_NEAR(p[1], s.G, 12) << s.X << "," << s.Y;
            EXPECT_NEAR(p[2], s.B, 12) << s.X << "," << s.Y;
        }
    }
}

TEST(HeaderPicture, ScalingAveragesWhatEachPixelCovers) {
    // 4 x 2 source: a black and a white 2 x 2 block.
    TRgbPicture blocks{4, 2, std::vector<uint8_t>(4 * 2 * 3, 0)};
    for (int y = 0; y < 2; ++y)
        for (int x = 2; x < 4; ++x)
            for (int c = 0; c < 3; ++c)
                blocks.Pixels[(static_cast<size_t>(y) * 4 + x) * 3 + c] = 255;
    const struct {
        int Width, Height;
        std::vector<uint8_t> Reds; // the first channel of every pixel, row by row
    } cases[] = {
        {2, 1, {0, 255}},                         // each block to one pixel
        {1, 1, {128}},                            // all to one: the mean
        {3, 1, {0, 128, 255}},                    // the middle one straddles both blocks equally
        {8, 1, {0, 0, 0, 0, 255, 255, 255, 255}}, // enlarged: no blur across the edge
        {4, 4, {0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Width << "x" << c.Height);
        const TRgbPicture scaled = ScalePicture(blocks, c.Width, c.Height);
        ASSERT_EQ(scaled.Width, c.Width);
        ASSERT_EQ(scaled.Height, c.Height);
        ASSERT_EQ(scaled.Pixels.size(), c.Reds.size() * 3);
        for (size_t i = 0; i < c.Reds.size(); ++i)
            EXPECT_NEAR(scaled.Pixels[i * 3], c.Reds[i], 1) << "pixel " << i; // halves may round down
    }
    // A plain colour stays that colour at sizes that do not divide the source, borders too.
    const TRgbPicture plain{7, 5, std::vector<uint8_t>(7 * 5 * 3, 200)};
    for (auto [w, h] : {std::pair{3, 2}, std::pair{5, 4}, std::pair{6, 13}, std::pair{1, 1}}) {
        const TRgbPicture scaled = ScalePicture(plain, w, h);
        ASSERT_EQ(scaled.Pixels.size(), static_cast<size_t>(w) * h * 3);
        for (uint8_t value : scaled.Pixels)
            ASSERT_EQ(value, 200) << w << "x" << h;
    }
    EXPECT_TRUE(ScalePicture(plain, 0, 4).Pixels.empty());
    EXPECT_TRUE(ScalePicture(TRgbPicture{}, 4, 4).Pixels.empty());
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
