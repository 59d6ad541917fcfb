// The MCU readers and assemblers, driven directly through an EncoderState
// over a memory source: colour conversion, pixel layouts, MCU location,
// edge replication, source bounds and the chroma layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "common/cpu_features.h"
#include "common/status.h"
#include "pixels/pixels.h"
#include "stream/stream.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

// The planes a colour reader hands to the assembler, captured by a test double.
struct Planes {
  std::uint8_t y[256], cb[256], cr[256];
  int calls;
} captured;
void CapturePlanes(std::uint8_t*, const std::uint8_t* y, const std::uint8_t* cb, const std::uint8_t* cr) {
  std::memcpy(captured.y, y, 256);
  std::memcpy(captured.cb, cb, 256);
  std::memcpy(captured.cr, cr, 256);
  ++captured.calls;
}

struct Reader {
  const char* name;
  ReadMcuFn fn;
  int bitCount;
  bool blueFirst;
};
const Reader kReaders[] = {
    {"Gray8", ReadMcuGray8, 8, false},  {"Rgb16", ReadMcuRgb16, 16, false}, {"Bgr16", ReadMcuBgr16, 16, true},
    {"Rgb24", ReadMcuRgb24, 24, false}, {"Bgr24", ReadMcuBgr24, 24, true},  {"Rgb32", ReadMcuRgb32, 32, false},
    {"Bgr32", ReadMcuBgr32, 32, true},
};
enum { Gray8, Rgb16, Bgr16, Rgb24, Bgr24, Rgb32, Bgr32 };

// A reader's view of one bitmap: the state the scan driver would have built.
struct Rig {
  Bytes src;
  ByteStream source{};
  EncoderState state{};
  std::uint8_t mcu[384];

  Rig(Bytes bytes, std::uint32_t width, std::uint32_t height, int bitCount, int mcuWidth, int mcuHeight)
      : src(std::move(bytes)) {
    InitMemoryStream(&source, static_cast<std::uint32_t>(src.size()), src.data());
    state.source = &source;
    state.width = width;
    state.height = height;
    state.rowStride = RowStride(width, bitCount);
    state.mcuWidth = static_cast<std::uint8_t>(mcuWidth);
    state.mcuHeight = static_cast<std::uint8_t>(mcuHeight);
    state.mcusPerRow = static_cast<std::uint16_t>((width + mcuWidth - 1) / mcuWidth);
    state.assembleMcu = CapturePlanes;
  }
  int Read(const Reader& r, std::uint32_t mcuIndex) {
    state.mcusDone = mcuIndex;
    captured.calls = 0;
    std::memset(mcu, 0xEE, sizeof mcu);
    SetStatus(StatusBase);
    return r.fn(&state, mcu);
  }
};

TEST(PixelsColourConversion, WorkedExamples) {
  struct Case {
    int r, g, b, y, cb, cr;
  } const cases[] = {{0, 0, 0, 0, 128, 128},   {255, 255, 255, 255, 128, 128}, {128, 128, 128, 128, 128, 128},
                     {255, 0, 0, 77, 85, 255}, {0, 255, 0, 149, 43, 21},       {0, 0, 255, 29, 255, 107}};
  for (const Case& c : cases) {
    const YCbCr v = ConvertToYCbCr(c.r, c.g, c.b);
    EXPECT_EQ(v.y, c.y) << c.r << "," << c.g << "," << c.b;
    EXPECT_EQ(v.cb, c.cb) << c.r << "," << c.g << "," << c.b;
    EXPECT_EQ(v.cr, c.cr) << c.r << "," << c.g << "," << c.b;
  }
}

