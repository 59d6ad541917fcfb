// The records of one encoding: the job the entry point hands over and the
// state every stage reads its geometry from, keeps its counters in and
// reaches the streams, tables and per-MCU functions through. All of them live
// in the entry call's automatic storage and own nothing.
#pragma once

#include <cstdint>

#include "common/byte_stream.h"
#include "common/tables.h"
#include "dibjpeg/dibjpeg.h"

namespace dibjpeg {

struct EncoderState;
struct ComponentSpec;

// Delivers the MCU with index mcusDone into the MCU buffer; 1 on success.
using ReadMcuFn = int (*)(EncoderState* state, std::uint8_t* mcuBuffer);
// Subsamples the chroma planes and lays the MCU's 8x8 blocks out.
using AssembleMcuFn = void (*)(std::uint8_t* mcuBuffer, const std::uint8_t* planeY, const std::uint8_t* planeCb,
                               const std::uint8_t* planeCr);
// Codes one block of 64 quantized coefficients (natural order); 1 on success.
using EncodeBlockFn = int (*)(EncoderState* state, ComponentSpec* component, const std::int16_t* coefficients);

// Job modes. Downstream only bit 0 matters: set = emit bytes.
inline constexpr std::uint16_t JobModeCount = 2;
inline constexpr std::uint16_t JobModeEmit = 3;
inline constexpr std::uint16_t JobModeUnset = 0xFFFF;

struct EncodeJob {
  std::uint16_t version;          // always 1
  std::uint16_t reserved;         // always 0
  std::uint8_t quality;           // 1..100
  std::uint16_t restartInterval;  // MCUs per interval; 0 = one interval
  std::uint16_t mode;             // JobModeCount or JobModeEmit
  ReadMcuFn readMcu;
  EncodeBlockFn encodeBlock;
};

struct ComponentSpec {
  std::uint8_t id;           // 1, 2, 3 in SOF0 and SOS
  std::uint8_t hSamp;        // 1 or 2
  std::uint8_t vSamp;        // 1 or 2
  std::int16_t lastDc;       // DC predictor, 0 at every interval start
  const HuffTable* dcTable;
  const HuffTable* acTable;
  QuantTable* quantTable;
};

// Where the library's readers are: the MCU with index `index` starts at
// pixel x0 of MCU column `column`, and rowsLeft image rows lie at or below
// its top row (0 past the bottom). A reader asked for that index steps on
// from here instead of dividing; any other index, or a cursor not yet
// `placed` (the scan driver clears it), is located afresh.
struct McuCursor {
  bool placed;
  std::uint32_t index;
  std::uint32_t column;
  std::uint32_t x0;
  std::uint32_t rowsLeft;
};

struct EncoderState {
  std::uint8_t componentCount;    // 1 (gray) or 3 (Y, Cb, Cr)
  std::uint16_t frameHeight;      // low 16 bits of height, as in SOF0
  std::uint16_t frameWidth;       // low 16 bits of width
  std::uint16_t restartInterval;  // from the job
  std::uint32_t width;            // pixels
  std::uint32_t height;           // rows
  std::uint32_t pixelBase;        // source offset of the bottom row: 0
  std::uint8_t quality;           // 1..100
  std::uint16_t mode;             // bit 0 set: the block coder writes bytes
  std::uint8_t mcuWidth;          // 8 or 16
  std::uint8_t mcuHeight;         // 8 or 16
  std::uint16_t mcusPerRow;
  std::uint32_t mcuTotal;
  std::uint32_t mcusDone;         // MCUs coded; the index of the next one
  McuCursor readerCursor;         // kept by the library's readers
  ComponentSpec components[3];    // Y (or gray), Cb, Cr
  std::uint32_t rowStride;        // bytes from one source row to the next
  ByteStream* source;             // memory stream over the pixels, little-endian
  ByteStream* sink;               // memory stream (big-endian) or counting stream
  ReadMcuFn fetchMcu;
  EncodeBlockFn encodeBlock;
  AssembleMcuFn assembleMcu;      // null for gray
};

}  // namespace dibjpeg
