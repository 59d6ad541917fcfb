// Hardening: the block coder's staging area under worst-case blocks, hostile
// image geometry through the public entry point, and a large encode on a
// thread with a small stack.
#include <gtest/gtest.h>
#include <limits.h>  // PTHREAD_STACK_MIN
#include <pthread.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "block/block.h"
#include "common/encoder_state.h"
#include "jpeg/jpeg.h"
#include "stream/stream.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

// ---------------------------------------------------------------------------
// Staging area. The block coder stages one call's bytes without a bound test.
// Pixels can produce at most 215 bytes for the luminance AC table, 196 for the
// chrominance one and 6 for a DC difference; the area is sized for any 16-bit
// coefficients, with room to spare.

constexpr int LumaAc = 1, ChromaAc = 3;  // indexes into StandardHuffTables
constexpr int LumaDc = 0, ChromaDc = 2;

int AcBound(int table) { return table == LumaAc ? 215 : 196; }

// The DCT preserves energy: the quantized coefficients of a block at divisor 8
// have a sum of squares of at most that of the level-shifted samples,
// 64 x 128^2 = 1024^2, plus what rounding adds to the norm (under 8).
constexpr std::int64_t EnergyLimit = 1032 * 1032;

std::int64_t Energy(const std::int16_t* c) {
  std::int64_t e = 0;
  for (int i = 0; i < 64; ++i) e += std::int64_t{c[i]} * c[i];
  return e;
}

class StagingArea : public testing::Test {
 protected:
  void SetUp() override {
    InitCountingStream(&counter_);
    state_.sink = &counter_;
    state_.componentCount = 3;
    state_.mode = JobModeCount;
    for (std::uint16_t& d : divisor8_.divisor) d = 8;
  }

  // The worst state a call can start from: seven pending 1-bits, so the
  // first byte it completes can be 0xFF.
  void StartWorst(ByteStream* sink) {
    sink->pos = 0;
    sink->bitCount = 7;
    sink->bitAcc = 0xFE;
  }

  // Bytes one AC call stages, stuffing included (measure mode's tally).
  int AcBytes(const std::int16_t* c, int table) {
    state_.sink = &counter_;
    state_.mode = JobModeCount;
    StartWorst(&counter_);
    EncodeAcCoefficients(&state_, &tables_[table], c);
    return static_cast<int>(counter_.pos);
  }

  // The same call in encode mode: what really passes through the staging area.
  int AcBytesWritten(const std::int16_t* c, int table) {
    std::uint8_t buffer[1024];
    ByteStream sink;
    InitMemoryStream(&sink, sizeof buffer, buffer);
    state_.sink = &sink;
    state_.mode = JobModeEmit;
    StartWorst(&sink);
    const int ok = EncodeAcCoefficients(&state_, &tables_[table], c);
    state_.sink = &counter_;
    return ok ? static_cast<int>(sink.pos) : -1;
  }

  int DcBytes(std::int32_t diff, int table) {
    StartWorst(&counter_);
    EncodeDcDiff(&state_, &tables_[table], diff);
    return static_cast<int>(counter_.pos);
  }

  void Quantize(const std::uint8_t samples[64], std::int16_t c[64]) {
    std::int32_t out[64];
    ForwardDct(out, samples);
    QuantizeBlock(c, out, &divisor8_);
  }

  ByteStream counter_;
  EncoderState state_{};
  const HuffTable* tables_ = StandardHuffTables;
  QuantTable divisor8_{};
};

// Sample blocks that push the DCT hardest: the sign pattern of every basis
// function at full swing (each gives its own coefficient's largest magnitude),
// flat extremes, and random 0/255 noise.
std::vector<std::array<std::uint8_t, 64>> ExtremeSampleBlocks() {
  std::vector<std::array<std::uint8_t, 64>> blocks;
  const double pi = std::acos(-1.0);
  for (int u = 0; u < 8; ++u) {
    for (int v = 0; v < 8; ++v) {
      std::array<std::uint8_t, 64> high{}, low{};
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
          const bool positive = std::cos((2 * y + 1) * u * pi / 16) * std::cos((2 * x + 1) * v * pi / 16) > 0;
          high[8 * y + x] = positive ? 255 : 0;
          low[8 * y + x] = positive ? 0 : 255;
        }
      }
      blocks.push_back(high);
      blocks.push_back(low);
    }
  }
  std::mt19937 rng(7);
  for (int n = 0; n < 500; ++n) {
    std::array<std::uint8_t, 64> noise;
    for (std::uint8_t& s : noise) s = (rng() & 1) ? 255 : 0;
    blocks.push_back(noise);
  }
  return blocks;
}

