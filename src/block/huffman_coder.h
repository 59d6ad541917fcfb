// The Huffman block coder's bit writer and coefficient loops, shared by the
// portable coder and the AVX2 one, which compiles the same code with BMI2
// and LZCNT instructions. Everything here has internal linkage on purpose:
// each including file gets its own copy, built with its own instruction set,
// so the linker can never mix them.
//
// Bits gather in a 64-bit accumulator and leave it 32 at a time; a word with
// no 0xFF byte is stored in one piece. When the sink has room for any call's
// output the bytes go straight to the sink, otherwise through a staging area
// that is copied only after the bound test, so a call that does not fit
// writes nothing.
#pragma once

#include <bit>
#include <cassert>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif
#if defined(__BMI2__) || defined(__AVX2__)
#include <immintrin.h>
#endif

#include "block/block.h"
#include "setup/platform.h"

namespace dibjpeg {

// Bit k of entry [b][v] is set when byte b of a natural-order mask holds v
// and k is the zigzag position of one of its set bits.
struct ZigzagBitTable {
  std::uint64_t bits[8][256];
};
extern const ZigzagBitTable ZigzagBits;

namespace {

// The most one call can produce: 63 coefficients of up to 32 bits, three ZRL
// and one EOB code, seven pending bits, every byte stuffed. With 8-bit
// samples a call stays below 216 bytes; this bound holds for any input.
constexpr std::uint32_t StagingSize = 544;

// This word sits right after the staging area; debug builds check it after
// every call, so a coder that ran past the area would be caught at once.
constexpr std::uint8_t Canary[4] = {0xC5, 0x3A, 0x5C, 0xA3};


// Bit k set when the coefficient at zigzag position k is not zero.
std::uint64_t ZigzagNonzeroMask(const std::int16_t* coefficients) {
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
  std::uint64_t zigzag = 0;
  for (int b = 0; b < 8; ++b) zigzag |= ZigzagBits.bits[b][(natural >> (8 * b)) & 0xFF];
  return zigzag;
}

// True when one of the four bytes of w is 0xFF.
bool HasFFByte(std::uint32_t w) { return ((~w - 0x01010101u) & w & 0x80808080u) != 0; }

// Emit: the writer's bytes go straight to the sink when it has room for
// anything a call can produce, otherwise to `staging` (StagingSize bytes),
// which Finish copies to the sink only after the bound test. The writer holds
// no array itself, so its fields can live in registers.
template <bool Emit>
class BitWriter {
 public:
  BitWriter(const ByteStream* sink, std::uint8_t* staging) {
    const std::uint32_t byte = sink->bitAcc & 0xFF;
    bits_ = sink->bitCount & 7;
    acc_ = bits_ == 0 ? 0 : byte >> (8 - bits_);
    // Bits below the pending ones are zero in a sound stream; were they not,
    // they would be ORed into the next byte, as bit-by-bit packing does.
    stale_ = byte & (0xFFu >> bits_);
    if constexpr (Emit) {
      staged_ = !(sink->pos <= sink->size && sink->size - sink->pos >= StagingSize);
      start_ = staged_ ? staging : sink->data + sink->pos;
      out_ = start_;
    }
  }

  // Appends the low `size` bits of value (size <= 32, no higher bits set).
  DIBJPEG_ALWAYS_INLINE void Put(std::uint32_t value, int size) {
    acc_ = (acc_ << size) | value;
    bits_ += size;
    if (bits_ >= 32) {
      bits_ -= 32;
      Word(static_cast<std::uint32_t>(acc_ >> bits_) | stale_ << 24);
      stale_ = 0;
    }
  }

  // Hands the call's bytes to the sink and writes the bit state back.
  DIBJPEG_ALWAYS_INLINE int Finish(ByteStream* sink) {
    while (bits_ >= 8) {
      bits_ -= 8;
      Byte(static_cast<std::uint8_t>((acc_ >> bits_) | stale_));
      stale_ = 0;
    }
    if constexpr (Emit) {
      const auto n = static_cast<std::uint32_t>(out_ - start_);
      assert(n <= StagingSize);
      if (staged_ && n > 0) {
        if (std::uint64_t{sink->pos} + n > sink->size) return 0;  // nothing reaches data
        std::memcpy(sink->data + sink->pos, start_, n);
      }
      sink->pos += n;
    } else {
      sink->pos += n_;
      if (sink->pos > sink->size) sink->size = sink->pos;
    }
    sink->bitAcc = ((acc_ << (8 - bits_)) & 0xFF) | stale_;
    sink->bitCount = bits_;
    return 1;
  }

 private:
  DIBJPEG_ALWAYS_INLINE void Byte(std::uint8_t b) {
    if constexpr (Emit) {
      *out_++ = b;
      if (b == 0xFF) *out_++ = 0x00;
    } else {
      n_ += b == 0xFF ? 2 : 1;
    }
  }

