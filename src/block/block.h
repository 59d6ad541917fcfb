// Block coding: the forward DCT and quantization of one 8x8 block, and its
// Huffman coding into the sink.
#pragma once

#include <cstdint>

#include "common/encoder_state.h"
#include "common/tables.h"

namespace dibjpeg {

// 8 x the 2-D DCT of the level-shifted samples, natural order.
void ForwardDct(std::int32_t output[64], const std::uint8_t samples[64]);
// output / divisor, rounded half away from zero.
void QuantizeBlock(std::int16_t coefficients[64], const std::int32_t output[64], const QuantTable* table);
// ForwardDct then QuantizeBlock, in one step.
void TransformBlock(std::int16_t coefficients[64], const std::uint8_t samples[64], const QuantTable* table);

int EncodeBlock(EncoderState* state, ComponentSpec* component, const std::int16_t* coefficients);
int EncodeDcDiff(EncoderState* state, const HuffTable* dcTable, std::int32_t diff);
int EncodeAcCoefficients(EncoderState* state, const HuffTable* acTable, const std::int16_t* coefficients);

// The scan driver's way through the block coder: one writer carries up to
// 63 pending bits from MCU to MCU, so whole bytes leave 8 at a time and the
// sink sees them only when the writer closes. Between open and close
// nothing else may write to the sink.
struct BlockWriter {
  std::uint64_t acc;      // pending bits, right-aligned
  std::uint32_t pending;  // how many: 0..63
  std::uint32_t pos;      // encode mode: offset of the next byte in the sink; measure mode: bytes counted
};

// Takes over the sink's position and its pending byte, whose bits below the
// pending ones must be zero (as the scan driver leaves them).
void OpenBlockWriter(BlockWriter* writer, const ByteStream* sink);
// Writes the complete pending bytes into the sink and leaves the rest as
// its pending byte; the room for them was proven when they were coded.
void CloseBlockWriter(BlockWriter* writer, ByteStream* sink, bool emit);
// Transforms each block of one MCU (its samples as the assembler laid them
// out) and hands it to encodeBlock, stopping at the first failure.
int EncodeMcuBlocks(EncoderState* state, const std::uint8_t* samples, EncodeBlockFn encodeBlock);
// Blocks in one MCU: 1 (gray), 3 (4:4:4), 4 (4:2:2) or 6 (4:2:0).
std::uint32_t BlocksPerMcu(const EncoderState* state);
// How many MCUs EncodeMcus can code from where the writer stands with no
// room check on the way; 0 near the end of the buffer (or of what measure
// mode may count).
std::uint32_t McusWithRoom(const EncoderState* state, const BlockWriter* writer);
// Transforms and codes every block of `count` MCUs (their samples as the
// assembler laid them out, one MCU after the other), with the same bytes
// and the same failures as TransformBlock and EncodeBlock block by block.
// Beyond McusWithRoom it goes MCU by MCU, and where the sink may lack room
// for an MCU's worst case it closes the writer and goes block by block.
int EncodeMcus(EncoderState* state, BlockWriter* writer, const std::uint8_t* samples, std::uint32_t count);

}  // namespace dibjpeg
