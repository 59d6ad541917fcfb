// AVX2 kernels of the colour readers. Each gives exactly the samples of the
// portable reader and assembler it stands in for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dibjpeg {

#if defined(DIBJPEG_HAVE_AVX2)
// The MCU shapes, one per assembler: 16x16 with 2x2 chroma means, 16x8 with
// horizontal pair means, 8x8 with full-resolution chroma.
enum class McuLayout { Sampling420, Sampling422, Sampling444 };

// Converts one MCU that lies wholly inside the image and writes its blocks
// to mcuBuffer exactly as the layout's assembler lays them out from the
// planes; full-resolution chroma never goes to memory. The MCU's top row
// starts `top` bytes into `source`; each next one starts rowStride bytes
// lower in memory (one image row down). Reads exactly 16 or 8 pixels of each
// row, all within the `size` bytes at `source`; positions are offsets, so no
// pointer outside them is formed. Returns 1, a reader's success, so that a
// reader can hand the call on.
using ConvertMcuFn = int (*)(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                             McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuRgb16Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuBgr16Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuRgb24Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuBgr24Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuRgb32Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuBgr32Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                        McuLayout layout, std::uint8_t* mcuBuffer);
#endif

#if defined(DIBJPEG_HAVE_AVX512)
// The same with the AVX-512 set, for 24- and 32-bit pixels; 16-bit ones
// take the AVX2 kernel.
int ConvertMcuRgb24Avx512(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuBgr24Avx512(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuRgb32Avx512(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          McuLayout layout, std::uint8_t* mcuBuffer);
int ConvertMcuBgr32Avx512(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          McuLayout layout, std::uint8_t* mcuBuffer);
#endif

}  // namespace dibjpeg
