// The Huffman block coder: DC difference and AC run/size symbols (ITU-T T.81
// F.1.2), packed straight into the sink's pending byte. Each call collects its
// complete bytes, stuffing included, in a private staging area and appends
// them to the sink after one bound test, or only counts them in measure mode.
// It never flushes: the scan driver does at the end of each restart interval.
#include <bit>
#include <cassert>
#include <cstring>

#include "block/block.h"

namespace dibjpeg {
namespace {

// With 8-bit samples and divisors of at least 8 one call stages at most 215
// bytes (AC part, stuffing included) or 6 (DC part).
constexpr int StagingSize = 256;

// Bits go in most significant first. `acc` holds the `count` pending bits
// right-aligned (count stays below 8 between puts), so whole codes are added
// with one shift instead of bit by bit.
template <bool Emit>
class BitPacker {
 public:
  explicit BitPacker(const ByteStream* sink) {
    const std::uint32_t byte = sink->bitAcc & 0xFF;
    count_ = sink->bitCount & 7;
    acc_ = count_ == 0 ? 0 : byte >> (8 - count_);
    // Bits below the pending ones are zero in a sound stream; were they not,
    // they would be ORed into the next byte, as bit-by-bit packing does.
    stale_ = byte & (0xFFu >> count_);
  }

  void Put(std::uint32_t value, int bits) {
    acc_ = (acc_ << bits) | (value & ((1u << bits) - 1));
    count_ += bits;
    while (count_ >= 8) {
      count_ -= 8;
      const std::uint8_t byte = static_cast<std::uint8_t>((acc_ >> count_) | stale_);
      stale_ = 0;
      Complete(byte);
    }
    acc_ &= (1u << count_) - 1;
  }

  // Hands the call's bytes to the sink and writes the bit state back.
  int Finish(ByteStream* sink) {
    assert(canary_ == Canary);  // nothing ran past the staging area
    if constexpr (Emit) {
      if (n_ > 0) {
        if (std::uint64_t{sink->pos} + n_ > sink->size) return 0;  // nothing reaches data
        std::memcpy(sink->data + sink->pos, staging_, n_);
        sink->pos += n_;
      }
    } else {
      sink->pos += n_;
      if (sink->pos > sink->size) sink->size = sink->pos;
    }
    sink->bitAcc = ((acc_ << (8 - count_)) & 0xFF) | stale_;
    sink->bitCount = count_;
    return 1;
  }

 private:
  void Complete(std::uint8_t byte) {
    if constexpr (Emit) {
      assert(n_ + 2 <= StagingSize);
      staging_[n_++] = byte;
      if (byte == 0xFF) staging_[n_++] = 0x00;
    } else {
      n_ += byte == 0xFF ? 2 : 1;
    }
  }

  std::uint64_t acc_;
  std::uint32_t count_;
  std::uint32_t stale_;
  std::uint32_t n_ = 0;
  std::uint8_t staging_[Emit ? StagingSize : 1];
#ifndef NDEBUG
  // Debug builds: a word right after the staging area that an overrun would hit first.
  static constexpr std::uint32_t Canary = 0x5AFEC0DE;
  std::uint32_t canary_ = Canary;
#endif
};

// Magnitude category: the number of significant bits of |v|.
int Category(std::int32_t v) { return std::bit_width(static_cast<std::uint32_t>(v < 0 ? -v : v)); }

// The low `s` bits of v, or of v - 1 for negative v (one's complement of |v|).
std::uint32_t ExtraBits(std::int32_t v) { return static_cast<std::uint16_t>(v < 0 ? v - 1 : v); }

template <typename Packer>
void PutSymbol(Packer& packer, const HuffTable* table, int symbol) {
  packer.Put(table->code[symbol], table->codeSize[symbol]);
}

template <bool Emit>
int CodeDc(EncoderState* state, const HuffTable* table, std::int32_t diff) {
  BitPacker<Emit> packer(state->sink);
  const int s = Category(diff);
  PutSymbol(packer, table, s & 0xFF);
  packer.Put(ExtraBits(diff), s);
  return packer.Finish(state->sink);
}

template <bool Emit>
int CodeAc(EncoderState* state, const HuffTable* table, const std::int16_t* coefficients) {
  constexpr int ZeroRunLength = 0xF0;  // sixteen zeros
  constexpr int EndOfBlock = 0x00;
  BitPacker<Emit> packer(state->sink);
  int run = 0;
  for (int k = 1; k < 64; ++k) {
    const std::int32_t v = coefficients[ZigzagOrder[k]];
    if (v == 0) {
      ++run;
      continue;
    }
    for (; run > 15; run -= 16) PutSymbol(packer, table, ZeroRunLength);
    const int s = Category(v);
    PutSymbol(packer, table, (run * 16 + s) & 0xFF);
    packer.Put(ExtraBits(v), s);
    run = 0;
  }
  if (coefficients[63] == 0) PutSymbol(packer, table, EndOfBlock);
  return packer.Finish(state->sink);
}

}  // namespace

int EncodeDcDiff(EncoderState* state, const HuffTable* dcTable, std::int32_t diff) {
  return (state->mode & 1) ? CodeDc<true>(state, dcTable, diff) : CodeDc<false>(state, dcTable, diff);
}

int EncodeAcCoefficients(EncoderState* state, const HuffTable* acTable, const std::int16_t* coefficients) {
  return (state->mode & 1) ? CodeAc<true>(state, acTable, coefficients)
                           : CodeAc<false>(state, acTable, coefficients);
}

int EncodeBlock(EncoderState* state, ComponentSpec* component, const std::int16_t* coefficients) {
  const std::int16_t previous = component->lastDc;
  component->lastDc = coefficients[0];
  const std::int32_t diff = std::int32_t{coefficients[0]} - previous;
  if (!EncodeDcDiff(state, component->dcTable, diff)) return 0;
  return EncodeAcCoefficients(state, component->acTable, coefficients);
}

}  // namespace dibjpeg
