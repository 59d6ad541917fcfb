// Encoding throughput of dibjpeg against TurboJPEG (libjpeg-turbo) on the same
// pixels, in one process. For every row the two encoders, dibjpeg's measure
// mode and a plain memcpy of the source run interleaved, run by run, so that
// load from other processes hits all of them alike; the table gives medians
// and the interquartile range.
//
//   dibjpeg_bench [--quick] [--filter TEXT] [--images DIR] [--save DIR] [--cpu-time] [--markdown] [--list]

#include <dibjpeg/dibjpeg.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "dibjpeg_bench: %s\n", message.c_str());
  std::exit(1);
}

// ---------------------------------------------------------------------------
// Generated content. Everything is drawn from fixed seeds, so every run and
// every machine benchmarks the same pixels.

class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
  int Between(int lo, int hi) { return lo + Below(hi - lo + 1); }

 private:
  std::uint64_t state_;
};

std::uint8_t Clamp(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

struct Colour {
  int r, g, b;
};

// Top row first, three bytes R, G, B per pixel.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;

  Image() = default;
  Image(int w, int h, std::uint8_t fill) : width(w), height(h), rgb(std::size_t(w) * h * 3, fill) {}
  std::uint8_t* At(int x, int y) { return &rgb[(std::size_t(y) * width + x) * 3]; }
  const std::uint8_t* At(int x, int y) const { return &rgb[(std::size_t(y) * width + x) * 3]; }
  void Put(int x, int y, Colour c) {
    std::uint8_t* p = At(x, y);
    p[0] = Clamp(c.r), p[1] = Clamp(c.g), p[2] = Clamp(c.b);
  }
  void FillRect(int x0, int y0, int x1, int y1, Colour c) {  // half-open, clipped
    x0 = std::max(x0, 0), y0 = std::max(y0, 0), x1 = std::min(x1, width), y1 = std::min(y1, height);
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x) Put(x, y, c);
  }
};

// A smooth random field in -128..127 with features about `cell` pixels wide:
// random values on a lattice, bilinearly interpolated.
class ValueNoise {
 public:
  ValueNoise(std::uint64_t seed, int cell, int width, int height)
      : cell_(cell), columns_(width / cell + 2), values_(std::size_t(columns_) * (height / cell + 2)) {
    Random random(seed);
    for (auto& v : values_) v = static_cast<std::int16_t>(random.Below(256) - 128);
  }
  int At(int x, int y) const {
    const int cx = x / cell_, cy = y / cell_, fx = x % cell_, fy = y % cell_;
    const std::int16_t* row = &values_[std::size_t(cy) * columns_ + cx];
    const int top = row[0] * (cell_ - fx) + row[1] * fx;
    const int bottom = row[columns_] * (cell_ - fx) + row[columns_ + 1] * fx;
    return (top * (cell_ - fy) + bottom * fy) / (cell_ * cell_);
  }

 private:
  int cell_;
  int columns_;
  std::vector<std::int16_t> values_;
};

// A photograph-like scene: a shaded sky with a soft sun and wires, a band of
// buildings with window grids, a textured ground with shaded discs at many
// sizes, a striped patch, and sensor noise over everything.
Image MakePhoto(int width, int height, std::uint64_t seed) {
  Image image(width, height, 0);
  Random random(seed);
  const int unit = std::min(width, height);
  const int horizon = height * 45 / 100;

  // Shading that varies slowly: a vertical sky/ground ramp times a lateral falloff.
  std::vector<Colour> rowBase(height);
  for (int y = 0; y < height; ++y) {
    if (y < horizon) {
      const int t = y * 256 / horizon;
      rowBase[y] = {70 + 130 * t / 256, 120 + 90 * t / 256, 200 + 25 * t / 256};
    } else {
      const int t = (y - horizon) * 256 / (height - horizon);
      rowBase[y] = {80 + 50 * t / 256, 115 - 25 * t / 256, 55 + 10 * t / 256};
    }
  }
  std::vector<int> falloff(width);  // 256 = 1.0
  for (int x = 0; x < width; ++x) {
    const int d = (2 * x - width) * 256 / width;  // -256..256
    falloff[x] = 256 - 80 * d * d / (256 * 256);
  }
  const ValueNoise large(seed + 1, std::max(8, unit / 6), width, height);
  const ValueNoise medium(seed + 2, std::max(4, unit / 40), width, height);
  const ValueNoise fine(seed + 3, 3, width, height);
  for (int y = 0; y < height; ++y) {
    const bool ground = y >= horizon;
    const int amplitude = ground ? 72 : 12;  // textured ground, calm sky
    for (int x = 0; x < width; ++x) {
      const int texture = (large.At(x, y) * 5 + medium.At(x, y) * 3 + (ground ? fine.At(x, y) * 2 : 0)) / 10;
      const int t = texture * amplitude / 128;
      const Colour base = rowBase[y];
      image.Put(x, y, {base.r * falloff[x] / 256 + t, base.g * falloff[x] / 256 + t * 7 / 8,
                       base.b * falloff[x] / 256 + t / 2});
    }
  }

  // A sun with a soft edge.
  {
    const int cx = width * 3 / 4, cy = horizon / 3, r = unit / 12;
    for (int y = std::max(0, cy - 2 * r); y < std::min(height, cy + 2 * r); ++y)
      for (int x = std::max(0, cx - 2 * r); x < std::min(width, cx + 2 * r); ++x) {
        const double d = std::hypot(x - cx, y - cy) / r;
        if (d >= 2) continue;
        const int glow = d < 1 ? 256 : static_cast<int>(256 * (2 - d) * (2 - d));
        std::uint8_t* p = image.At(x, y);
        image.Put(x, y, {p[0] + (255 - p[0]) * glow / 256, p[1] + (245 - p[1]) * glow / 256,
                         p[2] + (200 - p[2]) * glow / 256});
      }
  }

  // Buildings on the horizon, each with a grid of windows.
  for (int x = random.Below(unit / 20); x < width;) {
    const int w = random.Between(unit / 25, unit / 8);
    const int h = random.Between(unit / 20, unit / 4);
    const Colour wall{random.Between(90, 200), random.Between(80, 180), random.Between(70, 160)};
    image.FillRect(x, horizon - h, x + w, horizon + unit / 50, wall);
    const int pitch = std::max(4, unit / random.Between(60, 120));
    const Colour glass = random.Below(2) ? Colour{30, 40, 60} : Colour{230, 210, 140};
    for (int wy = horizon - h + pitch / 2; wy + pitch / 2 < horizon; wy += pitch)
      for (int wx = x + pitch / 2; wx + pitch / 2 < x + w; wx += pitch)
        image.FillRect(wx, wy, wx + pitch / 2, wy + pitch / 2, glass);
    x += w + random.Below(unit / 30 + 1);
  }

  // Shaded discs on the ground, from a few pixels to a fair part of the frame.
  for (int i = 0; i < 40; ++i) {
    const int r = std::max(2, unit / random.Between(8, 200));
    const int cx = random.Below(width), cy = random.Between(horizon, height - 1);
    const Colour c{random.Between(20, 250), random.Between(20, 250), random.Between(20, 250)};
    for (int y = std::max(0, cy - r); y < std::min(height, cy + r + 1); ++y)
      for (int x = std::max(0, cx - r); x < std::min(width, cx + r + 1); ++x) {
        const int dx = x - cx, dy = y - cy;
        if (dx * dx + dy * dy > r * r) continue;
        const int light = 256 - 128 * (dx + dy + 2 * r) / (4 * r);  // lit from the top left
        image.Put(x, y, {c.r * light / 256 + 20, c.g * light / 256 + 20, c.b * light / 256 + 20});
      }
  }

  // A striped patch, like fabric: fine diagonal stripes in two colours.
  {
    const int x0 = width / 10, y0 = height * 70 / 100, x1 = x0 + unit / 4, y1 = y0 + unit / 6;
    for (int y = y0; y < std::min(y1, height); ++y)
      for (int x = x0; x < std::min(x1, width); ++x)
        image.Put(x, y, (x + y) % 7 < 3 ? Colour{200, 40, 50} : Colour{240, 235, 220});
  }

  // Wires across the sky, one to three pixels thick.
  for (int i = 0; i < 3; ++i) {
    const int y0 = random.Between(horizon / 5, horizon * 4 / 5), y1 = random.Between(horizon / 5, horizon * 4 / 5);
    const int thickness = 1 + i;
    for (int x = 0; x < width; ++x) {
      const int y = y0 + (y1 - y0) * x / width;
      for (int t = 0; t < thickness && y + t < height; ++t) image.Put(x, y + t, {35, 35, 40});
    }
  }

  // Sensor noise.
  std::uint64_t n = seed * 0x2545F4914F6CDD1Dull + 1;
  for (std::uint8_t& v : image.rgb) {
    n ^= n << 13, n ^= n >> 7, n ^= n << 17;  // xorshift64
    v = Clamp(v + static_cast<int>(n % 13) - 6);
  }
  return image;
}

