// AVX2 colour conversion and chroma averaging. The conversion works on 16
// unsigned 16-bit lanes: Y's weighted sum stays below 65536, and Cb and Cr
// are offset by 32768 so that they never go negative; the only sum that
// would reach 65536 (a pure blue or red, clamped to 255 anyway) saturates.
#include <immintrin.h>

#include <algorithm>

#include "pixels/pixel_kernels.h"

namespace dibjpeg {
namespace {

using V = __m256i;

constexpr std::size_t PrefetchDistance = 256;  // bytes ahead along each row

struct Channels {
  V r, g, b;  // 16 lanes of 0..255
};

// Byte `c` of each of 8 pixels as eight 16-bit lanes: `head` holds the
// first 16 bytes of the pixels, `tail` the rest; shuffle entries of -1 give
// the zero high bytes.
__m256i Gather(__m256i head, __m256i tail, const signed char (&fromHead)[16], const signed char (&fromTail)[16]) {
  const __m256i h = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(fromHead)));
  const __m256i t = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(fromTail)));
  return _mm256_or_si256(_mm256_shuffle_epi8(head, h), _mm256_shuffle_epi8(tail, t));
}

// Two 16-byte pieces as the two halves of a vector: `low` then `high`.
__m256i Halves(__m128i low, __m128i high) { return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1); }

__m128i Load16(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
__m128i Load8(const std::uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// Channels of 16 pixels of 3 or 4 bytes: 8 starting at `first` (the low half
// of each vector) and 8 starting at `second` (the next 8 of the same row, or
// 8 of another row). Reads exactly 8 pixels at each.
template <int Bytes, bool BlueFirst>
Channels LoadBytes(const std::uint8_t* first, const std::uint8_t* second) {
  const __m256i head = Halves(Load16(first), Load16(second));
  const __m256i tail = Bytes == 3 ? Halves(Load8(first + 16), Load8(second + 16))
                                  : Halves(Load16(first + 16), Load16(second + 16));
  V c[3];
  if (Bytes == 3) {
    static constexpr signed char First[3][16] = {
      {0, -1, 3, -1, 6, -1, 9, -1, 12, -1, 15, -1, -1, -1, -1, -1},
      {1, -1, 4, -1, 7, -1, 10, -1, 13, -1, -1, -1, -1, -1, -1, -1},
      {2, -1, 5, -1, 8, -1, 11, -1, 14, -1, -1, -1, -1, -1, -1, -1}};
    static constexpr signed char Rest[3][16] = {
      {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, -1, 5, -1},
      {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, -1, 3, -1, 6, -1},
      {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, -1, 4, -1, 7, -1}};
    for (int i = 0; i < 3; ++i) c[i] = Gather(head, tail, First[i], Rest[i]);
  } else {
    static constexpr signed char First[3][16] = {
      {0, -1, 4, -1, 8, -1, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1},
      {1, -1, 5, -1, 9, -1, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1},
      {2, -1, 6, -1, 10, -1, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1}};
    static constexpr signed char Rest[3][16] = {
      {-1, -1, -1, -1, -1, -1, -1, -1, 0, -1, 4, -1, 8, -1, 12, -1},
      {-1, -1, -1, -1, -1, -1, -1, -1, 1, -1, 5, -1, 9, -1, 13, -1},
      {-1, -1, -1, -1, -1, -1, -1, -1, 2, -1, 6, -1, 10, -1, 14, -1}};
    for (int i = 0; i < 3; ++i) c[i] = Gather(head, tail, First[i], Rest[i]);
  }
  return BlueFirst ? Channels{c[2], c[1], c[0]} : Channels{c[0], c[1], c[2]};
}

template <bool BlueFirst>
Channels LoadWords(const std::uint8_t* first, const std::uint8_t* second) {
  const V v = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(first))),
                                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(second)), 1);
  const V mask = _mm256_set1_epi16(0x1F << 3);
  const V f0 = _mm256_and_si256(_mm256_slli_epi16(v, 3), mask);
  const V f1 = _mm256_and_si256(_mm256_srli_epi16(v, 2), mask);
  const V f2 = _mm256_and_si256(_mm256_srli_epi16(v, 7), mask);
  return BlueFirst ? Channels{f2, f1, f0} : Channels{f0, f1, f2};
}

void StoreBytes(V v, std::uint8_t* out) {
  const __m128i packed = _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
}

V Weighted(V a, int wa, V b, int wb) {
  return _mm256_add_epi16(_mm256_mullo_epi16(a, _mm256_set1_epi16(static_cast<short>(wa))),
                          _mm256_mullo_epi16(b, _mm256_set1_epi16(static_cast<short>(wb))));
}

