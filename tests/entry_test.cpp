// The entry point's validation order and results, the reader choice, the
// measure path's job check and the geometry that the set-up derives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "api/entry.h"
#include "block/block.h"
#include "common/status.h"
#include "pixels/pixels.h"
#include "setup/setup.h"
#include "stream/stream.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

constexpr std::uint32_t Untouched = 0xA5A5A5A5;

// A valid call over a 1x1 gray image whose pixel is 128 (327-byte stream).
struct Call {
  Bytes src{128, 0, 0, 0};
  Bytes dst = Bytes(400, 0xEE);
  JpegEncodeParams p{.srcBits = src.data(), .srcSize = 4, .dstBuffer = dst.data(), .dstSize = Untouched,
                     .width = 1, .height = 1, .bitCount = 8, .quality = 50, .channelOrder = 1};
  std::uint16_t Run(std::int32_t mode) {
    SetStatus(0x1234);  // a stale word from an earlier call
    return EncodeStart(&p, mode);
  }
};

using Edit = void (*)(JpegEncodeParams&);

// Validation failures store their code and leave dstSize and dstBuffer alone;
// later failures report the accumulated word and a zero length.
struct Outcome { const char* name; Edit edit; std::int32_t mode; std::uint16_t status; std::uint32_t dstSize; };

const Outcome Outcomes[] = {
    {"width0BeatsAll", [](auto& p) { p.width = 0, p.height = 70000, p.quality = 0, p.sampling = 9, p.bitCount = 7; },
     5, 0x2030, Untouched},
    {"height0BeatsAll", [](auto& p) { p.height = 0, p.width = 0xFFFFFFFF, p.quality = 101, p.bitCount = 0; },
     2, 0x2030, Untouched},
    {"width65536", [](auto& p) { p.width = 65536; }, 1, 0x2F00, Untouched},
    {"height65536", [](auto& p) { p.height = 65536; }, 0, 0x2F00, Untouched},
    {"widthMaxBeatsBitCount", [](auto& p) { p.width = 0xFFFFFFFF, p.bitCount = 7; }, 1, 0x2F00, Untouched},
    {"heightMax", [](auto& p) { p.height = 0xFFFFFFFF; }, 1, 0x2F00, Untouched},
    {"quality0BeatsBitCount", [](auto& p) { p.quality = 0, p.bitCount = 12; }, 1, 0x2F00, Untouched},
    {"quality101", [](auto& p) { p.quality = 101; }, 0, 0x2F00, Untouched},
    {"sampling3At8Bits", [](auto& p) { p.sampling = 3; }, 1, 0x2F00, Untouched},
    {"sampling255At24Bits", [](auto& p) { p.sampling = 255, p.bitCount = 24; }, 1, 0x2F00, Untouched},
    {"bitCountBeatsMode", [](auto& p) { p.bitCount = 15; }, 7, 0x21A0, Untouched},
    {"bitCount0", [](auto& p) { p.bitCount = 0; }, 1, 0x21A0, Untouched},
    {"bitCountHighByte", [](auto& p) { p.bitCount = 0x118; }, 1, 0x21A0, Untouched},
    {"mode2", [](auto&) {}, 2, 0x2F00, Untouched},
    {"mode0x102", [](auto&) {}, 0x102, 0x2F00, Untouched},
    {"modeAllOnes", [](auto&) {}, -1, 0x2F00, Untouched},
    {"noRoomForSoi", [](auto& p) { p.dstSize = 0; }, 1, 0x2005, 0},
    {"noRoomInApp0", [](auto& p) { p.dstSize = 10; }, 1, 0x2095, 0},
    {"noRoomForFinalFlush", [](auto& p) { p.dstSize = 324; }, 1, 0x2085, 0},
    {"noRoomForEoi", [](auto& p) { p.dstSize = 326; }, 1, 0x2005, 0},
    {"colourSourceEmpty", [](auto& p) { p.bitCount = 24, p.srcSize = 0; }, 0, 0x2085, 0},
    {"graySourceEmpty", [](auto& p) { p.srcSize = 0, p.dstSize = 400; }, 1, 0x2080, 0},
    {"quality1Measures", [](auto& p) { p.quality = 1; }, 0, 0, 327},
    {"quality100Encodes", [](auto& p) { p.quality = 100, p.dstSize = 327; }, 1, 0, 327},
    {"mode0x100Measures", [](auto&) {}, 0x100, 0, 327},
    {"mode0x101Encodes", [](auto& p) { p.dstSize = 327; }, 0x101, 0, 327},
    {"modeHighBitsIgnored", [](auto&) {}, 0x7FFFFF00, 0, 327},
    {"measureIgnoresNullBuffer", [](auto& p) { p.dstBuffer = nullptr, p.dstSize = 0; }, 0, 0, 327},
    {"sampling2Order0xFFAt8Bits", [](auto& p) { p.sampling = 2, p.channelOrder = 0xFF, p.dstSize = 400; }, 1, 0, 327},
};

