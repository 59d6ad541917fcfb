// WebP files through libwebp: lossy and lossless, with or without alpha,
// and animations (frame --page N, composed by libwebp's animation decoder).
// A still image is decoded straight into the bottom-up buffer, 24-bit blue
// first, or 32-bit with alpha composited on white with --background white;
// an animation frame comes as libwebp's composed canvas and is copied over.
// The ICC profile (ICCP chunk) goes with the pixels; WebP has no resolution
// (only in Exif, which is not read).
//
// libwebp decodes from memory, so the whole file is read first; its sides
// are checked from the first chunk's header before that.
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>

#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

const char* StatusText(VP8StatusCode status) {
  switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY: return "out of memory";
    case VP8_STATUS_INVALID_PARAM: return "invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "bitstream error";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "unsupported feature";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "not enough data";
    default: return "decoding failed";
  }
}

bool Unreadable(std::string* error, const std::string& what) {
  return Refuse(error, "unreadable WebP: " + what, "complete, valid WebP files");
}

// The ICCP chunk's profile, when the file has one and its chunks parse (a
// file whose chunks do not is left to the decoder to judge).
void ReadProfile(const WebPData& data, Image* image) {
  WebPDemuxer* demux = WebPDemux(&data);
  if (demux == nullptr) return;
  WebPChunkIterator chunk;
  if ((WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) != 0 && WebPDemuxGetChunk(demux, "ICCP", 1, &chunk)) {
    if (chunk.chunk.size > MaxIccProfile) {
      image->iccLeftOut = "ICC profile of " + Num(chunk.chunk.size) + " bytes; a JPEG holds at most " +
                          Num(MaxIccProfile);
    } else {
      image->iccProfile.assign(chunk.chunk.bytes, chunk.chunk.bytes + chunk.chunk.size);
    }
    WebPDemuxReleaseChunkIterator(&chunk);
  }
  WebPDemuxDelete(demux);
}

// Frame `page` of an animation, composed on its canvas, into the 24-bit
// buffer: alpha dropped or composited on white.
bool ReadFrame(const WebPData& data, const ReadOptions& options, Image* image, std::string* error) {
  WebPAnimDecoderOptions settings;
  if (!WebPAnimDecoderOptionsInit(&settings)) return Unreadable(error, "libwebp version mismatch");
  settings.color_mode = MODE_BGRA;
  WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &settings);
  if (decoder == nullptr) return Unreadable(error, "the animation does not parse");
  WebPAnimInfo info;
  WebPAnimDecoderGetInfo(decoder, &info);
  image->pageCount = info.frame_count;
  bool ok = true;
  if (options.page <= info.frame_count && info.canvas_width == image->width && info.canvas_height == image->height) {
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    for (std::uint32_t i = 0; i < options.page && ok; ++i) ok = WebPAnimDecoderGetNext(decoder, &canvas, &timestamp);
    const std::uint64_t stride = DibRowStride(image->width, 24);
    for (std::uint64_t y = 0; ok && y < image->height; ++y) {
      const std::uint8_t* in = canvas + y * image->width * 4;
      std::uint8_t* out = &image->pixels[(image->height - 1 - y) * stride];
      for (std::uint64_t x = 0; x < image->width; ++x, in += 4, out += 3) {
        const unsigned a = options.whiteBackground ? in[3] : 255;
        for (int c = 0; c < 3; ++c) out[c] = OnWhite(in[c], a);
      }
    }
    if (!ok) Unreadable(error, "frame " + Num(options.page) + " does not decode");
  } else if (options.page <= info.frame_count) {
    ok = Unreadable(error, "canvas of " + Num(info.canvas_width) + " x " + Num(info.canvas_height) +
                               " pixels where the header says " + Num(image->width) + " x " + Num(image->height));
  }
  WebPAnimDecoderDelete(decoder);
  return ok;
}

}  // namespace

bool ReadWebp(Source* source, const std::uint8_t* head, std::size_t headSize, const ReadOptions& options,
              Image* image, std::string* error) {
  // RIFF header: "RIFF", the length of what follows (little-endian), "WEBP".
  const std::uint64_t length =
      8 + (std::uint64_t(head[4]) | std::uint64_t(head[5]) << 8 | std::uint64_t(head[6]) << 16 |
           std::uint64_t(head[7]) << 24);
  image->format = "WebP";
  image->channelOrder = 1;
  if (source->size != UINT64_MAX && length > source->size) {
    return RefuseTruncated(error, "WebP", length, source->size);
  }
  std::vector<std::uint8_t> file(head, head + headSize);
  const auto readTo = [&](std::uint64_t end) {
    while (file.size() < end) {
      const std::size_t at = file.size(), chunk = std::size_t(std::min<std::uint64_t>(end - at, 1 << 20));
      file.resize(at + chunk);
      const std::size_t got = ReadBytes(source, file.data() + at, chunk);
      file.resize(at + got);
      if (got < chunk) return false;
    }
    return true;
  };
  // The first chunk's header gives the sides: 30 bytes hold any of them.
  WebPBitstreamFeatures features;
  VP8StatusCode status = VP8_STATUS_NOT_ENOUGH_DATA;
  if (readTo(std::min<std::uint64_t>(length, 64))) status = WebPGetFeatures(file.data(), file.size(), &features);
  if (status == VP8_STATUS_NOT_ENOUGH_DATA) {
    if (!readTo(length)) return RefuseTruncated(error, "WebP", length, source->position);
    status = WebPGetFeatures(file.data(), file.size(), &features);
  }
  if (status != VP8_STATUS_OK) return Unreadable(error, StatusText(status));
  image->format = std::string("WebP") + (features.format == 1 ? " lossy" : features.format == 2 ? " lossless" : "") +
                  (features.has_alpha ? " with alpha" : "") + (features.has_animation ? " animated" : "");
  const bool composite = options.whiteBackground && features.has_alpha && !features.has_animation;
  const unsigned bits = composite ? 32 : 24;
  if (!AllocatePixels(*source, options, std::uint64_t(features.width), std::uint64_t(features.height), bits, length,
                      image, error)) {
    return false;
  }
  if (!readTo(length)) return RefuseTruncated(error, image->format, length, source->position);
  const WebPData data = {file.data(), file.size()};
  ReadProfile(data, image);
  if (features.has_animation) return ReadFrame(data, options, image, error);

  WebPDecoderConfig config;
  if (!WebPInitDecoderConfig(&config)) return Unreadable(error, "libwebp version mismatch");
  config.options.flip = 1;  // bottom row first
  config.output.colorspace = composite ? MODE_BGRA : MODE_BGR;
  config.output.is_external_memory = 1;
  config.output.u.RGBA.rgba = image->pixels.get();
  config.output.u.RGBA.stride = int(DibRowStride(image->width, bits));
  config.output.u.RGBA.size = std::size_t(image->size);
  status = WebPDecode(data.bytes, data.size, &config);
  WebPFreeDecBuffer(&config.output);
  if (status != VP8_STATUS_OK) return Unreadable(error, StatusText(status));
  if (composite) CompositeAlphaOnWhite(image);
  return true;
}

}  // namespace dibjpeg::cli
