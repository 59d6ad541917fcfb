// Reads the image files the command-line encoder accepts (BMP, binary PGM and
// PPM), recognised by their content, and lays the pixels out as the encoder
// reads them: bottom-up rows, each padded to a multiple of 4 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace dibjpeg::cli {

// One image, ready for Jpeg_EncodeStart.
struct Image {
  std::vector<std::uint8_t> pixels;  // bottom row first, rows padded to 4 bytes
  std::uint32_t width = 0;           // pixels
  std::uint32_t height = 0;          // rows
  std::uint16_t bitCount = 0;        // 8, 16 (5-5-5), 24 or 32
  std::uint8_t channelOrder = 0;     // 1 = blue first, 0 = red first
  std::string format;                // what the file held, e.g. "BMP 16-bit 5-5-5"
};

// Bytes per row of a bottom-up bitmap.
std::uint64_t DibRowStride(std::uint64_t width, unsigned bitCount);

// Parses `file`. On failure returns false and sets *error to one line saying
// what was found and what is supported.
bool ReadImage(const std::vector<std::uint8_t>& file, Image* image, std::string* error);

// Turns a colour image into 8-bit gray with the encoder's own luma weights,
// Y = (77 R + 150 G + 29 B + 128) >> 8. A gray image is left as it is.
void ConvertToGray(Image* image);

}  // namespace dibjpeg::cli
