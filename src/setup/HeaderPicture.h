#pragma once
// The 32 x 32 picture in the window's header strip: baseline JPEG data embedded in the
// program and decoded with libjpeg when the window is created. At higher display scales the
// same drawing made at 128 x 128 is scaled down to the picture's size instead, so that it is
// as sharp as the text beside it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/Exception.h"

extern const unsigned char kHeaderPictureJpeg[1292];
extern const size_t kHeaderPictureJpegSize;
extern const unsigned char kHeaderPictureLargeJpeg[];
extern const size_t kHeaderPictureLargeJpegSize;

// The data is not a JPEG image libjpeg can decode, or it is damaged (a corrupt-data warning
// counts as a failure: the picture is ours, so any damage is a defect, not noise).
NX_DECLARE_EXCEPTION(EJpegError, Exception)

// Decoded pixels, rows top to bottom, three bytes per pixel in the order R, G, B.
struct TRgbPicture {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Pixels;
};

// Decodes JPEG data from memory into RGB. Raises EJpegError with libjpeg's message.
TRgbPicture DecodeJpeg(const unsigned char* data, size_t size);

// Resamples by area: each target pixel is the mean of the source area it covers, weighted by
// how much of each source pixel lies inside it. Shrinking keeps edges as sharp as the target
// grid allows and never darkens the borders. An empty picture when a size is not positive.
TRgbPicture ScalePicture(const TRgbPicture& source, int width, int height);

// The header picture at the given size: the stored 32 x 32 picture itself at that size,
// else the large drawing scaled to it. Raises EJpegError.
TRgbPicture HeaderPicture(int width, int height);