// Every colour against the formulas as written: shifts that round down,
// the clamps to 0..255.
TEST(PixelsColourConversion, EveryColourMatchesTheFormulas) {
  const auto clamp = [](int v) { return std::min(std::max(v, 0), 255); };
  for (int r = 0; r < 256; ++r) {
    for (int g = 0; g < 256; ++g) {
      for (int b = 0; b < 256; ++b) {
        const YCbCr v = ConvertToYCbCr(r, g, b);
        const int y = clamp((77 * r + 150 * g + 29 * b + 128) >> 8);
        const int cb = clamp(((128 * b + 128 - 43 * r - 85 * g) >> 8) + 128);
        const int cr = clamp(((128 * r + 128 - 107 * g - 21 * b) >> 8) + 128);
        if (v.y != y || v.cb != cb || v.cr != cr) {
          FAIL() << "rgb " << r << "," << g << "," << b << ": have " << int(v.y) << "," << int(v.cb) << ","
                 << int(v.cr) << " want " << y << "," << cb << "," << cr;
        }
      }
    }
  }
}

// A 1x1 image fills the whole MCU with its one pixel; the bytes pin down
// where each reader takes red, green and blue from, and that bit 15 and
// byte 3 are ignored.
TEST(PixelsReaders, OnePixelLayouts) {
  struct Case {
    int reader;
    std::uint8_t bytes[4];
    int y, cb, cr;  // gray: y only
  } const cases[] = {
      {Rgb16, {0xFF, 0x7F}, 248, 128, 128}, {Bgr16, {0xFF, 0x7F}, 248, 128, 128},
      {Rgb16, {0xFF, 0xFF}, 248, 128, 128}, {Bgr16, {0xFF, 0xFF}, 248, 128, 128},
      {Rgb16, {0x1F, 0x00}, 75, 86, 252},   {Bgr16, {0x1F, 0x00}, 28, 252, 108},
      {Rgb24, {255, 0, 0}, 77, 85, 255},    {Bgr24, {0, 0, 255}, 77, 85, 255},
      {Rgb24, {0, 0, 255}, 29, 255, 107},   {Bgr24, {255, 0, 0}, 29, 255, 107},
      {Rgb32, {255, 0, 0, 0}, 77, 85, 255}, {Bgr32, {0, 0, 255, 0xFF}, 77, 85, 255},
      {Rgb32, {0, 255, 0, 0xFF}, 149, 43, 21}, {Bgr32, {0, 255, 0, 0}, 149, 43, 21},
      {Gray8, {0x5C}, 0x5C, 0, 0},
  };
  for (const Case& c : cases) {
    const Reader& r = kReaders[c.reader];
    Rig rig(Bytes(c.bytes, c.bytes + 4), 1, 1, r.bitCount, 8, 8);
    ASSERT_EQ(rig.Read(r, 0), 1) << r.name;
    for (int i = 0; i < 64; ++i) {
      if (c.reader == Gray8) {
        ASSERT_EQ(rig.mcu[i], c.y) << i;
        continue;
      }
      ASSERT_EQ(captured.y[i], c.y) << r.name << " " << Hex(c.bytes, 4);
      ASSERT_EQ(captured.cb[i], c.cb) << r.name << " " << Hex(c.bytes, 4);
      ASSERT_EQ(captured.cr[i], c.cr) << r.name << " " << Hex(c.bytes, 4);
    }
  }
  Rig gray(Bytes(4, 0), 1, 1, 8, 16, 8);  // gray images only come with 8x8 MCUs
  EXPECT_EQ(gray.Read(kReaders[Gray8], 0), 0);
  EXPECT_EQ(GetStatus(), StatusBase);
}

