// Byte streams: every slot of the memory and counting streams, the memory
// stream's failures (result, status bit, surviving state, bytes written), and
// a randomized cross-check that the counting stream measures exactly what the
// memory stream writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/status.h"
#include "stream/stream.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

constexpr std::uint16_t Overrun = StatusBase | StatusOverrun;
constexpr std::uint8_t Guard = 0xA5;

// One slot call. Seek takes a = offset, b = origin; the read slots store
// their result in *out; Block writes the first a (up to 24) of BlockBytes.
enum class Op { Bit, Bits, Byte, Word, Dword, Flush, Order, Seek, RBit, RByte, RWord, RDword, Block };
struct Step { Op op; std::uint32_t a = 0, b = 0; };
constexpr std::uint8_t BlockBytes[24] = {0xFF, 0xC4, 0x01, 0xA2, 0x00, 0xFF, 0xFF, 0x00, 0x10, 0x7E, 0x80, 0x01,
                                         0xFF, 0xD9, 0x33, 0x00, 0x00, 0xFE, 0xFF, 0x01, 0x02, 0x03, 0x04, 0xFF};

int Apply(ByteStream* s, Step st, std::uint32_t* out = nullptr) {
  std::uint32_t ignored;
  if (!out) out = &ignored;
  switch (st.op) {
    case Op::Bit: return s->ops.WriteBit(s, int(st.a));
    case Op::Bits: return s->ops.WriteBits(s, std::uint8_t(st.a), std::uint16_t(st.b));
    case Op::Byte: return s->ops.WriteByte(s, std::uint8_t(st.a));
    case Op::Word: return s->ops.WriteWord(s, std::uint16_t(st.a));
    case Op::Dword: return s->ops.WriteDword(s, st.a);
    case Op::Flush: return s->ops.FlushBits(s);
    case Op::Order: s->ops.SetWriteOrder(s, int(st.a)); return 1;
    case Op::Seek: return s->ops.Seek(s, st.a, int(st.b));
    case Op::RBit: { std::uint16_t v = 9; const int r = s->ops.ReadBit(s, &v); *out = v; return r; }
    case Op::RByte: { std::uint8_t v = 9; const int r = s->ops.ReadByte(s, &v); *out = v; return r; }
    case Op::RWord: { std::uint16_t v = 9; const int r = s->ops.ReadWord(s, &v); *out = v; return r; }
    case Op::RDword: { std::uint32_t v = 9; const int r = s->ops.ReadDword(s, &v); *out = v; return r; }
    case Op::Block: return s->ops.WriteBlock(s, BlockBytes, st.a);
  }
  return -1;
}

// A memory stream over `content`, followed in memory by guard bytes that it
// must never touch.
struct Mem {
  Bytes buf;
  ByteStream s{};
  explicit Mem(const Bytes& content) : buf(content) {
    buf.resize(content.size() + 16, Guard);
    InitMemoryStream(&s, std::uint32_t(content.size()), buf.data());
  }
  Bytes Inside() const { return Bytes(buf.begin(), buf.end() - 16); }
  bool GuardsIntact() const { return std::all_of(buf.end() - 16, buf.end(), [](auto b) { return b == Guard; }); }
};

// pos, bitCount and the low byte of bitAcc, the state every check compares.
std::tuple<std::uint32_t, std::uint32_t, std::uint32_t> Snapshot(const ByteStream& s) {
  return {s.pos, s.bitCount, s.bitAcc & 0xFF};
}

void RunAll(ByteStream* s, const std::vector<Step>& steps) {
  for (std::size_t i = 0; i < steps.size(); ++i) ASSERT_EQ(Apply(s, steps[i]), 1) << "step " << i;
}

