// The Huffman block coder's bit writer and coefficient loops, shared by the
// portable coder and the AVX2 one, which compiles the same code with BMI1,
// BMI2 and LZCNT instructions. Everything here has internal linkage on purpose,
// and the bit counts use compiler builtins rather than library templates:
// each including file gets its own copy, built with its own instruction set,
// and the linker can never pick the wrong one.
//
// Each symbol is one table entry, its code already shifted past its extra
// bits, with the total length (HuffTable::codeWithExtra). Bits gather in a
// 64-bit accumulator that counts its free bits, so a code with its extra bits
// costs one compare, one shift and one OR; a full accumulator leaves as one
// big-endian 8-byte store when none of its bytes is 0xFF. The writer writes
// straight into the sink when the sink has room for the worst case, and
// into a staging area that is copied after one bound test otherwise, so a
// call that does not fit writes nothing.
#pragma once

#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif
#if defined(__BMI__) || defined(__BMI2__) || defined(__AVX2__)
#include <immintrin.h>
#endif

#include "block/block.h"
#include "common/platform.h"

namespace dibjpeg {

// Bit k of entry [b][v] is set when byte b of a natural-order mask holds v
// and k is the zigzag position of one of its set bits.
struct ZigzagBitTable {
  std::uint64_t bits[8][256];
};
extern const ZigzagBitTable ZigzagBits;

namespace {

// The most one EncodeDcDiff or EncodeAcCoefficients call can produce, for
// any coefficients: 63 codes of up to 16 bits with up to 16 extra bits,
// three ZRL codes and one EOB code, seven pending bits, every byte stuffed.
constexpr std::uint32_t StagingSize = 544;

// This word sits right after the staging area; debug builds check it after
// every call, so a coder that ran past the area would be caught at once.
constexpr std::uint8_t Canary[4] = {0xC5, 0x3A, 0x5C, 0xA3};

// Bit helpers. Builtins on GCC and Clang, so that no out-of-line library
// helper compiled for one instruction set can serve the other.
#if defined(__GNUC__)
// Number of significant bits of v, for v below 2^31: 0 for 0.
DIBJPEG_ALWAYS_INLINE unsigned BitWidth(std::uint32_t v) {
  return 31u - static_cast<unsigned>(__builtin_clz(v << 1 | 1u));
}
// Number of zero bits above the highest set bit; v is not 0.
DIBJPEG_ALWAYS_INLINE unsigned LeadingZeros(std::uint32_t v) { return static_cast<unsigned>(__builtin_clz(v)); }
// Position of the lowest set bit; m is not 0.
#if defined(__BMI__)
DIBJPEG_ALWAYS_INLINE std::size_t LowestBit(std::uint64_t m) { return _tzcnt_u64(m); }  // no sign extension
#else
DIBJPEG_ALWAYS_INLINE std::size_t LowestBit(std::uint64_t m) { return static_cast<std::size_t>(__builtin_ctzll(m)); }
#endif
DIBJPEG_ALWAYS_INLINE std::uint64_t SwapBytes(std::uint64_t v) { return __builtin_bswap64(v); }
#else
unsigned BitWidth(std::uint32_t v) {
  unsigned n = 0;
  for (; v != 0; v >>= 1) ++n;
  return n;
}
unsigned LeadingZeros(std::uint32_t v) { return 32 - BitWidth(v); }
std::size_t LowestBit(std::uint64_t m) {
  unsigned n = 0;
  for (; (m & 1) == 0; m >>= 1) ++n;
  return n;
}
std::uint64_t SwapBytes(std::uint64_t v) {
  std::uint64_t r = 0;
  for (int i = 0; i < 8; ++i, v >>= 8) r = r << 8 | (v & 0xFF);
  return r;
}
#endif

// Stores the eight bytes of w most significant first, on any host.
DIBJPEG_ALWAYS_INLINE void StoreBigEndian64(std::uint8_t* out, std::uint64_t w) {
  if constexpr (std::endian::native == std::endian::little) w = SwapBytes(w);
  std::memcpy(out, &w, 8);
}

// True when one of the eight bytes of w is 0xFF.
DIBJPEG_ALWAYS_INLINE bool HasFFByte(std::uint64_t w) {
  return ((~w - 0x0101010101010101u) & w & 0x8080808080808080u) != 0;
}

// A mask over natural positions as the same mask over zigzag positions.
DIBJPEG_ALWAYS_INLINE std::uint64_t ZigzagOf(std::uint64_t natural) {
  std::uint64_t zigzag = 0;
  for (int b = 0; b < 8; ++b) zigzag |= ZigzagBits.bits[b][(natural >> (8 * b)) & 0xFF];
  return zigzag;
}

// Bit k set when the coefficient at zigzag position k is not zero.
DIBJPEG_ALWAYS_INLINE std::uint64_t ZigzagNonzeroMask(const std::int16_t* coefficients) {
  std::uint64_t natural = 0;
#if defined(__AVX2__)
  const __m256i zero = _mm256_setzero_si256();
  for (int i = 0; i < 64; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coefficients + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(coefficients + i + 16));
    // packs works per 128-bit half; the permute puts the 32 flags back in order.
    const __m256i isZero = _mm256_permute4x64_epi64(
        _mm256_packs_epi16(_mm256_cmpeq_epi16(a, zero), _mm256_cmpeq_epi16(b, zero)), 0xD8);
    natural |= std::uint64_t(~static_cast<std::uint32_t>(_mm256_movemask_epi8(isZero))) << i;
  }
#elif defined(__SSE2__) || defined(_M_X64)
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < 64; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + i + 8));
    const __m128i isZero = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    natural |= std::uint64_t(~_mm_movemask_epi8(isZero) & 0xFFFF) << i;
  }