// Every reader against the definition of the MCU: sample (i, c) is image
// pixel (x0 + c, y0 + i), both clamped to the last column and row. Covers
// bottom-up rows, MCU location and the right and bottom edges.
TEST(PixelsReaders, SamplesAreTheMcusPixelsWithEdgesRepeated) {
  struct Geometry {
    int width, height, mcuWidth, mcuHeight;
  } const geometries[] = {{17, 17, 16, 16}, {19, 21, 8, 8}, {33, 9, 16, 8}, {1, 1, 16, 16}, {9, 3, 8, 8}};
  for (const Reader& r : kReaders) {
    for (const Geometry& g : geometries) {
      const bool gray = r.bitCount == 8;
      const int mcuW = gray ? 8 : g.mcuWidth, mcuH = gray ? 8 : g.mcuHeight;
      Bytes dib = ToDib(MakeTestImage(g.width, g.height), r.bitCount, r.blueFirst);
      const RgbImage want = FromDib(dib, g.width, g.height, r.bitCount, r.blueFirst);
      if (r.bitCount == 32) {
        for (std::size_t i = 3; i < dib.size(); i += 4) dib[i] = static_cast<std::uint8_t>(i * 7);  // ignored
      }
      Rig rig(dib, g.width, g.height, r.bitCount, mcuW, mcuH);
      const std::uint32_t total = rig.state.mcusPerRow * ((g.height + mcuH - 1) / mcuH);
      for (std::uint32_t m = 0; m < total; ++m) {
        SCOPED_TRACE(testing::Message() << r.name << " " << g.width << "x" << g.height << " mcu " << m);
        ASSERT_EQ(rig.Read(r, m), 1);
        ASSERT_EQ(captured.calls, gray ? 0 : 1);
        const int x0 = (m % rig.state.mcusPerRow) * mcuW, y0 = (m / rig.state.mcusPerRow) * mcuH;
        for (int i = 0; i < mcuH; ++i) {
          for (int c = 0; c < mcuW; ++c) {
            const std::uint8_t* p = want.At(std::min(x0 + c, g.width - 1), std::min(y0 + i, g.height - 1));
            const int at = i * mcuW + c;
            if (gray) {
              ASSERT_EQ(rig.mcu[at], p[0]) << i << "," << c;
              continue;
            }
            const YCbCr v = ConvertToYCbCr(p[0], p[1], p[2]);
            ASSERT_EQ(captured.y[at], v.y) << i << "," << c;
            ASSERT_EQ(captured.cb[at], v.cb) << i << "," << c;
            ASSERT_EQ(captured.cr[at], v.cr) << i << "," << c;
          }
        }
      }
    }
  }
}

// Readers step from one MCU to the next and locate any other afresh: read
// backwards, every MCU is the one read in order, and the index past the last
// MCU holds no pixel, whether stepped to or asked for directly.
TEST(PixelsReaders, AnyOrderGivesTheSameMcus) {
  struct Case {
    int reader, width, height, mcuWidth, mcuHeight;
    AssembleMcuFn assemble;
  } const cases[] = {{Gray8, 21, 18, 8, 8, nullptr},
                     {Bgr24, 37, 35, 16, 16, AssembleMcu420},
                     {Rgb32, 37, 20, 16, 8, AssembleMcu422},
                     {Rgb16, 19, 21, 8, 8, AssembleMcu444}};
  for (const Case& c : cases) {
    const Reader& r = kReaders[c.reader];
    SCOPED_TRACE(r.name);
    Rig rig(ToDib(MakeTestImage(c.width, c.height), r.bitCount, r.blueFirst), c.width, c.height, r.bitCount,
            c.mcuWidth, c.mcuHeight);
    rig.state.assembleMcu = c.assemble;
    const std::uint32_t total = rig.state.mcusPerRow * ((c.height + c.mcuHeight - 1) / c.mcuHeight);
    std::vector<Bytes> inOrder;
    for (std::uint32_t m = 0; m < total; ++m) {
      ASSERT_EQ(rig.Read(r, m), 1) << m;
      inOrder.emplace_back(rig.mcu, rig.mcu + sizeof rig.mcu);
    }
    EXPECT_EQ(rig.Read(r, total), 0);
    for (std::uint32_t m = total; m-- > 0;) {
      ASSERT_EQ(rig.Read(r, m), 1) << m;
      EXPECT_TRUE(std::equal(inOrder[m].begin(), inOrder[m].end(), rig.mcu)) << m;
    }
    EXPECT_EQ(rig.Read(r, total), 0);
  }
}

