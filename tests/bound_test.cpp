// JpegEncodeBound: its per-block constants are the most a block can add
// (found again here by trying every block the tables can code), and every
// encode of worst-case pixels fits in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>

#include "dibjpeg/dibjpeg.h"
#include "jpeg/jpeg.h"
#include "stream/stream.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

// The most complete bytes, stuffing included, that one block adds through a
// DC and an AC table, over every pending byte before it. The state is the
// pending byte: how many bits it holds (0..7) and whether all are 1s, since
// a completed 0xFF byte takes a stuffing byte. Extra bits are free choices.
class BlockBytes {
 public:
  using States = std::array<int, 16>;  // best byte count per state (bits * 2 + all ones), -1 unreachable

  static int Most(const HuffTable& dc, const HuffTable& ac) {
    int most = 0;
    for (int start = 1; start < 16; ++start) {  // bits 0 with "not all ones" cannot happen
      States s;
      s.fill(-1);
      s[start] = 0;
      States afterDc;
      afterDc.fill(-1);
      for (int size = 0; size <= 11; ++size) Merge(afterDc, Unit(s, dc.code[size], dc.codeSize[size], size));
      // at[p]: the best states with zigzag positions 1..p-1 coded.
      std::array<States, 65> at;
      for (States& a : at) a.fill(-1);
      at[1] = afterDc;
      States end;
      end.fill(-1);
      for (int p = 1; p < 64; ++p) {
        Merge(end, Unit(at[p], ac.code[0x00], ac.codeSize[0x00], 0));  // EOB: the rest is zero
        for (int q = p; q < 64; ++q) {
          States runs = at[p];
          for (int zeros = q - p; zeros > 15; zeros -= 16) runs = Unit(runs, ac.code[0xF0], ac.codeSize[0xF0], 0);
          for (int size = 1; size <= 10; ++size) {
            const int symbol = (q - p) % 16 * 16 + size;
            Merge(at[q + 1], Unit(runs, ac.code[symbol], ac.codeSize[symbol], size));
          }
        }
      }
      Merge(end, at[64]);
      most = std::max(most, *std::max_element(end.begin(), end.end()));
    }
    return most;
  }

 private:
  static void Merge(States& into, const States& from) {
    for (int i = 0; i < 16; ++i) into[i] = std::max(into[i], from[i]);
  }
  // One bit, fixed (0 or 1) or free (-1).
  static States Bit(const States& s, int bit) {
    States out;
    out.fill(-1);
    for (int i = 0; i < 16; ++i) {
      if (s[i] < 0) continue;
      const int bits = i / 2;
      const bool ones = i % 2 != 0;
      for (int b = 0; b < 2; ++b) {
        if (bit >= 0 && b != bit) continue;
        if (bits == 7) {
          const int bytes = s[i] + 1 + (ones && b == 1 ? 1 : 0);
          out[1] = std::max(out[1], bytes);  // an empty pending byte counts as all ones
        } else {
          const int next = (bits + 1) * 2 + (ones && b == 1 ? 1 : 0);
          out[next] = std::max(out[next], s[i]);
        }
      }
    }
    return out;
  }
  // A code of `length` bits followed by `extra` free bits.
  static States Unit(States s, int code, int length, int extra) {
    for (int k = length - 1; k >= 0; --k) s = Bit(s, code >> k & 1);
    for (int k = 0; k < extra; ++k) s = Bit(s, -1);
    return s;
  }
};

TEST(EncodeBound, PerBlockBytesAreTheMostABlockCanAdd) {
  const HuffTable* tables = StandardHuffTables;
  const int luma = BlockBytes::Most(tables[0], tables[1]), chroma = BlockBytes::Most(tables[2], tables[3]);
  // The bound of a 1 x 9 gray image is 324 + 2 x luma + 4; of a 9 x 1
  // colour image at 4:4:4 607 + 2 x (luma + 2 x chroma) + 4; of 17 x 9 at
  // 4:2:2 four 16 x 8 MCUs of 2 luma and 2 chroma blocks; of 17 x 33 at
  // 4:2:0 six 16 x 16 MCUs of 4 luma and 2 chroma blocks.
  JpegEncodeParams p{};
  p.quality = 50;
  p.width = 1, p.height = 9, p.bitCount = 8;
  EXPECT_EQ(JpegEncodeBound(&p), 324u + 2u * luma + 4u);
  p.width = 9, p.height = 1, p.bitCount = 24, p.sampling = 2;
  EXPECT_EQ(JpegEncodeBound(&p), 607u + 2u * (luma + 2u * chroma) + 4u);
  p.width = 17, p.height = 9, p.sampling = 1;
  EXPECT_EQ(JpegEncodeBound(&p), 607u + 4u * (2u * luma + 2u * chroma) + 4u);
  p.height = 33, p.sampling = 0;
  EXPECT_EQ(JpegEncodeBound(&p), 607u + 6u * (4u * luma + 2u * chroma) + 4u);
}