#else
  for (int i = 0; i < 64; ++i) natural |= std::uint64_t{coefficients[i] != 0} << i;
#endif
  return ZigzagOf(natural);
}

// Packs codes MSB first into a 64-bit accumulator and hands out bytes with
// 0xFF stuffing. Emit: bytes are stored from `out` onwards, which the caller
// has proven has room; otherwise they are only counted. The writer holds no
// array, so its fields can live in registers.
template <bool Emit>
class BitPacker {
 public:
  // pending: that many bits (0..63) right-aligned in acc wait to be written.
  // stale: bits to OR into the first whole byte (see PendingOf).
  BitPacker(std::uint64_t acc, unsigned pending, std::uint8_t* out, std::uint32_t counted, std::uint32_t stale = 0)
      : acc_(acc), free_(64 - pending), stale_(stale), out_(out), counted_(counted) {}

  // Appends the low `size` bits of value (size at most 63, no higher bits set).
  DIBJPEG_ALWAYS_INLINE void Put(std::uint64_t value, unsigned size) {
    if (size < free_) {
      acc_ = (acc_ << size) | value;
      free_ -= size;
      return;
    }
    // The accumulator fills up: its 64 bits leave, the rest of value stays.
    // Bits of value above the ones still pending are shifted out by the
    // next 64 - rest bits, so they need no masking.
    const unsigned rest = size - free_;
    Word((acc_ << free_) | (value >> rest));
    acc_ = value;
    free_ = 64 - rest;
  }

  // Writes out every complete pending byte; returns how many bits (0..7)
  // stay pending, left in the low bits of acc().
  DIBJPEG_ALWAYS_INLINE unsigned WholeBytes() {
    unsigned pending = 64 - free_;
    for (; pending >= 8; pending -= 8) Byte(static_cast<std::uint8_t>(acc_ >> (pending - 8)));
    free_ = 64 - pending;
    return pending;
  }

  // The pending bits as the sink's pending byte, after WholeBytes.
  std::uint32_t PendingByteValue(unsigned bits) const {
    return static_cast<std::uint32_t>((acc_ << (8 - bits)) & 0xFF) | stale_;
  }

  std::uint64_t acc() const { return acc_; }
  unsigned pending() const { return 64 - free_; }
  std::uint8_t* out() const { return out_; }
  std::uint32_t counted() const { return counted_; }

 private:
  DIBJPEG_ALWAYS_INLINE void Byte(std::uint8_t b) {
    b = static_cast<std::uint8_t>(b | stale_);
    stale_ = 0;
    if constexpr (Emit) {
      *out_++ = b;
      if (b == 0xFF) *out_++ = 0x00;
    } else {
      counted_ += b == 0xFF ? 2 : 1;
    }
  }

