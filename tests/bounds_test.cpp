// Output and source bounds through the public function: every output
// capacity from 0 to the full length, with guard bytes after the buffer, and
// the source edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "block/block.h"
#include "common/encoder_state.h"
#include "common/status.h"
#include "pixels/pixels.h"
#include "setup/setup.h"
#include "stream/stream.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

struct Image {
  const char* name;
  std::uint32_t width, height;
  int bitCount, sampling, channelOrder;
  ReadMcuFn reader;
  std::uint32_t stageEnds[6];  // where SOI, APP0, DHT, DQT, SOF0 and SOS end
};
const Image kImages[] = {
    {"gray 13x11", 13, 11, 8, 0, 0, ReadMcuGray8, {2, 20, 232, 301, 314, 324}},
    {"colour 19x13 4:2:0", 19, 13, 24, 0, 1, ReadMcuBgr24, {2, 20, 440, 574, 593, 607}},
    {"colour 9x7 4:2:2", 9, 7, 32, 1, 0, ReadMcuRgb32, {2, 20, 440, 574, 593, 607}},
};
constexpr int kQuality = 75;

Bytes Pixels(const Image& im) { return ToDib(MakeTestImage(im.width, im.height), im.bitCount, im.channelOrder == 1); }

// Sink positions at which a block-coder call (DC part or AC part) ended, in
// a measure run: a failing call writes nothing, so an encode that runs out
// of room stops at one of them.
std::vector<std::uint32_t> callEnds;
int RecordingEncodeBlock(EncoderState* state, ComponentSpec* component, const std::int16_t* coefficients) {
  const std::int16_t previous = component->lastDc;
  component->lastDc = coefficients[0];
  if (!EncodeDcDiff(state, component->dcTable, std::int32_t{coefficients[0]} - previous)) return 0;
  callEnds.push_back(state->sink->pos);
  if (!EncodeAcCoefficients(state, component->acTable, coefficients)) return 0;
  callEnds.push_back(state->sink->pos);
  return 1;
}

// Runs the encoder's set-up directly over `sink`, with the given block coder;
// returns the status word (0 on success).
std::uint16_t RunEncoder(const Image& im, const Bytes& src, ByteStream* sink, std::uint16_t mode,
                         EncodeBlockFn encodeBlock, std::uint8_t quality = 100) {
  JpegEncodeParams params{};
  params.srcBits = src.data();
  params.srcSize = static_cast<std::uint32_t>(src.size());
  params.width = im.width;
  params.height = im.height;
  params.bitCount = static_cast<std::uint16_t>(im.bitCount);
  params.quality = quality;
  params.sampling = static_cast<std::uint8_t>(im.sampling);
  params.channelOrder = static_cast<std::uint8_t>(im.channelOrder);
  const EncodeJob job{1, 0, quality, 0, mode, im.reader, encodeBlock};
  ByteStream source;
  InitMemoryStream(&source, params.srcSize, const_cast<std::uint8_t*>(src.data()));
  EncoderState state{};
  state.source = &source;
  state.sink = sink;
  SetStatus(StatusBase);
  return SetupEncoder(&params, &job, &state) ? 0 : GetStatus();
}

std::vector<std::uint32_t> BlockCoderCallEnds(const Image& im, const Bytes& src) {
  ByteStream sink;
  InitCountingStream(&sink);
  callEnds.assign(1, im.stageEnds[5]);
  EXPECT_EQ(RunEncoder(im, src, &sink, JobModeCount, RecordingEncodeBlock, kQuality), 0);
  return callEnds;
}

// Encodes into `capacity` bytes followed by guard bytes, all preset to
// `fill`; returns the status and the buffer.
EncodeResult EncodeWithGuard(const Image& im, const Bytes& src, std::uint32_t capacity, std::uint8_t fill) {
  EncodeResult r;
  r.bytes.assign(capacity + 16, fill);
  JpegEncodeParams p{};
  p.srcBits = src.data();
  p.srcSize = static_cast<std::uint32_t>(src.size());
  p.dstBuffer = r.bytes.data();
  p.dstSize = capacity;
  p.width = im.width;
  p.height = im.height;
  p.bitCount = static_cast<std::uint16_t>(im.bitCount);
  p.quality = kQuality;
  p.sampling = static_cast<std::uint8_t>(im.sampling);
  p.channelOrder = static_cast<std::uint8_t>(im.channelOrder);
  r.status = Jpeg_EncodeStart(&p, 1);
  r.dstSize = p.dstSize;
  return r;
}