// One glyph-like shape on `baseline`: two or three strokes chosen at random
// from stems, bars, a bowl, a diagonal and a dot, the way letters are built.
void DrawGlyph(Image& image, Random& random, int x, int baseline, int xHeight, int advance, int stroke,
               Colour ink) {
  const int w = advance - stroke * 3 / 2;
  const int top = baseline - xHeight;
  const int strokes = random.Between(2, 3);
  for (int i = 0; i < strokes; ++i) {
    switch (random.Below(9)) {
      case 0: image.FillRect(x, top, x + stroke, baseline, ink); break;                          // stem
      case 1: image.FillRect(x, baseline - xHeight * 3 / 2, x + stroke, baseline, ink); break;   // ascender
      case 2: image.FillRect(x, top, x + stroke, baseline + xHeight / 2, ink); break;            // descender
      case 3: image.FillRect(x + w - stroke, top, x + w, baseline, ink); break;                  // right stem
      case 4: image.FillRect(x, top, x + w, top + stroke, ink); break;                           // top bar
      case 5: image.FillRect(x, top + (xHeight - stroke) / 2, x + w, top + (xHeight + stroke) / 2, ink); break;
      case 6: image.FillRect(x, baseline - stroke, x + w, baseline, ink); break;                 // bottom bar
      case 7: {  // bowl
        const int cx2 = 2 * x + w, cy2 = 2 * top + xHeight, r = std::min(w, xHeight);
        for (int y = top; y < baseline; ++y)
          for (int px = x; px < x + w; ++px) {
            const int dx = 2 * px + 1 - cx2, dy = 2 * y + 1 - cy2, d2 = dx * dx + dy * dy;
            if (d2 <= r * r && d2 >= (r - 2 * stroke) * (r - 2 * stroke)) image.Put(px, y, ink);
          }
        break;
      }
      default: {  // diagonal, or a dot above the x-height
        if (random.Below(2)) {
          for (int y = top; y < baseline; ++y) {
            const int px = x + (baseline - 1 - y) * (w - stroke) / xHeight;
            image.FillRect(px, y, px + stroke + stroke / 2, y + 1, ink);
          }
        } else {
          image.FillRect(x, top - 2 * stroke, x + stroke, top - stroke, ink);
        }
      }
    }
  }
}

