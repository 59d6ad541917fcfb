// Forward DCT, quantization and the Huffman block coder: the worked
// examples, a floating-point DCT as reference, coded symbol sequences
// against the table codes, bounds, and measure mode against encode mode.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "block/block.h"
#include "jpeg/jpeg.h"
#include "stream/stream.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

QuantTable UniformTable(int divisor) {
  QuantTable t{};
  for (int j = 0; j < 64; ++j) SetQuantValue(&t, j, divisor / 8);
  return t;
}

TEST(BlockDct, UniformAndExtremeBlocks) {
  struct Case {
    int row[8];  // repeated in every row
    int index, output, coefficient;  // at divisor 8
  } const cases[] = {
      {{128, 128, 128, 128, 128, 128, 128, 128}, 0, 0, 0},
      {{255, 255, 255, 255, 255, 255, 255, 255}, 0, 8128, 1016},
      {{0, 0, 0, 0, 0, 0, 0, 0}, 0, -8192, -1024},
      {{255, 0, 0, 255, 255, 0, 0, 255}, 4, 8160, 1020},  // the largest AC magnitude
  };
  const QuantTable eight = UniformTable(8);
  for (const Case& c : cases) {
    std::uint8_t block[64];
    for (int i = 0; i < 64; ++i) block[i] = static_cast<std::uint8_t>(c.row[i % 8]);
    std::int32_t out[64];
    std::int16_t q[64];
    ForwardDct(out, block);
    QuantizeBlock(q, out, &eight);
    EXPECT_EQ(out[c.index], c.output) << c.row[1];
    EXPECT_EQ(q[c.index], c.coefficient) << c.row[1];
    for (int i = 1; i < 64 && c.index == 0; ++i) ASSERT_EQ(out[i], 0) << "uniform block, output " << i;
  }
}

TEST(BlockQuantize, RoundsHalvesAwayFromZero) {
  struct Case {
    int divisor, output, coefficient;
  } const cases[] = {
      {8, 4, 1},         {8, 3, 0},         {8, 12, 2},         {8, 11, 1},         {8, 20, 3},
      {8, -4, -1},       {8, -3, 0},        {8, -12, -2},       {8, -11, -1},       {8, -20, -3},
      {16, 8, 1},        {16, 7, 0},        {16, -8, -1},       {16, -7, 0},        {16, 24, 2},
      {2040, 1020, 1},   {2040, 1019, 0},   {2040, -1020, -1},  {2040, 8160, 4},    {200, -8192, -41},
  };
  for (const Case& c : cases) {
    const QuantTable table = UniformTable(c.divisor);
    std::int32_t out[64] = {};
    out[37] = c.output;
    std::int16_t q[64];
    QuantizeBlock(q, out, &table);
    EXPECT_EQ(q[37], c.coefficient) << c.output << " / " << c.divisor;
  }
}

// 8 x the DCT of ITU-T T.81 A.3.3, in double precision.
void ReferenceDct(const std::uint8_t* block, double* out) {
  const double pi = std::acos(-1.0);
  for (int v = 0; v < 8; ++v) {
    for (int u = 0; u < 8; ++u) {
      double sum = 0;
      for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x)
          sum += (block[8 * y + x] - 128.0) * std::cos((2 * x + 1) * u * pi / 16) * std::cos((2 * y + 1) * v * pi / 16);
      }
      out[8 * v + u] = 2 * (u ? 1 : std::sqrt(0.5)) * (v ? 1 : std::sqrt(0.5)) * sum;
    }
  }
}

// The fixed-point DCT stays within 1.5 of the exact one (measured: 1.16).
TEST(BlockDct, AgreesWithFloatingPointReference) {
  std::mt19937 rng(20240601);
  for (int n = 0; n < 600; ++n) {
    std::uint8_t block[64];
    for (int i = 0; i < 64; ++i) {
      const int r = i / 8, c = i % 8;
      const int kinds[] = {static_cast<int>(rng() & 0xFF), (r + c) & 1 ? 255 : 0, 16 * r + 15 * c + n % 7,
                           (rng() & 1) ? 255 : static_cast<int>(rng() % 4)};
      block[i] = static_cast<std::uint8_t>(kinds[n % 4]);
    }
    std::int32_t out[64];
    double want[64];
    ForwardDct(out, block);
    ReferenceDct(block, want);
    ASSERT_EQ(out[0], std::lround(want[0])) << "DC is exact, block " << n;
    for (int i = 0; i < 64; ++i) ASSERT_LE(std::abs(out[i] - want[i]), 1.5) << "block " << n << " output " << i;
  }
}

