// The command-line encoder run the way a user runs it. The input files are
// written here in every supported layout; each output is decoded by
// libjpeg-turbo and compared with what the file held, and must equal the
// library's own encoding of those pixels. Refused inputs and bad command
// lines must leave no file behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace dibjpeg::test {
namespace {

namespace fs = std::filesystem;

// ---- input files ----

enum class Palette { None, Gray, InvertedGray, Colour, Short };

struct Format {
  const char* name;
  char pnm = 0;                 // '5' PGM, '6' PPM, 0 BMP
  int bitCount = 24;            // BMP bits per pixel
  std::uint32_t infoSize = 40;  // BMP info header size
  std::uint32_t compression = 0;
  bool topDown = false;
  Palette palette = Palette::None;
  std::array<std::uint32_t, 3> masks = {};  // red, green, blue; 0 = 5-5-5 or BGRX
};

void Le(Bytes* out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::vector<std::array<std::uint8_t, 3>> PaletteEntries(Palette palette) {
  std::vector<std::array<std::uint8_t, 3>> entries;  // R, G, B
  if (palette == Palette::Gray || palette == Palette::InvertedGray) {
    for (int i = 0; i < 256; ++i) {
      const auto v = static_cast<std::uint8_t>(palette == Palette::Gray ? i : 255 - i);
      entries.push_back({v, v, v});
    }
  } else if (palette == Palette::Colour) {
    for (int r = 0; r < 6; ++r)
      for (int g = 0; g < 6; ++g)
        for (int b = 0; b < 6; ++b) entries.push_back({std::uint8_t(51 * r), std::uint8_t(51 * g), std::uint8_t(51 * b)});
  } else if (palette == Palette::Short) {
    for (int i = 0; i < 16; ++i) entries.push_back({std::uint8_t(i), std::uint8_t(i), std::uint8_t(i)});
  }
  return entries;
}

// What a file of this format can hold of `image`: gray from the red channel,
// 5 bits per channel at 16 bits, the nearest cube colour for the colour palette.
RgbImage Holdable(const RgbImage& image, const Format& f) {
  RgbImage held = image;
  for (std::size_t i = 0; i < held.rgb.size(); i += 3) {
    std::uint8_t* p = &held.rgb[i];
    if (f.pnm == '5' || f.palette == Palette::Gray || f.palette == Palette::InvertedGray) {
      p[1] = p[2] = p[0];
    } else if (f.palette == Palette::Colour) {
      for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>((p[c] + 25) / 51 * 51);
    } else if (f.pnm == 0 && f.bitCount == 16) {
      for (int c = 0; c < 3; ++c) p[c] &= 0xF8;
    }
  }
  return held;
}

Bytes WritePnm(const RgbImage& image, char kind) {
  const std::string header = std::string("P") + kind + "\n# written by the test\n" + std::to_string(image.width) +
                             " " + std::to_string(image.height) + "\n255\n";
  Bytes file(header.begin(), header.end());
  for (std::size_t i = 0; i < image.rgb.size(); i += 3) {
    if (kind == '5') file.push_back(image.rgb[i]);
    else file.insert(file.end(), &image.rgb[i], &image.rgb[i] + 3);
  }
  return file;
}

Bytes WriteBmp(const RgbImage& image, const Format& f) {
  const auto palette = PaletteEntries(f.palette);
  const bool bitfields = f.compression == 3;
  const std::uint32_t stride = RowStride(image.width, f.bitCount);
  const std::uint32_t tables = (bitfields && f.infoSize == 40 ? 12 : 0) + 4 * std::uint32_t(palette.size());
  const std::uint32_t offset = 14 + f.infoSize + tables;
  std::array<std::uint32_t, 3> masks = f.masks;
  if (masks[0] == 0) masks = f.bitCount == 16 ? std::array<std::uint32_t, 3>{0x7C00, 0x3E0, 0x1F}
                                              : std::array<std::uint32_t, 3>{0xFF0000, 0xFF00, 0xFF};
  Bytes file = {'B', 'M'};
  Le(&file, offset + stride * image.height, 4);
  Le(&file, 0, 4);
  Le(&file, offset, 4);
  Le(&file, f.infoSize, 4);
  Le(&file, image.width, 4);
  Le(&file, f.topDown ? -image.height : image.height, 4);
  Le(&file, 1, 2);
  Le(&file, f.bitCount, 2);
  Le(&file, f.compression, 4);
  Le(&file, stride * image.height, 4);
  Le(&file, 2835, 4);
  Le(&file, 2835, 4);
  Le(&file, std::uint32_t(palette.size()), 4);
  Le(&file, 0, 4);
  if (bitfields || f.infoSize > 40) {
    for (std::uint32_t m : masks) Le(&file, bitfields ? m : 0, 4);
  }
  file.resize(14 + f.infoSize + (bitfields && f.infoSize == 40 ? 12 : 0), 0);  // rest of a V4/V5 header
  for (const auto& e : palette) file.insert(file.end(), {e[2], e[1], e[0], 0});
  for (int r = 0; r < image.height; ++r) {
    const int y = f.topDown ? r : image.height - 1 - r;
    Bytes row;
    for (int x = 0; x < image.width; ++x) {
      const std::uint8_t* p = image.At(x, y);
      if (f.bitCount == 8) {
        std::size_t index = 0;
        while (index < palette.size() && !(palette[index][0] == p[0] && palette[index][1] == p[1] &&
                                           palette[index][2] == p[2])) {
          ++index;
        }
        row.push_back(static_cast<std::uint8_t>(index == palette.size() ? 200 : index));
      } else if (f.bitCount == 16) {
        Le(&row, p[2] >> 3 | (p[1] >> 3) << 5 | (p[0] >> 3) << 10, 2);
      } else {
        row.insert(row.end(), {p[2], p[1], p[0]});
        if (f.bitCount == 32) row.push_back(0xA5);
      }
    }
    row.resize(stride, 0);
    file.insert(file.end(), row.begin(), row.end());
  }
  return file;
}

Bytes WriteInput(const RgbImage& image, const Format& f) { return f.pnm ? WritePnm(image, f.pnm) : WriteBmp(image, f); }

RgbImage Luma(const RgbImage& image) {
  RgbImage gray = image;
  for (std::size_t i = 0; i < gray.rgb.size(); i += 3) {
    std::uint8_t* p = &gray.rgb[i];
    p[0] = p[1] = p[2] = static_cast<std::uint8_t>((77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8);
  }
  return gray;
}

// ---- running the program ----

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const fs::path& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
}

struct Outcome {
  int exit = -1;
  std::string out;
  std::string err;
};

class CommandLine : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("dibjpeg-cli-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "io");
  }
  void TearDown() override { fs::remove_all(root_); }

  // A fresh, empty working directory for one case.
  fs::path Dir(const std::string& name) {
    const fs::path dir = root_ / name;
    fs::create_directories(dir);
    return dir;
  }

  // Runs the program through the shell, so `args` may redirect standard
  // input; standard output goes to `out`.
  Outcome Exec(const std::string& args, fs::path out = {}) {
    const bool captured = out.empty();
    if (captured) out = root_ / "io" / "stdout";
    const fs::path err = root_ / "io" / "stderr";
    const std::string command = "'" DIBJPEG_CLI "' " + args + " >'" + out.string() + "' 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    Outcome run;
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const Bytes o = captured ? ReadFile(out) : Bytes(), e = ReadFile(err);
    run.out.assign(o.begin(), o.end());
    run.err.assign(e.begin(), e.end());
    return run;
  }

  static std::set<std::string> Listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
    return names;
  }