// A printed page as a driver would rasterise it: white paper, black text
// (a heading and paragraphs of words), a coloured logo block, a gradient
// banner, a bar chart and a rule with a page number.
Image MakePage(int width, int height, std::uint64_t seed) {
  Image image(width, height, 255);
  Random random(seed);
  const int dpi = width * 10 / 83;  // A4 is 8.3 inches wide
  const int margin = dpi, right = width - dpi;
  const Colour black{0, 0, 0};

  // Gradient banner across the top and a solid logo block at its left.
  const int bannerTop = dpi / 2, bannerBottom = bannerTop + dpi * 3 / 4;
  for (int y = bannerTop; y < bannerBottom; ++y)
    for (int x = margin; x < right; ++x) {
      const int t = (x - margin) * 256 / (right - margin);
      image.Put(x, y, {230 - 150 * t / 256, 110 + 60 * t / 256, 40 + 180 * t / 256});
    }
  image.FillRect(margin + dpi / 8, bannerTop + dpi / 8, margin + dpi * 5 / 8, bannerBottom - dpi / 8, {255, 255, 255});
  image.FillRect(margin + dpi / 4, bannerTop + dpi / 4, margin + dpi / 2, bannerBottom - dpi / 4, {0, 80, 160});

  // Text: lines of words; a heading first, then paragraphs.
  auto drawLine = [&](int baseline, int xHeight, int endX) {
    const int stroke = std::max(1, xHeight / 7);
    for (int x = margin; x < endX;) {
      const int letters = random.Between(2, 9);
      for (int i = 0; i < letters && x < endX; ++i) {
        const int advance = xHeight * random.Between(70, 110) / 100;
        DrawGlyph(image, random, x, baseline, xHeight, advance, stroke, black);
        x += advance;
      }
      x += xHeight * 3 / 4;
    }
  };
  int baseline = bannerBottom + dpi;
  drawLine(baseline, dpi / 5, margin + (right - margin) * 2 / 3);  // heading
  baseline += dpi / 2;
  const int xHeight = dpi / 15, leading = dpi / 6;  // about 10 points
  const int chartTop = height * 55 / 100, chartBottom = chartTop + dpi * 2;
  const int footer = height - dpi;
  int linesLeft = random.Between(5, 12);
  while (baseline + leading < footer - dpi / 2) {
    if (baseline + leading > chartTop - dpi / 4 && baseline < chartBottom + dpi / 4) {
      baseline = chartBottom + dpi / 2;
      continue;
    }
    const bool lastOfParagraph = --linesLeft == 0;
    drawLine(baseline, xHeight, lastOfParagraph ? margin + (right - margin) * random.Between(20, 80) / 100 : right);
    baseline += leading;
    if (lastOfParagraph) baseline += leading, linesLeft = random.Between(5, 12);
  }

  // Bar chart: a pale gradient panel, axes and solid coloured bars.
  const int chartLeft = margin + dpi / 2, chartRight = right - dpi / 2;
  for (int y = chartTop; y < chartBottom; ++y) {
    const int t = (y - chartTop) * 256 / (chartBottom - chartTop);
    image.FillRect(chartLeft, y, chartRight, y + 1, {225 + 30 * t / 256, 235 + 20 * t / 256, 250});
  }
  image.FillRect(chartLeft, chartTop, chartLeft + dpi / 60 + 1, chartBottom, black);
  image.FillRect(chartLeft, chartBottom - dpi / 60 - 1, chartRight, chartBottom, black);
  const std::array<Colour, 5> bars{{{220, 50, 40}, {250, 170, 30}, {60, 160, 70}, {40, 100, 200}, {130, 60, 160}}};
  const int slot = (chartRight - chartLeft) / static_cast<int>(bars.size());
  for (std::size_t i = 0; i < bars.size(); ++i) {
    const int x = chartLeft + slot * static_cast<int>(i) + slot / 4;
    const int top = chartBottom - (chartBottom - chartTop) * random.Between(25, 90) / 100;
    image.FillRect(x, top, x + slot / 2, chartBottom - dpi / 60 - 1, bars[i]);
  }

  // Footer rule and page number.
  image.FillRect(margin, footer, right, footer + std::max(1, dpi / 100), black);
  for (int i = 0; i < 2; ++i)
    DrawGlyph(image, random, width / 2 + i * xHeight, footer + dpi / 3, xHeight, xHeight, xHeight / 7, black);
  return image;
}

// The same kind of page as a driver rasterises it at low resolution (about
// 100 dpi): drawn at four times the size and box-filtered down, so glyphs a
// few pixels high get grey, anti-aliased edges and nearly every block of text
// is dense.
Image MakeSmallPage(int width, int height, std::uint64_t seed) {
  constexpr int Scale = 4;
  const Image large = MakePage(width * Scale, height * Scale, seed);
  Image image(width, height, 0);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) {
        int sum = 0;
        for (int dy = 0; dy < Scale; ++dy)
          for (int dx = 0; dx < Scale; ++dx) sum += large.At(x * Scale + dx, y * Scale + dy)[c];
        image.At(x, y)[c] = static_cast<std::uint8_t>((sum + Scale * Scale / 2) / (Scale * Scale));
      }
  return image;
}

// ---------------------------------------------------------------------------
// Image files (../shared/images beside the checkout): minimal BMP and PNM
// readers. Anything they do not understand is skipped with a note.

std::uint32_t Le16(const std::vector<std::uint8_t>& f, std::size_t at) { return f[at] | f[at + 1] << 8; }
std::uint32_t Le32(const std::vector<std::uint8_t>& f, std::size_t at) {
  return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | std::uint32_t(f[at + 3]) << 24;
}

bool ReadBmp(const std::vector<std::uint8_t>& f, Image& image, std::string& why) {
  if (f.size() < 54 || Le32(f, 14) < 40) return why = "truncated BMP header", false;
  const std::uint32_t offBits = Le32(f, 10), headerSize = Le32(f, 14);
  const int width = static_cast<std::int32_t>(Le32(f, 18));
  const int signedHeight = static_cast<std::int32_t>(Le32(f, 22));
  const int height = std::abs(signedHeight);
  const unsigned bits = Le16(f, 28), compression = Le32(f, 30);
  const bool masks555 = compression == 3 && bits == 16 && f.size() >= 66 && Le32(f, 54) == 0x7C00 &&
                        Le32(f, 58) == 0x3E0 && Le32(f, 62) == 0x1F;
  const bool masksBgrx = compression == 3 && bits == 32 && f.size() >= 66 && Le32(f, 54) == 0xFF0000 &&
                         Le32(f, 58) == 0xFF00 && Le32(f, 62) == 0xFF;
  if ((compression != 0 && !masks555 && !masksBgrx) || (bits != 8 && bits != 16 && bits != 24 && bits != 32))
    return why = "BMP with " + std::to_string(bits) + " bits and compression " + std::to_string(compression), false;
  if (width <= 0 || height <= 0 || width > 65535 || height > 65535) return why = "BMP size out of range", false;
  const std::size_t stride = (std::size_t(width) * bits + 31) / 32 * 4;
  if (offBits > f.size() || f.size() - offBits < stride * height) return why = "truncated BMP pixels", false;
  const std::size_t paletteAt = 14 + headerSize;
  const std::uint32_t paletteSize = Le32(f, 46) ? Le32(f, 46) : 256;
  if (bits == 8 && (paletteSize > 256 || paletteAt + 4 * paletteSize > offBits)) return why = "bad BMP palette", false;
  image = Image(width, height, 0);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* row = &f[offBits + stride * (signedHeight < 0 ? y : height - 1 - y)];
    for (int x = 0; x < width; ++x) {
      if (bits == 8) {
        const std::uint8_t* p = &f[paletteAt + 4 * std::min<std::uint32_t>(row[x], paletteSize - 1)];
        image.Put(x, y, {p[2], p[1], p[0]});
      } else if (bits == 16) {
        const unsigned v = row[2 * x] | row[2 * x + 1] << 8;
        image.Put(x, y, {int(v >> 10 & 31) << 3, int(v >> 5 & 31) << 3, int(v & 31) << 3});
      } else {
        const std::uint8_t* p = row + x * (bits / 8);
        image.Put(x, y, {p[2], p[1], p[0]});
      }
    }
  }
  return true;
}

