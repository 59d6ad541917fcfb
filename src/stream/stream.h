// The two kinds of byte stream: the memory stream over a bounded caller
// buffer and the counting stream that stores nothing and measures.
#pragma once

#include <cstdint>

#include "common/byte_stream.h"

namespace dibjpeg {

// The Tell slot of both kinds.
std::uint32_t TellPosition(ByteStream* stream);

// A memory stream over `length` bytes at `buffer`, little-endian both ways.
void InitMemoryStream(ByteStream* stream, std::uint32_t length, std::uint8_t* buffer);

// A counting stream: no buffer, everything 0.
void InitCountingStream(ByteStream* stream);

}  // namespace dibjpeg
