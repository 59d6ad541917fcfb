// Recognises the input by its first bytes and hands it to its reader.
#include "input/read_image.h"

#include <cstdio>
#include <cstring>

#include "input/formats.h"

namespace dibjpeg::cli {

constexpr char FormatsSupported[] = "BMP, PNM (P1 to P6), PAM (P7), PNG, TIFF, JPEG, GIF, WebP and TGA";

namespace {

bool ReadAnyFormat(Source* source, const ReadOptions& options, Image* image, std::string* error) {
  std::uint8_t magic[8];
  const std::size_t got = ReadBytes(source, magic, 2);
  if (got == 0) return Refuse(error, "empty input", FormatsSupported);
  if (got == 2 && magic[0] == 'B' && magic[1] == 'M') return ReadBmp(source, options, image, error);
  if (got == 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '7') {
    return ReadPnm(source, static_cast<char>(magic[1]), options, image, error);
  }
  constexpr std::uint8_t PngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  const std::size_t total = got == 2 ? 2 + ReadBytes(source, magic + 2, 6) : got;
  if (total == 8 && std::memcmp(magic, PngSignature, 8) == 0) {
#ifdef DIBJPEG_HAVE_PNG
    return ReadPng(source, options, image, error);
#else
    return Refuse(error, "PNG, which this build cannot read (built without libpng)", "BMP, PNM (P1 to P6), PAM (P7)");
#endif
  }
  const std::span<const std::uint8_t> first(magic, total);
  if (total >= 4 && (std::memcmp(magic, "II*\0", 4) == 0 || std::memcmp(magic, "MM\0*", 4) == 0 ||
                     std::memcmp(magic, "II+\0", 4) == 0 || std::memcmp(magic, "MM\0+", 4) == 0)) {
#ifdef DIBJPEG_HAVE_TIFF
    return ReadTiff(source, first, options, image, error);
#else
    return Refuse(error, "TIFF, which this build cannot read (built without libtiff)", FormatsSupported);
#endif
  }
  if (total >= 3 && magic[0] == 0xFF && magic[1] == 0xD8 && magic[2] == 0xFF) {
#ifdef DIBJPEG_HAVE_JPEG
    return ReadJpeg(source, first, options, image, error);
#else
    return Refuse(error, "JPEG, which this build cannot read (built without libjpeg)", FormatsSupported);
#endif
  }
  std::uint8_t head[18];  // the most any check below looks at: a TGA header
  std::memcpy(head, magic, total);
  const std::size_t headSize = total + (total == 8 ? ReadBytes(source, head + 8, sizeof head - 8) : 0);
  if (headSize >= 6 && (std::memcmp(head, "GIF87a", 6) == 0 || std::memcmp(head, "GIF89a", 6) == 0)) {
#ifdef DIBJPEG_HAVE_GIF
    return ReadGif(source, head, headSize, options, image, error);
#else
    return Refuse(error, "GIF, which this build cannot read (built without giflib)",
                  "the formats whose libraries this build has");
#endif
  }
  if (headSize >= 12 && std::memcmp(head, "RIFF", 4) == 0 && std::memcmp(head + 8, "WEBP", 4) == 0) {
#ifdef DIBJPEG_HAVE_WEBP
    return ReadWebp(source, head, headSize, options, image, error);
#else
    return Refuse(error, "WebP, which this build cannot read (built without libwebp)",
                  "the formats whose libraries this build has");
#endif
  }
  if (const char* name = KnownFormatName(head, headSize)) return Refuse(error, name, FormatsSupported);
  if (LooksLikeTga(head, headSize)) return ReadTga(source, head, options, image, error);
  std::string start;
  for (std::size_t i = 0; i < total && i < 4; ++i) {
    char text[4];
    std::snprintf(text, sizeof text, "%s%02X", i ? " " : "", magic[i]);
    start += text;
  }
  return Refuse(error, "unrecognised input starting with bytes " + start, FormatsSupported);
}

}  // namespace

bool ReadImage(Source* source, const ReadOptions& options, Image* image, std::string* error) {
  if (!ReadAnyFormat(source, options, image, error)) return false;
  // Readers of multi-image formats read the page asked for, and refuse one
  // past their last; the others hold one image.
  if (options.page > image->pageCount) {
    *error = image->format + " holding " + Num(image->pageCount) + (image->pageCount == 1 ? " image" : " images") +
             ": there is no page " + Num(options.page);
    *image = Image{};
    return false;
  }
  if (image->pixels == nullptr) {  // a reader's fault, never an image to encode
    *error = "unreadable " + image->format + ": no image was read from it";
    *image = Image{};
    return false;
  }
  return true;
}

}  // namespace dibjpeg::cli