  DIBJPEG_ALWAYS_INLINE void Word(std::uint64_t w) {
    w |= std::uint64_t{stale_} << 56;
    stale_ = 0;
    if (HasFFByte(w)) [[unlikely]] {
      for (int shift = 56; shift >= 0; shift -= 8) Byte(static_cast<std::uint8_t>(w >> shift));
      return;
    }
    if constexpr (Emit) {
      StoreBigEndian64(out_, w);
      out_ += 8;
    } else {
      counted_ += 8;
    }
  }

  std::uint64_t acc_;
  unsigned free_;            // 1..64 between puts
  std::uint32_t stale_;
  std::uint8_t* out_;        // Emit: where the next byte goes
  std::uint32_t counted_;    // measure: bytes counted
};

// Category (bits of |v|) and extra bits: the low s bits of v, or of v - 1
// for negative v (one's complement of |v|).
struct Magnitude {
  unsigned size;
  std::uint32_t bits;
};
DIBJPEG_ALWAYS_INLINE Magnitude MagnitudeOf(std::int32_t v) {
  const std::uint32_t sign = static_cast<std::uint32_t>(v >> 31);  // all ones when negative
  const unsigned s = BitWidth((static_cast<std::uint32_t>(v) ^ sign) - sign);
#if defined(__BMI2__)
  return {s, _bzhi_u32(static_cast<std::uint32_t>(v) + sign, s)};  // one instruction
#else
  return {s, (static_cast<std::uint32_t>(v) + sign) & ((std::uint32_t{1} << s) - 1)};
#endif
}

// The code of `symbol` and then `extra`, its category's extra bits, from one
// table entry that holds both the code, shifted past the extra bits, and the
// total length.
template <typename Packer>
DIBJPEG_ALWAYS_INLINE void PutEntry(Packer& packer, const CodeWithExtra& entry, std::uint64_t extra) {
  packer.Put(entry.bits | extra, entry.size);
}
template <typename Packer>
DIBJPEG_ALWAYS_INLINE void PutSymbol(Packer& packer, const HuffTable* table, unsigned symbol, std::uint32_t extra) {
  PutEntry(packer, table->codeWithExtra[symbol], extra);
}

// DC symbols are the category itself; categories above 11 never come from
// 8-bit samples.
template <typename Packer>
DIBJPEG_ALWAYS_INLINE void PutDc(Packer& packer, const HuffTable* table, std::int32_t diff) {
  const Magnitude m = MagnitudeOf(diff);
  PutSymbol(packer, table, m.size & 0xFF, m.bits);
}

// Symbols are run x 16 + category. Categories above 10 never come from 8-bit
// samples; their symbols are masked to a byte as every symbol is.
template <typename Packer>
DIBJPEG_ALWAYS_INLINE void PutAcSymbol(Packer& packer, const HuffTable* table, unsigned run, unsigned size,
                                       std::uint32_t bits) {
  PutSymbol(packer, table, (run * 16 + size) & 0xFF, bits);
}

template <typename Packer>
DIBJPEG_ALWAYS_INLINE void PutZeroRuns(Packer& packer, const HuffTable* table, std::size_t& run) {
  constexpr unsigned ZeroRunLength = 0xF0;  // sixteen zeros
  for (; run > 15; run -= 16) PutSymbol(packer, table, ZeroRunLength, 0);
}

// The AC part: each non-zero coefficient (bit k of the zigzag mask, from
// position 1 on) as its run of zeros and category, then EOB unless the last
// coefficient is non-zero. order[k] is where the block holds zigzag
// position k; putCoefficient(at, run) sends the symbol of the coefficient
// held at `at` after `run` zeros (0..15), with its extra bits.
template <typename Packer, typename PutCoefficient>
DIBJPEG_ALWAYS_INLINE void PutAcRuns(Packer& packer, const HuffTable* table, std::uint64_t zigzag,
                                     const std::int32_t (&order)[64], PutCoefficient putCoefficient) {
  constexpr unsigned EndOfBlock = 0x00;
  // Bit 0 of `pending` stands for the position `next` points at; each
  // coefficient sent shifts out its run of zeros and itself.
  std::uint64_t pending = zigzag >> 1;
  const std::int32_t* next = order + 1;
  while (pending != 0) {
    std::size_t run = LowestBit(pending);  // at most 62
    pending = pending >> run >> 1;
    const int at = next[run];
    next += run + 1;
    if (run > 15) [[unlikely]] PutZeroRuns(packer, table, run);
    putCoefficient(at, static_cast<unsigned>(run));
  }
  // next has passed the last position only when that coefficient was sent.
  if (next != order + 64) PutSymbol(packer, table, EndOfBlock, 0);
}