// The four code tables the DHT writer points the components at: DC and AC
// luminance, DC and AC chrominance.
const HuffTable* Tables() { return StandardHuffTables; }

// The coder's view: a state over a memory sink (encode) or a counting one.
struct Coder {
  Bytes buffer;
  ByteStream sink{};
  EncoderState state{};
  ComponentSpec component{};
  Coder(bool emit, std::uint32_t capacity, int table = 0) : buffer(capacity + 16, 0xEE) {
    if (emit) InitMemoryStream(&sink, capacity, buffer.data());
    else InitCountingStream(&sink);
    state.mode = emit ? JobModeEmit : JobModeCount;
    state.sink = &sink;
    component.dcTable = &Tables()[2 * table];
    component.acTable = &Tables()[2 * table + 1];
  }
  void Pending(const std::string& bits) {
    sink.bitCount = static_cast<std::uint32_t>(bits.size());
    sink.bitAcc = bits.empty() ? 0 : std::stoul((bits + "0000000").substr(0, 8), nullptr, 2);
  }
};

using Block = std::vector<std::pair<int, int>>;  // (zigzag position, value); position 0 is DC
void Fill(std::int16_t* coefficients, const Block& block) {
  std::memset(coefficients, 0, 64 * sizeof *coefficients);
  for (auto [k, v] : block) coefficients[ZigzagOrder[k]] = static_cast<std::int16_t>(v);
}

TEST(BlockCoder, WorkedExamples) {
  struct Case {
    const char* name;
    int predictor;
    Block block;
    Bytes bytes;
    std::uint32_t bitAcc, bitCount;
  } const cases[] = {
      {"zero block", 0, {}, {}, 0x28, 6},
      {"DC 5, -1 at natural index 1", 0, {{0, 5}, {1, -1}}, {0x94}, 0x50, 5},
      {"predictor -1024", -1024, {}, {0xFF, 0x00, 0x40, 0x0A}, 0x00, 0},
      {"16 zeros, then 1", 0, {{17, 1}}, {0x3F, 0xC9}, 0xA0, 4},
  };
  for (const Case& c : cases) {
    std::int16_t coefficients[64];
    Fill(coefficients, c.block);
    Coder encode(true, 64), measure(false, 0);
    for (Coder* coder : {&encode, &measure}) {
      coder->component.lastDc = static_cast<std::int16_t>(c.predictor);
      ASSERT_EQ(EncodeBlock(&coder->state, &coder->component, coefficients), 1) << c.name;
      EXPECT_EQ(coder->component.lastDc, coefficients[0]) << c.name;
      EXPECT_EQ(coder->sink.pos, c.bytes.size()) << c.name;
      EXPECT_EQ(coder->sink.bitAcc, c.bitAcc) << c.name;
      EXPECT_EQ(coder->sink.bitCount, c.bitCount) << c.name;
    }
    EXPECT_EQ(Hex(encode.buffer.data(), c.bytes.size() + 1), Hex(c.bytes) + (c.bytes.empty() ? "EE" : " EE")) << c.name;
    EXPECT_EQ(measure.sink.size, c.bytes.size()) << c.name;
  }
}

// The sink's content as a bit string: the bytes with their stuffing removed,
// then the pending bits.
std::string SinkBits(const Coder& coder) {
  std::string bits;
  for (std::uint32_t i = 0; i < coder.sink.pos; ++i) {
    for (int b = 7; b >= 0; --b) bits += (coder.buffer[i] >> b & 1) ? '1' : '0';
    if (coder.buffer[i] == 0xFF) EXPECT_EQ(coder.buffer[++i], 0x00) << "stuffing after byte " << i - 1;
  }
  for (std::uint32_t b = 0; b < coder.sink.bitCount; ++b) bits += (coder.sink.bitAcc >> (7 - b) & 1) ? '1' : '0';
  EXPECT_EQ(coder.sink.bitAcc & (0xFFu >> coder.sink.bitCount), 0u) << "bits below the pending ones";
  return bits;
}

std::string CodeBits(const HuffTable& table, int symbol) {
  EXPECT_GT(table.codeSize[symbol], 0) << "symbol " << symbol;
  std::string bits;
  for (int i = table.codeSize[symbol] - 1; i >= 0; --i) bits += (table.code[symbol] >> i & 1) ? '1' : '0';
  return bits;
}

