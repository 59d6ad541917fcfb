// Counting stream: the sink of measure mode. It stores nothing; every write
// advances pos by exactly the bytes the memory stream would store, stuffing
// included, and size keeps the highest pos reached. A count never passes
// CountLimit, the most a 32-bit length can say: there the writes fail just
// as a memory stream's would into a buffer of that capacity, so a measure
// never reports a wrapped length.
#include "stream/stream.h"

#include "common/byte_stream.h"
#include "common/status.h"

namespace dibjpeg {
namespace {

bool Fits(const ByteStream* s) { return s->pos < CountLimit; }

// Counts one byte; the caller has tested Fits.
void CountByte(ByteStream* s) {
  ++s->pos;
  if (s->pos > s->size) s->size = s->pos;
}

void SetOrder(ByteStream*, int) {}  // byte order does not change a count

int Seek(ByteStream* s, std::uint32_t offset, int origin) {
  std::uint32_t base;
  switch (origin) {
    case 0: base = 0; break;
    case 1: base = s->pos; break;
    case 2: base = s->size; break;
    default: return 0;
  }
  const auto target = static_cast<std::int32_t>(base + offset);  // offset is signed here
  if (target < 0) return 0;
  s->pos = static_cast<std::uint32_t>(target);
  return 1;
}

// One function for all four read slots: a counting stream has nothing to read.
template <typename T>
int CannotRead(ByteStream*, T*) {
  return 0;
}

// Gathers one bit. Fails where the memory stream would, leaving the same
// state: the completed byte waits (bitCount 8) when it does not fit, and
// bitAcc keeps an 0xFF whose stuffing byte does not.
bool CountBit(ByteStream* s, unsigned bit) {
  if (s->bitCount >= 8) {
    if (s->bitCount == 8 && !Fits(s)) return false;  // a byte still waits for room
    s->bitCount = 7;  // a damaged count cannot shift out of the byte
  }
  s->bitAcc |= ((bit & 1u) << (7 - s->bitCount)) & 0xFFu;
  if (++s->bitCount < 8) return true;
  if (!Fits(s)) return false;
  CountByte(s);
  s->bitCount = 0;
  if ((s->bitAcc & 0xFF) == 0xFF) {
    if (!Fits(s)) return false;
    CountByte(s);  // the stuffing byte
  }
  s->bitAcc = 0;
  return true;
}

int WriteBit(ByteStream* s, int bit) {
  if (!CountBit(s, static_cast<unsigned>(bit))) return FailWith(StatusOverrun);
  return 1;
}

// Like the memory stream's, reports its failures by its result alone.
int WriteBits(ByteStream* s, std::uint8_t count, std::uint16_t value) {
  for (int i = (count > 16 ? 16 : count) - 1; i >= 0; --i) {
    if (!CountBit(s, (value >> i) & 1u)) return 0;
  }
  return 1;
}

int WriteByte(ByteStream* s, std::uint8_t) {
  if (s->bitCount != 0) {
    if (!Fits(s)) return FailWith(StatusOverrun);
    CountByte(s);  // the pending byte, written unstuffed with its low bits 0
    s->bitCount = 0;
  }
  if (!Fits(s)) return FailWith(StatusOverrun);
  CountByte(s);
  return 1;
}

// Counts what the WriteByte calls would: the pending byte, then `count`
// bytes, up to CountLimit.
int WriteBlock(ByteStream* s, const std::uint8_t*, std::uint32_t count) {
  if (count == 0) return 1;
  if (s->bitCount != 0) {
    if (!Fits(s)) return FailWith(StatusOverrun);
    CountByte(s);
    s->bitCount = 0;
  }
  const std::uint32_t room = CountLimit - s->pos;
  const std::uint32_t n = count < room ? count : room;
  s->pos += n;
  if (s->pos > s->size) s->size = s->pos;
  if (n < count) return FailWith(StatusOverrun);
  return 1;
}

int WriteWord(ByteStream* s, std::uint16_t) { return WriteByte(s, 0) && WriteByte(s, 0); }

int WriteDword(ByteStream* s, std::uint32_t) { return WriteWord(s, 0) && WriteWord(s, 0); }

int FlushBits(ByteStream* s) {
  if (s->bitCount == 0) return 1;
  if (!Fits(s)) return FailWith(StatusOverrun);
  CountByte(s);
  s->bitAcc |= PadMask[s->bitCount > 7 ? 7 : s->bitCount];
  s->bitCount = 0;
  if ((s->bitAcc & 0xFF) == 0xFF) {
    if (!Fits(s)) return FailWith(StatusOverrun);
    CountByte(s);
  }
  return 1;  // bitAcc keeps the completed value
}

}  // namespace

void InitCountingStream(ByteStream* stream) {
  stream->ops = StreamOps{
      .SetReadOrder = SetOrder,
      .SetWriteOrder = SetOrder,
      .Tell = TellPosition,
      .Seek = Seek,
      .ReadBit = CannotRead<std::uint16_t>,
      .ReadByte = CannotRead<std::uint8_t>,
      .ReadWord = CannotRead<std::uint16_t>,
      .ReadDword = CannotRead<std::uint32_t>,
      .WriteBit = WriteBit,
      .WriteByte = WriteByte,
      .WriteWord = WriteWord,
      .WriteDword = WriteDword,
      .FlushBits = FlushBits,
      .WriteBits = WriteBits,
      .WriteBlock = WriteBlock,
  };
  stream->bitAcc = 0;
  stream->bitCount = 0;
  stream->size = 0;
  stream->pos = 0;
  stream->data = nullptr;
}

}  // namespace dibjpeg