TEST_F(StagingArea, QuantizedDctStaysWithinTheEnergyLimit) {
  for (const auto& samples : ExtremeSampleBlocks()) {
    std::int16_t c[64];
    Quantize(samples.data(), c);
    ASSERT_LE(Energy(c), EnergyLimit) << "samples " << Hex(samples.data(), 64);
  }
}

TEST_F(StagingArea, WorstCaseAcBlocksStayWithinTheirBounds) {
  // Blocks at the energy limit, every AC coefficient in category 8 (the
  // largest category all 63 can reach at once): -128 codes its extra bits as
  // 01111111, so the long 0/8 codes and the extra bits run into 0xFF bytes.
  struct Case {
    const char* name;
    std::int16_t odd, even;  // values at odd and even zigzag positions
  } constructed[] = {
      {"-128 everywhere", -128, -128},
      {"alternating signs", 128, -128},
      {"alternating signs, other phase", -128, 128},
  };
  std::vector<std::pair<std::string, std::array<std::int16_t, 64>>> blocks;
  for (const Case& k : constructed) {
    std::array<std::int16_t, 64> c{};
    for (int z = 1; z < 64; ++z) c[ZigzagOrder[z]] = z % 2 ? k.odd : k.even;
    blocks.emplace_back(k.name, c);
  }
  for (const auto& samples : ExtremeSampleBlocks()) {
    std::array<std::int16_t, 64> c;
    Quantize(samples.data(), c.data());
    blocks.emplace_back("DCT of " + Hex(samples.data(), 64), c);
  }
  for (const auto& [name, c] : blocks) {
    ASSERT_LE(Energy(c.data()), EnergyLimit) << name;
    for (int table : {LumaAc, ChromaAc}) {
      const int staged = AcBytes(c.data(), table);
      EXPECT_LE(staged, AcBound(table)) << name << ", table " << table;
      EXPECT_EQ(AcBytesWritten(c.data(), table), staged) << name << ", table " << table;
    }
  }
}

// A seeded hill climb over blocks within the energy limit, steering towards
// more staged bytes: every block it visits must stay within the bound.
TEST_F(StagingArea, SearchWithinTheEnergyLimitStaysWithinTheBounds) {
  static constexpr std::int16_t Moves[] = {-512, -256, -255, -128, -127, -64, -63, -32, -31, -16, -15, -8,
                                           -7,   -2,   -1,   0,    1,    2,   7,   8,   15,  16,  31,  32,
                                           63,   64,   127,  128,  255,  256, 511};
  for (int table : {LumaAc, ChromaAc}) {
    std::mt19937 rng(static_cast<unsigned>(table));
    int highest = 0;
    for (int start = 0; start < 3; ++start) {
      std::array<std::int16_t, 64> c{};
      for (int z = 1; z < 64; ++z) c[ZigzagOrder[z]] = start == 0 ? -128 : 0;
      int current = AcBytes(c.data(), table);
      for (int step = 0; step < 6000; ++step) {
        const int at = 1 + static_cast<int>(rng() % 63);
        const std::int16_t old = c[at];
        c[at] = rng() % 2 ? Moves[rng() % std::size(Moves)] : static_cast<std::int16_t>(old + int(rng() % 9) - 4);
        const int bytes = Energy(c.data()) <= EnergyLimit ? AcBytes(c.data(), table) : -1;
        if (bytes < current) {
          c[at] = old;
          continue;
        }
        current = bytes;
        highest = std::max(highest, bytes);
      }
      ASSERT_EQ(AcBytesWritten(c.data(), table), current);
    }
    EXPECT_LE(highest, AcBound(table)) << "table " << table;
  }
}