  fs::path root_;
};

std::string Q(const fs::path& path) { return "'" + path.string() + "'"; }

// ---- supported inputs ----

struct Supported {
  Format format;
  int quality;  // 0: no options given, so the defaults (75, 4:2:0) apply
  int sampling;
  bool gray;  // --gray
};

// Measured over these rows: at least 21.7 dB (colour at 4:2:0, where the
// saturated corner blocks of a 37 x 23 image lose most); a vertical flip or
// swapped red and blue gives under 12 dB.
constexpr double MinPsnr = 18.0;

TEST_F(CommandLine, EncodesEverySupportedInputLikeTheLibrary) {
  const char* samplingName[] = {"420", "422", "444"};
  const Supported cases[] = {
      {{.name = "bmp24"}, 0, 0, false},
      {{.name = "bmp24_top_down", .topDown = true}, 90, 2, false},
      {{.name = "bmp24_v4", .infoSize = 108}, 60, 1, false},
      {{.name = "bmp32", .bitCount = 32}, 85, 0, false},
      {{.name = "bmp32_bitfields", .bitCount = 32, .compression = 3}, 95, 2, false},
      {{.name = "bmp32_v5_bitfields_top_down", .bitCount = 32, .infoSize = 124, .compression = 3, .topDown = true},
       75, 1, false},
      {{.name = "bmp16", .bitCount = 16}, 90, 2, false},
      {{.name = "bmp16_bitfields_v4", .bitCount = 16, .infoSize = 108, .compression = 3}, 80, 0, false},
      {{.name = "bmp16_top_down", .bitCount = 16, .topDown = true}, 70, 1, false},
      {{.name = "bmp8_gray", .bitCount = 8, .palette = Palette::Gray}, 90, 0, false},
      {{.name = "bmp8_inverted_gray_top_down", .bitCount = 8, .topDown = true, .palette = Palette::InvertedGray}, 80,
       2, false},
      {{.name = "bmp8_colour", .bitCount = 8, .palette = Palette::Colour}, 90, 2, false},
      {{.name = "pgm", .pnm = '5'}, 85, 0, false},
      {{.name = "ppm", .pnm = '6'}, 90, 1, false},
      {{.name = "bmp24_as_gray"}, 90, 0, true},
      {{.name = "bmp16_as_gray", .bitCount = 16}, 90, 0, true},
      {{.name = "ppm_as_gray", .pnm = '6'}, 75, 2, true},
  };
  const RgbImage source = MakeTestImage(37, 23);  // pads rows in every format
  for (const Supported& c : cases) {
    SCOPED_TRACE(c.format.name);
    const fs::path dir = Dir(c.format.name);
    const RgbImage held = Holdable(source, c.format);
    WriteFile(dir / "in", WriteInput(held, c.format));
    std::string args;
    if (c.quality != 0) args = "-q " + std::to_string(c.quality) + " --sampling " + samplingName[c.sampling] + " ";
    if (c.gray) args += "--gray ";
    const Outcome run = Exec(args + Q(dir / "in") + " " + Q(dir / "out.jpg"));
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const Bytes jpeg = ReadFile(dir / "out.jpg");

    const RgbImage want = c.gray ? Luma(held) : held;
    const bool grayOut = c.gray || c.format.pnm == '5' || c.format.palette == Palette::Gray ||
                         c.format.palette == Palette::InvertedGray;
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(jpeg, &decoded, &error)) << error;
    EXPECT_EQ(decoded.components, grayOut ? 1 : 3);
    ASSERT_EQ(decoded.width, 37);
    ASSERT_EQ(decoded.height, 23);
    EXPECT_GE(Psnr(decoded, want), MinPsnr);

    const int bits = grayOut ? 8 : 24;
    const Bytes dib = ToDib(want, bits, true);
    const EncodeResult direct = Encode(dib, 37, 23, bits, c.quality ? c.quality : 75, c.sampling, 1, 1, 1 << 16);
    ASSERT_EQ(direct.status, 0);
    EXPECT_EQ(jpeg, Bytes(direct.bytes.begin(), direct.bytes.begin() + direct.dstSize));
  }
}