// (offset - weighted pair + main << 7) >> 8, saturating at 65535.
V ChromaOf(V main, V weightedPair) {
  const V base = _mm256_sub_epi16(_mm256_set1_epi16(static_cast<short>(32896)), weightedPair);
  return _mm256_srli_epi16(_mm256_adds_epu16(base, _mm256_slli_epi16(main, 7)), 8);
}

// Converts 16 pixels and stores 16 samples to each plane.
void ConvertStore(const Channels& c, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  const V luma = _mm256_add_epi16(Weighted(c.r, 77, c.g, 150),
                                  _mm256_add_epi16(_mm256_mullo_epi16(c.b, _mm256_set1_epi16(29)), _mm256_set1_epi16(128)));
  StoreBytes(_mm256_srli_epi16(luma, 8), y);
  StoreBytes(ChromaOf(c.b, Weighted(c.r, 43, c.g, 85)), cb);
  StoreBytes(ChromaOf(c.r, Weighted(c.g, 107, c.b, 21)), cr);
}

// 16-pixel rows take one vector each; 8-pixel rows go two to a vector, and
// their plane rows are adjacent, so every store is 16 samples.
template <int Bytes, Channels (*Load)(const std::uint8_t*, const std::uint8_t*)>
void ConvertRows(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride, int rows,
                 int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  const std::size_t last = size - 1;  // the rows are not empty, so size > 0
  const int step = count == 16 ? 1 : 2;
  for (int i = 0; i < rows; i += step) {
    const std::size_t first = top - std::size_t{rowStride} * i;
    const std::size_t second = count == 16 ? first + 8 * Bytes : first - rowStride;
    // The MCUs of one row are read across many image rows at once, more
    // streams than the hardware prefetcher follows: ask for the pixels a few
    // MCUs ahead, or for the source's last byte near its end.
    _mm_prefetch(reinterpret_cast<const char*>(source + std::min(first + PrefetchDistance, last)), _MM_HINT_T0);
    if (count != 16) {
      _mm_prefetch(reinterpret_cast<const char*>(source + std::min(second + PrefetchDistance, last)), _MM_HINT_T0);
    }
    ConvertStore(Load(source + first, source + second), y + i * count, cb + i * count, cr + i * count);
  }
}

}  // namespace

void ConvertRowsRgb16Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  ConvertRows<2, LoadWords<false>>(source, size, top, rowStride, rows, count, y, cb, cr);
}
void ConvertRowsBgr16Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  ConvertRows<2, LoadWords<true>>(source, size, top, rowStride, rows, count, y, cb, cr);
}
void ConvertRowsRgb24Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  ConvertRows<3, LoadBytes<3, false>>(source, size, top, rowStride, rows, count, y, cb, cr);
}
void ConvertRowsBgr24Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  ConvertRows<3, LoadBytes<3, true>>(source, size, top, rowStride, rows, count, y, cb, cr);
}
void ConvertRowsRgb32Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  ConvertRows<4, LoadBytes<4, false>>(source, size, top, rowStride, rows, count, y, cb, cr);
}
void ConvertRowsBgr32Avx2(const std::uint8_t* source, std::size_t size, std::size_t top, std::uint32_t rowStride,
                          int rows, int count, std::uint8_t* y, std::uint8_t* cb, std::uint8_t* cr) {
  ConvertRows<4, LoadBytes<4, true>>(source, size, top, rowStride, rows, count, y, cb, cr);
}

void Average2x2Avx2(std::uint8_t* block, const std::uint8_t* plane) {
  const __m128i ones = _mm_set1_epi8(1);
  for (int r = 0; r < 8; ++r) {
    const __m128i top = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + 32 * r));
    const __m128i bottom = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + 32 * r + 16));
    const __m128i sum = _mm_add_epi16(_mm_maddubs_epi16(top, ones), _mm_maddubs_epi16(bottom, ones));
    const __m128i mean = _mm_srli_epi16(sum, 2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(block + 8 * r), _mm_packus_epi16(mean, mean));
  }
}

void Average2x1Avx2(std::uint8_t* block, const std::uint8_t* plane) {
  const __m128i ones = _mm_set1_epi8(1);
  for (int r = 0; r < 8; ++r) {
    const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(plane + 16 * r));
    const __m128i mean = _mm_srli_epi16(_mm_maddubs_epi16(row, ones), 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(block + 8 * r), _mm_packus_epi16(mean, mean));
  }
}

}  // namespace dibjpeg