template <typename Packer>
DIBJPEG_ALWAYS_INLINE void PutAc(Packer& packer, const HuffTable* table, const std::int16_t* coefficients) {
  PutAcRuns(packer, table, ZigzagNonzeroMask(coefficients), ZigzagOrder, [&](int at, unsigned run) {
    // As MagnitudeOf, for v not 0: the category is 32 - zeros, and shifting
    // up and down by zeros keeps the extra bits.
    const std::int32_t v = coefficients[at];
    const std::uint32_t sign = static_cast<std::uint32_t>(v >> 31);
    const unsigned zeros = LeadingZeros((static_cast<std::uint32_t>(v) ^ sign) - sign);
    const std::uint32_t extra = (static_cast<std::uint32_t>(v) + sign) << zeros >> zeros;
    PutAcSymbol(packer, table, run, 32 - zeros, extra);
  });
}

#if defined(__AVX2__)
// One block, DC and AC, from its magnitudes worked out beforehand (in the
// transform's order, which ZigzagTransformOrder maps zigzag positions to): a
// coefficient costs three loads in a chain (its natural index, its magnitude
// and extra bits, its table entry) and one put. Magnitudes of a quantized
// 8-bit block are below 2048, so the category 64 - zeros is 1..11 and the
// symbol below 256; shifting the stored bits up and down by zeros keeps the
// low category bits, which are the extra bits.
template <typename Packer>
DIBJPEG_ALWAYS_INLINE void PutBlockMagnitudes(Packer& packer, ComponentSpec* component, const BlockMagnitudes& m) {
  PutDc(packer, component->dcTable, std::int32_t{m.dc} - component->lastDc);
  component->lastDc = m.dc;
  const HuffTable* table = component->acTable;
  const CodeWithExtra* entries = table->codeWithExtra + 64;  // indexed by symbol - 64
  PutAcRuns(packer, table, m.nonzero, ZigzagTransformOrder.at, [&](int at, unsigned run) {
    const std::uint64_t zeros = _lzcnt_u64(m.magnitude[at]);  // 64 - category
    assert(zeros >= 53 && zeros <= 63);
    const std::uint64_t extra = std::uint64_t{m.bits[at]} << zeros >> zeros;
    PutEntry(packer, entries[static_cast<std::ptrdiff_t>(run * 16 - zeros)], extra);
  });
}
#endif

// The sink's pending byte as a packer's starting bits. Bits below the
// pending ones are zero in a sound stream; were they not, they are ORed
// into the next whole byte, as bit-by-bit packing does.
struct PendingByte {
  std::uint64_t acc;
  unsigned bits;
  std::uint32_t stale;
};
DIBJPEG_ALWAYS_INLINE PendingByte PendingOf(const ByteStream* sink) {
  const std::uint32_t byte = sink->bitAcc & 0xFF;
  const unsigned bits = sink->bitCount & 7;
  return {bits == 0 ? 0 : byte >> (8 - bits), bits, byte & (0xFFu >> bits)};
}