TEST_F(CommandLine, MeasurePrintsTheEncodedSizeAndWritesNothing) {
  const fs::path dir = Dir("measure");
  WriteFile(dir / "in.bmp", WriteBmp(MakeTestImage(40, 30), {.name = "bmp24"}));
  const Outcome encode = Exec("-q 50 " + Q(dir / "in.bmp") + " " + Q(dir / "out.jpg"));
  ASSERT_EQ(encode.exit, 0) << encode.err;
  const std::string size = std::to_string(fs::file_size(dir / "out.jpg")) + "\n";
  fs::remove(dir / "out.jpg");

  const Outcome fromFile = Exec("--measure -q 50 " + Q(dir / "in.bmp"));
  EXPECT_EQ(fromFile.exit, 0) << fromFile.err;
  EXPECT_EQ(fromFile.out, size);
  const Outcome fromStdin = Exec("--measure -q 50 - <" + Q(dir / "in.bmp"));
  EXPECT_EQ(fromStdin.exit, 0) << fromStdin.err;
  EXPECT_EQ(fromStdin.out, size);
  EXPECT_EQ(Listing(dir), std::set<std::string>{"in.bmp"});
}

TEST_F(CommandLine, StandardInputAndOutputCarryTheSameBytesAsFiles) {
  const fs::path dir = Dir("stdio");
  WriteFile(dir / "in.ppm", WritePnm(MakeTestImage(19, 21), '6'));
  ASSERT_EQ(Exec(Q(dir / "in.ppm") + " " + Q(dir / "file.jpg")).exit, 0);
  const Bytes want = ReadFile(dir / "file.jpg");
  ASSERT_FALSE(want.empty());
  EXPECT_EQ(Exec("- " + Q(dir / "a.jpg") + " <" + Q(dir / "in.ppm")).exit, 0);
  EXPECT_EQ(ReadFile(dir / "a.jpg"), want);
  const Outcome toStdout = Exec(Q(dir / "in.ppm") + " -");
  EXPECT_EQ(toStdout.exit, 0);
  EXPECT_EQ(Bytes(toStdout.out.begin(), toStdout.out.end()), want);
  const Outcome both = Exec("- - <" + Q(dir / "in.ppm"));
  EXPECT_EQ(both.exit, 0);
  EXPECT_EQ(Bytes(both.out.begin(), both.out.end()), want);
}

