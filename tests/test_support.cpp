#include "test_support.h"

#include <algorithm>
#include <cstdio>

namespace dibjpeg::test {

std::string Hex(const std::uint8_t* data, std::size_t size) {
  std::string s;
  char buf[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, "%02X", data[i]);
    if (i) s += ' ';
    s += buf;
  }
  return s;
}

std::uint32_t RowStride(std::uint32_t width, int bitCount) { return ((width * bitCount + 31) / 32) * 4; }

RgbImage MakeTestImage(int width, int height) {
  RgbImage img;
  img.width = width;
  img.height = height;
  img.rgb.resize(std::size_t(width) * height * 3);
  const int cw = std::max(1, width / 4), ch = std::max(1, height / 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &img.rgb[3 * (std::size_t(y) * width + x)];
      p[0] = static_cast<std::uint8_t>(width > 1 ? 255 * x / (width - 1) : 128);
      p[1] = static_cast<std::uint8_t>(height > 1 ? 255 * y / (height - 1) : 128);
      p[2] = static_cast<std::uint8_t>(255 - (p[0] + p[1]) / 2);
      const bool left = x < cw, right = x >= width - cw, top = y < ch, bottom = y >= height - ch;
      if (top && left) { p[0] = 250; p[1] = 20; p[2] = 20; }
      else if (top && right) { p[0] = 20; p[1] = 230; p[2] = 30; }
      else if (bottom && left) { p[0] = 30; p[1] = 40; p[2] = 240; }
      else if (bottom && right) { p[0] = 240; p[1] = 240; p[2] = 20; }
    }
  }
  return img;
}

Bytes ToDib(const RgbImage& image, int bitCount, bool blueFirst) {
  const std::uint32_t stride = RowStride(image.width, bitCount);
  Bytes dib(std::size_t(stride) * image.height, 0);
  for (int y = 0; y < image.height; ++y) {
    std::uint8_t* row = &dib[std::size_t(image.height - 1 - y) * stride];
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t* p = image.At(x, y);
      const int r = p[0], g = p[1], b = p[2];
      switch (bitCount) {
        case 8: row[x] = static_cast<std::uint8_t>(r); break;
        case 16: {
          const int f0 = (blueFirst ? b : r) >> 3, f2 = (blueFirst ? r : b) >> 3;
          const int v = f0 | (g >> 3) << 5 | f2 << 10;
          row[2 * x] = static_cast<std::uint8_t>(v);
          row[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
          break;
        }
        default: {
          const int bpp = bitCount / 8;
          std::uint8_t* q = row + bpp * x;
          q[0] = static_cast<std::uint8_t>(blueFirst ? b : r);
          q[1] = static_cast<std::uint8_t>(g);
          q[2] = static_cast<std::uint8_t>(blueFirst ? r : b);
          if (bpp == 4) q[3] = 0x5A;  // ignored by the encoder
        }
      }
    }
  }
  return dib;
}

RgbImage FromDib(const Bytes& dib, int width, int height, int bitCount, bool blueFirst) {
  RgbImage img;
  img.width = width;
  img.height = height;
  img.rgb.resize(std::size_t(width) * height * 3);
  const std::uint32_t stride = RowStride(width, bitCount);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = &dib[std::size_t(height - 1 - y) * stride];
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = &img.rgb[3 * (std::size_t(y) * width + x)];
      switch (bitCount) {
        case 8: p[0] = p[1] = p[2] = row[x]; break;
        case 16: {
          const int v = row[2 * x] | row[2 * x + 1] << 8;
          const int f0 = (v & 31) << 3, f1 = (v >> 5 & 31) << 3, f2 = (v >> 10 & 31) << 3;
          p[0] = static_cast<std::uint8_t>(blueFirst ? f2 : f0);
          p[1] = static_cast<std::uint8_t>(f1);
          p[2] = static_cast<std::uint8_t>(blueFirst ? f0 : f2);
          break;
        }
        default: {
          const std::uint8_t* q = row + (bitCount / 8) * x;
          p[0] = blueFirst ? q[2] : q[0];
          p[1] = q[1];
          p[2] = blueFirst ? q[0] : q[2];
        }
      }
    }
  }
  return img;
}

EncodeResult Encode(const Bytes& src, std::uint32_t width, std::uint32_t height, int bitCount, int quality,
                    int sampling, int channelOrder, std::int32_t mode, std::uint32_t capacity) {
  EncodeResult r;
  r.bytes.assign(capacity, 0);
  JpegEncodeParams p{};
  p.srcBits = src.empty() ? nullptr : src.data();
  p.srcSize = static_cast<std::uint32_t>(src.size());
  p.dstBuffer = r.bytes.empty() ? nullptr : r.bytes.data();
  p.dstSize = capacity;
  p.width = width;
  p.height = height;
  p.bitCount = static_cast<std::uint16_t>(bitCount);
  p.quality = static_cast<std::uint8_t>(quality);
  p.sampling = static_cast<std::uint8_t>(sampling);
  p.channelOrder = static_cast<std::uint8_t>(channelOrder);
  r.status = Jpeg_EncodeStart(&p, mode);
  r.dstSize = p.dstSize;
  return r;
}

}  // namespace dibjpeg::test
