// AVX2 kernels of the pixel readers and assemblers. Each gives exactly the
// samples of the portable code it stands in for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dibjpeg {

#if defined(DIBJPEG_HAVE_AVX2)
// Converts `rows` rows of `count` (8 or 16) pixels to Y, Cb and Cr planes
// whose rows are `count` samples apart; `rows` is even when `count` is 8.
// The first row starts `top` bytes into `source`; each next one starts
// rowStride bytes lower in memory (one image row down). Reads exactly
// count x bytes-per-pixel bytes of each row, all within the `size` bytes at
// `source`; positions are offsets, so no pointer outside them is formed.
using ConvertRowsFn = void (*)(const std::uint8_t* source, std::size_t size, std::size_t top,
                               std::uint32_t rowStride, int rows, int count, std::uint8_t* y, std::uint8_t* cb,
                               std::uint8_t* cr);
void ConvertRowsRgb16Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowsBgr16Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowsRgb24Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowsBgr24Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowsRgb32Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowsBgr32Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);

// Truncating means of a 16x16 plane's 2x2 neighbourhoods, and of a 16x8
// plane's horizontal pairs, into one 8x8 block.
void Average2x2Avx2(std::uint8_t* block, const std::uint8_t* plane);
void Average2x1Avx2(std::uint8_t* block, const std::uint8_t* plane);
#endif

}  // namespace dibjpeg