class EntryOutcome : public testing::TestWithParam<Outcome> {};

TEST_P(EntryOutcome, StatusLengthAndBuffer) {
  const Outcome& o = GetParam();
  Call c;
  o.edit(c.p);
  EXPECT_EQ(c.Run(o.mode), o.status);
  EXPECT_EQ(GetStatus(), o.status == 0 ? 0x2000 : o.status);
  EXPECT_EQ(c.p.dstSize, o.dstSize);
  if (o.status == 0 && (o.mode & 1)) {
    EXPECT_EQ(Hex(c.dst.data(), 2) + " " + Hex(&c.dst[324], 4), "FF D8 2B FF D9 EE");
  } else if (o.status == 0 || o.dstSize == Untouched) {
    EXPECT_TRUE(std::all_of(c.dst.begin(), c.dst.end(), [](auto b) { return b == 0xEE; }));  // nothing written
  }
}

INSTANTIATE_TEST_SUITE_P(Entry, EntryOutcome, testing::ValuesIn(Outcomes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Entry, LargestDimensionsAreAccepted) {
  for (const auto [w, h] : {std::pair{65535u, 1u}, std::pair{1u, 65535u}}) {
    const EncodeResult r = Encode(Bytes(std::size_t(RowStride(w, 8)) * h, 128), w, h, 8, 75, 0, 0, 0, 0);
    EXPECT_EQ(r.status, 0) << w << "x" << h;
    EXPECT_GT(r.dstSize, 326u) << w << "x" << h;
  }
}

// Blue-first data read with channelOrder 1 and red-first data read with any
// other value are the same image, so the streams must match.
TEST(Entry, ReaderFollowsBitCountAndChannelOrder) {
  const RgbImage image = MakeTestImage(16, 16);
  for (int bitCount : {8, 16, 24, 32}) {
    const Bytes blueFirst = ToDib(image, bitCount, true);
    const Bytes reference = Encode(blueFirst, 16, 16, bitCount, 90, 2, 1, 1, 4096).bytes;
    ASSERT_EQ(Hex(reference.data(), 2), "FF D8");
    for (int order : {0, 2, 0xFF}) {
      const EncodeResult r = Encode(ToDib(image, bitCount, false), 16, 16, bitCount, 90, 2, order, 1, 4096);
      ASSERT_EQ(r.status, 0);
      EXPECT_EQ(r.bytes, reference) << bitCount << " bpp, channelOrder " << order;
    }
    // The image is not symmetric in red and blue: the wrong reader shows.
    if (bitCount != 8) EXPECT_NE(Encode(blueFirst, 16, 16, bitCount, 90, 2, 0, 1, 4096).bytes, reference) << bitCount;
  }
}

int NoRead(EncoderState*, std::uint8_t*) { return 0; }
int NoBlock(EncoderState*, ComponentSpec*, const std::int16_t*) { return 0; }

struct Geometry {
  std::uint16_t bitCount;
  std::uint8_t sampling;
  std::uint32_t width;
  const char* want;
  AssembleMcuFn assemble;
};

const Geometry Geometries[] = {
    {8, 0, 3, "stride 4, 1 comp, mcu 8x8, Y 1x1", nullptr},
    {8, 1, 1, "stride 4, 1 comp, mcu 8x8, Y 1x1", nullptr},
    {8, 2, 9, "stride 12, 1 comp, mcu 8x8, Y 1x1", nullptr},
    {16, 0, 2, "stride 4, 3 comp, mcu 16x16, Y 2x2, Cb 1x1, Cr 1x1", AssembleMcu420},
    {16, 1, 5, "stride 12, 3 comp, mcu 16x8, Y 2x1, Cb 1x1, Cr 1x1", AssembleMcu422},
    {24, 0, 13, "stride 40, 3 comp, mcu 16x16, Y 2x2, Cb 1x1, Cr 1x1", AssembleMcu420},
    {24, 1, 1, "stride 4, 3 comp, mcu 16x8, Y 2x1, Cb 1x1, Cr 1x1", AssembleMcu422},
    {24, 2, 7, "stride 24, 3 comp, mcu 8x8, Y 1x1, Cb 1x1, Cr 1x1", AssembleMcu444},
    {32, 2, 1001, "stride 4004, 3 comp, mcu 8x8, Y 1x1, Cb 1x1, Cr 1x1", AssembleMcu444},
};

std::string Describe(const EncoderState& s) {
  char buf[128];
  const ComponentSpec* c = s.components;
  int n = std::snprintf(buf, sizeof buf, "stride %u, %d comp, mcu %dx%d, Y %dx%d", s.rowStride, s.componentCount,
                        s.mcuWidth, s.mcuHeight, c[0].hSamp, c[0].vSamp);
  if (s.componentCount == 3)
    std::snprintf(buf + n, sizeof buf - n, ", Cb %dx%d, Cr %dx%d", c[1].hSamp, c[1].vSamp, c[2].hSamp, c[2].vSamp);
  return buf;
}

class SetupGeometry : public testing::TestWithParam<Geometry> {};

// SetupEncoder over a sink of size 0: the set-up and the sampling factors run,
// SOI fails, and the state can be inspected.
TEST_P(SetupGeometry, FillsStateBeforeTheFirstWrite) {
  const Geometry& g = GetParam();
  std::uint8_t src[4] = {0x34, 0x12}, out[2] = {};
  ByteStream source, sink;
  InitMemoryStream(&source, 4, src);
  InitMemoryStream(&sink, 0, out);
  EncoderState s;
  std::memset(&s, 0xCC, sizeof s);  // the state is not cleared before use
  s.source = &source;
  s.sink = &sink;
  const EncodeJob job{.version = 1, .reserved = 0, .quality = 42, .restartInterval = 7, .mode = 3,
                      .readMcu = NoRead, .encodeBlock = NoBlock};
  const JpegEncodeParams p{.width = g.width, .height = 3, .bitCount = g.bitCount, .sampling = g.sampling};
  SetStatus(StatusBase);
  EXPECT_EQ(SetupEncoder(&p, &job, &s), 0);
  EXPECT_EQ(GetStatus(), 0x2005);  // SOI found no room
  EXPECT_EQ(Describe(s), g.want);
  EXPECT_EQ(s.assembleMcu, g.assemble);
  EXPECT_TRUE(s.width == g.width && s.height == 3 && s.pixelBase == 0 && s.quality == 42 && s.mode == 3 &&
              s.restartInterval == 7 && s.fetchMcu == NoRead && s.encodeBlock == NoBlock);

  // The sink now writes big-endian and the source reads little-endian.
  sink.size = 2;
  std::uint16_t word = 0;
  ASSERT_TRUE(sink.ops.WriteWord(&sink, 0xFFD8) && source.ops.ReadWord(&source, &word));
  EXPECT_EQ(Hex(out, 2), "FF D8");
  EXPECT_EQ(word, 0x1234);
}

INSTANTIATE_TEST_SUITE_P(Setup, SetupGeometry, testing::ValuesIn(Geometries));

// The measure path refuses a job whose version is not 1; the set-up one whose
// reserved word is not 0.
TEST(Measure, RefusesMalformedJobs) {
  struct Row { std::uint16_t version, reserved; std::uint32_t length; std::uint16_t status; };
  for (const Row& row : {Row{1, 0, 327, 0x2000}, Row{2, 0, 0, 0x2190}, Row{0, 0, 0, 0x2190}, Row{1, 1, 0, 0x2190}}) {
    Call c;
    EncodeJob job{.version = row.version, .reserved = row.reserved, .quality = 50, .restartInterval = 0,
                  .mode = JobModeUnset, .readMcu = ReadMcuGray8, .encodeBlock = EncodeBlock};
    SetStatus(StatusBase);
    EXPECT_EQ(MeasureEncodedSize(&c.p, &job), row.length) << row.version << "/" << row.reserved;
    EXPECT_EQ(GetStatus(), row.status) << row.version << "/" << row.reserved;
    EXPECT_EQ(job.mode, JobModeCount);
  }
}

}  // namespace
}  // namespace dibjpeg::test
