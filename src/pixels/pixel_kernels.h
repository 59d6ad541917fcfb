// AVX2 kernels of the pixel readers and assemblers. Each gives exactly the
// samples of the portable code it stands in for.
#pragma once

#include <cstdint>

namespace dibjpeg {

#if defined(DIBJPEG_HAVE_AVX2)
// Converts `count` (8 or 16) pixels of one row to Y, Cb and Cr samples,
// reading exactly count x bytes-per-pixel bytes.
using ConvertRowFn = void (*)(const std::uint8_t* pixels, int count, std::uint8_t* y, std::uint8_t* cb,
                              std::uint8_t* cr);
void ConvertRowRgb16Avx2(const std::uint8_t* pixels, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowBgr16Avx2(const std::uint8_t* pixels, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowRgb24Avx2(const std::uint8_t* pixels, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowBgr24Avx2(const std::uint8_t* pixels, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowRgb32Avx2(const std::uint8_t* pixels, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);
void ConvertRowBgr32Avx2(const std::uint8_t* pixels, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr);

// Truncating means of a 16x16 plane's 2x2 neighbourhoods, and of a 16x8
// plane's horizontal pairs, into one 8x8 block.
void Average2x2Avx2(std::uint8_t* block, const std::uint8_t* plane);
void Average2x1Avx2(std::uint8_t* block, const std::uint8_t* plane);
#endif

}  // namespace dibjpeg