// Which symbols and extra bits a block turns into: ZRL only before a value,
// EOB only when the last coefficient is zero, one's complement for negatives.
TEST(BlockCoder, SymbolSequences) {
  constexpr int Zrl = 0xF0, Eob = 0x00, Dc = 0x100;  // Dc + category: a DC symbol
  struct Case {
    const char* name;
    const char* pending;  // bits already in the sink
    int table, predictor;
    Block block;
    std::vector<std::pair<int, const char*>> symbols;  // symbol, extra bits
  } const cases[] = {
      {"run of 15", "", 0, 0, {{16, 3}}, {{Dc, ""}, {0xF2, "11"}, {Eob, ""}}},
      {"run of 32", "", 0, 0, {{33, 1}}, {{Dc, ""}, {Zrl, ""}, {Zrl, ""}, {0x01, "1"}, {Eob, ""}}},
      {"run of 47", "", 0, 0, {{48, -2}}, {{Dc, ""}, {Zrl, ""}, {Zrl, ""}, {0xF2, "01"}, {Eob, ""}}},
      {"negative extra bits", "", 0, 0, {{1, -1}, {2, -2}, {3, -3}, {4, 3}},
       {{Dc, ""}, {0x01, "0"}, {0x02, "01"}, {0x02, "00"}, {0x02, "11"}, {Eob, ""}}},
      {"last coefficient set: no EOB", "", 0, 0, {{63, 1}}, {{Dc, ""}, {Zrl, ""}, {Zrl, ""}, {Zrl, ""}, {0xE1, "1"}}},
      {"largest magnitudes", "", 0, -1024, {{0, 1016}, {1, -1020}, {63, 1020}},
       {{Dc + 11, "11111111000"}, {0x0A, "0000000011"}, {Zrl, ""}, {Zrl, ""}, {Zrl, ""}, {0xDA, "1111111100"}}},
      {"negative DC", "", 0, 0, {{0, -1024}}, {{Dc + 11, "01111111111"}, {Eob, ""}}},
      {"difference from the predictor", "", 0, 300, {{0, 297}}, {{Dc + 2, "00"}, {Eob, ""}}},
      {"pending bits go first", "101", 0, 0, {}, {{Dc, ""}, {Eob, ""}}},
      {"chrominance tables, a pending byte completes as FF", "1111111", 1, 0, {{0, 2}, {5, 1}},
       {{Dc + 2, "10"}, {0x41, "1"}, {Eob, ""}}},
  };
  for (const Case& c : cases) {
    std::int16_t coefficients[64];
    Fill(coefficients, c.block);
    std::string want = c.pending;
    for (auto [symbol, extra] : c.symbols) {
      want += CodeBits(Tables()[2 * c.table + (symbol >= Dc ? 0 : 1)], symbol & 0xFF) + extra;
    }
    Coder encode(true, 64, c.table), measure(false, 0, c.table);
    for (Coder* coder : {&encode, &measure}) {
      coder->Pending(c.pending);
      coder->component.lastDc = static_cast<std::int16_t>(c.predictor);
      ASSERT_EQ(EncodeBlock(&coder->state, &coder->component, coefficients), 1) << c.name;
    }
    EXPECT_EQ(SinkBits(encode), want) << c.name;
    EXPECT_EQ(measure.sink.pos, encode.sink.pos) << c.name;
    EXPECT_EQ(measure.sink.bitAcc, encode.sink.bitAcc) << c.name;
    EXPECT_EQ(measure.sink.bitCount, encode.sink.bitCount) << c.name;
  }
}

// A random quantized block within the ranges 8-bit samples produce.
void RandomBlock(std::mt19937& rng, std::int16_t* coefficients) {
  const int density = rng() % 4;
  for (int i = 1; i < 64; ++i) {
    const int magnitude = rng() % 3 == 0 ? 1020 : 1 << (rng() % 10);
    const bool set = static_cast<int>(rng() % 8) < 2 * density;
    coefficients[i] = static_cast<std::int16_t>(set ? static_cast<int>(rng() % (2 * magnitude + 1)) - magnitude : 0);
  }
  coefficients[0] = static_cast<std::int16_t>(static_cast<int>(rng() % 2041) - 1024);
}

