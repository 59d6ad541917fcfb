// PNG files through libpng: gray images (and palettes whose entries are all
// gray) become 8-bit gray, everything else 24-bit red first. Palettes and
// bit depths below 8 are expanded, 16-bit samples scaled to 8 bits with
// rounding, interlaced images assembled; alpha (including a tRNS chunk) is
// dropped, or composited on white. gAMA, cHRM, sRGB and ICC chunks are not
// applied: the samples go to the JPEG as stored, with the resolution (pHYs)
// and the ICC profile (iCCP) beside them. libpng writes the rows straight
// into the encoder's bottom-up buffer.
//
// Of the ancillary chunks only tRNS, pHYs and iCCP are read; libpng skips
// the others unread (text, time, suggested palettes, ...), so a file full of
// compressed text costs the time to read it and no memory.
#include <png.h>

#include <cstring>

#include "input/formats.h"

namespace dibjpeg::cli {
namespace {

struct PngJob {
  png_structp png = nullptr;
  png_infop info = nullptr;
  Source* source = nullptr;
  bool truncated = false;
  char message[200] = "";
  char profileWarning[200] = "";  // libpng's first word on the iCCP chunk
};

struct PngHeader {
  png_uint_32 width = 0, height = 0;
  int bitDepth = 0, colourType = 0, interlace = 0;
  int channels = 0;  // after the transformations: 1 or 3
  bool grayPalette = false;
  Density density;
  png_bytep profile = nullptr;  // the iCCP chunk's profile, inflated, owned by libpng
  png_uint_32 profileSize = 0;
};

void OnError(png_structp png, png_const_charp message) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  std::snprintf(job->message, sizeof job->message, "%s", message);
  png_longjmp(png, 1);
}

void OnRead(png_structp png, png_bytep data, std::size_t length) {
  auto* job = static_cast<PngJob*>(png_get_io_ptr(png));
  if (ReadBytes(job->source, data, length) != length) {
    job->truncated = true;
    png_error(png, "the file ends early");
  }
}

// Warnings concern ancillary chunks, not pixels. Those on the iCCP chunk
// (libpng puts the chunk's name first) say why a profile was not kept.
void OnWarning(png_structp png, png_const_charp message) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  if (job->profileWarning[0] == '\0' && std::strncmp(message, "iCCP: ", 6) == 0) {
    std::snprintf(job->profileWarning, sizeof job->profileWarning, "%s", message + 6);
  }
}

// The chunks libpng reads, besides the critical ones and tRNS.
constexpr png_byte ChunksRead[] = {'p', 'H', 'Y', 's', 0, 'i', 'C', 'C', 'P', 0};

// The longest ancillary chunk libpng takes: a compressed profile of the
// size a JPEG holds, with room for its name and for deflate's stored blocks
// (5 bytes per 64 KiB). libpng leaves a longer iCCP chunk out; the chunks
// it skips may be of any length.
constexpr png_alloc_size_t MaxChunk = MaxIccProfile + 65536;

// Settings before libpng reads a chunk: which ancillary chunks it reads and
// how long they may be. libpng checks a profile's header and tags before it
// keeps one; a profile it does not keep is left out with its reason. Its
// comparison with known sRGB profiles only warns, and is skipped.
void LimitChunks(png_structp png) {
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);  // every ancillary chunk but tRNS
  png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_AS_DEFAULT, ChunksRead, 2);
  png_set_chunk_malloc_max(png, MaxChunk);
  png_set_chunk_cache_max(png, 8);  // chunks kept unparsed: none are, this caps any that would be
  png_set_benign_errors(png, 1);    // a bad ancillary chunk is left out with a warning
#ifdef PNG_SKIP_sRGB_CHECK_PROFILE
  png_set_option(png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
#endif
}

bool AllGray(png_structp png, png_infop info) {
  png_colorp palette = nullptr;
  int entries = 0;
  if (png_get_PLTE(png, info, &palette, &entries) == 0) return false;
  for (int i = 0; i < entries; ++i) {
    if (palette[i].red != palette[i].green || palette[i].green != palette[i].blue) return false;
  }
  return true;
}