TEST(EncodeBound, RefusesWhatValidationRefuses) {
  const JpegEncodeParams good{.width = 7, .height = 5, .bitCount = 24, .quality = 75};
  ASSERT_GT(JpegEncodeBound(&good), 607u);
  struct Case {
    const char* name;
    void (*spoil)(JpegEncodeParams&);
  } const cases[] = {
      {"width 0", [](JpegEncodeParams& p) { p.width = 0; }},
      {"height 0", [](JpegEncodeParams& p) { p.height = 0; }},
      {"width 65536", [](JpegEncodeParams& p) { p.width = 65536; }},
      {"quality 0", [](JpegEncodeParams& p) { p.quality = 0; }},
      {"quality 101", [](JpegEncodeParams& p) { p.quality = 101; }},
      {"sampling 3", [](JpegEncodeParams& p) { p.sampling = 3; }},
      {"bitCount 15", [](JpegEncodeParams& p) { p.bitCount = 15; }},
  };
  for (const Case& c : cases) {
    JpegEncodeParams p = good;
    c.spoil(p);
    EXPECT_EQ(JpegEncodeBound(&p), 0u) << c.name;
    p.dstSize = 1 << 20;
    EXPECT_NE(Jpeg_EncodeStart(&p, 0), 0) << c.name;
  }
}

// Noise and one-pixel checkerboards of extreme colours at quality 100, in
// every format, sampling and channel order, at odd sizes: each stream fits.
TEST(EncodeBound, WorstCasePixelsFit) {
  std::mt19937 rng(17);
  double tightest = 1e9;
  // Pattern k > 0 alternates the two colours of checkers[k - 1] pixel by pixel.
  const std::uint8_t checkers[3][2][3] = {{{0, 0, 0}, {255, 255, 255}},
                                          {{255, 0, 255}, {0, 255, 0}},
                                          {{255, 0, 0}, {0, 255, 255}}};
  for (int bitCount : {8, 16, 24, 32}) {
    for (int sampling : {0, 1, 2}) {
      for (int order : {0, 1}) {
        for (const auto [w, h] : {std::pair{33, 17}, std::pair{17, 31}, std::pair{1, 9}}) {
          for (int pattern = 0; pattern < 4; ++pattern) {
            const std::uint32_t stride = RowStride(w, bitCount);
            Bytes src(stride * h);
            for (int y = 0; y < h; ++y) {
              for (std::uint32_t x = 0; x < stride; ++x) {
                const int pixel = static_cast<int>(x) / std::max(1, bitCount / 8);
                src[y * stride + x] = pattern == 0 ? static_cast<std::uint8_t>(rng())
                                                   : checkers[pattern - 1][(pixel + y) % 2][x % 3];
              }
            }
            JpegEncodeParams p{};
            p.width = w, p.height = h, p.quality = 100, p.bitCount = static_cast<std::uint16_t>(bitCount);
            p.sampling = static_cast<std::uint8_t>(sampling), p.channelOrder = static_cast<std::uint8_t>(order);
            const std::uint64_t bound = JpegEncodeBound(&p);
            const EncodeResult r = Encode(src, w, h, bitCount, 100, sampling, order, 1, static_cast<std::uint32_t>(bound));
            ASSERT_EQ(r.status, 0) << bitCount << "-bit sampling " << sampling << " " << w << "x" << h;
            tightest = std::min(tightest, double(bound) / r.dstSize);
          }
        }
      }
    }
  }
  std::printf("tightest bound / length: %.2f\n", tightest);
  EXPECT_GE(tightest, 1.0);
}

}  // namespace
}  // namespace dibjpeg::test