// Each call fits whole or writes nothing and keeps the bit state; a call
// that ends exactly at the capacity fits. The sink starts at byte 3, so the
// bound is pos + n, not n.
TEST(BlockCoder, CapacityIsExact) {
  std::mt19937 rng(7);
  constexpr std::uint32_t start = 3;
  for (int n = 0; n < 200; ++n) {
    std::int16_t coefficients[64];
    RandomBlock(rng, coefficients);
    const std::uint32_t pendingCount = rng() % 8;
    const std::uint32_t pendingAcc = rng() & 0xFF & ~(0xFFu >> pendingCount);
    auto run = [&](Coder& coder) {
      coder.sink.pos = start;
      coder.sink.bitAcc = pendingAcc;
      coder.sink.bitCount = pendingCount;
      return n % 2 ? EncodeAcCoefficients(&coder.state, coder.component.acTable, coefficients)
                   : EncodeDcDiff(&coder.state, coder.component.dcTable, coefficients[0]);
    };
    Coder measure(false, 0);
    run(measure);
    const std::uint32_t length = measure.sink.pos - start;
    if (length == 0) continue;
    Coder fits(true, start + length), tooSmall(true, start + length - 1);
    ASSERT_EQ(run(fits), 1) << n;
    EXPECT_EQ(fits.sink.pos, start + length);
    EXPECT_EQ(fits.sink.bitAcc, measure.sink.bitAcc);
    EXPECT_EQ(fits.sink.bitCount, measure.sink.bitCount);
    ASSERT_EQ(run(tooSmall), 0) << n;
    EXPECT_EQ(tooSmall.sink.pos, start);
    EXPECT_EQ(tooSmall.sink.bitAcc, pendingAcc);
    EXPECT_EQ(tooSmall.sink.bitCount, pendingCount);
    for (std::uint8_t byte : tooSmall.buffer) ASSERT_EQ(byte, 0xEE) << "block " << n << " wrote on failure";
  }
}

// Measure mode advances pos by exactly what encode mode copies, stuffing
// included, and carries the same bit state from block to block.
TEST(BlockCoder, MeasureCountsWhatEncodeWrites) {
  std::mt19937 rng(99);
  Coder encode(true, 1 << 20), measure(false, 0);
  for (int n = 0; n < 3000; ++n) {
    std::int16_t coefficients[64];
    RandomBlock(rng, coefficients);
    ASSERT_EQ(EncodeBlock(&encode.state, &encode.component, coefficients), 1);
    ASSERT_EQ(EncodeBlock(&measure.state, &measure.component, coefficients), 1);
    ASSERT_EQ(measure.sink.pos, encode.sink.pos) << "block " << n;
    ASSERT_EQ(measure.sink.size, measure.sink.pos);
    ASSERT_EQ(measure.sink.bitAcc, encode.sink.bitAcc) << "block " << n;
    ASSERT_EQ(measure.sink.bitCount, encode.sink.bitCount) << "block " << n;
  }
  const auto stuffed = std::search_n(encode.buffer.begin(), encode.buffer.begin() + encode.sink.pos, 1, 0xFF);
  EXPECT_NE(stuffed, encode.buffer.begin() + encode.sink.pos) << "the blocks should exercise stuffing";
  EXPECT_EQ(SinkBits(encode).size() % 8, encode.sink.bitCount);  // every 0xFF is followed by 0x00
}

// The coder transforms each block while coding the one before; after a
// batch's last block there is nothing to read. The batches here end right
// at a page that may not be read, so a look-ahead past the last block
// faults, whatever the sanitizers see.
TEST(BlockCoder, BatchesEndingAtAnUnreadablePageAreNotReadPast) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  constexpr std::size_t Span = 64 * 6 * 32;  // 32 MCUs of 6 blocks
  const std::size_t length = (Span + page - 1) / page * page;
  void* mapped = mmap(nullptr, length + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  auto* base = static_cast<std::uint8_t*>(mapped);
  ASSERT_EQ(mprotect(base + length, page, PROT_NONE), 0);
  std::mt19937 rng(5);
  for (std::size_t i = 0; i < length; ++i) base[i] = static_cast<std::uint8_t>(rng());
  QuantTable quant = UniformTable(16);
  EXPECT_EXIT(
      {
        for (int components : {1, 3}) {
          for (bool emit : {false, true}) {
            for (std::uint32_t count : {1u, 2u, 7u, 32u}) {
              Coder coder(emit, 1 << 20);
              coder.state.componentCount = static_cast<std::uint8_t>(components);
              for (int k = 0; k < components; ++k) {
                ComponentSpec& c = coder.state.components[k];
                c.hSamp = c.vSamp = k == 0 && components == 3 ? 2 : 1;
                c.dcTable = coder.component.dcTable;
                c.acTable = coder.component.acTable;
                c.quantTable = &quant;
              }
              const std::uint32_t blocks = count * (components == 3 ? 6 : 1);
              BlockWriter writer;
              OpenBlockWriter(&writer, &coder.sink);
              if (EncodeMcus(&coder.state, &writer, base + length - 64 * blocks, count) != 1) std::exit(1);
              CloseBlockWriter(&writer, &coder.sink, emit);
            }
          }
        }
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
  munmap(mapped, length + page);
}

}  // namespace
}  // namespace dibjpeg::test