bool ReadPnm(const std::vector<std::uint8_t>& f, Image& image, std::string& why) {
  std::size_t at = 2;
  auto number = [&]() -> long {
    while (at < f.size() && (std::isspace(f[at]) || f[at] == '#'))
      if (f[at] == '#')
        while (at < f.size() && f[at] != '\n') ++at;
      else
        ++at;
    long v = -1;
    for (; at < f.size() && std::isdigit(f[at]) && v < 1000000; ++at) v = (v < 0 ? 0 : v * 10) + (f[at] - '0');
    return v;
  };
  const bool colour = f[1] == '6';
  const long width = number(), height = number(), maxval = number();
  if (maxval != 255) return why = "PNM with maxval " + std::to_string(maxval), false;
  if (width <= 0 || height <= 0 || width > 65535 || height > 65535) return why = "PNM size out of range", false;
  const std::size_t channels = colour ? 3 : 1;
  if (++at > f.size() || f.size() - at < std::size_t(width) * height * channels) return why = "truncated PNM", false;
  image = Image(int(width), int(height), 0);
  for (std::size_t i = 0; i < std::size_t(width) * height; ++i)
    for (int c = 0; c < 3; ++c) image.rgb[i * 3 + c] = f[at + i * channels + (colour ? c : 0)];
  return true;
}

// The file kinds ReadImageFile knows, by extension; other files in the folder
// (licences, notes) are not rows.
bool IsImageFile(const std::filesystem::path& path) {
  std::string ext = path.extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == ".bmp" || ext == ".pgm" || ext == ".ppm" || ext == ".pnm";
}

bool ReadImageFile(const std::filesystem::path& path, Image& image, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<std::uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (f.size() >= 2 && f[0] == 'B' && f[1] == 'M') return ReadBmp(f, image, why);
  if (f.size() >= 2 && f[0] == 'P' && (f[1] == '5' || f[1] == '6')) return ReadPnm(f, image, why);
  return why = "not a BMP, PGM (P5) or PPM (P6) file", false;
}

// ---------------------------------------------------------------------------
// Bottom-up bitmaps with 4-byte row padding, the layout both encoders read.

enum class Pixels { Bgr24, Bgrx32, Word555, Bgr24Of555, Gray8 };

struct Dib {
  std::vector<std::uint8_t> bits;
  std::uint32_t stride = 0;
};