TEST_F(StagingArea, EveryDcDifferenceStagesAtMostSixBytes) {
  // DC values at divisor 8 lie in -1024..1016, so differences in -2040..2040.
  for (int table : {LumaDc, ChromaDc}) {
    int highest = 0;
    for (std::int32_t diff = -2040; diff <= 2040; ++diff) highest = std::max(highest, DcBytes(diff, table));
    EXPECT_LE(highest, 6) << "table " << table;
  }
}

// ---------------------------------------------------------------------------
// Hostile geometry through Jpeg_EncodeStart: the largest image with a tiny
// source must fail at its first MCU (the first rows it reads lie gigabytes
// past the source), quickly and without touching anything beyond the headers;
// dimensions SOF0 cannot carry are refused before anything is written.

struct HostileCase {
  const char* name;
  std::uint32_t width, height;
  int bitCount;
  int channelOrder;
  std::uint32_t srcSize;
  std::uint16_t status;
  std::uint32_t headerBytes;  // bytes written in encode mode before the failure
};

const HostileCase HostileCases[] = {
    {"65535^2 32-bit red first", 65535, 65535, 32, 0, 4096, 0x2085, 607},
    {"65535^2 32-bit blue first", 65535, 65535, 32, 1, 4096, 0x2085, 607},
    {"65535^2 24-bit", 65535, 65535, 24, 1, 4096, 0x2085, 607},
    {"65535^2 16-bit", 65535, 65535, 16, 0, 4096, 0x2085, 607},
    {"65535^2 gray", 65535, 65535, 8, 0, 4096, 0x2080, 324},
    {"65535^2 32-bit, empty source", 65535, 65535, 32, 1, 0, 0x2085, 607},
    {"65535^2 gray, empty source", 65535, 65535, 8, 0, 0, 0x2080, 324},
    {"width 65536", 65536, 1, 32, 1, 4096, 0x2F00, 0},
    {"height 65536", 1, 65536, 8, 0, 4096, 0x2F00, 0},
    {"width 0xFFFFFFFF", 0xFFFFFFFF, 1, 24, 1, 4096, 0x2F00, 0},
    {"height 0xFFFFFFFF", 1, 0xFFFFFFFF, 16, 0, 4096, 0x2F00, 0},
    {"both 0xFFFFFFFF", 0xFFFFFFFF, 0xFFFFFFFF, 32, 0, 4096, 0x2F00, 0},
};