// The worked example: 24-bit, 19 x 21, 8x8 MCUs, stride 60. MCU 1's first
// row spans 1224..1248, MCU 5's 768..777; a row is checked before it is read
// and the source's pos is left at a row end.
TEST(PixelsReaders, LocatesTheMcuInTheBitmap) {
  struct Case {
    std::uint32_t mcu, srcSize;
    int ok;
    std::uint32_t pos;
  } const cases[] = {
      {1, 1248, 1, 1248 - 7 * 60}, {1, 1247, 0, 1248}, {5, 777, 1, 777 - 7 * 60}, {5, 776, 0, 777},
      {8, 21 * 60, 1, 57},  // the last MCU: one row, columns 16..18
  };
  for (const Case& c : cases) {
    Rig rig(ToDib(MakeTestImage(19, 21), 24, false), 19, 21, 24, 8, 8);
    rig.source.size = c.srcSize;
    EXPECT_EQ(rig.Read(kReaders[Rgb24], c.mcu), c.ok) << c.mcu << " " << c.srcSize;
    EXPECT_EQ(rig.source.pos, c.pos) << c.mcu << " " << c.srcSize;
    EXPECT_EQ(GetStatus(), c.ok ? StatusBase : StatusBase | StatusOverrun) << c.mcu;
    EXPECT_EQ(captured.calls, c.ok) << c.mcu;
  }
}

// The first MCU row reads the last rows in memory: (height - 1) x stride +
// width x bytes per pixel is enough; one byte less fails on the rightmost
// MCU of that row. Gray stores what is there before ReadByte fails; a gray
// row starting at the end fails with no bit; an empty source fails MCU 0.
TEST(PixelsReaders, SourceBounds) {
  struct Case {
    int reader, width, height, mcuSide;
    int shortBy;  // bytes missing from the minimal size; -1: empty source
    int failingMcu;
    std::uint16_t status;
  } const cases[] = {
      {Rgb16, 21, 18, 16, 0, -1, 0}, {Rgb16, 21, 18, 16, 1, 1, StatusOverrun}, {Bgr24, 21, 18, 16, 0, -1, 0},
      {Bgr24, 21, 18, 16, 1, 1, StatusOverrun}, {Bgr32, 21, 18, 8, 1, 2, StatusOverrun},
      {Rgb32, 5, 3, 8, -1, 0, StatusOverrun}, {Gray8, 21, 18, 8, 0, -1, 0}, {Gray8, 21, 18, 8, 1, 2, StatusOverrun},
      {Gray8, 17, 18, 8, 1, 2, 0},  // the top row's last MCU holds one pixel: it starts at the end
      {Gray8, 5, 3, 8, -1, 0, 0},
  };
  for (const Case& c : cases) {
    const Reader& r = kReaders[c.reader];
    SCOPED_TRACE(testing::Message() << r.name << " " << c.width << "x" << c.height << " short " << c.shortBy);
    const Bytes dib = ToDib(MakeTestImage(c.width, c.height), r.bitCount, r.blueFirst);
    Rig rig(dib, c.width, c.height, r.bitCount, c.mcuSide, c.mcuSide);
    const std::uint32_t minimal = (c.height - 1) * rig.state.rowStride + c.width * r.bitCount / 8;
    rig.source.size = c.shortBy < 0 ? 0 : minimal - c.shortBy;
    const std::uint32_t total = rig.state.mcusPerRow * ((c.height + c.mcuSide - 1) / c.mcuSide);
    for (std::uint32_t m = 0; m < total; ++m) {
      const int ok = rig.Read(r, m);
      if (static_cast<int>(m) != c.failingMcu) {
        if (c.shortBy >= 0) EXPECT_EQ(ok, 1) << m;
        continue;
      }
      EXPECT_EQ(ok, 0) << m;
      EXPECT_EQ(GetStatus(), StatusBase | c.status) << m;
      EXPECT_EQ(captured.calls, 0);
      if (c.reader == Gray8 && c.status != 0) {  // the top row's bytes before the end were stored
        const int x0 = 8 * c.failingMcu, present = c.width - x0 - 1;
        for (int j = 0; j < present; ++j) EXPECT_EQ(rig.mcu[j], dib[(c.height - 1) * rig.state.rowStride + x0 + j]);
        EXPECT_EQ(rig.mcu[present], 0xEE);
      }
    }
  }
}

