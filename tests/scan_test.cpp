// The scan driver over a hand-built state whose fetchMcu and encodeBlock are
// test doubles: the MCU grid, the block walk, the interval resets and the
// restart markers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/status.h"
#include "jpeg/jpeg.h"
#include "stream/stream.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

// What the doubles saw. Function pointers carry no context, hence one global.
struct Record {
  struct Fetch {
    std::uint32_t mcusDone;
    std::int16_t lastDc[3];
    std::uint32_t bitAcc;
  };
  struct Block { int component; int dc; bool acZero; };
  std::vector<Fetch> fetches;
  std::vector<Block> blocks;
  int failFetch = -1, failBlock = -1;
  bool writeBits = false;  // each block appends the bits 101
} record;

// Block b of MCU m is filled with one sample value, so its DC names it.
int Sample(std::uint32_t m, int b) { return 2 * b + 16 * static_cast<int>(m % 8); }

int FetchDouble(EncoderState* s, std::uint8_t* mcu) {
  const ComponentSpec* c = s->components;
  record.fetches.push_back({s->mcusDone, {c[0].lastDc, c[1].lastDc, c[2].lastDc}, s->sink->bitAcc});
  if (static_cast<int>(record.fetches.size()) - 1 == record.failFetch) return 0;
  for (int b = 0; b < 6; ++b) std::memset(mcu + 64 * b, Sample(s->mcusDone, b), 64);
  return 1;
}

int EncodeDouble(EncoderState* s, ComponentSpec* c, const std::int16_t* coefficients) {
  if (static_cast<int>(record.blocks.size()) == record.failBlock) return 0;
  bool acZero = true;
  for (int k = 1; k < 64; ++k) acZero = acZero && coefficients[k] == 0;
  record.blocks.push_back({static_cast<int>(c - s->components), coefficients[0], acZero});
  c->lastDc = 0x55;
  return record.writeBits ? s->sink->ops.WriteBits(s->sink, 3, 0b101) : 1;
}

// A state as the frame writer leaves it for the scan driver, with garbage
// wherever the driver must write first. Luminance divisors are 8 and
// chrominance 16, so a block's DC also shows which table quantized it.
struct ScanRig {
  Bytes out = Bytes(80, 0xEE);
  ByteStream sink;
  QuantTable quant[2];
  HuffTable huff[2];
  EncoderState s;
  ScanRig(int components, int mcuWidth, int mcuHeight, std::uint32_t width, std::uint32_t height,
          std::uint16_t interval = 0) {
    record = Record{};
    InitMemoryStream(&sink, 64, out.data());
    sink.ops.SetWriteOrder(&sink, 0);
    sink.bitAcc = 0xAA;  // stale: must not leak into the scan data
    std::memset(&s, 0xCC, sizeof s);
    for (int t = 0; t < 2; ++t) {
      quant[t].tableId = huff[t].tableId = static_cast<std::uint8_t>(t);
      for (int j = 0; j < 64; ++j) SetQuantValue(&quant[t], j, t == 0 ? 1 : 2);
    }
    s.componentCount = static_cast<std::uint8_t>(components);
    s.width = width;
    s.height = height;
    s.mcuWidth = static_cast<std::uint8_t>(mcuWidth);
    s.mcuHeight = static_cast<std::uint8_t>(mcuHeight);
    s.restartInterval = interval;
    s.sink = &sink;
    s.fetchMcu = FetchDouble;
    s.encodeBlock = EncodeDouble;
    for (int k = 0; k < 3; ++k) {
      ComponentSpec& c = s.components[k];
      c.id = static_cast<std::uint8_t>(k + 1);
      c.hSamp = c.vSamp = 1;
      c.lastDc = 77;
      c.dcTable = c.acTable = &huff[k == 0 ? 0 : 1];
      c.quantTable = &quant[k == 0 ? 0 : 1];
    }
    s.components[0].hSamp = static_cast<std::uint8_t>(mcuWidth / 8);
    s.components[0].vSamp = static_cast<std::uint8_t>(mcuHeight / 8);
  }
  std::string Written() const { return Hex(out.data(), sink.pos); }
};

struct Grid {
  const char* name;
  int components, mcuWidth, mcuHeight;
  std::uint32_t width, height;
  int mcusPerRow, mcuTotal;
  std::vector<int> layout;  // component of each block of an MCU, in walk order
};

const Grid Grids[] = {
    {"gray1x1", 1, 8, 8, 1, 1, 1, 1, {0}},
    {"gray17x9", 1, 8, 8, 17, 9, 3, 6, {0}},
    {"c420at8x8", 3, 16, 16, 8, 8, 1, 1, {0, 0, 0, 0, 1, 2}},
    {"c420at17x17", 3, 16, 16, 17, 17, 2, 4, {0, 0, 0, 0, 1, 2}},
    {"c422at100x50", 3, 16, 8, 100, 50, 7, 49, {0, 0, 1, 2}},
    {"c444at9x17", 3, 8, 8, 9, 17, 2, 6, {0, 1, 2}},
};

class ScanGrid : public testing::TestWithParam<Grid> {};

