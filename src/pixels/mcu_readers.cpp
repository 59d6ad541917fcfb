// MCU readers: deliver the MCU with index mcusDone from the bottom-up bitmap
// rows, repeating the last column and row past the right and bottom edges.
// The gray reader fills the one block itself; the colour readers convert to
// full-resolution Y, Cb and Cr planes and hand them to the assembler, except
// that with AVX2 an MCU wholly inside the image goes straight into its blocks.
// A cursor in the state follows the scan from MCU to MCU, so that no reader
// divides to find the next one.
//
// Every offset is computed in 64 bits: a row span that does not lie within
// the source's size (and so within 32 bits) is never read.
#include <algorithm>
#include <cstring>

#include "common/cpu_features.h"
#include "common/platform.h"
#include "common/status.h"
#include "pixels/pixel_kernels.h"
#include "pixels/pixels.h"

namespace dibjpeg {
namespace {

// Where one MCU sits in the image.
struct McuPlace {
  std::uint32_t x0;
  std::uint32_t rowsLeft;   // image rows at or below the MCU's top row
  std::uint32_t columnsIn;  // MCU columns inside the image
};

// Moves the cursor to MCU mcusDone, by dividing.
void PlaceCursor(EncoderState* state) {
  McuCursor* cursor = &state->readerCursor;
  const std::uint32_t row = state->mcusDone / state->mcusPerRow;
  const std::uint64_t y0 = std::uint64_t{row} * state->mcuHeight;
  cursor->placed = true;
  cursor->index = state->mcusDone;
  cursor->column = state->mcusDone % state->mcusPerRow;
  cursor->x0 = cursor->column * state->mcuWidth;
  cursor->rowsLeft = y0 < state->height ? static_cast<std::uint32_t>(state->height - y0) : 0;
}

// MCUs are read in raster order, so the cursor usually stands at the MCU
// asked for already.
bool CursorAtMcu(const EncoderState* state) {
  return state->readerCursor.placed && state->readerCursor.index == state->mcusDone;
}

// Places the cursor, then reads: out of line, since it is needed only where
// a scan starts or a reader is asked out of order, and the readers' own
// paths stay short.
template <int (*Read)(EncoderState*, std::uint8_t*)>
DIBJPEG_NOINLINE int PlaceCursorAndRead(EncoderState* state, std::uint8_t* mcuBuffer) {
  if (state->mcusPerRow == 0) return 0;
  PlaceCursor(state);
  return Read(state, mcuBuffer);
}

// Takes the MCU at the cursor and steps the cursor on to the next one.
// False when the MCU holds no image pixel.
bool StepCursor(EncoderState* state, McuPlace* place) {
  McuCursor* cursor = &state->readerCursor;
  const std::uint32_t x0 = cursor->x0, rowsLeft = cursor->rowsLeft;
  ++cursor->index;
  if (++cursor->column < state->mcusPerRow) {
    cursor->x0 = x0 + state->mcuWidth;
  } else {
    cursor->column = 0;
    cursor->x0 = 0;
    cursor->rowsLeft = rowsLeft > state->mcuHeight ? rowsLeft - state->mcuHeight : 0;
  }
  if (x0 >= state->width || rowsLeft == 0) return false;
  place->x0 = x0;
  place->rowsLeft = rowsLeft;
  place->columnsIn = state->width - x0 < state->mcuWidth ? state->width - x0 : state->mcuWidth;
  return true;
}

// Source offset of the MCU's top-left pixel: its top row is stored
// rowsLeft - 1 rows above the bottom row.
std::uint64_t FirstRowStart(const EncoderState* state, McuPlace place, int bytesPerPixel) {
  return state->pixelBase + std::uint64_t{place.rowsLeft - 1} * state->rowStride +
         std::uint64_t{place.x0} * bytesPerPixel;
}

// Pixel formats of the colour readers: bytes per pixel and where R, G, B are.
struct Rgb {
  int r, g, b;
};
template <bool BlueFirst>
struct Word555 {
  static constexpr int Bytes = 2;
#if defined(DIBJPEG_HAVE_AVX2)
  static constexpr ConvertMcuFn Avx2Mcu = BlueFirst ? ConvertMcuBgr16Avx2 : ConvertMcuRgb16Avx2;
#endif
#if defined(DIBJPEG_HAVE_AVX512)
  static constexpr ConvertMcuFn Avx512Mcu = Avx2Mcu;
#endif
  static Rgb Fetch(const std::uint8_t* p) {
    // The bitmap's words are little-endian on every processor: built from
    // their bytes, never loaded as a 16-bit value.
    const unsigned v = p[0] | p[1] << 8;
    const int f0 = (v & 0x1F) << 3, f1 = (v >> 5 & 0x1F) << 3, f2 = (v >> 10 & 0x1F) << 3;
    return BlueFirst ? Rgb{f2, f1, f0} : Rgb{f0, f1, f2};
  }
};
template <int BytesPerPixel, bool BlueFirst>
struct Bytes888 {
  static constexpr int Bytes = BytesPerPixel;
#if defined(DIBJPEG_HAVE_AVX2)
  static constexpr ConvertMcuFn Avx2Mcu = BytesPerPixel == 3
                                               ? (BlueFirst ? ConvertMcuBgr24Avx2 : ConvertMcuRgb24Avx2)
                                               : (BlueFirst ? ConvertMcuBgr32Avx2 : ConvertMcuRgb32Avx2);
#endif
#if defined(DIBJPEG_HAVE_AVX512)
  static constexpr ConvertMcuFn Avx512Mcu = BytesPerPixel == 3
                                                 ? (BlueFirst ? ConvertMcuBgr24Avx512 : ConvertMcuRgb24Avx512)
                                                 : (BlueFirst ? ConvertMcuBgr32Avx512 : ConvertMcuRgb32Avx512);
#endif
  static Rgb Fetch(const std::uint8_t* p) { return BlueFirst ? Rgb{p[2], p[1], p[0]} : Rgb{p[0], p[1], p[2]}; }
};

#if defined(DIBJPEG_HAVE_AVX2)
// The kernels stand in for the library's own assemblers, at their MCU sizes;
// any other assembler gets the planes.
bool FusedLayout(const EncoderState* state, McuLayout* layout) {
  const int w = state->mcuWidth, h = state->mcuHeight;
  if (state->assembleMcu == AssembleMcu420 && w == 16 && h == 16) {
    *layout = McuLayout::Sampling420;
  } else if (state->assembleMcu == AssembleMcu422 && w == 16 && h == 8) {
    *layout = McuLayout::Sampling422;
  } else if (state->assembleMcu == AssembleMcu444 && w == 8 && h == 8) {
    *layout = McuLayout::Sampling444;
  } else {
    return false;
  }
  return true;
}

// True when the AVX2 kernel takes the MCU: its rows lie within the source
// (the top row ends highest in memory, so when it fits, every row fits),
// the assembler is one of the library's own, and the processor has AVX2.
bool KernelTakesMcu(const EncoderState* state, std::uint64_t topRowEnd, McuLayout* layout) {
  return topRowEnd <= state->source->size && FusedLayout(state, layout) && CpuHasAvx2();
}

// The fused kernel for the processor: the AVX-512 one where it has that set.
template <typename Format>
ConvertMcuFn FusedKernel() {
#if defined(DIBJPEG_HAVE_AVX512)
  if (CpuHasAvx512()) return Format::Avx512Mcu;
#endif
  return Format::Avx2Mcu;
}

// An MCU across the right or bottom edge of the image through the AVX2
// kernel: its pixels, with the last column and row repeated, are gathered
// into a tile laid out like a whole MCU of the bitmap (bottom-up rows, one
// MCU row apart). The same pixels give the same samples, as in
// ReadMcuPlanes, and the stream is left where ReadMcuPlanes leaves it.
template <typename Format>
int ReadEdgeMcuAvx2(EncoderState* state, McuPlace place, std::uint64_t top, McuLayout layout,
                    std::uint8_t* mcuBuffer) {
  const std::uint32_t height = state->mcuHeight;
  const std::uint32_t stride = state->mcuWidth * Format::Bytes;
  const std::uint32_t rowsIn = std::min<std::uint32_t>(place.rowsLeft, height);
  const std::uint32_t bytesIn = place.columnsIn * Format::Bytes;
  const std::uint8_t* source = state->source->data;
  std::uint8_t tile[16 * 16 * 4];
  for (std::uint32_t r = 0; r < height; ++r) {
    std::uint8_t* row = tile + (height - 1 - r) * stride;
    std::memcpy(row, source + top - std::uint64_t{std::min(r, rowsIn - 1)} * state->rowStride, bytesIn);
    for (std::uint32_t k = bytesIn; k < stride; k += Format::Bytes) {
      std::memcpy(row + k, row + bytesIn - Format::Bytes, Format::Bytes);
    }
  }
  state->source->pos = static_cast<std::uint32_t>(top - std::uint64_t{rowsIn - 1} * state->rowStride + bytesIn);
  return FusedKernel<Format>()(tile, std::size_t{height} * stride, std::size_t{height - 1} * stride, stride, layout,
                               mcuBuffer);
}
#endif

// N pixels to Y, Cb and Cr. Nothing overlaps (__restrict), so the compiler
// turns the loop into vector code where the processor has some.
template <int N>
void ConvertPixels(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b, std::uint8_t* __restrict y,
                   std::uint8_t* __restrict cb, std::uint8_t* __restrict cr) {
  for (int k = 0; k < N; ++k) {
    const YCbCr v = ConvertToYCbCr(r[k], g[k], b[k]);
    y[k] = v.y;
    cb[k] = v.cb;
    cr[k] = v.cr;
  }
}

// Any MCU: full-resolution planes, then the assembler. Rows below the image
// repeat its last row and columns right of it its last column, taken again
// from the source: the same pixels give the same samples. 64 samples at a
// time (4 rows of 16 or 8 rows of 8): their channels, then one run of
// conversions.
template <typename Format>
DIBJPEG_NOINLINE int ReadMcuPlanes(EncoderState* state, McuPlace place, std::uint8_t* mcuBuffer) {
  ByteStream* source = state->source;
  const int width = state->mcuWidth;
  const int columnsIn = static_cast<int>(place.columnsIn);
  const std::uint64_t lastRow = std::min<std::uint64_t>(place.rowsLeft, state->mcuHeight) - 1;
  const std::uint64_t top = FirstRowStart(state, place, Format::Bytes);
  std::uint8_t planeY[256], planeCb[256], planeCr[256];
  for (int first = 0; first < width * state->mcuHeight; first += 64) {
    std::uint8_t r[64], g[64], b[64];
    for (int at = 0; at < 64; at += width) {
      const std::uint64_t rowStart = top - std::min<std::uint64_t>((first + at) / width, lastRow) * state->rowStride;
      const std::uint64_t rowEnd = rowStart + std::uint64_t{place.columnsIn} * Format::Bytes;
      source->pos = static_cast<std::uint32_t>(rowEnd);
      if (rowEnd > source->size) return FailWith(StatusOverrun);
      const std::uint8_t* pixel = source->data + rowStart;
      for (int k = at; k < at + columnsIn; ++k, pixel += Format::Bytes) {
        const Rgb rgb = Format::Fetch(pixel);
        r[k] = static_cast<std::uint8_t>(rgb.r);
        g[k] = static_cast<std::uint8_t>(rgb.g);
        b[k] = static_cast<std::uint8_t>(rgb.b);
      }
      for (int k = at + columnsIn; k < at + width; ++k) r[k] = r[k - 1], g[k] = g[k - 1], b[k] = b[k - 1];
    }
    ConvertPixels<64>(r, g, b, planeY + first, planeCb + first, planeCr + first);
  }
  state->assembleMcu(mcuBuffer, planeY, planeCb, planeCr);
  return 1;
}

// The MCU at the cursor.
template <typename Format>
int ReadColourAtCursor(EncoderState* state, std::uint8_t* mcuBuffer) {
  McuPlace place;
  if (!StepCursor(state, &place)) return 0;
#if defined(DIBJPEG_HAVE_AVX2)
  // A whole MCU goes straight into its blocks, an MCU on the edge through a tile.
  const std::uint64_t top = FirstRowStart(state, place, Format::Bytes);
  const std::uint64_t topRowEnd = top + std::uint64_t{place.columnsIn} * Format::Bytes;
  McuLayout layout;
  if (KernelTakesMcu(state, topRowEnd, &layout)) {
    if (place.columnsIn < state->mcuWidth || place.rowsLeft < state->mcuHeight) {
      return ReadEdgeMcuAvx2<Format>(state, place, top, layout, mcuBuffer);
    }
    ByteStream* source = state->source;
    source->pos = static_cast<std::uint32_t>(topRowEnd - std::uint64_t{state->rowStride} * (state->mcuHeight - 1));
    return FusedKernel<Format>()(source->data, source->size, top, state->rowStride, layout, mcuBuffer);
  }
#endif
  return ReadMcuPlanes<Format>(state, place, mcuBuffer);
}

template <typename Format>
int ReadMcuColour(EncoderState* state, std::uint8_t* mcuBuffer) {
  if (!CursorAtMcu(state)) return PlaceCursorAndRead<ReadColourAtCursor<Format>>(state, mcuBuffer);
  return ReadColourAtCursor<Format>(state, mcuBuffer);
}

// Any gray MCU, row by row through the stream's checks, the edges repeated.
// Out of line, so that the whole-block path stays short.
DIBJPEG_NOINLINE int ReadGrayRows(EncoderState* state, McuPlace place, std::uint64_t rowStart,
                                  std::uint8_t* mcuBuffer) {
  ByteStream* source = state->source;
  const int columnsIn = static_cast<int>(place.columnsIn);
  for (int i = 0; i < 8; ++i) {
    std::uint8_t* row = mcuBuffer + 8 * i;
    if (static_cast<std::uint64_t>(i) >= place.rowsLeft) {
      std::memcpy(row, row - 8, 8);
      continue;
    }
    if (rowStart >= source->size) return 0;  // no status bit of its own
    source->pos = static_cast<std::uint32_t>(rowStart);
    if (source->size - source->pos >= static_cast<std::uint32_t>(columnsIn)) {
      // The whole row is present: take it at once, as ReadByte would byte by byte.
      if (columnsIn == 8) {
        std::memcpy(row, source->data + source->pos, 8);
      } else {
        std::memcpy(row, source->data + source->pos, columnsIn);
      }
      source->pos += columnsIn;
      source->bitCount = 0;
    } else {
      // The row runs past the end: store what is there, then ReadByte records the overrun.
      for (int j = 0; j < columnsIn; ++j) {
        if (!source->ops.ReadByte(source, &row[j])) return 0;
      }
    }
    if (columnsIn < 8) std::memset(row + columnsIn, row[columnsIn - 1], 8 - columnsIn);
    rowStart -= state->rowStride;
  }
  return 1;
}

// The gray MCU at the cursor.
int ReadGrayAtCursor(EncoderState* state, std::uint8_t* mcuBuffer) {
  McuPlace place;
  if (!StepCursor(state, &place)) return 0;
  ByteStream* source = state->source;
  const std::uint64_t top = FirstRowStart(state, place, 1);
  if (place.columnsIn == 8 && place.rowsLeft >= 8 && top + 8 <= source->size) {
    // A whole block: the top row ends highest in memory, so when it is
    // present, every row is. The stream is left as ReadByte would leave it.
    const std::uint8_t* row = source->data + top;
    const std::uint32_t stride = state->rowStride;
    for (int i = 0; i < 8; ++i) std::memcpy(mcuBuffer + 8 * i, row - std::uint64_t{stride} * i, 8);
    source->pos = static_cast<std::uint32_t>(top - std::uint64_t{stride} * 7 + 8);
    source->bitCount = 0;
    return 1;
  }
  return ReadGrayRows(state, place, top, mcuBuffer);
}

}  // namespace

// Fixed weights, sums 256 / 128 / 128; >> rounds down. Written in 16-bit
// arithmetic, which vector units do eight or more lanes at a time: with
// 32768 + 128 added, the Cb and Cr sums stay within 256..65536 and their
// bits 8 and up are the result with its 128 already added, 1..256. Only
// 65536 wraps, to 0, and that is the one sum (pure blue for Cb, pure red for
// Cr) whose 256 is clamped to 255. Y's sum stays within 128..65408.
YCbCr ConvertToYCbCr(int r, int g, int b) {
  const auto y = static_cast<std::uint16_t>(77 * r + 150 * g + 29 * b + 128);
  const auto cb = static_cast<std::uint16_t>(32896 + 128 * b - 43 * r - 85 * g);
  const auto cr = static_cast<std::uint16_t>(32896 + 128 * r - 107 * g - 21 * b);
  return YCbCr{static_cast<std::uint8_t>(y >> 8), static_cast<std::uint8_t>(cb == 0 ? 255 : cb >> 8),
               static_cast<std::uint8_t>(cr == 0 ? 255 : cr >> 8)};
}

int ReadMcuGray8(EncoderState* state, std::uint8_t* mcuBuffer) {
  if (state->mcuWidth != 8 || state->mcuHeight != 8) return 0;
  if (!CursorAtMcu(state)) return PlaceCursorAndRead<ReadGrayAtCursor>(state, mcuBuffer);
  return ReadGrayAtCursor(state, mcuBuffer);
}

int ReadMcuRgb16(EncoderState* state, std::uint8_t* mcuBuffer) { return ReadMcuColour<Word555<false>>(state, mcuBuffer); }
int ReadMcuBgr16(EncoderState* state, std::uint8_t* mcuBuffer) { return ReadMcuColour<Word555<true>>(state, mcuBuffer); }
int ReadMcuRgb24(EncoderState* state, std::uint8_t* mcuBuffer) { return ReadMcuColour<Bytes888<3, false>>(state, mcuBuffer); }
int ReadMcuBgr24(EncoderState* state, std::uint8_t* mcuBuffer) { return ReadMcuColour<Bytes888<3, true>>(state, mcuBuffer); }
int ReadMcuRgb32(EncoderState* state, std::uint8_t* mcuBuffer) { return ReadMcuColour<Bytes888<4, false>>(state, mcuBuffer); }
int ReadMcuBgr32(EncoderState* state, std::uint8_t* mcuBuffer) { return ReadMcuColour<Bytes888<4, true>>(state, mcuBuffer); }

}  // namespace dibjpeg
