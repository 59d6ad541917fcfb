// MCU assemblers: subsample the chroma planes by truncating means and lay the
// MCU's 8x8 blocks out back to back, Y blocks first, then Cb, then Cr, in the
// order the scan driver codes them. They cannot fail. With AVX2 the readers
// run them only for the MCUs at the right and bottom edges: whole MCUs go
// straight into their blocks (pixels_avx2.cpp).
#include <cstring>

#include "pixels/pixels.h"

namespace dibjpeg {
namespace {

// Copies an 8x8 block out of a plane whose rows are `stride` samples apart.
void CopyBlock(std::uint8_t* block, const std::uint8_t* plane, int stride) {
  for (int r = 0; r < 8; ++r) std::memcpy(block + 8 * r, plane + stride * r, 8);
}

// 16x16 plane to 8x8: mean of each 2x2 neighbourhood, truncated.
void Average2x2(std::uint8_t* block, const std::uint8_t* plane) {
  for (int r = 0; r < 8; ++r) {
    const std::uint8_t* top = plane + 32 * r;
    const std::uint8_t* bottom = top + 16;
    for (int c = 0; c < 8; ++c) {
      block[8 * r + c] = static_cast<std::uint8_t>((top[2 * c] + top[2 * c + 1] + bottom[2 * c] + bottom[2 * c + 1]) >> 2);
    }
  }
}

// 16x8 plane to 8x8: mean of each horizontal pair, truncated.
void Average2x1(std::uint8_t* block, const std::uint8_t* plane) {
  for (int r = 0; r < 8; ++r) {
    const std::uint8_t* row = plane + 16 * r;
    for (int c = 0; c < 8; ++c) block[8 * r + c] = static_cast<std::uint8_t>((row[2 * c] + row[2 * c + 1]) >> 1);
  }
}

}  // namespace

// Blocks: Y top left, top right, bottom left, bottom right, Cb, Cr.
void AssembleMcu420(std::uint8_t* mcuBuffer, const std::uint8_t* planeY, const std::uint8_t* planeCb,
                    const std::uint8_t* planeCr) {
  for (int b = 0; b < 4; ++b) CopyBlock(mcuBuffer + 64 * b, planeY + 128 * (b / 2) + 8 * (b % 2), 16);
  Average2x2(mcuBuffer + 256, planeCb);
  Average2x2(mcuBuffer + 320, planeCr);
}

// Blocks: Y left, Y right, Cb, Cr.
void AssembleMcu422(std::uint8_t* mcuBuffer, const std::uint8_t* planeY, const std::uint8_t* planeCb,
                    const std::uint8_t* planeCr) {
  CopyBlock(mcuBuffer, planeY, 16);
  CopyBlock(mcuBuffer + 64, planeY + 8, 16);
  Average2x1(mcuBuffer + 128, planeCb);
  Average2x1(mcuBuffer + 192, planeCr);
}

// Blocks: Y, Cb, Cr, plain copies of the planes.
void AssembleMcu444(std::uint8_t* mcuBuffer, const std::uint8_t* planeY, const std::uint8_t* planeCb,
                    const std::uint8_t* planeCr) {
  std::memcpy(mcuBuffer, planeY, 64);
  std::memcpy(mcuBuffer + 64, planeCb, 64);
  std::memcpy(mcuBuffer + 128, planeCr, 64);
}

}  // namespace dibjpeg
