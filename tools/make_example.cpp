// Draws the bundled example image and writes it as a 24-bit BMP: smooth
// colour gradients, rings that grow finer towards the edge, colour bars and
// a panel of small text, the kinds of content that show what a JPEG encoder
// keeps and what it loses. Usage: make_example OUTPUT.bmp
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int Width = 400;   // not a multiple of 16, so edge MCUs are partial
constexpr int Height = 300;

struct Rgb {
  std::uint8_t r, g, b;
};

// A 3 x 5 font: 15 cells per glyph, row by row, '#' set.
struct Glyph {
  char c;
  const char* cells;
};
// clang-format off
constexpr Glyph Font[] = {
  {'A', ".#.#.#####.##.#"}, {'B', "##.#.###.#.###."}, {'C', ".###..#..#...##"}, {'D', "##.#.##.##.###."},
  {'E', "####..##.#..###"}, {'F', "####..##.#..#.."}, {'G', ".###..#.##.#.##"}, {'H', "#.##.#####.##.#"},
  {'I', "###.#..#..#.###"}, {'J', "..#..#..##.#.#."}, {'K', "#.##.###.#.##.#"}, {'L', "#..#..#..#..###"},
  {'M', "#.########.##.#"}, {'N', "##.#.##.##.##.#"}, {'O', ".#.#.##.##.#.#."}, {'P', "##.#.###.#..#.."},
  {'Q', ".#.#.##.###..##"}, {'R', "##.#.###.#.##.#"}, {'S', ".###...#...###."}, {'T', "###.#..#..#..#."},
  {'U', "#.##.##.##.####"}, {'V', "#.##.##.##.#.#."}, {'W', "#.##.########.#"}, {'X', "#.##.#.#.#.##.#"},
  {'Y', "#.##.#.#..#..#."}, {'Z', "###..#.#.#..###"}, {'0', "####.##.##.####"}, {'1', ".#.##..#..#.###"},
  {'2', "##...#.#.#..###"}, {'3', "##...#.#...###."}, {'4', "#.##.####..#..#"}, {'5', "####..##...###."},
  {'6', ".###..####.####"}, {'7', "###..#.#..#..#."}, {'8', "####.#####.####"}, {'9', "####.####..###."},
  {'-', "......###......"}, {'.', ".............#."}, {':', "....#.....#...."},
};
// clang-format on

constexpr bool EveryGlyphHas15Cells() {
  for (const Glyph& g : Font) {
    int n = 0;
    while (g.cells[n] != 0) ++n;
    if (n != 15) return false;
  }
  return true;
}
static_assert(EveryGlyphHas15Cells());

std::vector<Rgb> pixels(Width * Height);

void Put(int x, int y, Rgb c) {
  if (x >= 0 && x < Width && y >= 0 && y < Height) pixels[y * Width + x] = c;
}

// Writes `text` with its top-left corner at (x, y), each font cell `scale`
// pixels wide and high; returns the x after the last glyph.
int DrawText(int x, int y, const char* text, int scale, Rgb ink) {
  for (; *text != 0; ++text, x += 4 * scale) {
    for (const Glyph& g : Font) {
      if (g.c != *text) continue;
      for (int cell = 0; cell < 15; ++cell) {
        if (g.cells[cell] != '#') continue;
        for (int dy = 0; dy < scale; ++dy)
          for (int dx = 0; dx < scale; ++dx) Put(x + cell % 3 * scale + dx, y + cell / 3 * scale + dy, ink);
      }
    }
  }
  return x;
}

