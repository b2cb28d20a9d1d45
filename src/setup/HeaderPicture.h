#pragma once
// The 32 x 32 picture in the window's header strip: baseline JPEG data embedded in the
// program and decoded with libjpeg when the window is created.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/Exception.h"

extern const unsigned char kHeaderPictureJpeg[1292];
extern const size_t kHeaderPictureJpegSize;

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
