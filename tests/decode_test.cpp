// End to end through the public function: every reader, sampling and a
// range of qualities and odd sizes is measured, encoded into exactly the
// measured size, decoded by libjpeg-turbo (warnings are errors) and compared
// with the pixels the bitmap holds.
#include <gtest/gtest.h>

#include <algorithm>

#include "test_support.h"

namespace dibjpeg::test {
namespace {

struct Format {
  const char* name;
  int bitCount;
  int channelOrder;  // 1 = blue first; 0 and 2 both red first
};
const Format kFormats[] = {{"gray8", 8, 0},  {"rgb16", 16, 0}, {"bgr16", 16, 1}, {"rgb24", 24, 2},
                           {"bgr24", 24, 1}, {"rgb32", 32, 0}, {"bgr32", 32, 1}};
void PrintTo(const Format& f, std::ostream* os) { *os << f.name; }
const int kQualities[] = {50, 75, 95};
struct Size {
  int width, height;
};
const Size kSizes[] = {{1, 1}, {7, 5}, {17, 17}, {100, 50}, {257, 129}};

// Lowest PSNR (dB) accepted against the bitmap's own pixels, set from
// measurement: the lowest value any reader gave, less 0.5 dB. Small images
// with one-pixel colour corners lose most to chroma subsampling; gray does not
// depend on the sampling. Columns: gray, 4:2:0, 4:2:2, 4:4:4.
struct Threshold {
  int width, height, quality;
  double psnr[4];
} const kThresholds[] = {
    {1, 1, 50, {60.0, 41.2, 41.2, 41.2}},       {1, 1, 75, {60.0, 47.6, 47.6, 47.6}},
    {1, 1, 95, {60.0, 47.6, 47.6, 47.6}},       {7, 5, 50, {24.3, 13.0, 15.2, 18.3}},
    {7, 5, 75, {28.0, 14.4, 16.8, 22.0}},       {7, 5, 95, {41.1, 15.1, 18.1, 34.2}},
    {17, 17, 50, {30.9, 19.3, 20.2, 22.2}},     {17, 17, 75, {33.7, 20.3, 22.0, 27.5}},
    {17, 17, 95, {44.2, 21.3, 23.5, 37.4}},     {100, 50, 50, {39.9, 25.3, 27.2, 31.8}},
    {100, 50, 75, {43.3, 26.5, 28.7, 35.2}},    {100, 50, 95, {52.9, 27.0, 29.4, 41.7}},
    {257, 129, 50, {48.7, 30.3, 33.0, 36.7}},   {257, 129, 75, {50.1, 31.0, 34.1, 39.6}},
    {257, 129, 95, {60.0, 31.2, 34.8, 43.5}},
};
double ThresholdFor(const Size& s, int quality, int bitCount, int sampling) {
  for (const Threshold& t : kThresholds) {
    if (t.width == s.width && t.height == s.height && t.quality == quality) return t.psnr[bitCount == 8 ? 0 : 1 + sampling];
  }
  ADD_FAILURE() << "no threshold for " << s.width << "x" << s.height << " q" << quality;
  return 99;
}

// References a faulty encoder would match instead: upside down, mirrored
// (MCU columns in the wrong order), red and blue exchanged.
RgbImage Transformed(const RgbImage& in, bool flip, bool mirror, bool swapRedBlue) {
  RgbImage out = in;
  for (int y = 0; y < in.height; ++y) {
    for (int x = 0; x < in.width; ++x) {
      const std::uint8_t* p = in.At(mirror ? in.width - 1 - x : x, flip ? in.height - 1 - y : y);
      std::uint8_t* q = &out.rgb[3 * (std::size_t(y) * in.width + x)];
      q[0] = swapRedBlue ? p[2] : p[0];
      q[1] = p[1];
      q[2] = swapRedBlue ? p[0] : p[2];
    }
  }
  return out;
}

class DecodeRoundTrip : public testing::TestWithParam<Format> {};

TEST_P(DecodeRoundTrip, EverySamplingQualityAndSize) {
  const Format f = GetParam();
  for (int sampling = 0; sampling < 3; ++sampling) {
    for (int quality : kQualities) {
      for (const Size s : kSizes) {
        SCOPED_TRACE(testing::Message() << f.name << " sampling " << sampling << " q" << quality << " " << s.width
                                        << "x" << s.height);
        const Bytes dib = ToDib(MakeTestImage(s.width, s.height), f.bitCount, f.channelOrder == 1);
        const RgbImage want = FromDib(dib, s.width, s.height, f.bitCount, f.channelOrder == 1);
        auto encode = [&](std::int32_t mode, std::uint32_t capacity) {
          return Encode(dib, s.width, s.height, f.bitCount, quality, sampling, f.channelOrder, mode, capacity);
        };
        const EncodeResult measured = encode(0, 0);
        ASSERT_EQ(measured.status, 0);
        const std::uint32_t length = measured.dstSize;
        EncodeResult jpeg = encode(1, length);
        ASSERT_EQ(jpeg.status, 0);
        ASSERT_EQ(jpeg.dstSize, length);

        // Short by the EOI marker, or part of it.
        for (std::uint32_t missing : {1u, 2u}) {
          const EncodeResult shorter = encode(1, length - missing);
          EXPECT_EQ(shorter.status, 0x2005) << "capacity " << length - missing;
          EXPECT_EQ(shorter.dstSize, 0u);
        }

        Decoded image;
        std::string error;
        ASSERT_TRUE(DecodeJpeg(jpeg.bytes, &image, &error)) << error;
        ASSERT_EQ(image.width, s.width);
        ASSERT_EQ(image.height, s.height);
        ASSERT_EQ(image.components, f.bitCount == 8 ? 1 : 3);
        const double threshold = ThresholdFor(s, quality, f.bitCount, sampling);
        EXPECT_GE(Psnr(image, want), threshold);
        // The threshold is tight enough to reject an image that is upside
        // down, mirrored or has red and blue exchanged.
        if (s.height > 1) EXPECT_LT(Psnr(image, Transformed(want, true, false, false)), threshold) << "flipped";
        if (s.width > 1) EXPECT_LT(Psnr(image, Transformed(want, false, true, false)), threshold) << "mirrored";
        if (f.bitCount != 8 && s.width > 1) {
          EXPECT_LT(Psnr(image, Transformed(want, false, false, true)), threshold) << "red and blue swapped";
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllReaders, DecodeRoundTrip, testing::ValuesIn(kFormats),
                         [](const testing::TestParamInfo<Format>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dibjpeg::test
