// The stream record through which all encoder input and output passes: a
// table of 15 operations followed by the data fields. Two kinds fill it: the
// memory stream (a bounded caller buffer) and the counting stream (stores
// nothing, measures). The pixel readers and the block coder use the data
// fields directly on their hot paths.
//
// Bit writing: bits enter bitAcc from bit 7 downwards; the eighth bit emits
// the byte (followed by a stuffed 0x00 when it is 0xFF) and clears bitAcc.
// FlushBits and the pending-byte path of WriteByte emit the byte but leave
// bitAcc holding it, so whoever starts writing bits clears bitAcc first (the
// scan driver does so at every restart interval).
#pragma once

#include <cstdint>

namespace dibjpeg {

struct ByteStream;

using SetOrderOp = void (*)(ByteStream*, int order);
using TellOp = std::uint32_t (*)(ByteStream*);
using SeekOp = int (*)(ByteStream*, std::uint32_t offset, int origin);
using ReadBitOp = int (*)(ByteStream*, std::uint16_t* bit);
using ReadByteOp = int (*)(ByteStream*, std::uint8_t* value);
using ReadWordOp = int (*)(ByteStream*, std::uint16_t* value);
using ReadDwordOp = int (*)(ByteStream*, std::uint32_t* value);
using WriteBitOp = int (*)(ByteStream*, int bit);
using WriteByteOp = int (*)(ByteStream*, std::uint8_t value);
using WriteWordOp = int (*)(ByteStream*, std::uint16_t value);
using WriteDwordOp = int (*)(ByteStream*, std::uint32_t value);
using FlushBitsOp = int (*)(ByteStream*);
using WriteBitsOp = int (*)(ByteStream*, std::uint8_t count, std::uint16_t value);
using WriteBlockOp = int (*)(ByteStream*, const std::uint8_t* bytes, std::uint32_t count);

// Operation slots, in slot order. Every truth-valued slot returns 1 or 0.
// WriteBlock, the last slot, is how the marker segments are
// written: one call per segment instead of one per byte, with the bytes,
// pending-byte handling and failure of the WriteByte calls it stands for.
struct StreamOps {
  SetOrderOp SetReadOrder;    // 1 = little-endian ReadWord/ReadDword, else big
  SetOrderOp SetWriteOrder;   // 1 = little-endian WriteWord/WriteDword, else big
  TellOp Tell;                // current pos
  SeekOp Seek;                // origin 0 start, 1 pos, 2 size
  ReadBitOp ReadBit;          // MSB first, skips the 0x00 after an 0xFF
  ReadByteOp ReadByte;        // discards leftover bits
  ReadWordOp ReadWord;        // two bytes in the read order
  ReadDwordOp ReadDword;      // four bytes in the read order
  WriteBitOp WriteBit;        // appends one bit
  WriteByteOp WriteByte;      // emits a pending partial byte, then the byte
  WriteWordOp WriteWord;      // two WriteByte calls in the write order
  WriteDwordOp WriteDword;    // two WriteWord calls in the write order
  FlushBitsOp FlushBits;      // completes a partial byte with 1-bits, stuffs
  WriteBitsOp WriteBits;      // low `count` bits (0..16), MSB first
  WriteBlockOp WriteBlock;    // `count` bytes as `count` WriteByte calls: what fits, then fails
};

struct ByteStream {
  StreamOps ops;
  std::uint32_t bitAcc;    // pending byte (low 8 bits) when writing; byte being read
  std::uint32_t bitCount;  // bits gathered (writing) or left (reading): 0..7
  std::uint8_t* data;      // caller's buffer; null for a counting stream
  std::uint32_t size;      // memory: buffer length; counting: high-water mark of pos
  std::uint32_t pos;       // next byte to read or write; counting: bytes counted
};

// Entry n holds the low 8 - n bits: the 1-bits that complete a byte of which
// n bits are gathered.
inline constexpr std::uint8_t PadMask[8] = {0xFF, 0x7F, 0x3F, 0x1F, 0x0F, 0x07, 0x03, 0x01};

// The most bytes a counting stream counts: the largest 32-bit length.
inline constexpr std::uint32_t CountLimit = 0xFFFFFFFF;

}  // namespace dibjpeg