TEST(MemoryStream, FailuresReportAndKeepState) {
  struct FailCase {
    const char* name; Bytes content; std::vector<Step> prepare; Step act; bool overrun;
    std::uint32_t pos, bitCount, bitAcc; Bytes after;
  };
  const std::vector<FailCase> cases = {
      {"ReadBit no byte left", {}, {}, {Op::RBit}, true, 0, 0, 0, {}},
      {"ReadBit FF then marker", {0xFF, 0xD9}, {}, {Op::RBit}, true, 2, 7, 0xFF, {0xFF, 0xD9}},
      {"ReadBit FF then end", {0xFF}, {}, {Op::RBit}, true, 1, 7, 0xFF, {0xFF}},
      {"ReadByte past end drops bits", {0x80}, {{Op::RBit}}, {Op::RByte}, true, 1, 0, 0x80, {0x80}},
      {"ReadWord past end drops bits", {0x80, 1}, {{Op::RBit}}, {Op::RWord}, true, 1, 0, 0x80, {0x80, 1}},
      {"ReadDword past end keeps bits", {0x80, 1, 2, 3}, {{Op::RBit}}, {Op::RDword}, true, 1, 7, 0x80, {0x80, 1, 2, 3}},
      {"WriteBit no room for byte", {}, {{Op::Bits, 7, 0x55}}, {Op::Bit, 1}, true, 0, 8, 0xAB, {}},
      {"WriteBit no room for stuffing", {0xEE}, {{Op::Bits, 7, 0x7F}}, {Op::Bit, 1}, true, 1, 0, 0xFF, {0xFF}},
      {"WriteBits no room for byte", {0xEE}, {}, {Op::Bits, 16, 0x1234}, false, 1, 8, 0x34, {0x12}},
      {"WriteBits no room for stuffing", {0xEE}, {}, {Op::Bits, 8, 0xFF}, false, 1, 0, 0xFF, {0xFF}},
      {"WriteByte no room for pending", {}, {{Op::Bit, 1}}, {Op::Byte, 0x42}, true, 0, 1, 0x80, {}},
      {"WriteByte no room for value", {0xEE}, {{Op::Bits, 3, 5}}, {Op::Byte, 0x42}, true, 1, 0, 0xA0, {0xA0}},
      {"WriteWord little, 1 byte room", {0xEE}, {}, {Op::Word, 0x1234}, true, 1, 0, 0, {0x34}},
      {"WriteDword big, 3 bytes room", {0, 0, 0}, {{Op::Order, 0}}, {Op::Dword, 0x12345678}, true, 3, 0, 0, {0x12, 0x34, 0x56}},
      {"FlushBits no room", {}, {{Op::Bit, 1}}, {Op::Flush}, true, 0, 1, 0x80, {}},
      {"FlushBits no room for stuffing", {0xEE}, {{Op::Bits, 7, 0x7F}}, {Op::Flush}, true, 1, 0, 0xFF, {0xFF}},
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.name);
    Mem m(c.content);
    RunAll(&m.s, c.prepare);
    SetStatus(StatusBase);
    EXPECT_EQ(Apply(&m.s, c.act), 0);
    EXPECT_EQ(GetStatus(), c.overrun ? Overrun : StatusBase);
    EXPECT_EQ(Snapshot(m.s), std::tuple(c.pos, c.bitCount, c.bitAcc));
    EXPECT_EQ(Hex(m.Inside()), Hex(c.after));
    EXPECT_TRUE(m.GuardsIntact());
  }
}

TEST(MemoryStream, SeekLandsOnlyOnExistingBytes) {
  struct Case { std::uint32_t offset; int origin; int ok; std::uint16_t status; std::uint32_t pos; };
  const Case cases[] = {
      {0, 0, 1, StatusBase, 0},          {3, 0, 1, StatusBase, 3},          {4, 0, 0, Overrun, 2},
      {0xFFFFFFFF, 0, 0, Overrun, 2},    {1, 1, 1, StatusBase, 3},          {2, 1, 0, Overrun, 2},
      {0xFFFFFFFF, 1, 1, StatusBase, 1}, {0xFFFFFFFE, 1, 1, StatusBase, 0}, {0xFFFFFFFD, 1, 0, Overrun, 2},
      {0, 2, 0, Overrun, 2},             {0xFFFFFFFF, 2, 1, StatusBase, 3}, {0xFFFFFFFC, 2, 1, StatusBase, 0},
      {0xFFFFFFFB, 2, 0, Overrun, 2},    {0, 3, 0, StatusBase, 2},          {0, -1, 0, StatusBase, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " origin " << c.origin);
    Mem m({1, 2, 3, 4});
    ASSERT_EQ(m.s.ops.Seek(&m.s, 2, 0), 1);
    SetStatus(StatusBase);
    EXPECT_EQ(m.s.ops.Seek(&m.s, c.offset, c.origin), c.ok);
    EXPECT_EQ(GetStatus(), c.status);
    EXPECT_EQ(m.s.ops.Tell(&m.s), c.pos);
  }
}

