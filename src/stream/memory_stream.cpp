// Memory stream: every operation over a caller buffer of `size` bytes. Each
// access first asks whether n more bytes fit (size - pos >= n, which cannot
// wrap) and otherwise fails with StatusOverrun; nothing is ever read or
// written outside the buffer, whatever state an earlier failure left.

#include "stream/stream.h"

#include <cstring>

#include "common/byte_stream.h"
#include "common/status.h"

namespace dibjpeg {
namespace {

bool Fits(const ByteStream* s, std::uint32_t n) { return s->pos <= s->size && s->size - s->pos >= n; }

int Seek(ByteStream* s, std::uint32_t offset, int origin) {
  std::uint32_t base;
  switch (origin) {
    case 0: base = 0; break;
    case 1: base = s->pos; break;
    case 2: base = s->size; break;
    default: return 0;
  }
  const std::uint32_t target = base + offset;  // modulo 2^32: 0xFFFFFFFF acts as -1
  if (target >= s->size) return FailWith(StatusOverrun);
  s->pos = target;
  return 1;
}

// Reads one byte, unchecked; callers test Fits first.
std::uint8_t TakeByte(ByteStream* s) { return s->data[s->pos++]; }

int ReadBit(ByteStream* s, std::uint16_t* bit) {
  if (s->bitCount > 7) return FailWith(StatusOverrun);  // damaged record
  if (s->bitCount > 0) {
    --s->bitCount;
    *bit = static_cast<std::uint16_t>((s->bitAcc >> s->bitCount) & 1);
    return 1;
  }
  if (!Fits(s, 1)) return FailWith(StatusOverrun);
  s->bitAcc = TakeByte(s);
  s->bitCount = 7;
  *bit = static_cast<std::uint16_t>(s->bitAcc >> 7);
  if (s->bitAcc == 0xFF) {
    // Entropy-coded data stuffs a 0x00 after every 0xFF; anything else is a marker.
    if (!Fits(s, 1)) return FailWith(StatusOverrun);
    if (TakeByte(s) != 0x00) return FailWith(StatusOverrun);
  }
  return 1;
}

int ReadByte(ByteStream* s, std::uint8_t* value) {
  s->bitCount = 0;
  if (!Fits(s, 1)) return FailWith(StatusOverrun);
  *value = TakeByte(s);
  return 1;
}

int ReadWordLittle(ByteStream* s, std::uint16_t* value) {
  s->bitCount = 0;
  if (!Fits(s, 2)) return FailWith(StatusOverrun);
  const std::uint16_t lo = TakeByte(s);
  *value = static_cast<std::uint16_t>(lo | TakeByte(s) << 8);
  return 1;
}

int ReadWordBig(ByteStream* s, std::uint16_t* value) {
  s->bitCount = 0;
  if (!Fits(s, 2)) return FailWith(StatusOverrun);
  const std::uint16_t hi = TakeByte(s);
  *value = static_cast<std::uint16_t>(hi << 8 | TakeByte(s));
  return 1;
}

// ReadDword leaves leftover bits from ReadBit in place.
int ReadDwordLittle(ByteStream* s, std::uint32_t* value) {
  if (!Fits(s, 4)) return FailWith(StatusOverrun);
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(TakeByte(s)) << (8 * i);
  *value = v;
  return 1;
}

int ReadDwordBig(ByteStream* s, std::uint32_t* value) {
  if (!Fits(s, 4)) return FailWith(StatusOverrun);
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | TakeByte(s);
  *value = v;
  return 1;
}

// Emits the completed byte in bitAcc and its stuffing byte. Shared tail of
// WriteBit and WriteBits. Reports failure without touching the status word.
bool EmitCompletedByte(ByteStream* s) {
  if (!Fits(s, 1)) return false;  // the bit stays gathered, bitCount stays 8
  const std::uint8_t byte = static_cast<std::uint8_t>(s->bitAcc);
  s->data[s->pos++] = byte;
  s->bitCount = 0;
  if (byte == 0xFF) {
    if (!Fits(s, 1)) return false;  // 0xFF written, bitAcc keeps it
    s->data[s->pos++] = 0x00;
  }
  s->bitAcc = 0;
  return true;
}

// Gathers one bit; `bit` is the whole low byte of the caller's value.
bool PutBit(ByteStream* s, unsigned bit) {
  if (s->bitCount >= 8) return false;  // only a damaged or failed record holds 8+
  s->bitAcc |= ((bit & 0xFFu) << (7 - s->bitCount)) & 0xFFu;
  if (++s->bitCount < 8) return true;
  return EmitCompletedByte(s);
}

int WriteBit(ByteStream* s, int bit) {
  if (!PutBit(s, static_cast<unsigned>(bit))) return FailWith(StatusOverrun);
  return 1;
}

// Unlike WriteBit, WriteBits reports its failures by its result alone.
int WriteBits(ByteStream* s, std::uint8_t count, std::uint16_t value) {
  if (count > 16) return 0;
  for (int i = count - 1; i >= 0; --i) {
    if (!PutBit(s, (value >> i) & 1u)) return 0;
  }
  return 1;
}

int WriteByte(ByteStream* s, std::uint8_t value) {
  if (s->bitCount != 0) {
    // A pending partial byte goes out as it stands: low bits 0, no stuffing.
    if (!Fits(s, 1)) return FailWith(StatusOverrun);
    s->data[s->pos++] = static_cast<std::uint8_t>(s->bitAcc);
    s->bitCount = 0;
  }
  if (!Fits(s, 1)) return FailWith(StatusOverrun);
  s->data[s->pos++] = value;
  return 1;
}

// The bytes WriteByte would store one by one: the pending byte first, then as
// many of `bytes` as fit; the first that does not fit fails the call.
int WriteBlock(ByteStream* s, const std::uint8_t* bytes, std::uint32_t count) {
  if (count == 0) return 1;
  if (s->bitCount != 0) {
    if (!Fits(s, 1)) return FailWith(StatusOverrun);
    s->data[s->pos++] = static_cast<std::uint8_t>(s->bitAcc);
    s->bitCount = 0;
  }
  const std::uint32_t room = s->pos <= s->size ? s->size - s->pos : 0;
  const std::uint32_t n = count < room ? count : room;
  if (n != 0) std::memcpy(s->data + s->pos, bytes, n);
  s->pos += n;
  if (n < count) return FailWith(StatusOverrun);
  return 1;
}

int WriteWordLittle(ByteStream* s, std::uint16_t value) {
  return WriteByte(s, static_cast<std::uint8_t>(value)) && WriteByte(s, static_cast<std::uint8_t>(value >> 8));
}

int WriteWordBig(ByteStream* s, std::uint16_t value) {
  return WriteByte(s, static_cast<std::uint8_t>(value >> 8)) && WriteByte(s, static_cast<std::uint8_t>(value));
}

int WriteDwordLittle(ByteStream* s, std::uint32_t value) {
  return WriteWordLittle(s, static_cast<std::uint16_t>(value)) &&
         WriteWordLittle(s, static_cast<std::uint16_t>(value >> 16));
}

int WriteDwordBig(ByteStream* s, std::uint32_t value) {
  return WriteWordBig(s, static_cast<std::uint16_t>(value >> 16)) &&
         WriteWordBig(s, static_cast<std::uint16_t>(value));
}

int FlushBits(ByteStream* s) {
  if (s->bitCount == 0) return 1;
  // 8 or more pending bits means an earlier write failed; PadMask has 8 rows.
  if (s->bitCount > 7 || !Fits(s, 1)) return FailWith(StatusOverrun);
  s->bitAcc |= PadMask[s->bitCount];
  const std::uint8_t byte = static_cast<std::uint8_t>(s->bitAcc);
  s->data[s->pos++] = byte;
  s->bitCount = 0;
  if (byte == 0xFF) {
    if (!Fits(s, 1)) return FailWith(StatusOverrun);
    s->data[s->pos++] = 0x00;
  }
  return 1;  // bitAcc keeps the completed byte
}

void SetReadOrder(ByteStream* s, int order) {
  s->ops.ReadWord = ReadWordBig;
  s->ops.ReadDword = ReadDwordBig;
  if (order == 1) {
    s->ops.ReadWord = ReadWordLittle;
    s->ops.ReadDword = ReadDwordLittle;
  }
}

void SetWriteOrder(ByteStream* s, int order) {
  s->ops.WriteWord = WriteWordBig;
  s->ops.WriteDword = WriteDwordBig;
  if (order == 1) {
    s->ops.WriteWord = WriteWordLittle;
    s->ops.WriteDword = WriteDwordLittle;
  }
}

}  // namespace

std::uint32_t TellPosition(ByteStream* stream) { return stream->pos; }

void InitMemoryStream(ByteStream* stream, std::uint32_t length, std::uint8_t* buffer) {
  stream->ops = StreamOps{
      .SetReadOrder = SetReadOrder,
      .SetWriteOrder = SetWriteOrder,
      .Tell = TellPosition,
      .Seek = Seek,
      .ReadBit = ReadBit,
      .ReadByte = ReadByte,
      .ReadWord = nullptr,  // installed by SetReadOrder below
      .ReadDword = nullptr,
      .WriteBit = WriteBit,
      .WriteByte = WriteByte,
      .WriteWord = nullptr,  // installed by SetWriteOrder below
      .WriteDword = nullptr,
      .FlushBits = FlushBits,
      .WriteBits = WriteBits,
      .WriteBlock = WriteBlock,
  };
  stream->size = length;
  stream->data = buffer;
  stream->bitAcc = 0;
  stream->bitCount = 0;
  stream->pos = 0;
  stream->ops.SetReadOrder(stream, 1);
  stream->ops.SetWriteOrder(stream, 1);
}

}  // namespace dibjpeg