// Packs what `put` sends into the sink, after its pending byte. Staged: the
// bytes gather in a staging area and reach the sink only when all of them
// fit, otherwise the call fails and changes nothing. Not staged: the caller
// has proven the sink has room, and the bytes go straight there. Measure
// mode only counts, and refuses a call that would pass CountLimit just as
// encode mode refuses one that does not fit.
template <bool Emit, bool Staged, typename PutParts>
DIBJPEG_ALWAYS_INLINE int CodeParts(ByteStream* sink, PutParts put) {
  std::uint8_t staging[Emit && Staged ? StagingSize + sizeof Canary : 1];
  if constexpr (Emit && Staged) std::memcpy(staging + StagingSize, Canary, sizeof Canary);
  const PendingByte p = PendingOf(sink);
  std::uint8_t* start = Emit ? (Staged ? staging : sink->data + sink->pos) : nullptr;
  BitPacker<Emit> packer(p.acc, p.bits, start, 0, p.stale);
  put(packer);
  const unsigned bits = packer.WholeBytes();
  std::uint32_t n;
  if constexpr (Emit) {
    n = static_cast<std::uint32_t>(packer.out() - start);
    if constexpr (Staged) {
      assert(n <= StagingSize);
      assert(std::memcmp(staging + StagingSize, Canary, sizeof Canary) == 0);
      if (n > 0) {
        if (std::uint64_t{sink->pos} + n > sink->size) return 0;  // nothing reaches data
        std::memcpy(sink->data + sink->pos, start, n);
      }
    }
  } else {
    n = packer.counted();
    if (std::uint64_t{sink->pos} + n > CountLimit) return 0;
    if (sink->pos + n > sink->size) sink->size = sink->pos + n;
  }
  sink->pos += n;
  sink->bitAcc = packer.PendingByteValue(bits);
  sink->bitCount = bits;
  return 1;
}

template <bool Emit>
int CodeDc(ByteStream* sink, const HuffTable* table, std::int32_t diff) {
  return CodeParts<Emit, true>(sink, [&](BitPacker<Emit>& packer) { PutDc(packer, table, diff); });
}

template <bool Emit>
int CodeAc(ByteStream* sink, const HuffTable* table, const std::int16_t* coefficients) {
  return CodeParts<Emit, true>(sink, [&](BitPacker<Emit>& packer) { PutAc(packer, table, coefficients); });
}

// DC and AC parts of one block in one go, where the sink has room for
// anything a block can produce.
template <bool Emit>
DIBJPEG_ALWAYS_INLINE int CodeBlock(ByteStream* sink, const ComponentSpec* component, std::int32_t diff,
                                    const std::int16_t* coefficients) {
  return CodeParts<Emit, false>(sink, [&](BitPacker<Emit>& packer) {
    PutDc(packer, component->dcTable, diff);
    PutAc(packer, component->acTable, coefficients);
  });
}

// Every block of `count` MCUs, laid out one after the other, through the
// MCU writer. Encode mode writes the bytes from `out` on (the sink at the
// writer's position, or a staging area), which the caller has proven has
// room for the worst case; measure mode counts them.
// The coder sees the blocks one by one, and the next one ahead:
// coder.Code(packer, component, samples, next, nextSamples) transforms and
// codes one block, where next is the next block's component (null after
// the last), after coder.Start(first component, first samples).
template <bool Emit, typename BlockCoder>
DIBJPEG_ALWAYS_INLINE void CodeMcus(EncoderState* state, BlockWriter* writer, std::uint8_t* out,
                                    const std::uint8_t* samples, std::uint32_t count, BlockCoder& coder) {
  // The component of each block of an MCU, in the assembler's order.
  ComponentSpec* order[6];
  std::uint32_t perMcu = 0;
  for (int k = 0; k < state->componentCount; ++k) {
    for (int n = state->components[k].vSamp * state->components[k].hSamp; n > 0 && perMcu < 6; --n) {
      order[perMcu++] = &state->components[k];
    }
  }
  assert(perMcu > 0 && count > 0);
  BitPacker<Emit> packer(writer->acc, writer->pending, out, writer->pos);
  // One flat loop over the blocks of all the MCUs: the packer, the coder
  // and the component order are set up once per call.
  coder.Start(order[0], samples);
  std::uint32_t k = 0;
  for (std::uint32_t left = count * perMcu; left > 0; --left, samples += 64) {
    const std::uint32_t next = k + 1 == perMcu ? 0 : k + 1;
    coder.Code(packer, order[k], samples, left > 1 ? order[next] : nullptr, samples + 64);
    k = next;
  }
  writer->acc = packer.acc();
  writer->pending = packer.pending();
  writer->pos = Emit ? writer->pos + static_cast<std::uint32_t>(packer.out() - out) : packer.counted();
}

}  // namespace
}  // namespace dibjpeg