TEST(MemoryStream, EmptyBufferFailsEverything) {
  const Step steps[] = {{Op::Byte, 1}, {Op::Word, 1}, {Op::Dword, 1}, {Op::RBit}, {Op::RByte}, {Op::RWord},
                        {Op::RDword}, {Op::Seek, 0, 0}, {Op::Seek, 0, 1}, {Op::Seek, 0, 2}, {Op::Seek, 0xFFFFFFFF, 2}};
  for (const Step& st : steps) {
    Mem m({});
    SetStatus(StatusBase);
    EXPECT_EQ(Apply(&m.s, st), 0) << int(st.op);
    EXPECT_EQ(GetStatus(), Overrun) << int(st.op);
    EXPECT_EQ(m.s.pos, 0u);
    EXPECT_TRUE(m.GuardsIntact());
  }
}

TEST(MemoryStream, ReadBitSkipsStuffingAndStopsAtMarkers) {
  // Each char is the bit a call stored ('-' if none); reading stops at the first failure.
  struct Case { Bytes content; std::string bits; std::uint32_t pos; };
  const Case cases[] = {
      {{0xA5}, "10100101-", 1},
      {{0xFF, 0x00, 0x80}, "1111111110000000-", 3},
      {{0x00, 0xFF, 0x00}, "0000000011111111-", 3},
      {{0xFF, 0xD9}, "1", 2},
      {{0xA5, 0xFF}, "101001011", 2},
  };
  for (const Case& c : cases) {
    Mem m(c.content);
    std::string bits;
    for (int ok = 1; ok && bits.size() < 40;) {
      std::uint32_t v;
      ok = Apply(&m.s, {Op::RBit}, &v);
      bits += v == 9 ? '-' : char('0' + v);
    }
    EXPECT_EQ(bits, c.bits) << Hex(c.content);
    EXPECT_EQ(m.s.pos, c.pos) << Hex(c.content);
  }
}