TEST(BoundsOutput, EveryCapacityFailsWithItsStageStatus) {
  constexpr std::uint16_t headerStatus[6] = {0x2005, 0x2095, 0x2045, 0x2055, 0x2075, 0x2085};
  for (const Image& im : kImages) {
    const Bytes src = Pixels(im);
    const EncodeResult full = Encode(src, im.width, im.height, im.bitCount, kQuality, im.sampling, im.channelOrder, 1, 1 << 16);
    ASSERT_EQ(full.status, 0) << im.name;
    const std::uint32_t length = full.dstSize;
    const std::vector<std::uint32_t> ends = BlockCoderCallEnds(im, src);
    const std::uint32_t blockDataEnd = ends.back();
    // The final flush writes the last partial byte, and its stuffing byte if it is 0xFF.
    ASSERT_GE(length - 2 - blockDataEnd, 1u) << im.name << ": pick an image whose scan ends mid-byte";
    ASSERT_LE(length - 2 - blockDataEnd, 2u) << im.name;

    for (std::uint32_t capacity = 0; capacity <= length; ++capacity) {
      SCOPED_TRACE(testing::Message() << im.name << " capacity " << capacity << " of " << length);
      const EncodeResult a = EncodeWithGuard(im, src, capacity, 0x00), b = EncodeWithGuard(im, src, capacity, 0xFF);
      ASSERT_EQ(a.status, b.status);
      if (capacity == length) {
        ASSERT_EQ(a.status, 0);
        ASSERT_EQ(a.dstSize, length);
        ASSERT_TRUE(std::equal(full.bytes.begin(), full.bytes.begin() + length, a.bytes.begin()));
        continue;
      }
      std::uint16_t want;
      std::uint32_t written = capacity;  // a failing stream write stops at the last byte that fits
      const auto stage = std::upper_bound(im.stageEnds, im.stageEnds + 6, capacity) - im.stageEnds;
      if (stage < 6) want = headerStatus[stage];
      else if (capacity < blockDataEnd) {
        want = 0x2080;  // the block coder found no room; its calls are all or nothing
        written = *(std::upper_bound(ends.begin(), ends.end(), capacity) - 1);
      } else if (capacity < length - 2) want = 0x2085;  // the final flush
      else want = 0x2005;  // EOI
      ASSERT_EQ(a.status, want);
      ASSERT_EQ(a.dstSize, 0u);
      ASSERT_EQ(b.dstSize, 0u);
      // What was written is the stream's prefix; nothing after it, guard bytes included, changed.
      ASSERT_TRUE(std::equal(full.bytes.begin(), full.bytes.begin() + written, a.bytes.begin()));
      ASSERT_TRUE(std::equal(a.bytes.begin(), a.bytes.begin() + written, b.bytes.begin()));
      ASSERT_TRUE(std::all_of(a.bytes.begin() + written, a.bytes.end(), [](std::uint8_t v) { return v == 0x00; }));
      ASSERT_TRUE(std::all_of(b.bytes.begin() + written, b.bytes.end(), [](std::uint8_t v) { return v == 0xFF; }));
    }
  }
}

// EncodeBlock under another address, so the scan driver codes block by block.
int BlockByBlock(EncoderState* state, ComponentSpec* component, const std::int16_t* coefficients) {
  return EncodeBlock(state, component, coefficients);
}