int Luma(const std::uint8_t* p) { return (77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8; }

Dib MakeDib(const Image& image, Pixels pixels) {
  const int bitsPerPixel = pixels == Pixels::Gray8 ? 8 : pixels == Pixels::Word555 ? 16 : pixels == Pixels::Bgrx32 ? 32 : 24;
  Dib dib;
  dib.stride = static_cast<std::uint32_t>((std::size_t(image.width) * bitsPerPixel + 31) / 32 * 4);
  dib.bits.assign(std::size_t(dib.stride) * image.height, 0);
  for (int y = 0; y < image.height; ++y) {
    std::uint8_t* row = &dib.bits[std::size_t(dib.stride) * (image.height - 1 - y)];
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t* p = image.At(x, y);
      switch (pixels) {
        case Pixels::Bgr24: row[3 * x] = p[2], row[3 * x + 1] = p[1], row[3 * x + 2] = p[0]; break;
        case Pixels::Bgrx32: row[4 * x] = p[2], row[4 * x + 1] = p[1], row[4 * x + 2] = p[0], row[4 * x + 3] = 255; break;
        case Pixels::Word555: {
          const unsigned v = (p[0] >> 3) << 10 | (p[1] >> 3) << 5 | p[2] >> 3;
          row[2 * x] = static_cast<std::uint8_t>(v), row[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
          break;
        }
        case Pixels::Bgr24Of555:  // the colours a 5-5-5 word expands to
          row[3 * x] = p[2] & 0xF8, row[3 * x + 1] = p[1] & 0xF8, row[3 * x + 2] = p[0] & 0xF8;
          break;
        case Pixels::Gray8: row[x] = static_cast<std::uint8_t>(Luma(p)); break;
      }
    }
  }
  return dib;
}

// ---------------------------------------------------------------------------
// The rows of the table.

struct Format {
  const char* name;
  Pixels pixels;
  int sampling;  // 0 = 4:2:0, 1 = 4:2:2, 2 = 4:4:4
  int quality;
};

constexpr Format Bgr420{"24-bit 4:2:0", Pixels::Bgr24, 0, 75};
constexpr Format Gray75{"8-bit gray", Pixels::Gray8, 0, 75};
constexpr std::array<Format, 7> AllFormats{{Bgr420,
                                            {"24-bit 4:2:2", Pixels::Bgr24, 1, 75},
                                            {"24-bit 4:4:4", Pixels::Bgr24, 2, 90},
                                            {"32-bit 4:2:0", Pixels::Bgrx32, 0, 75},
                                            {"16-bit 4:2:0", Pixels::Word555, 0, 75},
                                            Gray75,
                                            {"8-bit gray", Pixels::Gray8, 0, 90}}};

struct Row {
  std::string label;           // photo, page or a file name
  std::string size;            // "WxH" of generated content; files are sized when read
  std::function<Image()> make;  // consecutive rows with the same label and size share one image
  Format format;
  std::string Name() const {
    return label + (size.empty() ? "" : " " + size) + " " + format.name + " q" + std::to_string(format.quality);
  }
};

struct Options {
  bool quick = false;
  bool markdown = false;
  bool list = false;
  std::string filter;
  std::filesystem::path save;  // where to write both encoders' output of every row, if set
  std::filesystem::path images = std::filesystem::path(DIBJPEG_SOURCE_DIR) / ".." / "shared" / "images";
};

// ---------------------------------------------------------------------------
// Timing.

using Clock = std::chrono::steady_clock;

// Wall-clock time, or with --cpu-time the CPU time of this thread, which
// leaves out the time other processes hold the core (a busy machine).
bool useCpuTime = false;

double Now() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  if (useCpuTime) {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
  }
#endif
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

template <typename F>
double Seconds(F&& f) {
  const double start = Now();
  f();
  return Now() - start;
}

struct Summary {
  double median, low, high;  // megapixels per second; low and high bound the middle half
};

double Quantile(const std::vector<double>& sorted, double q) {
  const double at = q * double(sorted.size() - 1);
  const std::size_t i = static_cast<std::size_t>(at);
  const double frac = at - double(i);
  return i + 1 < sorted.size() ? sorted[i] * (1 - frac) + sorted[i + 1] * frac : sorted[i];
}

Summary Summarise(std::vector<double> seconds, double megapixels) {
  std::sort(seconds.begin(), seconds.end());
  return {megapixels / Quantile(seconds, 0.5), megapixels / Quantile(seconds, 0.75),
          megapixels / Quantile(seconds, 0.25)};
}

std::string Fixed(double v, int decimals = 0) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

class Table {
 public:
  Table(bool markdown, int labelWidth) : markdown_(markdown), labelWidth_(labelWidth) {}
  void Print(const std::vector<std::string>& cells) const {
    static constexpr std::array<int, 15> widths{0, 10, -15, 3, 8, 11, 9, 11, 6, 8, 16, 8, 10, 10, 5};
    std::string line = markdown_ ? "|" : "";
    for (std::size_t i = 0; i < cells.size(); ++i) {
      if (markdown_) {
        line += " " + cells[i] + " |";
      } else {
        char cell[64];
        std::snprintf(cell, sizeof cell, "%*s ", i == 0 ? -labelWidth_ : widths[i], cells[i].c_str());
        line += cell;
      }
    }
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  void Header() const {
    Print({"image", "size", "format", "q", "dibjpeg", "IQR", "TurboJPEG", "IQR", "ratio", "measure", "measure + encode",
           "memcpy", "dib bytes", "tj bytes", "runs"});
    if (markdown_)
      Print({"---", "---", "---", "--:", "--:", "--:", "--:", "--:", "--:", "--:", "--:", "--:", "--:", "--:", "--:"});
  }

 private:
  bool markdown_;
  int labelWidth_;
};

struct Budget {
  int warmup;
  int minRuns;
  int maxRuns;
  double seconds;  // keep running until this much time has passed (and minRuns are done)
};

bool StartsAndEndsLikeJpeg(const std::uint8_t* p, std::size_t n) {
  return n >= 4 && p[0] == 0xFF && p[1] == 0xD8 && p[n - 2] == 0xFF && p[n - 1] == 0xD9;
}

void Save(const std::filesystem::path& dir, const Row& row, const char* encoder, const std::uint8_t* data, std::size_t n) {
  std::string name = row.Name() + " " + encoder + ".jpg";
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') c = '_';
  std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(data), std::streamsize(n));
}

void RunRow(const Row& row, const Image& image, const Budget& budget, tjhandle tj, const Table& table,
            const std::filesystem::path& save) {
  const Format& format = row.format;
  const bool gray = format.pixels == Pixels::Gray8;
  const Dib dib = MakeDib(image, format.pixels);
  // TurboJPEG has no 5-5-5 input: it gets the same colours as 24-bit BGR.
  const Dib dib24 = format.pixels == Pixels::Word555 ? MakeDib(image, Pixels::Bgr24Of555) : Dib{};
  const Dib& tjDib = format.pixels == Pixels::Word555 ? dib24 : dib;
  const double megapixels = double(image.width) * image.height / 1e6;

  JpegEncodeParams params{};
  params.srcBits = dib.bits.data();
  params.srcSize = static_cast<std::uint32_t>(dib.bits.size());
  params.width = static_cast<std::uint32_t>(image.width);
  params.height = static_cast<std::uint32_t>(image.height);
  params.bitCount = gray ? 8 : format.pixels == Pixels::Word555 ? 16 : format.pixels == Pixels::Bgrx32 ? 32 : 24;
  params.quality = static_cast<std::uint8_t>(format.quality);
  params.sampling = static_cast<std::uint8_t>(format.sampling);
  params.channelOrder = 1;  // blue first, as Windows bitmaps are

  JpegEncodeParams sizing = params;
  if (const std::uint16_t status = Jpeg_EncodeStart(&sizing, JPEG_MODE_MEASURE))
    Fail("dibjpeg measure failed with status " + std::to_string(status) + " on " + row.Name());
  std::vector<std::uint8_t> dibOut(sizing.dstSize);
  std::uint32_t dibBytes = 0, measuredBytes = 0;
  auto dibEncode = [&] {
    JpegEncodeParams p = params;
    p.dstBuffer = dibOut.data();
    p.dstSize = static_cast<std::uint32_t>(dibOut.size());
    if (const std::uint16_t status = Jpeg_EncodeStart(&p, JPEG_MODE_ENCODE))
      Fail("dibjpeg encode failed with status " + std::to_string(status) + " on " + row.Name());
    dibBytes = p.dstSize;
  };
  auto dibMeasure = [&] {
    JpegEncodeParams p = params;
    if (const std::uint16_t status = Jpeg_EncodeStart(&p, JPEG_MODE_MEASURE))
      Fail("dibjpeg measure failed with status " + std::to_string(status) + " on " + row.Name());
    measuredBytes = p.dstSize;
  };

  const int tjSampling = gray ? TJSAMP_GRAY : format.sampling == 0 ? TJSAMP_420 : format.sampling == 1 ? TJSAMP_422 : TJSAMP_444;
  const int tjFormat = gray ? TJPF_GRAY : format.pixels == Pixels::Bgrx32 ? TJPF_BGRX : TJPF_BGR;
  const unsigned long tjCapacity = tjBufSize(image.width, image.height, tjSampling);
  std::vector<unsigned char> tjOut(tjCapacity);
  unsigned long tjBytes = 0;
  auto tjEncode = [&] {
    unsigned char* out = tjOut.data();
    tjBytes = tjCapacity;
    if (tjCompress2(tj, tjDib.bits.data(), image.width, static_cast<int>(tjDib.stride), image.height, tjFormat, &out,
                    &tjBytes, tjSampling, format.quality, TJFLAG_BOTTOMUP | TJFLAG_ACCURATEDCT | TJFLAG_NOREALLOC) != 0)
      Fail(std::string("TurboJPEG failed: ") + tjGetErrorStr2(tj) + " on " + row.Name());
  };

  std::vector<std::uint8_t> copy(dib.bits.size(), 1);
  volatile std::uint8_t copySink = 0;
  std::size_t copyProbe = 0;
  auto plainCopy = [&] {
    std::memcpy(copy.data(), dib.bits.data(), dib.bits.size());
    copySink = copy[copyProbe++ % copy.size()];
  };

  // Warm up (caches, page faults, branch predictors), then check what came out.
  for (int i = 0; i < budget.warmup; ++i) dibEncode(), dibMeasure(), tjEncode(), plainCopy();
  if (!StartsAndEndsLikeJpeg(dibOut.data(), dibBytes) || measuredBytes != dibBytes)
    Fail("dibjpeg output is not a whole stream (or measure disagrees) on " + row.Name());
  if (!StartsAndEndsLikeJpeg(tjOut.data(), tjBytes)) Fail("TurboJPEG output is not a whole stream on " + row.Name());

  if (!save.empty()) {
    std::filesystem::create_directories(save);
    Save(save, row, "dibjpeg", dibOut.data(), dibBytes);
    Save(save, row, "turbojpeg", tjOut.data(), tjBytes);
  }

  // Run by run, each of the four in turn goes first.
  std::array<std::function<void()>, 4> jobs{dibEncode, tjEncode, dibMeasure, plainCopy};
  std::array<std::vector<double>, 4> seconds;
  const auto start = Clock::now();
  for (int run = 0; run < budget.maxRuns; ++run) {
    if (run >= budget.minRuns && std::chrono::duration<double>(Clock::now() - start).count() >= budget.seconds) break;
    for (std::size_t k = 0; k < jobs.size(); ++k) {
      const std::size_t j = (k + static_cast<std::size_t>(run)) % jobs.size();
      seconds[j].push_back(Seconds(jobs[j]));
    }
  }
  const Summary dibjpeg = Summarise(seconds[0], megapixels), turbo = Summarise(seconds[1], megapixels);
  const Summary measure = Summarise(seconds[2], megapixels), memcpyFloor = Summarise(seconds[3], megapixels);
  // A caller that measures and then encodes pays for both, run by run.
  std::vector<double> twoPass(seconds[0].size());
  for (std::size_t i = 0; i < twoPass.size(); ++i) twoPass[i] = seconds[0][i] + seconds[2][i];
  const Summary measureThenEncode = Summarise(twoPass, megapixels);
  table.Print({row.label, std::to_string(image.width) + "x" + std::to_string(image.height),
               std::string(format.name) + (format.pixels == Pixels::Word555 ? " *" : ""),
               std::to_string(format.quality), Fixed(dibjpeg.median),
               Fixed(dibjpeg.low) + "-" + Fixed(dibjpeg.high), Fixed(turbo.median),
               Fixed(turbo.low) + "-" + Fixed(turbo.high), Fixed(dibjpeg.median / turbo.median, 2),
               Fixed(measure.median), Fixed(measureThenEncode.median), Fixed(memcpyFloor.median),
               std::to_string(dibBytes), std::to_string(tjBytes),
               std::to_string(seconds[0].size())});
}

std::vector<Row> AllRows(const Options& options) {
  std::vector<Row> rows;
  auto add = [&](const std::string& label, int w, int h, std::function<Image()> make, const Format& format) {
    rows.push_back({label, w ? std::to_string(w) + "x" + std::to_string(h) : "", std::move(make), format});
  };
  for (const auto& [w, h] : {std::pair{1152, 864}, std::pair{3264, 2448}})
    for (const Format& format : AllFormats) add("photo", w, h, [w, h] { return MakePhoto(w, h, 1); }, format);
  for (const Format& format : {Bgr420, AllFormats[3], Gray75})
    add("page", 4960, 7016, [] { return MakePage(4960, 7016, 2); }, format);
  for (const Format& format : AllFormats)
    add("page", 827, 1169, [] { return MakeSmallPage(827, 1169, 3); }, format);

  std::error_code error;
  if (std::filesystem::is_directory(options.images, error)) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(options.images, error))
      if (entry.is_regular_file() && IsImageFile(entry.path())) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto& path : files)
      for (const Format& format : AllFormats)
        add(path.filename().string(), 0, 0,
            [path] {
              Image image;
              std::string why;
              if (!ReadImageFile(path, image, why)) std::fprintf(stderr, "skipped %s: %s\n", path.c_str(), why.c_str());
              return image;
            },
            format);
  }
  return rows;
}