TEST_P(ScanGrid, WalksEveryMcuAndBlockInOrder) {
  const Grid& g = GetParam();
  ScanRig rig(g.components, g.mcuWidth, g.mcuHeight, g.width, g.height);
  ASSERT_EQ(EncodeScan(&rig.s), 1);
  EXPECT_EQ(rig.s.mcusPerRow, g.mcusPerRow);
  EXPECT_EQ(rig.s.mcuTotal, static_cast<std::uint32_t>(g.mcuTotal));
  EXPECT_EQ(rig.s.mcusDone, static_cast<std::uint32_t>(g.mcuTotal));
  EXPECT_EQ(rig.s.frameWidth, g.width);
  EXPECT_EQ(rig.s.frameHeight, g.height);
  EXPECT_EQ(rig.Written(), g.components == 1 ? "FF DA 00 08 01 01 00 00 3F 00"
                                             : "FF DA 00 0C 03 01 00 02 11 03 11 00 3F 00");
  ASSERT_EQ(record.fetches.size(), static_cast<std::size_t>(g.mcuTotal));
  for (int m = 0; m < g.mcuTotal; ++m) EXPECT_EQ(record.fetches[m].mcusDone, static_cast<std::uint32_t>(m));
  const int perMcu = static_cast<int>(g.layout.size());
  ASSERT_EQ(record.blocks.size(), static_cast<std::size_t>(g.mcuTotal * perMcu));
  for (std::size_t i = 0; i < record.blocks.size(); ++i) {
    const int m = static_cast<int>(i) / perMcu, b = static_cast<int>(i) % perMcu;
    const Record::Block& seen = record.blocks[i];
    EXPECT_EQ(seen.component, g.layout[b]) << "block " << i;
    EXPECT_EQ(seen.dc, (seen.component == 0 ? 8 : 4) * (Sample(m, b) - 128)) << "block " << i;
    EXPECT_TRUE(seen.acZero) << "block " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Scan, ScanGrid, testing::ValuesIn(Grids),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Scan, StopsAtTheFirstFailure) {
  struct Row { int failFetch, failBlock; std::uint32_t mcusDone; std::size_t blocks; };
  for (const Row& row : {Row{0, -1, 0, 0}, Row{2, -1, 2, 12}, Row{-1, 0, 0, 0}, Row{-1, 9, 1, 9}}) {
    ScanRig rig(3, 16, 16, 40, 40);  // 9 MCUs of 6 blocks
    record.failFetch = row.failFetch;
    record.failBlock = row.failBlock;
    EXPECT_EQ(EncodeScan(&rig.s), 0);
    EXPECT_EQ(rig.s.mcusDone, row.mcusDone) << row.failFetch << " " << row.failBlock;
    EXPECT_EQ(record.blocks.size(), row.blocks) << row.failFetch << " " << row.failBlock;
    EXPECT_EQ(rig.sink.pos, 14u);  // SOS only
  }
}

// Rows of 8x8 MCUs whose blocks each append the bits 101: the bytes show where
// each interval was flushed (1-bit padding) and where DRI and RSTn went.
struct Restart { const char* name; int components; std::uint32_t width; std::uint16_t interval; const char* written; };

const Restart Restarts[] = {
    {"none", 1, 40, 0, "FF DA 00 08 01 01 00 00 3F 00 B6 DB"},
    {"every2of5", 1, 40, 2, "FF DD 00 04 00 02 FF DA 00 08 01 01 00 00 3F 00 B7 FF D0 B7 FF D1 BF"},
    {"every3of5Stuffed", 1, 40, 3, "FF DD 00 04 00 03 FF DA 00 08 01 01 00 00 3F 00 B6 FF 00 FF D0 B7"},
    {"every5of5", 1, 40, 5, "FF DD 00 04 00 05 FF DA 00 08 01 01 00 00 3F 00 B6 DB"},
    {"every1of10Cycles", 1, 80, 1,
     "FF DD 00 04 00 01 FF DA 00 08 01 01 00 00 3F 00 BF FF D0 BF FF D1 BF FF D2 BF FF D3 BF FF D4 BF FF D5 BF "
     "FF D6 BF FF D7 BF FF D0 BF"},
    {"colourEvery2of3", 3, 24, 2,
     "FF DD 00 04 00 02 FF DA 00 0C 03 01 00 02 11 03 11 00 3F 00 B6 DB 7F FF D0 B6 FF 00"},
};

class ScanRestart : public testing::TestWithParam<Restart> {};

TEST_P(ScanRestart, MarkersFlushesAndResets) {
  const Restart& r = GetParam();
  ScanRig rig(r.components, 8, 8, r.width, 8, r.interval);
  record.writeBits = true;
  ASSERT_EQ(EncodeScan(&rig.s), 1);
  EXPECT_EQ(rig.Written(), r.written);
  EXPECT_EQ(Hex(&rig.out[64], 16), Hex(Bytes(16, 0xEE)));
  const std::uint32_t length = r.interval != 0 ? r.interval : rig.s.mcuTotal;
  for (const Record::Fetch& f : record.fetches) {
    const bool start = f.mcusDone % length == 0;  // predictors and pending byte cleared
    if (start) EXPECT_EQ(f.bitAcc, 0u) << "MCU " << f.mcusDone;
    for (int k = 0; k < 3; ++k) {
      if (start || k < r.components) EXPECT_EQ(f.lastDc[k], start ? 0 : 0x55) << "MCU " << f.mcusDone << " comp " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Scan, ScanRestart, testing::ValuesIn(Restarts),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dibjpeg::test
