#include "setup/HeaderPicture.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <memory>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

namespace {
// libjpeg's default error handler ends the process; ours jumps back to the decoder instead.
// A C++ exception must not be thrown through libjpeg's C frames, hence setjmp/longjmp.
// The decoder lives in the caller's frame, not in the one that calls setjmp, so none of its
// state is left indeterminate by the jump.
struct TDecoder {
    jpeg_error_mgr Public; // first: libjpeg hands its address back as info->err
    std::jmp_buf Jump;
    char Message[JMSG_LENGTH_MAX];
    jpeg_decompress_struct Info;
};

[[noreturn]] void OnError(j_common_ptr info) {
    auto* manager = reinterpret_cast<TDecoder*>(info->err);
    (*info->err->format_message)(info, manager->Message);
    std::longjmp(manager->Jump, 1);
}

void OnMessage(j_common_ptr info, int level) {
    // Level -1 is a corrupt-data warning; libjpeg would go on with grey blocks.
    if (level < 0) OnError(info);
}

// Runs libjpeg into the caller's picture; false (with the message in the decoder) on failure.
bool DecodeInto(TDecoder& decoder, const unsigned char* data, size_t size, TRgbPicture& picture) {
    jpeg_decompress_struct& info = decoder.Info;
    info.err = jpeg_std_error(&decoder.Public);
    decoder.Public.error_exit = OnError;
    decoder.Public.emit_message = OnMessage;
    if (setjmp(decoder.Jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    picture.Width = static_cast<int>(info.output_width);
    picture.Height = static_cast<int>(info.output_height);
    const size_t stride = static_cast<size_t>(info.output_width) * info.output_components;
    picture.Pixels.resize(stride * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = picture.Pixels.data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

// The source pixels under one target pixel along an axis, with their shares of it.
struct TFootprint {
    int First = 0;
    std::vector<double> Weights;
};

std::vector<TFootprint> Footprints(int sourceLength, int targetLength) {
    std::vector<TFootprint> footprints(static_cast<size_t>(targetLength));
    const double step = static_cast<double>(sourceLength) / targetLength;
    for (int t = 0; t < targetLength; ++t) {
        const double begin = t * step;
        const double end = std::min<double>((t + 1) * step, sourceLength);
        TFootprint& footprint = footprints[static_cast<size_t>(t)];
        footprint.First = std::min(static_cast<int>(begin), sourceLength - 1);
        double total = 0;
        for (int s = footprint.First; s < sourceLength && s < end; ++s) {
            const double share = std::min<double>(end, s + 1) - std::max<double>(begin, s);
            footprint.Weights.push_back(std::max(share, 0.0));
            total += footprint.Weights.back();
        }
        if (footprint.Weights.empty() || total <= 0) {
            footprint.Weights.assign(1, 1.0);
            continue;
        }
        for (double& weight : footprint.Weights)
            weight /= total;
    }
    return footprints;
}
} // namespace

TRgbPicture DecodeJpeg(const unsigned char* data, size_t size) {
    auto decoder = std::make_unique<TDecoder>();
    TRgbPicture picture;
    if (!DecodeInto(*decoder, data, size, picture)) throw EJpegError(decoder->Message);
    return picture;
}

TRgbPicture ScalePicture(const TRgbPicture& source, int width, int height) {
    TRgbPicture target;
    if (width <= 0 || height <= 0 || source.Width <= 0 || source.Height <= 0) return target;
    const std::vector<TFootprint> columns = Footprints(source.Width, width);
    const std::vector<TFootprint> rows = Footprints(source.Height, height);
    // Across first, into a picture of the target's width and the source's height.
    std::vector<double> across(static_cast<size_t>(width) * source.Height * 3);
    for (int y = 0; y < source.Height; ++y) {
        const uint8_t* in = &source.Pixels[static_cast<size_t>(y) * source.Width * 3];
        double* out = &across[static_cast<size_t>(y) * width * 3];
        for (int x = 0; x < width; ++x) {
            const TFootprint& f = columns[static_cast<size_t>(x)];
            for (size_t i = 0; i < f.Weights.size(); ++i)
                for (int c = 0; c < 3; ++c)
                    out[x * 3 + c] += f.Weights[i] * in[(static_cast<size_t>(f.First) + i) * 3 + c];
        }
    }
    target.Width = width;
    target.Height = height;
    target.Pixels.resize(static_cast<size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        const TFootprint& f = rows[static_cast<size_t>(y)];
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                double value = 0;
                for (size_t i = 0; i < f.Weights.size(); ++i)
                    value += f.Weights[i] * across[((static_cast<size_t>(f.First) + i) * width + x) * 3 + c];
                target.Pixels[(static_cast<size_t>(y) * width + x) * 3 + c] =
                    static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
            }
    }
    return target;
}

TRgbPicture HeaderPicture(int width, int height) {
    if (width == 32 && height == 32) return DecodeJpeg(kHeaderPictureJpeg, kHeaderPictureJpegSize);
    return ScalePicture(DecodeJpeg(kHeaderPictureLargeJpeg, kHeaderPictureLargeJpegSize), width, height);
}
