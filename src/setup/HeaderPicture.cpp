#include "setup/HeaderPicture.h"

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
} // namespace

TRgbPicture DecodeJpeg(const unsigned char* data, size_t size) {
    auto decoder = std::make_unique<TDecoder>();
    TRgbPicture picture;
    if (!DecodeInto(*decoder, data, size, picture)) throw EJpegError(decoder->Message);
    return picture;
}