  DIBJPEG_ALWAYS_INLINE void Word(std::uint32_t w) {
    if (HasFFByte(w)) {
      for (int shift = 24; shift >= 0; shift -= 8) Byte(static_cast<std::uint8_t>(w >> shift));
      return;
    }
    if constexpr (Emit) {
      const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(w >> 24), static_cast<std::uint8_t>(w >> 16),
                                     static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w)};
      std::memcpy(out_, bytes, 4);
      out_ += 4;
    } else {
      n_ += 4;
    }
  }

  std::uint64_t acc_;              // pending bits, right-aligned; bits above bits_ are ignored
  std::uint32_t bits_;             // pending bit count: below 32 between puts
  std::uint32_t stale_;            // see the constructor
  std::uint32_t n_ = 0;            // measure mode: bytes counted
  bool staged_ = false;            // encode mode: bytes wait in the staging area
  std::uint8_t* start_ = nullptr;  // encode mode: where this call's bytes begin
  std::uint8_t* out_ = nullptr;
};

// Category (bits of |v|) and extra bits: the low s bits of v, or of v - 1
// for negative v (one's complement of |v|).
struct Magnitude {
  int size;
  std::uint32_t bits;
};
Magnitude MagnitudeOf(std::int32_t v) {
  const std::uint32_t sign = static_cast<std::uint32_t>(v >> 31);  // all ones when negative
  const int s = std::bit_width((static_cast<std::uint32_t>(v) ^ sign) - sign);
#if defined(__BMI2__)
  return {s, _bzhi_u32(static_cast<std::uint32_t>(v) + sign, static_cast<unsigned>(s))};  // one instruction
#else
  return {s, (static_cast<std::uint32_t>(v) + sign) & ((std::uint32_t{1} << s) - 1)};
#endif
}

template <typename Writer>
DIBJPEG_ALWAYS_INLINE void PutDc(Writer& writer, const HuffTable* table, std::int32_t diff) {
  const Magnitude m = MagnitudeOf(diff);
  const int symbol = m.size & 0xFF;
  writer.Put(std::uint32_t{table->code[symbol]} << m.size | m.bits, table->codeSize[symbol] + m.size);
}

// Inlined so that the writer's accumulator stays in registers.
template <typename Writer>
DIBJPEG_ALWAYS_INLINE void PutAc(Writer& writer, const HuffTable* table, const std::int16_t* coefficients) {
  constexpr int ZeroRunLength = 0xF0;  // sixteen zeros
  constexpr int EndOfBlock = 0x00;
  std::uint64_t pending = ZigzagNonzeroMask(coefficients) & ~std::uint64_t{1};
  int last = 0;  // zigzag position of the previous non-zero coefficient
  while (pending != 0) {
    const int k = std::countr_zero(pending);
    pending &= pending - 1;
    int run = k - last - 1;
    last = k;
    for (; run > 15; run -= 16) writer.Put(table->code[ZeroRunLength], table->codeSize[ZeroRunLength]);
    const Magnitude m = MagnitudeOf(coefficients[ZigzagOrder[k]]);
    const int symbol = (run * 16 + m.size) & 0xFF;
    writer.Put(std::uint32_t{table->code[symbol]} << m.size | m.bits, table->codeSize[symbol] + m.size);
  }
  if (coefficients[63] == 0) writer.Put(table->code[EndOfBlock], table->codeSize[EndOfBlock]);
}

// One part of a block (DC or AC) through a writer of its own, staged when
// the sink is nearly full.
template <bool Emit, typename PutPart>
int CodePart(EncoderState* state, PutPart put) {
  std::uint8_t staging[Emit ? StagingSize + sizeof Canary : 1];
  if constexpr (Emit) std::memcpy(staging + StagingSize, Canary, sizeof Canary);
  BitWriter<Emit> writer(state->sink, staging);
  put(writer);
  const int result = writer.Finish(state->sink);
  if constexpr (Emit) assert(std::memcmp(staging + StagingSize, Canary, sizeof Canary) == 0);
  return result;
}

template <bool Emit>
int CodeDc(EncoderState* state, const HuffTable* table, std::int32_t diff) {
  return CodePart<Emit>(state, [&](BitWriter<Emit>& writer) { PutDc(writer, table, diff); });
}

template <bool Emit>
int CodeAc(EncoderState* state, const HuffTable* table, const std::int16_t* coefficients) {
  return CodePart<Emit>(state, [&](BitWriter<Emit>& writer) { PutAc(writer, table, coefficients); });
}

// DC and AC parts through one writer. Only where neither part can fail: in
// measure mode, or with room in the sink for anything a block can produce.
template <bool Emit>
DIBJPEG_ALWAYS_INLINE int CodeBlock(EncoderState* state, const ComponentSpec* component, std::int32_t diff,
              const std::int16_t* coefficients) {
  BitWriter<Emit> writer(state->sink, nullptr);  // the sink has room: nothing is staged
  PutDc(writer, component->dcTable, diff);
  PutAc(writer, component->acTable, coefficients);
  return writer.Finish(state->sink);
}

}  // namespace
}  // namespace dibjpeg
