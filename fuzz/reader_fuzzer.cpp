// libFuzzer target over the command-line program's image readers (BMP with
// its run-length forms, PNM and PAM, PNG through libpng, GIF through giflib,
// WebP through libwebp, TGA), read from memory as from a file or a pipe. Every accepted image must be laid out as the encoder
// reads it; every refusal must be one line.
//
// Input layout:
//   0    flags: 1 composite alpha on white, 2 length unknown (a pipe),
//        4 repair the PNG chunk checksums first, 8 read page 2 (a GIF or
//        WebP frame)
//   1..  the file
//
// With flag 4 each complete PNG chunk gets the CRC of its type and data, so
// that mutations reach the code behind libpng's checksum test.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "input/read_image.h"

namespace {

constexpr std::uint64_t MaxPixels = 1 << 20;  // keeps one run in the millisecond range

std::uint32_t Be32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// PNG: the 8-byte signature, then chunks of length (4), type (4), data and
// the CRC (4) of type and data.
void RepairPngCrcs(std::vector<std::uint8_t>* file) {
  constexpr std::uint8_t Signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (file->size() < 8 || std::memcmp(file->data(), Signature, 8) != 0) return;
  std::uint8_t* p = file->data();
  for (std::size_t at = 8; file->size() - at >= 12;) {
    const std::uint32_t length = Be32(p + at);
    if (length > file->size() - at - 12) return;
    const std::uint32_t crc = static_cast<std::uint32_t>(crc32(crc32(0, nullptr, 0), p + at + 4, length + 4));
    for (int i = 0; i < 4; ++i) p[at + 8 + length + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    at += 12 + std::size_t(length);
  }
}

[[noreturn]] void Fail(const char* what, const dibjpeg::cli::Image& image) {
  std::fprintf(stderr, "FAILED: %s\n  %s %u x %u, %u bits, %llu bytes\n", what, image.format.c_str(), image.width,
               image.height, image.bitCount, static_cast<unsigned long long>(image.size));
  std::abort();
}

// The pixels as the encoder reads them: sides within JPEG's and the limit,
// one of its four layouts, rows padded to 4 bytes, every byte there.
void CheckImage(const dibjpeg::cli::Image& image) {
  if (image.pixels == nullptr) Fail("no pixels", image);
  if (image.width == 0 || image.height == 0 || image.width > 65535 || image.height > 65535) Fail("sides", image);
  if (std::uint64_t(image.width) * image.height > MaxPixels) Fail("over the pixel limit", image);
  if (image.bitCount != 8 && image.bitCount != 16 && image.bitCount != 24 && image.bitCount != 32) {
    Fail("bit count", image);
  }
  if (image.size != dibjpeg::cli::DibRowStride(image.width, image.bitCount) * image.height) Fail("size", image);
  // A copy reads every byte, which AddressSanitizer checks.
  const std::vector<std::uint8_t> copy(image.pixels.get(), image.pixels.get() + image.size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = data[0];
  std::vector<std::uint8_t> file(data + 1, data + size);
  if (flags & 4) RepairPngCrcs(&file);

  dibjpeg::cli::Source source;
  source.file = fmemopen(file.data(), file.size(), "rb");
  if (source.file == nullptr) return 0;
  source.size = flags & 2 ? UINT64_MAX : file.size();
  source.maxPixels = MaxPixels;
  dibjpeg::cli::ReadOptions options;
  options.whiteBackground = (flags & 1) != 0;
  options.page = flags & 8 ? 2 : 1;
  dibjpeg::cli::Image image;
  std::string error;
  const bool read = dibjpeg::cli::ReadImage(&source, options, &image, &error);
  std::fclose(source.file);
  if (!read) {
    if (error.empty() || error.find('\n') != std::string::npos) Fail("a refusal that is not one line", image);
    return 0;
  }
  CheckImage(image);
  dibjpeg::cli::ConvertToGray(&image);
  if (image.bitCount != 8) Fail("gray conversion", image);
  CheckImage(image);
  return 0;
}