// ---------------------------------------------------------------------------
// The cost of one call: small images, and a 600-dpi page sent as strips of
// rows the way printer pipelines send it, one call per image or strip (into
// a buffer of JpegEncodeBound bytes; TurboJPEG into one of tjBufSize). A run
// is a batch of calls; both encoders' runs interleave as in the main table.

struct CallRow {
  std::string label;
  std::string content;           // rows with the same content share one image
  std::function<Image()> make;
  int stripRows;                 // 0: the whole image in one call
  bool pixelCost;                // also the same pixels coded inside a larger image
  std::string Name() const { return label + " " + std::string(Bgr420.name) + " q" + std::to_string(Bgr420.quality); }
};

// A textured square from the photo's ground, so that blocks carry detail.
Image PhotoCrop(int size) {
  const Image photo = MakePhoto(1152, 864, 1);
  Image crop(size, size, 0);
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x) std::memcpy(crop.At(x, y), photo.At(500 + x, 600 + y), 3);
  return crop;
}

std::vector<CallRow> AllCallRows() {
  std::vector<CallRow> rows = {{"call 8x8", "8", [] { return PhotoCrop(8); }, 0, false},
                               {"call 64x64", "64", [] { return PhotoCrop(64); }, 0, true}};
  for (int strip : {16, 64, 256})
    rows.push_back({"page 4960x7016 in strips of " + std::to_string(strip) + " rows", "page",
                    [] { return MakePage(4960, 7016, 2); }, strip, false});
  return rows;
}