// ---- refused inputs ----

struct Refused {
  const char* name;
  Bytes file;
  const char* message;  // part of the one line on stderr
};

Bytes Patched(Bytes file, std::size_t at, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) file[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
  return file;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST_F(CommandLine, RefusesUnsupportedInputAndLeavesNoFile) {
  const RgbImage image = MakeTestImage(9, 5);
  const Bytes bmp24 = WriteBmp(image, {.name = "bmp24"});
  const Bytes gray8 = WriteBmp(Holdable(image, {.name = "g", .bitCount = 8, .palette = Palette::Gray}),
                               {.name = "g", .bitCount = 8, .palette = Palette::Gray});
  const Bytes shortPalette = WriteBmp(Holdable(image, {.name = "s", .bitCount = 8, .palette = Palette::Gray}),
                                      {.name = "s", .bitCount = 8, .palette = Palette::Short});
  const Refused cases[] = {
      {"empty", {}, "empty input; supported: BMP, binary PGM (P5) and binary PPM (P6)"},
      {"png", Text("\x89PNG\r\n\x1a\n"), "unrecognised input starting with bytes 89 50 4E 47"},
      {"bmp_rle8", Patched(gray8, 30, 1, 4), "BMP with RLE8 compression (type 1); supported: uncompressed BMP"},
      {"bmp_png_inside", Patched(bmp24, 30, 5, 4), "BMP with PNG compression (type 5)"},
      {"bmp16_565",
       WriteBmp(image, {.name = "", .bitCount = 16, .compression = 3, .masks = {0xF800, 0x7E0, 0x1F}}),
       "BMP 16-bit with masks red 0xF800 green 0x7E0 blue 0x1F; supported: 16-bit masks red 0x7C00"},
      {"bmp32_rgbx", WriteBmp(image, {.name = "", .bitCount = 32, .compression = 3, .masks = {0xFF, 0xFF00, 0xFF0000}}),
       "BMP 32-bit with masks red 0xFF green 0xFF00 blue 0xFF0000; supported: 32-bit masks red 0xFF0000"},
      {"bmp24_bitfields", Patched(bmp24, 30, 3, 4), "BMP 24-bit with BI_BITFIELDS"},
      {"bmp_core_header", Patched(bmp24, 14, 12, 4), "BMP with a 12-byte info header (OS/2 core header)"},
      {"bmp4", Patched(bmp24, 28, 4, 2), "BMP with 4 bits per pixel; supported: BMP with 8, 16, 24 or 32"},
      {"bmp_two_planes", Patched(bmp24, 26, 2, 2), "BMP with 2 planes"},
      {"bmp_zero_height", Patched(bmp24, 22, 0, 4), "BMP of width 9 and height 0"},
      {"bmp_truncated_header", Bytes(bmp24.begin(), bmp24.begin() + 40), "truncated BMP: 40 bytes"},
      // The top row's padding (1 byte) may be missing, not a pixel byte.
      {"bmp_truncated_pixels", Bytes(bmp24.begin(), bmp24.end() - 2),
       "truncated BMP: pixel data ends at byte 193, file has 192"},
      // Headers that claim far more pixels than the file holds.
      {"bmp_claims_30000_square", Patched(Patched(bmp24, 18, 30000, 4), 22, 30000, 4),
       "truncated BMP: pixel data ends at byte 2700000054"},
      {"pgm_over_4GiB", Text("P5 70000 70000 255\n"), "PGM of 70000 x 70000 pixels, over 4 GiB of pixels"},
      {"bmp_offset_in_header", Patched(bmp24, 10, 20, 4), "pixel data offset 20 lies inside its headers"},
      {"bmp8_index_beyond_palette", shortPalette, "BMP pixel index 200 beyond its 16-entry palette"},
      {"pgm16", Text("P5 2 1 65535\n\1\2\3\4"), "PGM with maxval 65535 (16-bit samples); supported: maxval 255"},
      {"ppm_maxval_15", Text("P6 1 1 15\n\1\2\3"), "PPM with maxval 15; supported: maxval 255"},
      {"ppm_plain_text", Text("P3 1 1 255\n1 2 3\n"), "PNM type P3 (plain-text pixmap); supported: binary PGM (P5)"},
      {"pbm", Text("P4 8 1\n\xAA"), "PNM type P4 (binary bitmap)"},
      {"ppm_truncated", Text("P6 2 2 255\n\1\2\3\4\5\6\7\10\11\12\13"),
       "truncated PPM: pixel data needs 12 bytes, file has 11"},
      {"ppm_header_cut", Text("P6 2 2"), "truncated or malformed PPM header"},
      {"pgm_zero_width", Text("P5 0 2 255\n"), "PGM of 0 x 2 pixels; supported: at least 1 x 1 pixels"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = Dir(c.name);
    WriteFile(dir / "in", c.file);
    const Outcome run = Exec(Q(dir / "in") + " " + Q(dir / "out.jpg"));
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.rfind("dibjpeg: " + (dir / "in").string() + ": ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(Listing(dir), std::set<std::string>{"in"});
  }
}

TEST_F(CommandLine, EncoderFailureNamesTheStatusAndKeepsAnExistingOutput) {
  // 70000 columns fit the file but not the JPEG frame header.
  const fs::path dir = Dir("wide");
  Bytes pgm = Text("P5 70000 1 255\n");
  pgm.resize(pgm.size() + 70000, 128);
  WriteFile(dir / "in.pgm", pgm);
  WriteFile(dir / "out.jpg", Text("old"));
  const Outcome run = Exec(Q(dir / "in.pgm") + " " + Q(dir / "out.jpg"));
  EXPECT_EQ(run.exit, 3);
  EXPECT_NE(run.err.find("PGM 70000 x 1: bad argument: quality, sampling, or a side above 65535 pixels (status 0x2F00)"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(ReadFile(dir / "out.jpg"), Text("old"));
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"in.pgm", "out.jpg"}));
}

TEST_F(CommandLine, RejectsBadCommandLinesAndWritesNothing) {
  struct Case {
    const char* args;  // followed by the input and output paths unless it ends in '!'
    int exit;
    const char* message;
  };
  const Case cases[] = {
      {"-q 0", 2, "quality must be 1 to 100, have '0'"},
      {"--quality=101", 2, "quality must be 1 to 100, have '101'"},
      {"-q high", 2, "quality must be 1 to 100, have 'high'"},
      {"-s 421", 2, "sampling must be 420, 422 or 444, have '421'"},
      {"--gray=yes", 2, "option --gray takes no value"},
      {"--fast", 2, "unknown option --fast"},
      {"--measure", 2, "--measure takes one INPUT and no OUTPUT"},
      {"-q!", 2, "option -q needs a value"},
      {"!", 2, "need INPUT and OUTPUT"},
      {"-q 90 -s 444 --gray", 0, ""},  // the same paths, accepted
  };
  const fs::path dir = Dir("usage");
  WriteFile(dir / "in.bmp", WriteBmp(MakeTestImage(8, 8), {.name = "bmp24"}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::string args = c.args;
    if (args.back() == '!') args.pop_back();
    else args += " " + Q(dir / "in.bmp") + " " + Q(dir / "out.jpg");
    const Outcome run = Exec(args);
    EXPECT_EQ(run.exit, c.exit);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(fs::exists(dir / "out.jpg"), c.exit == 0);
    fs::remove(dir / "out.jpg");
  }
  const Outcome help = Exec("--help");
  EXPECT_EQ(help.exit, 0);
  EXPECT_NE(help.out.find("-q, --quality N"), std::string::npos);
  const Outcome version = Exec("--version");
  EXPECT_EQ(version.exit, 0);
  EXPECT_EQ(version.out, "dibjpeg " DIBJPEG_VERSION "\n");
}

TEST_F(CommandLine, UnwritableOutputFailsCleanly) {
  const fs::path dir = Dir("unwritable");
  WriteFile(dir / "in.pgm", Text("P5 1 1 255\n\x80"));
  const Outcome run = Exec(Q(dir / "in.pgm") + " " + Q(dir / "missing" / "out.jpg"));
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.err.find("cannot create " + (dir / "missing" / "out.jpg").string()), std::string::npos) << run.err;
  EXPECT_EQ(Listing(dir), std::set<std::string>{"in.pgm"});
}

// Regular files (and links to them) are replaced whole; special files are
// written in place and stay what they were.
TEST_F(CommandLine, WritesThroughLinksAndIntoSpecialFiles) {
  const fs::path dir = Dir("special");
  const std::string in = Q(dir / "in.pgm") + " ";
  WriteFile(dir / "in.pgm", Text("P5 3 2 255\n\1\2\3\4\5\6"));
  ASSERT_EQ(Exec(in + Q(dir / "want.jpg")).exit, 0);
  const Bytes want = ReadFile(dir / "want.jpg");

  // A FIFO with a reader (this test, without blocking: the small JPEG fits
  // in the pipe's buffer).
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int readEnd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(readEnd, 0);
  const Outcome toFifo = Exec(in + Q(fifo));
  Bytes fromFifo(want.size() + 1);
  const ssize_t got = read(readEnd, fromFifo.data(), fromFifo.size());
  close(readEnd);
  fromFifo.resize(got > 0 ? std::size_t(got) : 0);
  EXPECT_EQ(toFifo.exit, 0) << toFifo.err;
  EXPECT_EQ(fromFifo, want);
  EXPECT_TRUE(fs::is_fifo(fifo));

  // A link to a regular file: the target is replaced, keeping its mode.
  WriteFile(dir / "target.jpg", Text("old"));
  fs::permissions(dir / "target.jpg", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("target.jpg", dir / "link.jpg");
  EXPECT_EQ(Exec(in + Q(dir / "link.jpg")).exit, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link.jpg"));
  EXPECT_EQ(ReadFile(dir / "target.jpg"), want);
  EXPECT_EQ(fs::status(dir / "target.jpg").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  // A link into /proc names an open file: standard output here.
  fs::create_symlink("/proc/self/fd/1", dir / "stdout");
  const Outcome toStdout = Exec(in + Q(dir / "stdout"));
  EXPECT_EQ(toStdout.exit, 0) << toStdout.err;
  EXPECT_EQ(Bytes(toStdout.out.begin(), toStdout.out.end()), want);
  EXPECT_TRUE(fs::is_symlink(dir / "stdout"));

  // A full device: exit 1, and the device stays a device. Root gets its own
  // node, so that a faulty program could replace only that one.
  const fs::path full = geteuid() == 0 ? dir / "full" : fs::path("/dev/full");
  if (geteuid() == 0) ASSERT_EQ(mknod(full.c_str(), S_IFCHR | 0600, makedev(1, 7)), 0);
  if (access(full.c_str(), W_OK) == 0) {
    const Outcome toFull = Exec(in + Q(full));
    EXPECT_EQ(toFull.exit, 1);
    EXPECT_EQ(toFull.err, "dibjpeg: cannot write " + full.string() + ": No space left on device\n");
    EXPECT_TRUE(fs::is_character_file(full));
    const Outcome measure = Exec("--measure " + in, full);
    EXPECT_EQ(measure.exit, 1);
    EXPECT_EQ(measure.err, "dibjpeg: cannot write standard output: No space left on device\n");
  }

  // A read-only file is not replaced by whoever could not write it. Root can
  // open any file for writing, so for root it is replaced, mode kept.
  WriteFile(dir / "ro.jpg", Text("old"));
  fs::permissions(dir / "ro.jpg", fs::perms::owner_read);
  const Outcome readOnly = Exec(in + Q(dir / "ro.jpg"));
  if (geteuid() == 0) {
    EXPECT_EQ(readOnly.exit, 0) << readOnly.err;
    EXPECT_EQ(ReadFile(dir / "ro.jpg"), want);
  } else {
    EXPECT_EQ(readOnly.exit, 1);
    EXPECT_EQ(readOnly.err, "dibjpeg: cannot write " + (dir / "ro.jpg").string() + ": Permission denied\n");
    EXPECT_EQ(ReadFile(dir / "ro.jpg"), Text("old"));
  }
  EXPECT_EQ(fs::status(dir / "ro.jpg").permissions(), fs::perms::owner_read);

  // No temporary file is left anywhere.
  std::set<std::string> files = {"in.pgm", "want.jpg", "fifo", "target.jpg", "link.jpg", "stdout", "ro.jpg"};
  if (geteuid() == 0) files.insert("full");
  EXPECT_EQ(Listing(dir), files);
}

}  // namespace
}  // namespace dibjpeg::test