void Draw() {
  // Background: red grows to the right, green downwards, blue against both.
  for (int y = 0; y < Height; ++y)
    for (int x = 0; x < Width; ++x) {
      const int r = 255 * x / (Width - 1), g = 255 * y / (Height - 1);
      pixels[y * Width + x] = {std::uint8_t(r), std::uint8_t(g), std::uint8_t(255 - (r + g) / 2)};
    }
  // Rings: alternating bands whose width shrinks with the radius.
  const int cx = 100, cy = 80;
  for (int y = 12; y < 148; ++y)
    for (int x = 12; x < 188; ++x) {
      const int d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
      if (d2 > 68 * 68) continue;
      const bool band = (d2 / 160) % 2 == 0;
      Put(x, y, band ? Rgb{250, 250, 240} : Rgb{20, 30, 90});
    }
  // Colour bars fading to black downwards.
  const Rgb bars[] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                      {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
  for (int y = 12; y < 148; ++y)
    for (int x = 208; x < 388; ++x) {
      const Rgb c = bars[(x - 208) * 8 / 180];
      const int fade = 255 - 255 * (y - 12) / 136;
      Put(x, y, {std::uint8_t(c.r * fade / 255), std::uint8_t(c.g * fade / 255), std::uint8_t(c.b * fade / 255)});
    }
  // Paper with text at two sizes, a coloured rule and a one-pixel checkerboard.
  for (int y = 160; y < 288; ++y)
    for (int x = 12; x < 388; ++x) Put(x, y, {248, 246, 236});
  const Rgb ink = {16, 16, 16};
  DrawText(20, 168, "DIBJPEG EXAMPLE IMAGE 400 X 300", 2, ink);
  for (int x = 20; x < 268; ++x) Put(x, 181, {200, 30, 30});
  DrawText(20, 188, "THE QUICK BROWN FOX JUMPS OVER", 2, ink);
  DrawText(20, 202, "THE LAZY DOG. 0123456789", 2, {30, 60, 180});
  const char* small[] = {"SMALL TEXT: ONE PIXEL PER FONT CELL - 3 X 5 GLYPHS", "ABCDEFGHIJKLMNOPQRSTUVWXYZ 0123456789",
                         "FINE DETAIL SHOWS RINGING AND BLUR AT LOW QUALITY"};
  for (int i = 0; i < 3; ++i) DrawText(20, 220 + 8 * i, small[i], 1, ink);
  DrawText(20, 250, "RED", 2, {220, 20, 20});
  DrawText(60, 250, "GREEN", 2, {20, 160, 40});
  DrawText(116, 250, "BLUE", 2, {20, 40, 220});
  for (int y = 168; y < 280; ++y)
    for (int x = 300; x < 380; ++x) Put(x, y, (x + y) % 2 ? Rgb{0, 0, 0} : Rgb{255, 255, 255});
}

void Le(std::vector<std::uint8_t>* out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(std::uint8_t(v >> (8 * i)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_example OUTPUT.bmp\n");
    return 2;
  }
  Draw();
  const std::uint32_t stride = (Width * 3 + 3) & ~3u;
  const std::uint32_t imageSize = stride * Height;
  std::vector<std::uint8_t> bmp = {'B', 'M'};
  Le(&bmp, 54 + imageSize, 4);  // file size
  Le(&bmp, 0, 4);               // reserved
  Le(&bmp, 54, 4);              // pixel data offset
  Le(&bmp, 40, 4);              // BITMAPINFOHEADER
  Le(&bmp, Width, 4);
  Le(&bmp, Height, 4);  // positive: bottom row first
  Le(&bmp, 1, 2);       // planes
  Le(&bmp, 24, 2);      // bits per pixel
  Le(&bmp, 0, 4);       // BI_RGB
  Le(&bmp, imageSize, 4);
  Le(&bmp, 2835, 4);  // 72 dpi
  Le(&bmp, 2835, 4);
  Le(&bmp, 0, 4);
  Le(&bmp, 0, 4);
  for (int y = Height - 1; y >= 0; --y) {
    for (int x = 0; x < Width; ++x) {
      const Rgb& p = pixels[y * Width + x];
      bmp.insert(bmp.end(), {p.b, p.g, p.r});
    }
    bmp.resize(bmp.size() + stride - Width * 3, 0);
  }
  std::FILE* f = std::fopen(argv[1], "wb");
  const bool ok = f != nullptr && std::fwrite(bmp.data(), 1, bmp.size(), f) == bmp.size();
  if (f == nullptr || std::fclose(f) != 0 || !ok) {
    std::fprintf(stderr, "make_example: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