void PrintCells(bool markdown, const std::vector<std::string>& cells) {
  static constexpr std::array<int, 11> widths{-50, 7, 10, 11, 6, 7, 7, 8, 9, 8, 5};
  std::string line = markdown ? "|" : "";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    char cell[96];
    if (markdown) std::snprintf(cell, sizeof cell, " %s |", cells[i].c_str());
    else std::snprintf(cell, sizeof cell, "%*s ", widths[i], cells[i].c_str());
    line += cell;
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void RunCallRow(const CallRow& row, const Image& image, const Budget& budget, tjhandle tj, bool markdown) {
  const Dib dib = MakeDib(image, Pixels::Bgr24);
  struct Strip {
    JpegEncodeParams params;
    std::uint32_t rows;
    const std::uint8_t* bottom;  // the strip's bottom row: where its bottom-up rows start
  };
  std::vector<Strip> strips;
  const int stripRows = row.stripRows > 0 ? row.stripRows : image.height;
  for (int y0 = 0; y0 < image.height; y0 += stripRows) {
    const int rows = std::min(stripRows, image.height - y0);
    Strip strip{};
    strip.rows = static_cast<std::uint32_t>(rows);
    strip.bottom = &dib.bits[std::size_t(dib.stride) * (image.height - y0 - rows)];
    JpegEncodeParams& p = strip.params;
    p.srcBits = strip.bottom;
    p.srcSize = dib.stride * strip.rows;
    p.width = static_cast<std::uint32_t>(image.width);
    p.height = strip.rows;
    p.bitCount = 24;
    p.quality = static_cast<std::uint8_t>(Bgr420.quality);
    p.sampling = 0;
    p.channelOrder = 1;
    strips.push_back(strip);
  }
  // Small images are coded many times a run, so that a run is not too short to time.
  const int repeats = row.stripRows > 0 ? 1 : std::max(1, (256 << 10) / (image.width * image.height));
  const double calls = double(repeats) * double(strips.size());

  std::vector<std::uint8_t> dibOut(JpegEncodeBound(&strips.front().params));
  const unsigned long tjCapacity = tjBufSize(image.width, stripRows, TJSAMP_420);
  std::vector<unsigned char> tjOut(tjCapacity);
  bool whole = true;  // every output starts with SOI and ends with EOI
  auto dibEncode = [&] {
    for (int r = 0; r < repeats; ++r)
      for (const Strip& strip : strips) {
        JpegEncodeParams p = strip.params;
        p.dstBuffer = dibOut.data();
        p.dstSize = static_cast<std::uint32_t>(JpegEncodeBound(&p));
        if (const std::uint16_t status = Jpeg_EncodeStart(&p, JPEG_MODE_ENCODE))
          Fail("dibjpeg encode failed with status " + std::to_string(status) + " on " + row.Name());
        whole = whole && StartsAndEndsLikeJpeg(dibOut.data(), p.dstSize);
      }
  };
  auto tjEncode = [&] {
    for (int r = 0; r < repeats; ++r)
      for (const Strip& strip : strips) {
        unsigned char* out = tjOut.data();
        unsigned long bytes = tjCapacity;
        if (tjCompress2(tj, strip.bottom, image.width, static_cast<int>(dib.stride), static_cast<int>(strip.rows),
                        TJPF_BGR, &out, &bytes, TJSAMP_420, Bgr420.quality,
                        TJFLAG_BOTTOMUP | TJFLAG_ACCURATEDCT | TJFLAG_NOREALLOC) != 0)
          Fail(std::string("TurboJPEG failed: ") + tjGetErrorStr2(tj) + " on " + row.Name());
        whole = whole && StartsAndEndsLikeJpeg(tjOut.data(), bytes);
      }
  };
  // The pixels' own cost: the same image tiled 8 x 8 times and coded in one
  // call, per tile.
  constexpr int Tiles = 8;
  Dib tiledDib;
  std::vector<std::uint8_t> tiledOut;
  JpegEncodeParams tiled{};
  if (row.pixelCost) {
    Image big(image.width * Tiles, image.height * Tiles, 0);
    for (int y = 0; y < big.height; ++y)
      for (int x = 0; x < big.width; ++x) std::memcpy(big.At(x, y), image.At(x % image.width, y % image.height), 3);
    tiledDib = MakeDib(big, Pixels::Bgr24);
    tiled = strips.front().params;
    tiled.srcBits = tiledDib.bits.data();
    tiled.srcSize = static_cast<std::uint32_t>(tiledDib.bits.size());
    tiled.width = static_cast<std::uint32_t>(big.width);
    tiled.height = static_cast<std::uint32_t>(big.height);
    tiledOut.resize(JpegEncodeBound(&tiled));
  }
  auto tiledEncode = [&] {
    if (!row.pixelCost) return;
    JpegEncodeParams p = tiled;
    p.dstBuffer = tiledOut.data();
    p.dstSize = static_cast<std::uint32_t>(tiledOut.size());
    if (Jpeg_EncodeStart(&p, JPEG_MODE_ENCODE) != 0) Fail("dibjpeg encode failed on the tiled " + row.Name());
  };

  for (int i = 0; i < budget.warmup; ++i) dibEncode(), tjEncode(), tiledEncode();
  if (!whole) Fail("an output is not a whole stream on " + row.Name());
  std::array<std::function<void()>, 3> jobs{dibEncode, tjEncode, tiledEncode};
  std::array<std::vector<double>, 3> seconds;
  const auto start = Clock::now();
  for (int run = 0; run < budget.maxRuns; ++run) {
    if (run >= budget.minRuns && std::chrono::duration<double>(Clock::now() - start).count() >= budget.seconds) break;
    for (std::size_t k = 0; k < jobs.size(); ++k) {
      const std::size_t j = (k + static_cast<std::size_t>(run)) % jobs.size();
      seconds[j].push_back(Seconds(jobs[j]));
    }
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return Quantile(v, 0.5);
  };
  const double dibCall = median(seconds[0]) / calls, tjCall = median(seconds[1]) / calls;
  const double megapixels = double(image.width) * image.height * repeats / 1e6;
  const double pixels = row.pixelCost ? median(seconds[2]) / (Tiles * Tiles) : 0;
  PrintCells(markdown, {row.Name(), Fixed(calls), Fixed(1 / dibCall), Fixed(1 / tjCall), Fixed(tjCall / dibCall, 2),
                        Fixed(dibCall * 1e6, 2), Fixed(tjCall * 1e6, 2), Fixed(megapixels / (dibCall * calls)),
                        row.pixelCost ? Fixed(pixels * 1e6, 2) : "", row.pixelCost ? Fixed(dibCall / pixels, 2) : "",
                        std::to_string(seconds[0].size())});
}

void RunCallRows(const std::vector<CallRow>& rows, const Options& options, tjhandle tj) {
  std::printf("\nThe cost of one call: one call per image or strip, 24-bit BGR 4:2:0 q75; calls per second\n"
              "and microseconds per call, medians over runs that interleave both encoders; ratio = dibjpeg\n"
              "calls per second / TurboJPEG's; pixels = the same pixels coded inside an image of 8 x 8 of\n"
              "them, per copy; call / pixels = what a call costs beyond its pixels.\n\n");
  PrintCells(options.markdown, {"calls", "per run", "dibjpeg/s", "TurboJPEG/s", "ratio", "dib us", "tj us",
                                "dib MP/s", "pixels us", "call/pix", "runs"});
  if (options.markdown) PrintCells(true, {"---", "--:", "--:", "--:", "--:", "--:", "--:", "--:", "--:", "--:", "--:"});
  std::string content;
  Image image;
  for (const CallRow& row : rows) {
    if (row.content != content) image = row.make(), content = row.content;
    const Budget budget = options.quick ? Budget{1, 2, 2, 0.0} : Budget{1, 5, 1000, row.stripRows > 0 ? 2.5 : 1.5};
    RunCallRow(row, image, budget, tj, options.markdown);
  }
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quick") {
      options.quick = true;
    } else if (arg == "--markdown") {
      options.markdown = true;
    } else if (arg == "--cpu-time") {
      useCpuTime = true;
    } else if (arg == "--list") {
      options.list = true;
    } else if (arg == "--filter" && i + 1 < argc) {
      options.filter = argv[++i];
    } else if (arg == "--save" && i + 1 < argc) {
      options.save = argv[++i];
    } else if (arg == "--images" && i + 1 < argc) {
      options.images = argv[++i];
    } else {
      std::printf(
          "usage: %s [--quick] [--filter TEXT] [--images DIR] [--save DIR] [--cpu-time]\n"
          "          [--markdown] [--list]\n"
          "  --quick        two runs per row after one warm-up: a smoke test, not a measurement\n"
          "  --filter TEXT  only rows whose name contains TEXT (e.g. \"photo 3264\", \"gray\", \"page\")\n"
          "  --images DIR   also encode the BMP/PGM/PPM files in DIR (default: ../shared/images\n"
          "                 beside the checkout, skipped when absent)\n"
          "  --save DIR     write both encoders' output of every row into DIR\n"
          "  --cpu-time     time with this thread's CPU time instead of the wall clock (for a\n"
          "                 busy machine: leaves out time spent waiting for the core)\n"
          "  --markdown     print the table in Markdown\n"
          "  --list         print the row names and exit\n",
          argv[0]);
      std::exit(arg == "-h" || arg == "--help" ? 0 : 2);
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseArguments(argc, argv);
  std::vector<Row> rows = AllRows(options);
  std::erase_if(rows, [&](const Row& row) { return row.Name().find(options.filter) == std::string::npos; });
  std::vector<CallRow> callRows = AllCallRows();
  std::erase_if(callRows, [&](const CallRow& row) { return row.Name().find(options.filter) == std::string::npos; });
  if (options.list) {
    for (const Row& row : rows) std::printf("%s\n", row.Name().c_str());
    for (const CallRow& row : callRows) std::printf("%s\n", row.Name().c_str());
    return 0;
  }
  if (rows.empty() && callRows.empty()) Fail("no row matches \"" + options.filter + "\" (see --list)");

  tjhandle tj = tjInitCompress();
  if (tj == nullptr) Fail("tjInitCompress failed");
  std::size_t labelWidth = 5;
  for (const Row& row : rows) labelWidth = std::max(labelWidth, std::min<std::size_t>(row.label.size(), 40));
  const Table table(options.markdown, static_cast<int>(labelWidth));
  std::printf("dibjpeg against TurboJPEG %s, one thread: median megapixels per second over runs that\n"
              "interleave both encoders. IQR = middle half of the runs; ratio = dibjpeg / TurboJPEG;\n"
              "measure = dibjpeg's measure mode; measure + encode = measuring, then encoding (two passes);\n"
              "memcpy = copying the source pixels (the floor).\n\n",
              DIBJPEG_TURBOJPEG_VERSION);
  if (useCpuTime) std::printf("Timed with the thread's CPU time, not the wall clock.\n\n");
  if (options.quick) std::printf("--quick: too few runs to trust the figures.\n\n");
  if (!rows.empty()) table.Header();

  const auto start = Clock::now();
  std::string content;
  Image image;
  for (const Row& row : rows) {
    if (row.label + row.size != content) image = row.make(), content = row.label + row.size;
    if (image.width == 0) continue;  // an unreadable file, already reported
    const double megapixels = double(image.width) * image.height / 1e6;
    // Small images get more runs; every row stops after about the same time.
    const Budget budget = options.quick ? Budget{1, 2, 2, 0.0}
                                        : Budget{megapixels < 4 ? 3 : 1, 5, 1000, megapixels < 4 ? 1.5 : 2.5};
    RunRow(row, image, budget, tj, table, options.save);
  }
  if (!callRows.empty()) RunCallRows(callRows, options, tj);
  tjDestroy(tj);
  if (std::any_of(rows.begin(), rows.end(), [](const Row& row) { return row.format.pixels == Pixels::Word555; }))
    std::printf("\n* TurboJPEG has no 5-5-5 input: its column encodes the same colours as 24-bit BGR.\n");
  std::printf("\nTotal %.1f s.\n", std::chrono::duration<double>(Clock::now() - start).count());
  return 0;
}