TEST(MemoryStream, ReadOrdersAndLeftoverBits) {
  struct Case { int order; std::uint32_t word, dword; };
  for (const Case& c : {Case{1, 0x3412, 0xBC9A7856}, Case{0, 0x1234, 0x56789ABC}, Case{5, 0x1234, 0x56789ABC}}) {
    Mem m({0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
    m.s.ops.SetReadOrder(&m.s, c.order);
    std::uint32_t w = 0, d = 0;
    EXPECT_TRUE(Apply(&m.s, {Op::RWord}, &w) && Apply(&m.s, {Op::RDword}, &d));
    EXPECT_EQ(std::tuple(w, d, m.s.ops.Tell(&m.s)), std::tuple(c.word, c.dword, 6u)) << c.order;
  }
  // ReadDword leaves the seven bits after a ReadBit pending; ReadByte discards them.
  // Expected: bit 7 of A5, the dword, bit 6 of A5 (kept), 3C, bit 7 of 80 (A5's rest dropped).
  Mem m({0xA5, 1, 2, 3, 4, 0x3C, 0x80});
  m.s.ops.SetReadOrder(&m.s, 0);
  std::vector<std::uint32_t> got;
  for (Op op : {Op::RBit, Op::RDword, Op::RBit, Op::RByte, Op::RBit}) ASSERT_EQ(Apply(&m.s, {op}, &got.emplace_back()), 1);
  EXPECT_EQ(got, (std::vector<std::uint32_t>{1, 0x01020304, 0, 0x3C, 1}));
  EXPECT_EQ(Snapshot(m.s), std::tuple(7u, 7u, 0x80u));
}

// Write sequences run on both kinds: the memory stream must write `bytes`,
// the counting stream must count as many; both end with the same bit state.
TEST(Streams, WriteSequences) {
  struct Case { const char* name; std::vector<Step> steps; Bytes bytes; std::uint32_t bitCount, bitAcc; };
  const std::vector<Case> cases = {
      {"bits fill from bit 7", {{Op::Bit, 1}, {Op::Bits, 6, 0}, {Op::Bit, 1}}, {0x81}, 0, 0},
      {"bits FF are stuffed", {{Op::Bits, 8, 0xFF}}, {0xFF, 0x00}, 0, 0},
      {"bits FE", {{Op::Bits, 8, 0xFE}}, {0xFE}, 0, 0},
      {"16 bits", {{Op::Bits, 16, 0xABCD}}, {0xAB, 0xCD}, 0, 0},
      {"count 0 writes nothing", {{Op::Bits, 0, 0xFFFF}}, {}, 0, 0},
      {"bits straddle bytes", {{Op::Bit, 1}, {Op::Bits, 9, 0x1FF}}, {0xFF, 0x00}, 2, 0xC0},
      {"byte FF is not stuffed", {{Op::Byte, 0xFF}}, {0xFF}, 0, 0},
      {"byte after pending 101", {{Op::Bits, 3, 5}, {Op::Byte, 0x42}}, {0xA0, 0x42}, 0, 0xA0},
      {"flush pads 101", {{Op::Bits, 3, 5}, {Op::Flush}}, {0xBF}, 0, 0xBF},
      {"flush stuffs seven 1-bits", {{Op::Bits, 7, 0x7F}, {Op::Flush}}, {0xFF, 0x00}, 0, 0xFF},
      {"flush with nothing pending", {{Op::Flush}}, {}, 0, 0},
      {"stale bits merge after flush", {{Op::Bits, 3, 5}, {Op::Flush}, {Op::Bits, 8, 0}}, {0xBF, 0xBF}, 0, 0},
      {"stale FF stuffed again", {{Op::Bits, 7, 0x7F}, {Op::Flush}, {Op::Bits, 8, 0}}, {0xFF, 0, 0xFF, 0}, 0, 0},
      {"word little-endian fresh", {{Op::Word, 0x1234}}, {0x34, 0x12}, 0, 0},
      {"word big-endian order 0", {{Op::Order, 0}, {Op::Word, 0x1234}}, {0x12, 0x34}, 0, 0},
      {"word big-endian order 2", {{Op::Order, 2}, {Op::Word, 0x1234}}, {0x12, 0x34}, 0, 0},
      {"order 1 restores little", {{Op::Order, 0}, {Op::Order, 1}, {Op::Word, 0x1234}}, {0x34, 0x12}, 0, 0},
      {"dword little-endian", {{Op::Dword, 0x12345678}}, {0x78, 0x56, 0x34, 0x12}, 0, 0},
      {"dword big-endian", {{Op::Order, 0}, {Op::Dword, 0x12345678}}, {0x12, 0x34, 0x56, 0x78}, 0, 0},
      {"word after pending bit", {{Op::Bit, 1}, {Op::Order, 0}, {Op::Word, 0x1234}}, {0x80, 0x12, 0x34}, 0, 0x80},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Mem m(Bytes(8, 0xEE));
    ByteStream cnt{};
    InitCountingStream(&cnt);
    SetStatus(StatusBase);
    RunAll(&m.s, c.steps);
    RunAll(&cnt, c.steps);
    const auto want = std::tuple(std::uint32_t(c.bytes.size()), c.bitCount, c.bitAcc);
    EXPECT_EQ(Hex(Bytes(m.buf.begin(), m.buf.begin() + m.s.pos)), Hex(c.bytes));
    EXPECT_EQ(Snapshot(m.s), want);
    EXPECT_EQ(Snapshot(cnt), want);
    EXPECT_EQ(cnt.size, cnt.pos);
    EXPECT_EQ(GetStatus(), StatusBase);
  }
}

TEST(CountingStream, ReadsFailSilentlyAndWriteBitTakesBitZero) {
  ByteStream s{};
  InitCountingStream(&s);
  EXPECT_EQ(std::tuple(s.data == nullptr, s.ops.Tell(&s), s.size), std::tuple(true, 0u, 0u));
  SetStatus(StatusBase);
  for (Op op : {Op::RBit, Op::RByte, Op::RWord, Op::RDword}) {
    std::uint32_t v = 0;
    EXPECT_EQ(Apply(&s, {op}, &v), 0) << int(op);
    EXPECT_EQ(v, 9u) << "result written by op " << int(op);
  }
  EXPECT_EQ(GetStatus(), StatusBase);
  RunAll(&s, {{Op::Bit, 0}, {Op::Bit, 3}, {Op::Bit, 2}});
  EXPECT_EQ(Snapshot(s), std::tuple(0u, 3u, 0x40u));  // 3 gathers a 1-bit, 2 a 0-bit
}

TEST(CountingStream, SeekMovesPosButNotSize) {
  // After 5 counted bytes and a seek back to 3: seek, then count one more byte.
  struct Case { std::int32_t offset; int origin; int ok; std::uint32_t seekPos, pos, size; };
  const Case cases[] = {
      {0, 0, 1, 0, 1, 5},  {10, 0, 1, 10, 11, 11}, {-1, 0, 0, 3, 4, 5}, {-1, 2, 1, 4, 5, 5},
      {-5, 2, 1, 0, 1, 5}, {-6, 2, 0, 3, 4, 5},    {0, 2, 1, 5, 6, 6},  {4, 1, 1, 7, 8, 8},
      {-3, 1, 1, 0, 1, 5}, {-4, 1, 0, 3, 4, 5},    {0, 3, 0, 3, 4, 5},  {0, -1, 0, 3, 4, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " origin " << c.origin);
    ByteStream s{};
    InitCountingStream(&s);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(s.ops.WriteByte(&s, 0), 1);
    ASSERT_EQ(s.ops.Seek(&s, 3, 0), 1);
    SetStatus(StatusBase);
    EXPECT_EQ(s.ops.Seek(&s, std::uint32_t(c.offset), c.origin), c.ok);
    EXPECT_EQ(std::tuple(s.pos, s.size), std::tuple(c.seekPos, 5u));
    ASSERT_EQ(s.ops.WriteByte(&s, 0), 1);
    EXPECT_EQ(std::tuple(s.pos, s.size), std::tuple(c.pos, c.size));
    EXPECT_EQ(GetStatus(), StatusBase);
  }
}

// A record left by a failure, or damaged, keeps failing and never writes.
TEST(MemoryStream, BrokenStateKeepsFailingWithoutWriting) {
  // `skip`: slots that legitimately succeed in that state.
  struct State { const char* name; Bytes content; std::vector<Step> prepare; void (*damage)(ByteStream*); std::vector<Op> skip; };
  const State states[] = {
      {"WriteBit failed with 8 bits", {0x11}, {{Op::Byte, 0x11}, {Op::Bits, 7, 0x55}},
       [](ByteStream* s) { s->ops.WriteBit(s, 1); }, {}},
      {"pos beyond size, failed WriteBit", {1, 2}, {{Op::Bits, 7, 0x55}},
       [](ByteStream* s) { s->pos = 5; s->ops.WriteBit(s, 1); }, {}},
      // With room left, WriteByte emits whatever is pending.
      {"bitCount 200", {0, 0}, {}, [](ByteStream* s) { s->bitCount = 200; }, {Op::Byte, Op::Word, Op::Dword}},
  };
  const Step ops[] = {{Op::Flush}, {Op::Bit, 0}, {Op::Bit, 1}, {Op::Bits, 1, 1}, {Op::Bits, 16, 0xFFFF},
                      {Op::Byte, 0xFF}, {Op::Word, 0xFFFF}, {Op::Dword, 0xFFFFFFFF}, {Op::RBit}, {Op::RDword}};
  for (const State& st : states) {
    for (const Step& op : ops) {
      if (std::find(st.skip.begin(), st.skip.end(), op.op) != st.skip.end()) continue;
      SCOPED_TRACE(testing::Message() << st.name << ", op " << int(op.op) << " " << op.a);
      Mem m(st.content);
      RunAll(&m.s, st.prepare);
      st.damage(&m.s);
      const Bytes before = m.buf;
      const auto state = Snapshot(m.s);
      for (int i = 0; i < 3; ++i) {
        SetStatus(StatusBase);
        EXPECT_EQ(Apply(&m.s, op), 0);
        EXPECT_EQ(GetStatus(), op.op == Op::Bits ? StatusBase : Overrun);
      }
      EXPECT_EQ(Snapshot(m.s), state);
      EXPECT_EQ(Hex(m.buf), Hex(before));
    }
  }
}

Step RandomWrite(std::mt19937& gen) {
  auto rng = [&gen] { return std::uint32_t(gen()); };
  const std::uint32_t value = rng() % 4 == 0 ? 0xFFFFFFFF : rng();  // 0xFF bytes exercise stuffing
  switch (rng() % 8) {
    case 0: case 1: return {Op::Bit, rng() & 1};
    case 2: case 3: return {Op::Bits, rng() % 17, value & 0xFFFF};
    case 4: return {Op::Byte, value & 0xFF};
    case 5: return {Op::Word, value & 0xFFFF};
    case 6: return rng() % 2 ? Step{Op::Dword, value} : Step{Op::Order, rng() % 2};
    default: return rng() % 2 ? Step{Op::Flush} : Step{Op::Block, rng() % 25};
  }
}

TEST(Streams, CountingTracksMemoryOnRandomWrites) {
  for (std::uint32_t seed : {1u, 7u, 42u, 2024u, 99991u}) {
    std::mt19937 rng(seed);
    Mem m(Bytes(4096, 0));
    ByteStream cnt{};
    InitCountingStream(&cnt);
    SetStatus(StatusBase);
    for (int i = 0; i < 400; ++i) {
      const Step st = RandomWrite(rng);
      SCOPED_TRACE(testing::Message() << "seed " << seed << " op " << i << " kind " << int(st.op));
      ASSERT_EQ(Apply(&m.s, st), 1);
      ASSERT_EQ(Apply(&cnt, st), 1);
      ASSERT_EQ(cnt.ops.Tell(&cnt), m.s.ops.Tell(&m.s));
      ASSERT_EQ(Snapshot(cnt), Snapshot(m.s));
      ASSERT_EQ(cnt.size, cnt.pos);
    }
    EXPECT_EQ(GetStatus(), StatusBase);
    for (std::size_t i = m.s.pos; i < 4096; ++i) ASSERT_EQ(m.buf[i], 0) << "byte beyond pos written: " << i;
    EXPECT_TRUE(m.GuardsIntact());
  }
}

// A counting stream with n bytes left before its limit fails like a memory
// stream of n bytes: same results, status and state, step by step up to and
// including the first failure.
TEST(Streams, CountingFailsAtItsLimitLikeMemory) {
  for (std::uint32_t seed : {3u, 11u, 404u}) {
    for (std::uint32_t room : {0u, 1u, 2u, 5u, 40u}) {
      std::mt19937 rng(seed + room);
      Mem m(Bytes(room, 0));
      ByteStream cnt{};
      InitCountingStream(&cnt);
      const std::uint32_t base = CountLimit - room;
      cnt.pos = cnt.size = base;
      for (int i = 0; i < 300; ++i) {
        const Step st = RandomWrite(rng);
        SCOPED_TRACE(testing::Message() << "seed " << seed << " room " << room << " op " << i << " kind " << int(st.op));
        SetStatus(StatusBase);
        const int want = Apply(&m.s, st);
        const std::uint16_t wantStatus = GetStatus();
        SetStatus(StatusBase);
        ASSERT_EQ(Apply(&cnt, st), want);
        ASSERT_EQ(GetStatus(), wantStatus);
        ASSERT_EQ(cnt.pos - base, m.s.pos);
        ASSERT_EQ(cnt.bitCount, m.s.bitCount);
        ASSERT_EQ(cnt.bitAcc & 0xFF, m.s.bitAcc & 0xFF);
        if (!want) break;
      }
    }
  }
}

// WriteBlock stands for as many WriteByte calls: at every capacity, with and
// without a pending partial byte, it leaves the same bytes, result, status
// and state, in a memory stream and in a counting stream near its limit.
TEST(Streams, WriteBlockIsWriteByteCalls) {
  for (std::uint32_t count : {0u, 1u, 5u, 24u}) {
    for (std::uint32_t pending : {0u, 3u}) {
      for (std::uint32_t room = 0; room <= 26; ++room) {
        SCOPED_TRACE(testing::Message() << count << " bytes, " << pending << " pending bits, room " << room);
        Mem bytewise(Bytes(room, 0)), block(Bytes(room, 0));
        ByteStream cnt{};
        InitCountingStream(&cnt);
        cnt.pos = cnt.size = CountLimit - room;
        for (ByteStream* s : {&bytewise.s, &block.s, &cnt}) ASSERT_EQ(s->ops.WriteBits(s, std::uint8_t(pending), 5), 1);

        SetStatus(StatusBase);
        int want = 1;
        for (std::uint32_t i = 0; i < count && want; ++i) want = bytewise.s.ops.WriteByte(&bytewise.s, BlockBytes[i]);
        const std::uint16_t wantStatus = GetStatus();
        for (ByteStream* s : {&block.s, &cnt}) {
          SetStatus(StatusBase);
          ASSERT_EQ(s->ops.WriteBlock(s, BlockBytes, count), want);
          ASSERT_EQ(GetStatus(), wantStatus);
          ASSERT_EQ(s->bitCount, bytewise.s.bitCount);
          ASSERT_EQ(s->bitAcc & 0xFF, bytewise.s.bitAcc & 0xFF);
        }
        ASSERT_EQ(block.s.pos, bytewise.s.pos);
        ASSERT_EQ(Hex(block.buf), Hex(bytewise.buf));  // guard bytes included
        ASSERT_EQ(cnt.pos - (CountLimit - room), bytewise.s.pos);
        ASSERT_EQ(cnt.size, cnt.pos);
      }
    }
  }
}

}  // namespace
}  // namespace dibjpeg::test