// Images large enough for the scan driver to code whole MCUs straight into
// the sink before room runs short. At every capacity the whole-MCU path
// writes the same bytes and fails the same way as the block-by-block coder,
// and a measure with only that much room left before the 32-bit limit fails
// the same way too (so a measure never reports a wrapped length).
TEST(BoundsOutput, WholeMcusAndMeasureLimitMatchBlockByBlock) {
  const Image images[] = {{"colour 64x64 4:2:0", 64, 64, 24, 0, 1, ReadMcuBgr24, {}},
                          {"colour 48x40 4:4:4", 48, 40, 32, 2, 0, ReadMcuRgb32, {}},
                          {"gray 160x128", 160, 128, 8, 0, 0, ReadMcuGray8, {}}};
  std::mt19937 rng(5);
  for (const Image& im : images) {
    Bytes src(RowStride(im.width, im.bitCount) * im.height);  // noise: long codes, 0xFF bytes
    for (std::uint8_t& b : src) b = static_cast<std::uint8_t>(rng());
    ByteStream counter;
    InitCountingStream(&counter);
    ASSERT_EQ(RunEncoder(im, src, &counter, JobModeCount, EncodeBlock), 0) << im.name;
    const std::uint32_t length = counter.size;
    ASSERT_GT(length, 2 * 6 * 528u) << im.name << ": too small to take the whole-MCU path";
    // Every capacity near the end, a sample of the others.
    for (std::uint32_t capacity = 0; capacity <= length;
         capacity += capacity + 4000 < length ? 97 : capacity + 600 < length ? 7 : 1) {
      SCOPED_TRACE(testing::Message() << im.name << " capacity " << capacity << " of " << length);
      Bytes want(capacity + 16, 0xA5), have(capacity + 16, 0xA5);
      ByteStream a, b, measure;
      InitMemoryStream(&a, capacity, want.data());
      InitMemoryStream(&b, capacity, have.data());
      const std::uint16_t wantStatus = RunEncoder(im, src, &a, JobModeEmit, BlockByBlock);
      ASSERT_EQ(RunEncoder(im, src, &b, JobModeEmit, EncodeBlock), wantStatus);
      ASSERT_EQ(wantStatus == 0, capacity == length);
      ASSERT_EQ(b.pos, a.pos);
      ASSERT_TRUE(have == want) << "first difference at byte "
                                << std::mismatch(have.begin(), have.end(), want.begin()).first - have.begin();
      InitCountingStream(&measure);
      measure.pos = measure.size = CountLimit - capacity;
      ASSERT_EQ(RunEncoder(im, src, &measure, JobModeCount, EncodeBlock), wantStatus);
      if (wantStatus == 0) ASSERT_EQ(measure.size, CountLimit);
    }
  }
}

// The first MCU row reads the last rows in memory, so a short source fails
// on the rightmost MCU of the top row; the statuses come from the readers.
TEST(BoundsSource, ShortAndEmptySources) {
  struct Case {
    const char* name;
    std::uint32_t width, height;
    int bitCount;
    int shortBy;  // -1: empty source
    std::uint16_t status;
  } const cases[] = {
      {"colour one byte short", 19, 13, 24, 1, 0x2085},
      {"colour 16-bit one byte short", 21, 5, 16, 1, 0x2085},
      {"colour empty", 19, 13, 32, -1, 0x2085},
      {"gray one byte short", 13, 11, 8, 1, 0x2085},
      {"gray top row's last MCU starts at the end", 17, 11, 8, 1, 0x2080},
      {"gray empty", 13, 11, 8, -1, 0x2080},
      {"gray minimal size", 13, 11, 8, 0, 0},
      {"colour minimal size", 19, 13, 24, 0, 0},
  };
  for (const Case& c : cases) {
    Bytes src = ToDib(MakeTestImage(c.width, c.height), c.bitCount, false);
    const std::size_t minimal = (c.height - 1) * RowStride(c.width, c.bitCount) + c.width * (c.bitCount / 8);
    src.resize(c.shortBy < 0 ? 0 : minimal - c.shortBy);
    for (int mode : {0, 1}) {
      const EncodeResult r = Encode(src, c.width, c.height, c.bitCount, kQuality, 0, 0, mode, 1 << 16);
      EXPECT_EQ(r.status, c.status) << c.name << " mode " << mode;
      if (c.status != 0) EXPECT_EQ(r.dstSize, 0u) << c.name << " mode " << mode;
      else EXPECT_GT(r.dstSize, 324u) << c.name << " mode " << mode;
    }
  }
}

// A 1x1 gray pixel of 128: 324 bytes of headers, the scan byte 0x2B (DC
// category 0, EOB, two 1-bits of padding) and EOI, whatever the quality and
// sampling, in both modes.
TEST(BoundsOutput, OneGrayPixel) {
  const Bytes src = {128};
  for (int quality : {1, 50, 75, 100}) {
    for (int sampling : {0, 1, 2}) {
      const EncodeResult measured = Encode(src, 1, 1, 8, quality, sampling, 0, 0, 0);
      const EncodeResult encoded = Encode(src, 1, 1, 8, quality, sampling, 0, 1, 400);
      ASSERT_EQ(measured.status, 0);
      ASSERT_EQ(encoded.status, 0);
      EXPECT_EQ(measured.dstSize, 327u) << "q" << quality << " s" << sampling;
      ASSERT_EQ(encoded.dstSize, 327u) << "q" << quality << " s" << sampling;
      EXPECT_EQ(Hex(&encoded.bytes[322], 5), "3F 00 2B FF D9") << "q" << quality << " s" << sampling;
    }
  }
}

}  // namespace
}  // namespace dibjpeg::test
