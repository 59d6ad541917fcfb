// Counting stream: the sink of measure mode. It stores nothing; every write
// advances pos by exactly the bytes the memory stream would store, stuffing
// included, and size keeps the highest pos reached. Writes never fail and it
// never touches the status word.
#include "stream/byte_stream.h"

namespace dibjpeg {
namespace {

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

void CountBit(ByteStream* s, unsigned bit) {
  if (s->bitCount > 7) s->bitCount = 7;  // a damaged count cannot shift out of the byte
  s->bitAcc |= ((bit & 1u) << (7 - s->bitCount)) & 0xFFu;
  if (++s->bitCount < 8) return;
  CountByte(s);
  if ((s->bitAcc & 0xFF) == 0xFF) CountByte(s);  // the stuffing byte
  s->bitAcc = 0;
  s->bitCount = 0;
}

int WriteBit(ByteStream* s, int bit) {
  CountBit(s, static_cast<unsigned>(bit));
  return 1;
}

int WriteBits(ByteStream* s, std::uint8_t count, std::uint16_t value) {
  for (int i = (count > 16 ? 16 : count) - 1; i >= 0; --i) CountBit(s, (value >> i) & 1u);
  return 1;
}

int WriteByte(ByteStream* s, std::uint8_t) {
  if (s->bitCount != 0) {
    CountByte(s);  // the pending byte, written unstuffed with its low bits 0
    s->bitCount = 0;
  }
  CountByte(s);
  return 1;
}

int WriteWord(ByteStream* s, std::uint16_t) { return WriteByte(s, 0) && WriteByte(s, 0); }

int WriteDword(ByteStream* s, std::uint32_t) { return WriteWord(s, 0) && WriteWord(s, 0); }

int FlushBits(ByteStream* s) {
  if (s->bitCount == 0) return 1;
  CountByte(s);
  s->bitAcc |= PadMask[s->bitCount > 7 ? 7 : s->bitCount];
  s->bitCount = 0;
  if ((s->bitAcc & 0xFF) == 0xFF) CountByte(s);
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
  };
  stream->bitAcc = 0;
  stream->bitCount = 0;
  stream->size = 0;
  stream->pos = 0;
  stream->data = nullptr;
}

}  // namespace dibjpeg