class HostileGeometry : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileGeometry, FailsCleanlyAndQuickly) {
  const HostileCase& k = GetParam();
  SCOPED_TRACE(k.name);
  const Bytes source(k.srcSize, 0x80);
  constexpr std::uint32_t Capacity = 1 << 16;
  const bool validation = k.status == JpegStatusBadArgument;
  for (std::int32_t mode : {JPEG_MODE_MEASURE, JPEG_MODE_ENCODE}) {
    Bytes out(Capacity, 0xEE);
    JpegEncodeParams p{};
    p.srcBits = source.empty() ? nullptr : source.data();
    p.srcSize = k.srcSize;
    p.dstBuffer = out.data();
    p.dstSize = Capacity;
    p.width = k.width;
    p.height = k.height;
    p.bitCount = static_cast<std::uint16_t>(k.bitCount);
    p.quality = 75;
    p.channelOrder = static_cast<std::uint8_t>(k.channelOrder);
    const auto start = std::chrono::steady_clock::now();
    const std::uint16_t status = Jpeg_EncodeStart(&p, mode);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, k.status) << "mode " << mode;
    EXPECT_EQ(p.dstSize, validation ? Capacity : 0u) << "mode " << mode;
    // A wrapped offset would go on coding millions of MCUs.
    EXPECT_LT(elapsed, std::chrono::seconds(2)) << "mode " << mode;
    const std::uint32_t written = mode == JPEG_MODE_ENCODE ? k.headerBytes : 0;
    for (std::uint32_t i = written; i < Capacity; ++i) ASSERT_EQ(out[i], 0xEE) << "mode " << mode << ", byte " << i;
    if (written > 0) {
      EXPECT_EQ(Hex(out.data(), 2), "FF D8");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileGeometry, testing::ValuesIn(HostileCases));

// The scan reads MCUs ahead of coding them only where coding cannot fail, so
// one that runs out of room stops before it reads a source that ends early:
// its status names the full buffer alone.
TEST(ScanOrder, RunningOutOfRoomStopsBeforeAShortSourceIsRead) {
  constexpr std::uint32_t Width = 64, Height = 16;  // one row of four 4:2:0 MCUs
  Bytes source(Width * 3 * Height);
  std::uint32_t seed = 1;
  for (std::uint8_t& b : source) b = static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  const struct {
    std::uint32_t dstSize;
    std::uint16_t status;
  } rows[] = {{1u << 20, 0x2085}, {1024, 0x2080}};
  for (const auto& row : rows) {
    Bytes out(row.dstSize);
    JpegEncodeParams p{};
    p.srcBits = source.data();
    p.srcSize = static_cast<std::uint32_t>(source.size() - 1);  // the last MCU lacks its top-right pixel
    p.dstBuffer = out.data();
    p.dstSize = row.dstSize;
    p.width = Width;
    p.height = Height;
    p.bitCount = 24;
    p.quality = 75;
    EXPECT_EQ(Jpeg_EncodeStart(&p, JPEG_MODE_ENCODE), row.status) << "dstSize " << row.dstSize;
  }
}

// ---------------------------------------------------------------------------
// A large colour image on a thread whose whole stack is 64 KiB.

struct StackJob {
  const Bytes* source = nullptr;
  std::uint32_t width = 0, height = 0;
  std::uint16_t measureStatus = 0xFFFF, encodeStatus = 0xFFFF;
  std::uint32_t measured = 0;
  Bytes stream;
};

void* RunStackJob(void* arg) {
  auto* job = static_cast<StackJob*>(arg);
  JpegEncodeParams p{};
  p.srcBits = job->source->data();
  p.srcSize = static_cast<std::uint32_t>(job->source->size());
  p.width = job->width;
  p.height = job->height;
  p.bitCount = 24;
  p.quality = 75;
  p.sampling = 0;
  p.channelOrder = 1;
  job->measureStatus = Jpeg_EncodeStart(&p, JPEG_MODE_MEASURE);
  job->measured = p.dstSize;
  if (job->measureStatus != 0) return nullptr;
  p.dstBuffer = job->stream.data();  // sized by the caller, beyond any plausible length
  p.dstSize = static_cast<std::uint32_t>(job->stream.size());
  job->encodeStatus = Jpeg_EncodeStart(&p, JPEG_MODE_ENCODE);
  job->stream.resize(p.dstSize);
  return nullptr;
}

TEST(SmallStack, LargeColourImageEncodesOnA64KiBStack) {
  constexpr std::uint32_t Width = 2000, Height = 1500;
  const Bytes source = ToDib(MakeTestImage(Width, Height), 24, true);
  StackJob job;
  job.source = &source;
  job.width = Width;
  job.height = Height;
  job.stream.resize(4 << 20);

  // 64 KiB, or the least stack a thread may have where that is more
  // (PTHREAD_STACK_MIN is 128 KiB on 64-bit ARM).
  const std::size_t stackSize = std::max<std::size_t>(64 * 1024, PTHREAD_STACK_MIN);
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, stackSize), 0);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, RunStackJob, &job), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attr);

  ASSERT_EQ(job.measureStatus, 0);
  ASSERT_EQ(job.encodeStatus, 0);
  EXPECT_EQ(job.stream.size(), job.measured);
  // The same encode on the main thread's large stack gives the same bytes.
  const EncodeResult reference = Encode(source, Width, Height, 24, 75, 0, 1, JPEG_MODE_ENCODE, 4 << 20);
  ASSERT_EQ(reference.status, 0);
  EXPECT_TRUE(std::equal(job.stream.begin(), job.stream.end(), reference.bytes.begin()) &&
              reference.dstSize == job.stream.size());
}

}  // namespace
}  // namespace dibjpeg::test