// Height 65535 with a stride just above 64 KiB: the top row lies beyond
// 4 GiB. Wrapped to 32 bits its offset would land inside this buffer, with
// all eight rows of the MCU; the readers must refuse it instead.
TEST(PixelsReaders, RowOffsetsDoNotWrapAt32Bits) {
  constexpr std::uint32_t height = 65535, stride = 65548;
  const std::uint64_t top = std::uint64_t{height - 1} * stride;
  const auto wrapped = static_cast<std::uint32_t>(top);
  ASSERT_GT(top, 0xFFFFFFFFull);
  ASSERT_GE(wrapped, 7 * stride);
  for (int reader : {Gray8, Rgb24, Bgr32}) {
    const Reader& r = kReaders[reader];
    Rig rig(Bytes(wrapped + 64, 0x80), 1, height, r.bitCount, 8, 8);
    rig.state.rowStride = stride;
    EXPECT_EQ(rig.Read(r, 0), 0) << r.name;
    EXPECT_EQ(captured.calls, 0) << r.name;
    EXPECT_EQ(GetStatus(), reader == Gray8 ? StatusBase : StatusBase | StatusOverrun) << r.name;
    EXPECT_EQ(rig.mcu[0], 0xEE) << r.name;
  }
}

struct Layout {
  const char* name;
  AssembleMcuFn fn;
  int mcuWidth, mcuHeight, yBlocks;
};
const Layout kLayouts[] = {
    {"420", AssembleMcu420, 16, 16, 4}, {"422", AssembleMcu422, 16, 8, 2}, {"444", AssembleMcu444, 8, 8, 1}};

// Planes filled by value(plane, row, column), assembled by the layout.
template <typename F>
Bytes Assemble(const Layout& layout, F value) {
  std::uint8_t planes[3][256];
  for (int p = 0; p < 3; ++p) {
    for (int i = 0; i < 256; ++i)
      planes[p][i] = static_cast<std::uint8_t>(value(p, i / layout.mcuWidth, i % layout.mcuWidth));
  }
  Bytes mcu(384 + 16, 0xEE);
  layout.fn(mcu.data(), planes[0], planes[1], planes[2]);
  return mcu;
}

// Y block b is quadrant b (top left, top right, bottom left, bottom right),
// sample by sample; each chroma sample is its uniform neighbourhood; Cb
// comes before Cr; nothing is written past the layout's blocks.
TEST(PixelsAssembly, BlockOrderAndPlacement) {
  for (const Layout& l : kLayouts) {
    const int hs = l.mcuWidth / 8, vs = l.mcuHeight / 8;
    const Bytes mcu = Assemble(l, [&](int p, int r, int c) {
      if (p == 0) return 64 * ((r / 8) * 2 + c / 8) + 8 * (r % 8) + c % 8;
      const int cell = 8 * (r / vs) + c / hs;  // 0..63, one per chroma sample
      return p == 1 ? 2 * cell : 255 - 2 * cell;
    });
    for (int i = 0; i < 64 * l.yBlocks; ++i) ASSERT_EQ(mcu[i], i) << l.name << " Y";
    for (int i = 0; i < 64; ++i) {
      ASSERT_EQ(mcu[64 * l.yBlocks + i], 2 * i) << l.name << " Cb " << i;
      ASSERT_EQ(mcu[64 * l.yBlocks + 64 + i], 255 - 2 * i) << l.name << " Cr " << i;
    }
    for (std::size_t i = 64 * (l.yBlocks + 2); i < mcu.size(); ++i) ASSERT_EQ(mcu[i], 0xEE) << l.name << " wrote " << i;
  }
}

