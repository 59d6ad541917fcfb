// Helpers shared by the tests: parameter blocks, synthetic images, the
// reference decoder (libjpeg-turbo, used as a black box) and hex printing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dibjpeg/dibjpeg.h"

namespace dibjpeg::test {

using Bytes = std::vector<std::uint8_t>;

// "have 01 02, want 01 03" style hex.
std::string Hex(const std::uint8_t* data, std::size_t size);
inline std::string Hex(const Bytes& b) { return Hex(b.data(), b.size()); }

// Bytes per DIB row.
std::uint32_t RowStride(std::uint32_t width, int bitCount);

// A top-down RGB image, 3 bytes per pixel, the test's ground truth.
struct RgbImage {
  int width = 0;
  int height = 0;
  Bytes rgb;
  const std::uint8_t* At(int x, int y) const { return &rgb[3 * (std::size_t(y) * width + x)]; }
};

// Content that exposes orientation, channel and edge mistakes: a distinct
// colour block in each corner over gradients running in both directions.
RgbImage MakeTestImage(int width, int height);

// Lays an image out as a bottom-up DIB in the given format. 8-bit takes the
// red channel as gray; 16-bit keeps the top 5 bits of each channel.
Bytes ToDib(const RgbImage& image, int bitCount, bool blueFirst);

// What the DIB really holds, as top-down RGB (16-bit: channels x 8; 8-bit:
// gray in all three channels), for comparing decoded output.
RgbImage FromDib(const Bytes& dib, int width, int height, int bitCount, bool blueFirst);

struct EncodeResult {
  std::uint16_t status = 0;
  std::uint32_t dstSize = 0;
  Bytes bytes;  // the whole buffer in encode mode
};

// Runs Jpeg_EncodeStart over a buffer of `capacity` bytes (mode 1) or
// measures (mode 0).
EncodeResult Encode(const Bytes& src, std::uint32_t width, std::uint32_t height, int bitCount, int quality,
                    int sampling, int channelOrder, std::int32_t mode, std::uint32_t capacity);

// Decodes with libjpeg-turbo; false (with the message) on any error or warning.
// This and Psnr live in reference_decoder.cpp, which cross builds leave out.
struct Decoded {
  int width = 0;
  int height = 0;
  int components = 0;
  Bytes pixels;  // top-down, `components` bytes per pixel
  int densityUnit = 0;  // from the JFIF header: 0 aspect ratio, 1 dpi, 2 dots per cm
  int xDensity = 0;
  int yDensity = 0;
  Bytes iccProfile;  // reassembled from the APP2 ICC_PROFILE segments; empty when none
};
bool DecodeJpeg(const Bytes& jpeg, Decoded* out, std::string* error);

// PSNR in dB of the decoded image against the reference (over RGB, or over
// gray when the decoded image has one component).
double Psnr(const Decoded& decoded, const RgbImage& reference);

}  // namespace dibjpeg::test