// libpng reports errors by longjmp, so the two functions that call it hold
// no C++ objects with destructors.
bool ReadHeader(PngJob* job, bool white, PngHeader* header) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_structp png = job->png;
  png_infop info = job->info;
  png_set_read_fn(png, job, OnRead);
  png_set_sig_bytes(png, 8);
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);  // the size check below says more
  LimitChunks(png);
  png_read_info(png, info);
  png_get_IHDR(png, info, &header->width, &header->height, &header->bitDepth, &header->colourType,
               &header->interlace, nullptr, nullptr);
  // Sides JPEG cannot hold go no further (Read refuses them): libpng would
  // take memory for rows as wide as IHDR says.
  if (header->width > 65535 || header->height > 65535) return true;
  png_uint_32 resX = 0, resY = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &resX, &resY, &unit) != 0) {
    if (unit == PNG_RESOLUTION_METER) {
      header->density = DensityFromPerMetre(resX, resY);
    } else if (resX != 0 && resY != 0 && resX <= 65535 && resY <= 65535) {
      header->density = {0, static_cast<std::uint16_t>(resX), static_cast<std::uint16_t>(resY)};  // aspect only
    }
  }
  png_charp name = nullptr;
  int compression = 0;
  png_get_iCCP(png, info, &name, &compression, &header->profile, &header->profileSize);
  const int type = header->colourType;
  if (type == PNG_COLOR_TYPE_PALETTE) {
    png_set_palette_to_rgb(png);
    header->grayPalette = AllGray(png, info);
    if (header->grayPalette) png_set_rgb_to_gray_fixed(png, 1, -1, -1);
  }
  if (type == PNG_COLOR_TYPE_GRAY && header->bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (header->bitDepth == 16) png_set_scale_16(png);
  const bool transparency = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  if (white && ((type & PNG_COLOR_MASK_ALPHA) != 0 || transparency)) {
    if (transparency) png_set_tRNS_to_alpha(png);
    // File and screen gamma both 1: the composition runs on the stored values.
    png_set_gamma_fixed(png, PNG_FP_1, PNG_FP_1);
    png_color_16 background = {0, 255, 255, 255, 255};
    png_set_background_fixed(png, &background, PNG_BACKGROUND_GAMMA_SCREEN, 0, PNG_FP_1);
  } else {
    png_set_strip_alpha(png);
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  header->channels = png_get_channels(png, info);
  return true;
}

bool ReadRows(PngJob* job, png_bytepp rows) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_read_image(job->png, rows);
  return true;
}

const char* ColourTypeName(int type) {
  switch (type) {
    case PNG_COLOR_TYPE_GRAY: return "gray";
    case PNG_COLOR_TYPE_GRAY_ALPHA: return "gray+alpha";
    case PNG_COLOR_TYPE_PALETTE: return "palette";
    case PNG_COLOR_TYPE_RGB: return "RGB";
    default: return "RGBA";
  }
}

bool Read(PngJob* job, Source* source, const ReadOptions& options, Image* image, std::string* error) {
  const auto refuse = [&] {
    if (job->truncated) {
      return Refuse(error, "truncated PNG: the file ends at byte " + Num(source->position), "complete files");
    }
    return Refuse(error, "unreadable PNG: " + std::string(job->message), "complete, valid PNG files");
  };
  PngHeader header;
  job->source = source;
  if (!ReadHeader(job, options.whiteBackground, &header)) return refuse();
  image->format = "PNG " + std::to_string(header.bitDepth) + "-bit " + ColourTypeName(header.colourType) +
                  (header.interlace != PNG_INTERLACE_NONE ? " interlaced" : "");
  image->channelOrder = 0;  // red first
  const unsigned outBits = header.channels == 1 ? 8 : 24;
  if (!AllocatePixels(*source, options, header.width, header.height, outBits, 0, image, error)) return false;
  if (header.channels != 1 && header.channels != 3) {
    return Refuse(error, image->format + " that gives " + Num(header.channels) + " channels", "gray and RGB");
  }
  image->density = header.density;
  image->iccProfile.assign(header.profile, header.profile + header.profileSize);
  if (header.profileSize == 0 && job->profileWarning[0] != '\0') {
    image->iccLeftOut = std::string("libpng did not take the iCCP chunk: ") + job->profileWarning;
  }
  const std::uint64_t stride = DibRowStride(header.width, outBits);
  std::vector<png_bytep> rows(header.height);
  for (std::uint64_t y = 0; y < header.height; ++y) rows[y] = &image->pixels[(header.height - 1 - y) * stride];
  return ReadRows(job, rows.data()) || refuse();
}

}  // namespace

bool ReadPng(Source* source, const ReadOptions& options, Image* image, std::string* error) {
  PngJob job;
  job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, OnError, OnWarning);
  if (job.png != nullptr) job.info = png_create_info_struct(job.png);
  if (job.info == nullptr) {
    png_destroy_read_struct(&job.png, nullptr, nullptr);
    *error = "out of memory starting libpng";
    return false;
  }
  const bool ok = Read(&job, source, options, image, error);
  png_destroy_read_struct(&job.png, &job.info, nullptr);
  return ok;
}

}  // namespace dibjpeg::cli