// Means truncate. The first Cb sample from its neighbourhood (a, b / c, d);
// the Cr plane holds the complements.
TEST(PixelsAssembly, ChromaMeansTruncate) {
  struct Case {
    int layout, a, b, c, d, cb, cr;
  } const cases[] = {
      {0, 1, 2, 2, 2, 1, 253},     {0, 255, 255, 255, 255, 255, 0}, {0, 0, 0, 0, 3, 0, 254},
      {1, 0, 1, 9, 9, 0, 254},     {1, 254, 255, 0, 0, 254, 0},     {2, 7, 200, 0, 0, 7, 248},
  };
  for (const Case& t : cases) {
    const Layout& l = kLayouts[t.layout];
    const Bytes mcu = Assemble(l, [&](int p, int r, int c) {
      if (p == 0 || r > 1 || c > 1) return 100;
      const int v = r == 0 ? (c == 0 ? t.a : t.b) : (c == 0 ? t.c : t.d);
      return p == 1 ? v : 255 - v;
    });
    EXPECT_EQ(mcu[64 * l.yBlocks], t.cb) << l.name << " " << t.a << "," << t.b << "," << t.c << "," << t.d;
    EXPECT_EQ(mcu[64 * l.yBlocks + 64], t.cr) << l.name << " " << t.a << "," << t.b << "," << t.c << "," << t.d;
  }
}

// The readers through each kernel set the processor offers (whole MCUs
// straight into the blocks) against the portable ones (planes, then the
// assembler), MCU by MCU: every colour format and layout, every width and
// height modulo 16, so every kind of edge MCU, and channels often 0 or 255,
// so pure reds and blues hit the clamp. The source ends at the top row's
// last pixel.
TEST(PixelsReaders, KernelPathsMatchPortablePath) {
  if (OfferedKernelSet() < KernelSet::Avx2) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(11);
  for (const Reader& r : kReaders) {
    if (r.bitCount == 8) continue;
    for (const Layout& l : kLayouts) {
      for (int n = 0; n < 256; ++n) {
        // The sets take turns in a checkerboard: each sees every width and height.
        const bool wide = (n + n / 16) % 2 == 1 && OfferedKernelSet() >= KernelSet::Avx512;
        const KernelSet set = wide ? KernelSet::Avx512 : KernelSet::Avx2;
        const int width = 17 + n % 16, height = 17 + n / 16;
        RgbImage image{width, height, Bytes(3 * width * height)};
        for (auto& c : image.rgb) {
          const std::uint32_t v = rng();
          c = static_cast<std::uint8_t>(v % 4 == 0 ? 0 : v % 4 == 1 ? 255 : v >> 8);
        }
        Bytes dib = ToDib(image, r.bitCount, r.blueFirst);
        for (std::size_t i = 3; r.bitCount == 32 && i < dib.size(); i += 4) dib[i] = static_cast<std::uint8_t>(rng());
        const std::size_t minimal = (height - 1) * RowStride(width, r.bitCount) + width * r.bitCount / 8;
        Rig rig(Bytes(dib.begin(), dib.begin() + minimal), width, height, r.bitCount, l.mcuWidth, l.mcuHeight);
        rig.state.assembleMcu = l.fn;
        const std::uint32_t total = rig.state.mcusPerRow * ((height + l.mcuHeight - 1) / l.mcuHeight);
        for (std::uint32_t m = 0; m < total; ++m) {
          SCOPED_TRACE(testing::Message() << "set " << static_cast<int>(set) << " " << r.name << " " << l.name << " "
                                          << width << "x" << height << " mcu " << m);
          CapKernelSet(KernelSet::Portable);
          ASSERT_EQ(rig.Read(r, m), 1);
          const Bytes want(rig.mcu, rig.mcu + sizeof rig.mcu);
          const std::uint32_t wantPos = rig.source.pos;
          CapKernelSet(set);
          ASSERT_EQ(rig.Read(r, m), 1);
          ASSERT_TRUE(std::equal(want.begin(), want.end(), rig.mcu))
              << "have " << Hex(rig.mcu, sizeof rig.mcu) << "\nwant " << Hex(want);
          ASSERT_EQ(rig.source.pos, wantPos);
        }
      }
    }
  }
  CapKernelSet(KernelSet::Avx512);
}

}  // namespace
}  // namespace dibjpeg::test
