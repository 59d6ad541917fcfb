// The command-line encoder run the way a user runs it. The input files are
// written here in every supported format and variant (PNG through libpng);
// each output is decoded by libjpeg-turbo and compared with what the file
// held, and must equal the library's own encoding of those pixels. Refused
// inputs and bad command lines must leave no file behind; special output
// files must survive being written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <png.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <array>
#include <bit>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli_files.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

namespace fs = std::filesystem;

// ---- input files ----

enum class Palette { None, Gray, InvertedGray, Colour, Short, Mono, Four, Sixteen };

struct Format {
  const char* name;
  char pnm = 0;                 // netpbm kind '1' to '7', 0 otherwise
  int bitCount = 24;            // BMP bits per pixel, PNG bit depth
  std::uint32_t infoSize = 40;  // BMP info header size (12 and 64: OS/2)
  std::uint32_t compression = 0;
  bool topDown = false;
  Palette palette = Palette::None;
  std::array<std::uint32_t, 4> masks = {};  // red, green, blue, alpha; 0 = 5-5-5 or BGRX
  int maxval = 255;                         // PNM
  const char* tupleType = "";               // PAM
  int pngType = -1;                         // PNG colour type, -1 = not PNG
  bool interlaced = false;                  // PNG
  bool white = false;                       // --background white
};

bool IsPng(const Format& f) { return f.pngType >= 0; }
bool IsRle(const Format& f) { return f.pnm == 0 && !IsPng(f) && (f.compression == 1 || f.compression == 2); }
bool HasAlpha(const Format& f) {
  return std::string(f.tupleType).ends_with("_ALPHA") || (IsPng(f) && (f.pngType & PNG_COLOR_MASK_ALPHA) != 0) ||
         (IsPng(f) && f.palette != Palette::None);  // every PNG palette here has a tRNS chunk
}
bool GrayFile(const Format& f) {
  return std::string("1245").find(f.pnm ? f.pnm : 'x') != std::string::npos ||
         std::string(f.tupleType).starts_with("GRAYSCALE") || f.palette == Palette::Gray ||
         f.palette == Palette::InvertedGray || f.palette == Palette::Mono ||
         (IsPng(f) && (f.pngType & PNG_COLOR_MASK_COLOR) == 0);
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
  } else if (palette == Palette::Mono) {
    entries = {{0, 0, 0}, {255, 255, 255}};
  } else if (palette == Palette::Four) {
    entries = {{0, 0, 0}, {255, 0, 0}, {0, 128, 255}, {255, 255, 255}};
  } else if (palette == Palette::Sixteen) {
    for (int i = 0; i < 16; ++i) {
      const std::uint8_t on = i < 8 ? 255 : 128;
      entries.push_back({std::uint8_t(i & 1 ? on : 0), std::uint8_t(i & 2 ? on : 0), std::uint8_t(i & 4 ? on : 0)});
    }
  }
  return entries;
}

int Distance(const std::uint8_t* p, const std::array<std::uint8_t, 3>& e) {
  int d = 0;
  for (int c = 0; c < 3; ++c) d += (p[c] - e[c]) * (p[c] - e[c]);
  return d;
}

std::size_t Nearest(const std::uint8_t* p, const std::vector<std::array<std::uint8_t, 3>>& entries) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    if (Distance(p, entries[i]) < Distance(p, entries[best])) best = i;
  }
  return best;
}

// The largest value of each channel's samples (red, green, blue) in the file.
std::array<std::uint32_t, 3> Levels(const Format& f) {
  if (f.pnm == '1' || f.pnm == '4') return {1, 1, 1};
  if (f.pnm) return {std::uint32_t(f.maxval), std::uint32_t(f.maxval), std::uint32_t(f.maxval)};
  if (IsPng(f) && f.bitCount < 8) {
    const std::uint32_t max = (1u << f.bitCount) - 1;
    return {max, max, max};
  }
  if (!IsPng(f) && f.bitCount == 16 && f.masks[0] == 0) return {31, 31, 31};  // BMP 5-5-5
  if (!IsPng(f) && f.masks[0] != 0) {
    std::array<std::uint32_t, 3> levels;
    for (int c = 0; c < 3; ++c) levels[c] = f.masks[c] >> std::countr_zero(f.masks[c]);
    return levels;
  }
  return {255, 255, 255};
}

std::uint32_t ToSample(int v, std::uint32_t max) { return (std::uint64_t(v) * max + 127) / 255; }

// A run-length file skips pixels 5 to 7 of its second row with a move, and
// ends its last row after pixel 4: those pixels keep palette entry 0.
bool RleSkips(const Format& f, int x, int fileRow, int rows) {
  return IsRle(f) && ((fileRow == 1 && x >= 5 && x < 8) || (fileRow == rows - 1 && x >= 5));
}

// What a file of this format can hold of `image`: gray from the red channel,
// the nearest palette colour, each channel rounded to its sample range (5
// bits at 16-bit 5-5-5, read back as v x 255 / 31 rounded).
RgbImage Holdable(const RgbImage& image, const Format& f) {
  RgbImage held = image;
  const auto entries = PaletteEntries(f.palette);
  const auto levels = Levels(f);
  for (int y = 0; y < held.height; ++y) {
    for (int x = 0; x < held.width; ++x) {
      std::uint8_t* p = &held.rgb[3 * (std::size_t(y) * held.width + x)];
      if (GrayFile(f)) p[1] = p[2] = p[0];
      if (!entries.empty()) {
        const int fileRow = f.topDown ? y : held.height - 1 - y;
        const auto& e = entries[RleSkips(f, x, fileRow, held.height) ? 0 : Nearest(p, entries)];
        std::copy(e.begin(), e.end(), p);
      } else {
        for (int c = 0; c < 3; ++c) p[c] = std::uint8_t((ToSample(p[c], levels[c]) * 255 + levels[c] / 2) / levels[c]);
      }
    }
  }
  return held;
}

// Opacity that varies over the image; ignored unless composited.
std::uint8_t Alpha(int x, int y) { return static_cast<std::uint8_t>((x * 29 + y * 13) % 256); }

// The opacity the file holds, rounded to its alpha samples' range.
RgbImage OnWhite(const RgbImage& image, const Format& f) {
  RgbImage out = image;
  const auto entries = PaletteEntries(f.palette);
  const std::uint32_t level = f.pnm ? f.maxval : IsPng(f) ? (f.bitCount == 16 ? 65535 : 255)
                                                          : f.masks[3] >> std::countr_zero(f.masks[3]);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      std::uint8_t* p = &out.rgb[3 * (std::size_t(y) * image.width + x)];
      const double a = entries.empty() ? ToSample(Alpha(x, y), level) / double(level)
                                       : Alpha(int(Nearest(p, entries)), 0) / 255.0;
      for (int c = 0; c < 3; ++c) p[c] = static_cast<std::uint8_t>(p[c] * a + 255 * (1 - a) + 0.5);
    }
  }
  return out;
}

void Le(Bytes* out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Be(Bytes* out, std::uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Packs samples of `bits` bits (1, 2, 4, 8 or 16) most significant first.
Bytes Pack(const std::vector<std::uint32_t>& samples, int bits) {
  Bytes row;
  if (bits >= 8) {
    for (std::uint32_t s : samples) Be(&row, s, bits / 8);
    return row;
  }
  row.assign((samples.size() * bits + 7) / 8, 0);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    row[i * bits / 8] |= static_cast<std::uint8_t>(samples[i] << (8 - bits - i * bits % 8));
  }
  return row;
}

// One row's file samples: palette indexes, or per pixel gray or R, G, B,
// then alpha when the format has it. Bitmaps store 1 for black.
std::vector<std::uint32_t> Samples(const RgbImage& image, int y, const Format& f) {
  const auto entries = PaletteEntries(f.palette);
  const auto levels = Levels(f);
  const bool bitmap = f.pnm == '1' || f.pnm == '4';
  std::vector<std::uint32_t> samples;
  for (int x = 0; x < image.width; ++x) {
    const std::uint8_t* p = image.At(x, y);
    if (!entries.empty()) {
      samples.push_back(static_cast<std::uint32_t>(Nearest(p, entries)));
      continue;
    }
    for (int c = 0; c < (GrayFile(f) ? 1 : 3); ++c) {
      const std::uint32_t s = ToSample(p[c], levels[c]);
      samples.push_back(bitmap ? 1 - s : s);
    }
    if (HasAlpha(f)) samples.push_back(ToSample(Alpha(x, y), levels[0]));
  }
  return samples;
}

Bytes WritePnm(const RgbImage& image, const Format& f) {
  std::string header = std::string("P") + f.pnm + "\n# written by the test\n";
  const int depth = (GrayFile(f) ? 1 : 3) + (HasAlpha(f) ? 1 : 0);
  if (f.pnm == '7') {
    header += "WIDTH " + std::to_string(image.width) + "\nHEIGHT " + std::to_string(image.height) + "\nDEPTH " +
              std::to_string(depth) + "\nMAXVAL " + std::to_string(f.maxval) + "\nTUPLTYPE " + f.tupleType +
              "\nENDHDR\n";
  } else {
    header += std::to_string(image.width) + " " + std::to_string(image.height) + "\n";
    if (f.pnm != '1' && f.pnm != '4') header += std::to_string(f.maxval) + "\n";
  }
  Bytes file(header.begin(), header.end());
  for (int y = 0; y < image.height; ++y) {
    const auto samples = Samples(image, y, f);
    if (f.pnm <= '3') {
      std::string text;
      // P1 digits may run together; the first row separates them.
      for (std::uint32_t s : samples) text += std::to_string(s) + (f.pnm != '1' || y == 0 ? " " : "");
      text += "\n";
      file.insert(file.end(), text.begin(), text.end());
    } else {
      const Bytes row = Pack(samples, f.pnm == '4' ? 1 : f.maxval > 255 ? 16 : 8);
      file.insert(file.end(), row.begin(), row.end());
    }
  }
  return file;
}

// Run-length rows: a literal run of the first five pixels, then runs of
// equal indexes, with the skips RleSkips describes.
Bytes RleRow(const std::vector<std::uint32_t>& index, int fileRow, int rows, bool rle4) {
  const auto value = [&](std::size_t i) { return std::uint8_t(rle4 ? index[i] << 4 | index[i] : index[i]); };
  Bytes out = {0, 5};
  const Bytes literal = rle4 ? Pack({index.begin(), index.begin() + 5}, 4) : Bytes(index.begin(), index.begin() + 5);
  out.insert(out.end(), literal.begin(), literal.end());
  if (out.size() % 2) out.push_back(0);
  if (fileRow == rows - 1) return out.insert(out.end(), {0, 1}), out;
  std::size_t x = 5;
  if (fileRow == 1) out.insert(out.end(), {0, 2, 3, 0}), x = 8;
  while (x < index.size()) {
    std::size_t n = 1;
    while (x + n < index.size() && index[x + n] == index[x] && n < 255) ++n;
    out.insert(out.end(), {std::uint8_t(n), value(x)});
    x += n;
  }
  return out.insert(out.end(), {0, 0}), out;
}

Bytes WriteBmp(const RgbImage& image, const Format& f) {
  const auto palette = PaletteEntries(f.palette);
  const bool os2Core = f.infoSize == 12;
  const bool maskTable = (f.compression == 3 || f.compression == 6) && f.infoSize == 40;
  const std::uint32_t stride = RowStride(image.width, f.bitCount);
  const std::uint32_t tables =
      (maskTable ? (f.compression == 6 ? 16 : 12) : 0) + (os2Core ? 3 : 4) * std::uint32_t(palette.size());
  const std::uint32_t offset = 14 + f.infoSize + tables;
  std::array<std::uint32_t, 4> masks = f.masks;
  if (masks[0] == 0) masks = f.bitCount == 16 ? std::array<std::uint32_t, 4>{0x7C00, 0x3E0, 0x1F, 0}
                                              : std::array<std::uint32_t, 4>{0xFF0000, 0xFF00, 0xFF, 0};
  Bytes file = {'B', 'M'};
  Le(&file, offset + stride * image.height, 4);
  Le(&file, 0, 4);
  Le(&file, offset, 4);
  Le(&file, f.infoSize, 4);
  if (os2Core) {
    for (std::uint32_t v : {image.width, image.height, 1, f.bitCount}) Le(&file, v, 2);
  } else {
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
    if (f.infoSize >= 52 || maskTable) {
      for (int c = 0; c < (f.compression == 6 || f.infoSize >= 56 ? 4 : 3); ++c) {
        Le(&file, f.compression == 3 || f.compression == 6 ? masks[c] : 0, 4);
      }
    }
    file.resize(std::max<std::size_t>(file.size(), 14 + f.infoSize), 0);  // rest of a long header
  }
  for (const auto& e : palette) {
    file.insert(file.end(), {e[2], e[1], e[0]});
    if (!os2Core) file.push_back(0);
  }
  for (int r = 0; r < image.height; ++r) {
    const int y = f.topDown ? r : image.height - 1 - r;
    if (IsRle(f)) {
      const Bytes row = RleRow(Samples(image, y, f), r, image.height, f.compression == 2);
      file.insert(file.end(), row.begin(), row.end());
      continue;
    }
    Bytes row;
    if (!palette.empty()) row = Pack(Samples(image, y, f), f.bitCount);
    for (int x = 0; palette.empty() && x < image.width; ++x) {
      const std::uint8_t* p = image.At(x, y);
      if (f.bitCount == 24) {
        row.insert(row.end(), {p[2], p[1], p[0]});
        continue;
      }
      std::uint32_t pixel = 0;
      for (int c = 0; c < 4; ++c) {
        const std::uint32_t max = masks[c] >> std::countr_zero(masks[c] | 1u << 31);
        pixel |= ToSample(c < 3 ? p[c] : Alpha(x, y), max) << std::countr_zero(masks[c] | 1u << 31);
      }
      if (f.bitCount == 32 && f.masks[0] == 0) pixel |= 0xA5000000;  // the unused byte
      Le(&row, pixel, f.bitCount / 8);
    }
    row.resize(stride, 0);
    file.insert(file.end(), row.begin(), row.end());
  }
  return file;
}

void AppendPng(png_structp png, png_bytep data, std::size_t size) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

// Chunks a PNG may carry besides its pixels.
struct PngChunks {
  const Bytes* icc = nullptr;  // iCCP
  bool srgb = false;           // sRGB
  png_uint_32 physX = 0, physY = 0;
  int physUnit = PNG_RESOLUTION_METER;
};

// A PNG with a gAMA chunk the reader must not apply; palettes get a tRNS
// chunk with a different opacity for each entry.
Bytes WritePng(const RgbImage& image, const Format& f, const PngChunks& chunks = {}) {
  Bytes file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &file, AppendPng, nullptr);
  png_set_IHDR(png, info, image.width, image.height, f.bitCount, f.pngType,
               f.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_gAMA(png, info, 0.45455);
  if (chunks.icc) png_set_iCCP(png, info, "test", 0, chunks.icc->data(), png_uint_32(chunks.icc->size()));
  if (chunks.srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
  if (chunks.physX) png_set_pHYs(png, info, chunks.physX, chunks.physY, chunks.physUnit);
  const auto entries = PaletteEntries(f.palette);
  std::vector<png_color> plte;
  std::vector<png_byte> trns;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    plte.push_back({entries[i][0], entries[i][1], entries[i][2]});
    trns.push_back(Alpha(int(i), 0));
  }
  if (!plte.empty()) {
    png_set_PLTE(png, info, plte.data(), int(plte.size()));
    png_set_tRNS(png, info, trns.data(), int(trns.size()), nullptr);
  }
  png_write_info(png, info);
  std::vector<Bytes> rows;
  for (int y = 0; y < image.height; ++y) {
    auto samples = Samples(image, y, f);
    if (f.bitCount == 16) for (auto& s : samples) s *= 257;
    rows.push_back(Pack(samples, f.bitCount));
  }
  std::vector<png_bytep> pointers;
  for (Bytes& row : rows) pointers.push_back(row.data());
  png_write_image(png, pointers.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return file;
}

Bytes WriteInput(const RgbImage& image, const Format& f) {
  return f.pnm ? WritePnm(image, f) : IsPng(f) ? WritePng(image, f) : WriteBmp(image, f);
}

RgbImage Luma(const RgbImage& image) {
  RgbImage gray = image;
  for (std::size_t i = 0; i < gray.rgb.size(); i += 3) {
    std::uint8_t* p = &gray.rgb[i];
    p[0] = p[1] = p[2] = static_cast<std::uint8_t>((77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8);
  }
  return gray;
}

// ---- running the program ----

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// What an existing OUTPUT holds before a run: the start of a JPEG, which the
// program may replace.
Bytes OldJpeg() { return Text("\xFF\xD8\xFF old"); }

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
  void TearDown() override {
    for (const fs::path& mount : mounts_) std::system(("umount -l '" + mount.string() + "' 2>/dev/null").c_str());
    fs::remove_all(root_);
  }

  // Mounts a new file system at `dir`: `mkfs` (a command that formats the
  // image file named after it) on a loop device, or tmpfs when `mkfs` is
  // empty. Returns why not, or "".
  std::string Mount(const std::string& mkfs, int megabytes, const fs::path& dir) {
    if (geteuid() != 0) return "needs root: mounts file systems";
    fs::create_directories(dir);
    const std::string image = Q(dir.string() + ".img"), size = std::to_string(megabytes) + "m";
    const std::string command =
        mkfs.empty() ? "mount -t tmpfs -o size=" + size + " none " + Q(dir)
                     : "truncate -s " + size + " " + image + " && " + mkfs + " " + image + " && mount -o loop " +
                           image + " " + Q(dir);
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) return "cannot run here: " + command;
    mounts_.push_back(dir);
    return "";
  }

  // A fresh, empty working directory for one case.
  fs::path Dir(const std::string& name) {
    const fs::path dir = root_ / name;
    fs::create_directories(dir);
    return dir;
  }

  // Runs the program through the shell, so `args` may redirect standard
  // input and `prefix` may set limits or run it as another user; standard
  // output goes to `out`.
  Outcome Exec(const std::string& args, fs::path out = {}, const std::string& prefix = "") {
    const bool captured = out.empty();
    if (captured) out = root_ / "io" / "stdout";
    const fs::path err = root_ / "io" / "stderr";
    const std::string command =
        prefix + "'" DIBJPEG_CLI "' " + args + " >'" + out.string() + "' 2>'" + err.string() + "'";
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
  std::vector<fs::path> mounts_;
};


// ---- supported inputs ----

struct Supported {
  Format format;
  int quality;  // 0: no options given, so the defaults (75, 4:2:0) apply
  int sampling;
  bool gray;  // --gray
};

// Measured over the first rows: at least 21.7 dB (colour at 4:2:0, where the
// saturated corner blocks of a 37 x 23 image lose most); a vertical flip or
// swapped red and blue gives under 12 dB. The rows at quality 95 and 4:4:4
// must reach 30 dB.
constexpr double MinPsnr = 18.0;
constexpr double MinPsnrAt95 = 30.0;

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
      // Everything below is converted on reading.
      {{.name = "bmp1_mono", .bitCount = 1, .palette = Palette::Mono}, 95, 2, false},
      {{.name = "bmp2_four", .bitCount = 2, .palette = Palette::Four}, 95, 2, false},
      {{.name = "bmp4_sixteen_top_down", .bitCount = 4, .topDown = true, .palette = Palette::Sixteen}, 95, 2, false},
      {{.name = "bmp8_rle8", .bitCount = 8, .compression = 1, .palette = Palette::Colour}, 95, 2, false},
      {{.name = "bmp8_rle8_gray", .bitCount = 8, .compression = 1, .palette = Palette::InvertedGray}, 95, 2, false},
      {{.name = "bmp4_rle4", .bitCount = 4, .compression = 2, .palette = Palette::Sixteen}, 95, 2, false},
      {{.name = "bmp16_565", .bitCount = 16, .compression = 3, .masks = {0xF800, 0x7E0, 0x1F}}, 95, 2, false},
      {{.name = "bmp16_4444_v5", .bitCount = 16, .infoSize = 124, .compression = 3, .masks = {0xF00, 0xF0, 0xF, 0xF000}},
       95, 2, false},
      {{.name = "bmp32_rgba", .bitCount = 32, .compression = 6, .masks = {0xFF, 0xFF00, 0xFF0000, 0xFF000000}}, 95,
       2, false},
      {{.name = "bmp32_rgba_on_white", .bitCount = 32, .compression = 6,
        .masks = {0xFF, 0xFF00, 0xFF0000, 0xFF000000}, .white = true},
       95, 2, false},
      {{.name = "bmp32_bgra_v5_on_white", .bitCount = 32, .infoSize = 124, .compression = 3,
        .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, .white = true},
       95, 2, false},
      {{.name = "bmp16_4444_v5_on_white", .bitCount = 16, .infoSize = 124, .compression = 3,
        .masks = {0xF00, 0xF0, 0xF, 0xF000}, .white = true},
       95, 2, false},
      {{.name = "bmp32_10_10_10", .bitCount = 32, .compression = 3, .masks = {0x3FF00000, 0xFFC00, 0x3FF}}, 95, 2,
       false},
      {{.name = "bmp24_bitfields", .bitCount = 24, .compression = 3}, 95, 2, false},
      {{.name = "bmp24_os2", .infoSize = 12}, 95, 2, false},
      {{.name = "bmp8_os2_colour", .bitCount = 8, .infoSize = 12, .palette = Palette::Colour}, 95, 2, false},
      {{.name = "bmp4_os2_v2", .bitCount = 4, .infoSize = 64, .palette = Palette::Sixteen}, 95, 2, false},
      {{.name = "pbm_plain", .pnm = '1'}, 95, 2, false},
      {{.name = "pgm_plain_maxval_100", .pnm = '2', .maxval = 100}, 95, 2, false},
      {{.name = "ppm_plain_maxval_1000", .pnm = '3', .maxval = 1000}, 95, 2, false},
      {{.name = "pbm", .pnm = '4'}, 95, 2, false},
      {{.name = "pgm_16bit", .pnm = '5', .maxval = 65535}, 95, 2, false},
      {{.name = "ppm_maxval_15", .pnm = '6', .maxval = 15}, 95, 2, false},
      {{.name = "pam_gray", .pnm = '7', .tupleType = "GRAYSCALE"}, 95, 2, false},
      {{.name = "pam_gray_alpha_16bit", .pnm = '7', .maxval = 65535, .tupleType = "GRAYSCALE_ALPHA"}, 95, 2, false},
      {{.name = "pam_rgb_maxval_300", .pnm = '7', .maxval = 300, .tupleType = "RGB"}, 95, 2, false},
      {{.name = "pam_rgb_alpha", .pnm = '7', .tupleType = "RGB_ALPHA"}, 95, 2, false},
      {{.name = "pam_rgb_alpha_on_white", .pnm = '7', .tupleType = "RGB_ALPHA", .white = true}, 95, 2, false},
      {{.name = "png_gray1", .bitCount = 1, .pngType = PNG_COLOR_TYPE_GRAY}, 95, 2, false},
      {{.name = "png_gray4_interlaced", .bitCount = 4, .pngType = PNG_COLOR_TYPE_GRAY, .interlaced = true}, 95, 2,
       false},
      {{.name = "png_gray8", .bitCount = 8, .pngType = PNG_COLOR_TYPE_GRAY}, 95, 2, false},
      {{.name = "png_gray16", .bitCount = 16, .pngType = PNG_COLOR_TYPE_GRAY}, 95, 2, false},
      {{.name = "png_gray_alpha", .bitCount = 8, .pngType = PNG_COLOR_TYPE_GRAY_ALPHA}, 95, 2, false},
      {{.name = "png_gray_alpha16_on_white", .bitCount = 16, .pngType = PNG_COLOR_TYPE_GRAY_ALPHA, .white = true}, 95,
       2, false},
      {{.name = "png_rgb8", .bitCount = 8, .pngType = PNG_COLOR_TYPE_RGB}, 95, 2, false},
      {{.name = "png_rgb16_interlaced", .bitCount = 16, .pngType = PNG_COLOR_TYPE_RGB, .interlaced = true}, 95, 2,
       false},
      {{.name = "png_rgba8", .bitCount = 8, .pngType = PNG_COLOR_TYPE_RGBA}, 95, 2, false},
      {{.name = "png_rgba8_on_white", .bitCount = 8, .pngType = PNG_COLOR_TYPE_RGBA, .white = true}, 95, 2, false},
      {{.name = "png_palette1_mono", .bitCount = 1, .palette = Palette::Mono, .pngType = PNG_COLOR_TYPE_PALETTE}, 95,
       2, false},
      {{.name = "png_palette8_gray_on_white", .bitCount = 8, .palette = Palette::Gray,
        .pngType = PNG_COLOR_TYPE_PALETTE, .white = true},
       95, 2, false},
      {{.name = "png_palette4_on_white", .bitCount = 4, .palette = Palette::Sixteen,
        .pngType = PNG_COLOR_TYPE_PALETTE, .white = true},
       95, 2, false},
      {{.name = "png_palette8_interlaced", .bitCount = 8, .palette = Palette::Colour,
        .pngType = PNG_COLOR_TYPE_PALETTE, .interlaced = true},
       95, 2, false},
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
    if (c.format.white) args += "--background white ";
    const Outcome run = Exec(args + Q(dir / "in") + " " + Q(dir / "out.jpg"));
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const Bytes jpeg = ReadFile(dir / "out.jpg");

    const RgbImage shown = c.format.white ? OnWhite(held, c.format) : held;
    const RgbImage want = c.gray ? Luma(shown) : shown;
    const bool grayOut = c.gray || GrayFile(c.format);
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(jpeg, &decoded, &error)) << error;
    EXPECT_EQ(decoded.components, grayOut ? 1 : 3);
    ASSERT_EQ(decoded.width, 37);
    ASSERT_EQ(decoded.height, 23);
    EXPECT_GE(Psnr(decoded, want), c.quality == 95 && c.sampling == 2 ? MinPsnrAt95 : MinPsnr);

    // Bytes equal to the library's own encoding of the expected pixels, but
    // for compositing, whose rounding may differ by one, and the density
    // fields in the 20 bytes of SOI and APP0.
    if (c.format.white) continue;
    const int bits = grayOut ? 8 : 24;
    const Bytes dib = ToDib(want, bits, true);
    const EncodeResult direct = Encode(dib, 37, 23, bits, c.quality ? c.quality : 75, c.sampling, 1, 1, 1 << 16);
    ASSERT_EQ(direct.status, 0);
    ASSERT_EQ(jpeg.size(), direct.dstSize);
    EXPECT_TRUE(std::equal(jpeg.begin() + 20, jpeg.end(), direct.bytes.begin() + 20));
  }
}

// Rows read straight into place come in batches of 1024 from a regular
// file, and one by one from a pipe: rows on both sides of the batch
// boundaries land where they belong.
TEST_F(CommandLine, ReadsTallImagesRowForRow) {
  RgbImage tall;
  tall.width = 5;
  tall.height = 2100;
  for (int y = 0; y < tall.height; ++y) {
    for (int x = 0; x < tall.width * 3; ++x) tall.rgb.push_back(static_cast<std::uint8_t>(y * 37 % 256));
  }
  const Format formats[] = {{.name = "pgm", .pnm = '5'}, {.name = "ppm", .pnm = '6'},
                            {.name = "bmp24_top_down", .topDown = true}, {.name = "bmp32", .bitCount = 32}};
  for (const Format& f : formats) {
    SCOPED_TRACE(f.name);
    const fs::path dir = Dir(std::string("tall_") + f.name);
    WriteFile(dir / "in", WriteInput(tall, f));
    for (const std::string& in : {Q(dir / "in"), "- <" + Q(dir / "in")}) {
      const Outcome run = Exec("-q 100 -s 444 -o " + Q(dir / "out.jpg") + " " + in);
      ASSERT_EQ(run.exit, 0) << run.err;
      Decoded decoded;
      std::string error;
      ASSERT_TRUE(DecodeJpeg(ReadFile(dir / "out.jpg"), &decoded, &error)) << error;
      EXPECT_GE(Psnr(decoded, tall), 30.0);
    }
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
  WriteFile(dir / "in.ppm", WritePnm(MakeTestImage(19, 21), {.name = "ppm", .pnm = '6'}));
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

// A one-row 16-bit gray PNG of the given samples.
Bytes Gray16Png(const std::vector<std::uint32_t>& samples) {
  Bytes file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &file, AppendPng, nullptr);
  png_set_IHDR(png, info, png_uint_32(samples.size()), 1, 16, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  Bytes row = Pack(samples, 16);
  png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return file;
}

// Samples a plausible slip converts wrongly: an RLE4 run of two different
// nibbles (05 12: indexes 1 2 1 2 1), and 16-bit PNG samples where v x 255 /
// 65535 rounded differs from the high byte (0x01FF: 2, not 1; 0xFF00: 254,
// not 255) and from (v + 128) >> 8 (0x80FF: 128, not 129). The JPEG must
// equal the library's own encoding of the expected pixels.
TEST_F(CommandLine, ConvertsRunsAndWideSamplesExactly) {
  const Format rle4 = {.name = "rle4", .bitCount = 4, .compression = 2, .palette = Palette::Sixteen};
  Bytes rle4Bmp = WriteBmp(Holdable(MakeTestImage(5, 1), rle4), rle4);
  rle4Bmp.resize(rle4Bmp[10] | rle4Bmp[11] << 8);  // up to the pixel data offset
  rle4Bmp.insert(rle4Bmp.end(), {0x05, 0x12, 0, 1});
  const auto entries = PaletteEntries(Palette::Sixteen);
  RgbImage runs{.width = 5, .height = 1, .rgb = {}};
  for (int x = 0; x < 5; ++x) runs.rgb.insert(runs.rgb.end(), entries[1 + x % 2].begin(), entries[1 + x % 2].end());
  const struct {
    const char* name;
    Bytes file;
    RgbImage want;
    int bits;  // what the file goes to the encoder as
  } cases[] = {
      {"rle4_two_nibbles", rle4Bmp, runs, 24},
      {"png_gray16", Gray16Png({0x01FF, 0xFF00, 0x80FF}),
       {.width = 3, .height = 1, .rgb = {2, 2, 2, 254, 254, 254, 128, 128, 128}}, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = Dir(c.name);
    WriteFile(dir / "in", c.file);
    const Outcome run = Exec("-q 100 -s 444 " + Q(dir / "in") + " " + Q(dir / "out.jpg"));
    ASSERT_EQ(run.exit, 0) << run.err;
    const EncodeResult direct =
        Encode(ToDib(c.want, c.bits, true), c.want.width, c.want.height, c.bits, 100, 2, 1, 1, 1 << 16);
    ASSERT_EQ(direct.status, 0);
    // The 20 bytes of SOI and APP0 hold the file's resolution.
    const Bytes jpeg = ReadFile(dir / "out.jpg");
    ASSERT_EQ(jpeg.size(), direct.dstSize);
    EXPECT_TRUE(std::equal(jpeg.begin() + 20, jpeg.end(), direct.bytes.begin() + 20))
        << "not the library's encoding of the expected pixels";
  }
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


// An ICC profile header libpng accepts (monitor class, XYZ connection space,
// D50 illuminant, no tags), then filler up to `size` bytes.
Bytes MakeProfile(std::uint32_t size, const char* space, std::uint8_t seed = 1) {
  Bytes p;
  Be(&p, size, 4);
  Be(&p, 0, 4);
  Be(&p, 0x02100000, 4);
  for (const char* tag : {"mntr", space, "XYZ "}) p.insert(p.end(), tag, tag + 4);
  p.resize(36, 0);
  p.insert(p.end(), {'a', 'c', 's', 'p'});
  p.resize(68, 0);
  for (std::uint32_t v : {0xF6D6u, 0x10000u, 0xD32Du}) Be(&p, v, 4);
  p.resize(132, 0);  // the tag count at 128 stays 0
  for (std::uint32_t i = 132; i < size; ++i) p.push_back(static_cast<std::uint8_t>(i * 7 + seed));
  return p;
}

// A V5 BMP with an embedded profile after its pixels, or before them.
Bytes WithBmpProfile(Bytes bmp, const Bytes& profile, bool beforePixels) {
  const std::uint32_t pixels = bmp[10] | bmp[11] << 8;
  const std::uint32_t at = beforePixels ? pixels : std::uint32_t(bmp.size());
  bmp.insert(bmp.begin() + at, profile.begin(), profile.end());
  if (beforePixels) bmp = Patched(bmp, 10, pixels + std::uint32_t(profile.size()), 4);
  bmp = Patched(bmp, 14 + 56, 0x4D424544, 4);  // 'MBED'
  bmp = Patched(bmp, 14 + 112, at - 14, 4);
  return Patched(bmp, 14 + 116, std::uint32_t(profile.size()), 4);
}

TEST_F(CommandLine, RefusesUnsupportedInputAndLeavesNoFile) {
  const RgbImage image = MakeTestImage(9, 5);
  const Bytes bmp24 = WriteBmp(image, {.name = "bmp24"});
  const Bytes gray8 = WriteBmp(Holdable(image, {.name = "g", .bitCount = 8, .palette = Palette::Gray}),
                               {.name = "g", .bitCount = 8, .palette = Palette::Gray});
  const Format shortFormat = {.name = "s", .bitCount = 8, .palette = Palette::Short};
  const Bytes shortPalette = Patched(WriteBmp(Holdable(image, shortFormat), shortFormat), 14 + 40 + 16 * 4, 200, 1);
  const Format rle8 = {.name = "rle8", .bitCount = 8, .compression = 1, .palette = Palette::Colour};
  const Bytes rle8Bmp = WriteBmp(Holdable(image, rle8), rle8);
  const Bytes png = WritePng(image, {.name = "png", .bitCount = 8, .pngType = PNG_COLOR_TYPE_RGB});
  const Bytes bmpV5 = WriteBmp(image, {.name = "v5", .infoSize = 124});
  const Bytes bmpV5Profile = WithBmpProfile(bmpV5, MakeProfile(200, "RGB "), false);
  const Refused cases[] = {
      {"empty", {}, "empty input; supported: BMP, PNM (P1 to P6), PAM (P7), PNG, TIFF, JPEG, GIF, WebP and TGA"},
      {"unknown", Text("WXYZ1234"), "unrecognised input starting with bytes 57 58 59 5A"},
      {"png_signature_only", Bytes(png.begin(), png.begin() + 8), "truncated PNG: the file ends at byte 8"},
      {"png_cut", Bytes(png.begin(), png.end() - 30), "truncated PNG: the file ends at byte"},
      {"png_bad_crc", Patched(png, 29, 0, 1), "unreadable PNG: IHDR: CRC error"},
      {"bmp_png_inside", Patched(Patched(bmp24, 28, 0, 2), 30, 5, 4), "BMP with PNG compression (type 5)"},
      {"bmp_jpeg_inside", Patched(Patched(bmp24, 28, 0, 2), 30, 4, 4), "BMP with JPEG compression (type 4)"},
      {"bmp_profile_in_pixels", Patched(WithBmpProfile(bmpV5, MakeProfile(200, "RGB "), false), 14 + 112, 100, 4),
       "BMP whose colour profile at byte 114 overlaps its headers or pixel data"},
      {"bmp_profile_cut", Bytes(bmpV5Profile.begin(), bmpV5Profile.end() - 1),
       "truncated BMP: colour profile ends at byte"},
      {"bmp_os2_huffman", Patched(WriteBmp(image, {.name = "", .infoSize = 64}), 30, 3, 4),
       "BMP with Huffman 1D compression (type 3)"},
      {"bmp24_rle8", Patched(bmp24, 30, 1, 4), "BMP 24-bit with RLE8 compression (type 1); supported: uncompressed"},
      {"bmp_rle8_cut", Bytes(rle8Bmp.begin(), rle8Bmp.end() - 12), "truncated BMP: RLE8 data ends at byte"},
      {"bmp16_split_mask",
       Patched(WriteBmp(image, {.name = "", .bitCount = 16, .compression = 3}), 54, 0x7C01, 4),
       "BMP 16-bit with masks red 0x7C01 green 0x3E0 blue 0x1F; supported: at 16 and 32 bits, masks of one run"},
      {"bmp3", Patched(bmp24, 28, 3, 2), "BMP with 3 bits per pixel; supported: BMP with 1, 2, 4, 8, 16, 24 or 32"},
      {"bmp_header_size_20", Patched(bmp24, 14, 20, 4), "BMP with a 20-byte info header"},
      {"bmp_two_planes", Patched(bmp24, 26, 2, 2), "BMP with 2 planes"},
      {"bmp_zero_height", Patched(bmp24, 22, 0, 4), "BMP of width 9 and height 0"},
      {"bmp_truncated_header", Bytes(bmp24.begin(), bmp24.begin() + 40), "truncated BMP: 40 bytes"},
      // The top row's padding (1 byte) may be missing, not a pixel byte.
      {"bmp_truncated_pixels", Bytes(bmp24.begin(), bmp24.end() - 2),
       "truncated BMP 24-bit: pixel data ends at byte 193, file has 192"},
      // Headers that claim far more pixels than the file holds.
      {"bmp_claims_30000_square", Patched(Patched(bmp24, 18, 30000, 4), 22, 30000, 4),
       "truncated BMP 24-bit: pixel data ends at byte 2700000054"},
      {"bmp_70000_wide", Patched(bmp24, 18, 70000, 4), "image is 70000 x 5 pixels; JPEG allows at most 65535 x 65535"},
      {"ppm_over_4GiB", Text("P6 40000 40000 255\n"), "PPM of 40000 x 40000 pixels, over 4 GiB of pixels"},
      {"bmp_offset_in_header", Patched(bmp24, 10, 20, 4), "pixel data offset 20 lies inside its headers"},
      {"bmp8_index_beyond_palette", shortPalette, "BMP pixel index 200 beyond its 16-entry palette"},
      {"pgm_maxval_0", Text("P5 1 1 0\n\1"), "PGM with maxval 0; supported: maxval 1 to 65535"},
      {"pgm16_truncated", Text("P5 2 1 65535\n\1\2\3"),
       "truncated PGM maxval 65535: pixel data ends at byte 17, file has 16"},
      {"ppm_plain_out_of_range", Text("P3 1 1 255\n1 2 256\n"),
       "PPM plain with a missing, malformed or out-of-range sample in row 1"},
      {"pam_cmyk", Text("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n\1\2\3\4"),
       "PAM with TUPLTYPE CMYK and DEPTH 4"},
      {"ppm_truncated", Text("P6 2 2 255\n\1\2\3\4\5\6\7\10\11\12\13"),
       "truncated PPM: pixel data ends at byte 23, file has 22"},
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

// ---- resolution and colour profile ----

// The density fields and the ICC profile a decoder reads back, from the
// file or from the options; the --measure figure counts the profile.
TEST_F(CommandLine, CarriesResolutionAndColourProfileIntoTheJpeg) {
  const RgbImage image = MakeTestImage(20, 12);
  const Format rgbPng = {.name = "png", .bitCount = 8, .pngType = PNG_COLOR_TYPE_RGB};
  const Bytes rgbProfile = MakeProfile(500, "RGB "), bigProfile = MakeProfile(150000, "RGB ", 3);
  const Bytes grayProfile = MakeProfile(300, "GRAY"), otherProfile = MakeProfile(4000, "RGB ", 9);
  const Bytes bmp = WriteBmp(image, {.name = "bmp24"});  // 2835 pixels per metre
  const Bytes bmpV5 = WriteBmp(image, {.name = "v5", .infoSize = 124});
  const Bytes pgm = WritePnm(image, {.name = "pgm", .pnm = '5'});
  struct Case {
    const char* name;
    Bytes file;
    std::string options;  // ICC stands for a file holding `iccFile`
    Bytes iccFile;
    int exit, unit, x, y;  // unit 0 with 1 x 1 is the library's own
    Bytes profile;         // what the decoder reads back
    const char* message;   // part of stderr; "" when it must be empty
  };
  const Case cases[] = {
      {"bmp_72dpi", bmp, "", {}, 0, 1, 72, 72, {}, ""},
      {"bmp_600x300dpi", Patched(Patched(bmp, 38, 23622, 4), 42, 11811, 4), "", {}, 0, 1, 600, 300, {}, ""},
      {"bmp_no_resolution", Patched(Patched(bmp, 38, 0, 4), 42, 0, 4), "", {}, 0, 0, 1, 1, {}, ""},
      {"bmp_v5_profile_after_pixels", WithBmpProfile(bmpV5, rgbProfile, false), "", {}, 0, 1, 72, 72, rgbProfile, ""},
      {"bmp_v5_profile_before_pixels", WithBmpProfile(bmpV5, bigProfile, true), "", {}, 0, 1, 72, 72, bigProfile,
       ""},
      {"png_phys_per_metre", WritePng(image, rgbPng, {.physX = 11811, .physY = 11811}), "", {}, 0, 1, 300, 300, {},
       ""},
      {"png_phys_aspect", WritePng(image, rgbPng, {.physX = 2, .physY = 1, .physUnit = PNG_RESOLUTION_UNKNOWN}), "",
       {}, 0, 0, 2, 1, {}, ""},
      {"png_iccp_in_three_segments", WritePng(image, rgbPng, {.icc = &bigProfile}), "", {}, 0, 0, 1, 1, bigProfile,
       ""},
      {"png_srgb_adds_nothing", WritePng(image, rgbPng, {.srgb = true}), "", {}, 0, 0, 1, 1, {}, ""},
      {"png_density_option_wins", WritePng(image, rgbPng, {.physX = 11811, .physY = 11811}), "--density 150", {}, 0,
       1, 150, 150, {}, ""},
      {"pgm_density_dpcm", pgm, "--density 300x600dpcm", {}, 0, 2, 300, 600, {}, ""},
      {"png_icc_option_wins", WritePng(image, rgbPng, {.icc = &rgbProfile}), "--icc ICC", otherProfile, 0, 0, 1, 1,
       otherProfile, ""},
      {"pgm_gray_profile", pgm, "--icc ICC", grayProfile, 0, 0, 1, 1, grayProfile, ""},
      {"png_rgb_profile_as_gray", WritePng(image, rgbPng, {.icc = &rgbProfile}), "--gray", {}, 0, 0, 1, 1, {},
       "warning: ICCDIR/in: colour profile left out: ICC profile for 'RGB ' data, not for the gray image"},
      {"pgm_rgb_profile_option", pgm, "--icc ICC", rgbProfile, 1, 0, 0, 0, {},
       "ICCDIR/p.icc: ICC profile for 'RGB ' data, not for the gray image being encoded"},
      {"bad_profile_size", pgm, "--icc ICC", Patched(grayProfile, 0, 0x01000000, 4), 1, 0, 0, 0, {},
       "ICC profile of 300 bytes whose header says 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = Dir(c.name);
    WriteFile(dir / "in", c.file);
    std::string options = c.options;
    if (!c.iccFile.empty()) {
      WriteFile(dir / "p.icc", c.iccFile);
      options.replace(options.find("ICC"), 3, Q(dir / "p.icc"));
    }
    const Outcome run = Exec(options + " " + Q(dir / "in") + " " + Q(dir / "out.jpg"));
    EXPECT_EQ(run.exit, c.exit);
    std::string message = c.message;
    if (const auto at = message.find("ICCDIR"); at != std::string::npos) message.replace(at, 6, dir.string());
    EXPECT_TRUE(message.empty() ? run.err.empty() : run.err.find(message) != std::string::npos) << run.err;
    if (c.exit != 0) continue;
    const Bytes jpeg = ReadFile(dir / "out.jpg");
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(jpeg, &decoded, &error)) << error;
    EXPECT_EQ(decoded.densityUnit, c.unit);
    EXPECT_EQ(decoded.xDensity, c.x);
    EXPECT_EQ(decoded.yDensity, c.y);
    EXPECT_TRUE(decoded.iccProfile == c.profile) << decoded.iccProfile.size() << " bytes, want " << c.profile.size();
    const Outcome measure = Exec("--measure " + options + " " + Q(dir / "in"));
    EXPECT_EQ(measure.out, std::to_string(jpeg.size()) + "\n");
  }
}

// A side above 65535 is refused from the header alone (this file holds no
// pixels), and an existing output is kept. Sides of 65501 to 65535 pixels,
// which libjpeg's decoder refuses, need --allow-large.
TEST_F(CommandLine, RefusesSidesJpegCannotHoldOrDecodersRefuse) {
  const fs::path dir = Dir("wide");
  WriteFile(dir / "out.jpg", OldJpeg());
  struct Case {
    const char* header;
    const char* options;
    const char* message;  // "" when it encodes
  };
  const Case cases[] = {
      {"P5 70000 1 255\n", "--allow-large", "image is 70000 x 1 pixels; JPEG allows at most 65535 x 65535"},
      {"P5 65501 1 255\n", "", "image is 65501 x 1 pixels; decoders built on libjpeg (most viewers and libraries) "
                               "refuse sides above 65500; --allow-large encodes it all the same"},
      {"P5 1 65535 255\n", "", "image is 1 x 65535 pixels; decoders built on libjpeg"},
      {"P5 65501 1 255\n", "--allow-large", ""},
      {"P5 65500 1 255\n", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    Bytes pgm = Text(c.header);
    if (std::string(c.header) != "P5 70000 1 255\n") pgm.resize(pgm.size() + 65535, 128);
    WriteFile(dir / "in.pgm", pgm);
    const Outcome run = Exec(std::string(c.options) + " - " + Q(dir / "out.jpg") + " <" + Q(dir / "in.pgm"));
    EXPECT_EQ(run.exit, *c.message ? 1 : 0);
    EXPECT_EQ(run.err.rfind(*c.message ? "dibjpeg: standard input: " + std::string(c.message) : "", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), *c.message ? 1 : 0);
    EXPECT_EQ(ReadFile(dir / "out.jpg") == OldJpeg(), *c.message != 0);
    EXPECT_EQ(Listing(dir), (std::set<std::string>{"in.pgm", "out.jpg"}));
  }
}

TEST_F(CommandLine, RejectsBadCommandLinesAndWritesNothing) {
  struct Case {
    const char* args;  // IN and OUT stand for the input and output paths
    int exit;
    const char* message;
  };
  const Case cases[] = {
      {"-q 0 IN OUT", 2, "quality must be 1 to 100, have '0'"},
      {"--quality=101 IN OUT", 2, "quality must be 1 to 100, have '101'"},
      {"-q high IN OUT", 2, "quality must be 1 to 100, have 'high'"},
      {"-q9x IN OUT", 2, "quality must be 1 to 100, have '9x'"},
      {"-s 421 IN OUT", 2, "sampling must be 420, 422 or 444, have '421'"},
      {"--gray=yes IN OUT", 2, "option --gray takes no value"},
      {"--background black IN OUT", 2, "background must be none or white, have 'black'"},
      {"--density 0 IN OUT", 2, "density must be N[xM][dpi|dpcm], N and M 1 to 65535, have '0'"},
      {"--density 300x IN OUT", 2, "have '300x'"},
      {"--density 72dpm IN OUT", 2, "have '72dpm'"},
      {"--fast IN OUT", 2, "unknown option --fast"},
      {"-fast IN OUT", 2, "unknown option -fast"},
      {"-optimize IN OUT", 2, "unknown option -optimize: the Huffman tables are always the standard ones"},
      {"-progressive IN OUT", 2, "unknown option -progressive: the JPEG is always baseline"},
      {"-grayscale IN OUT", 2, "unknown option -grayscale: use --gray"},
      {"-sample 2x2 IN OUT", 2, "unknown option -sample: use --sampling 420, 422 or 444"},
      {"-verbose IN OUT", 2, "unknown option -verbose: errors and warnings always go to standard error"},
      {"-restart 1 IN OUT", 2, "unknown option -restart: the JPEG has no restart markers"},
      {"-smooth 10 IN OUT", 2, "unknown option -smooth: the pixels are encoded as they are"},
      {"-arithmetic IN OUT", 2, "unknown option -arithmetic: the JPEG is always Huffman-coded"},
      {"-dct float IN OUT", 2, "unknown option -dct: there is one DCT"},
      {"-oOUT IN", 2, "unknown option -o/"},
      {"-s4 IN OUT", 2, "sampling must be 420, 422 or 444, have '4'"},
      {"IN ''", 2, "OUTPUT is an empty name; give a file name, or '-' for standard output"},
      {"-o '' IN", 2, "OUTPUT is an empty name"},
      {"--output= IN", 2, "OUTPUT is an empty name"},
      {"--measure IN OUT", 2, "--measure takes one INPUT and no OUTPUT"},
      {"--measure -o OUT IN", 2, "--measure takes one INPUT and no OUTPUT"},
      {"IN OUT -q", 2, "option -q needs a value"},
      {"", 2, "need INPUT"},
      {"IN OUT OUT", 2, "one image per run: have file names"},
      {"-o OUT IN OUT", 2, "and -o; expected INPUT [OUTPUT] or -o OUTPUT INPUT"},
      {"-o OUT -outfile OUT IN", 2, "OUTPUT given twice"},
      {"--max-pixels 1e9 IN OUT", 2, "max-pixels must be a number of pixels (0: no limit), have '1e9'"},
      {"--icc IN IN OUT", 1, "not an ICC profile (no 'acsp' signature at byte 36)"},
      {"--page 0 IN OUT", 2, "page must be a number from 1, have '0'"},
      {"--page 2 IN OUT", 1, "BMP 24-bit holding 1 image: there is no page 2"},
      // Accepted spellings.
      {"-q 90 -s 444 --gray --background=white --density=300 --force --max-pixels=64 IN OUT", 0, ""},
      {"-q90 -s444 -o OUT IN", 0, ""},
      {"-quality 90 -outfile OUT IN", 0, ""},
      {"--output=OUT --allow-large IN", 0, ""},
      {"-- IN OUT", 0, ""},
      {"--page=1 IN OUT", 0, ""},
  };
  const fs::path dir = Dir("usage");
  WriteFile(dir / "in.bmp", WriteBmp(MakeTestImage(8, 8), {.name = "bmp24"}));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    std::istringstream words(c.args);
    std::string args;
    for (std::string w; words >> w;) {
      if (w.ends_with("IN")) w = w.substr(0, w.size() - 2) + Q(dir / "in.bmp");
      if (w.ends_with("OUT")) w = w.substr(0, w.size() - 3) + Q(dir / "out.jpg");
      args += w + " ";
    }
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

// JPEG data goes to a terminal only with --force; a named OUTPUT is written
// whatever standard output is.
TEST_F(CommandLine, WritesJpegToATerminalOnlyWhenForced) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  ASSERT_EQ(fcntl(terminal, F_SETFL, O_NONBLOCK), 0);
  const fs::path screen = ptsname(terminal);
  const fs::path dir = Dir("terminal");
  WriteFile(dir / "in.pgm", Text("P5 1 1 255\n\x80"));
  const std::string in = Q(dir / "in.pgm");
  struct Case {
    std::string args;
    int exit;
    bool toScreen;  // JPEG bytes reach the terminal
  };
  const Case cases[] = {
      {in, 2, false},
      {in + " -", 2, false},
      {"-q 90 - <" + in, 2, false},
      {"--force " + in, 0, true},
      {in + " " + Q(dir / "out.jpg"), 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome run = Exec(c.args, screen);
    EXPECT_EQ(run.exit, c.exit);
    if (c.exit == 2) EXPECT_NE(run.err.find("standard output is a terminal"), std::string::npos) << run.err;
    std::uint8_t shown[4096];
    const ssize_t got = read(terminal, shown, sizeof shown);
    EXPECT_EQ(got > 0, c.toScreen);
  }
  close(terminal);
  EXPECT_TRUE(fs::exists(dir / "out.jpg"));
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
  WriteFile(dir / "target.jpg", OldJpeg());
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
  // ... written as it stands: appending keeps what was there.
  WriteFile(dir / "log", Text("old"));
  EXPECT_EQ(std::system(("'" DIBJPEG_CLI "' " + in + "/dev/stdout >>" + Q(dir / "log")).c_str()), 0);
  Bytes appended = Text("old");
  appended.insert(appended.end(), want.begin(), want.end());
  EXPECT_EQ(ReadFile(dir / "log"), appended);

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
  WriteFile(dir / "ro.jpg", OldJpeg());
  fs::permissions(dir / "ro.jpg", fs::perms::owner_read);
  const Outcome readOnly = Exec(in + Q(dir / "ro.jpg"));
  if (geteuid() == 0) {
    EXPECT_EQ(readOnly.exit, 0) << readOnly.err;
    EXPECT_EQ(ReadFile(dir / "ro.jpg"), want);
  } else {
    EXPECT_EQ(readOnly.exit, 1);
    EXPECT_EQ(readOnly.err, "dibjpeg: cannot write " + (dir / "ro.jpg").string() + ": Permission denied\n");
    EXPECT_EQ(ReadFile(dir / "ro.jpg"), OldJpeg());
  }
  EXPECT_EQ(fs::status(dir / "ro.jpg").permissions(), fs::perms::owner_read);

  // No temporary file is left anywhere.
  std::set<std::string> files = {"in.pgm", "want.jpg", "fifo", "target.jpg", "link.jpg", "stdout", "log", "ro.jpg"};
  if (geteuid() == 0) files.insert("full");
  EXPECT_EQ(Listing(dir), files);
}


// ---- output that cannot be turned against its user ----

// setpriv options that run a command as user `uid` of group `gid`, with the
// extra groups `groups` (none when empty).
std::string AsUser(int uid, int gid, const std::string& groups = "") {
  return "setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(gid) +
         (groups.empty() ? " --clear-groups " : " --groups=" + groups + " ");
}

constexpr char NeedsRoot[] = "needs root: runs the program and makes files as other users through setpriv";

// OUTPUT naming INPUT's file, however it is named, is refused before a byte
// of it changes.
TEST_F(CommandLine, RefusesOutputThatIsTheInput) {
  const fs::path dir = Dir("same");
  const Bytes bmp = WriteBmp(MakeTestImage(8, 8), {.name = "bmp24"});
  WriteFile(dir / "in", bmp);
  fs::create_symlink("in", dir / "link.jpg");
  fs::create_hard_link(dir / "in", dir / "hard.jpg");
  const std::string in = Q(dir / "in");
  const struct {
    std::string args;
    std::string output;  // as the message names it
  } cases[] = {
      {in + " " + in, (dir / "in").string()},
      {"--force " + in + " " + Q(dir / "link.jpg"), (dir / "link.jpg").string()},
      {in + " " + Q(dir / "hard.jpg"), (dir / "hard.jpg").string()},
      {"- /dev/stdin <" + in, "/dev/stdin"},
      {"/dev/stdin " + Q(dir / "hard.jpg") + " <" + in, (dir / "hard.jpg").string()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome run = Exec(c.args);
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "dibjpeg: cannot write " + c.output + ": it is the input file\n");
    EXPECT_TRUE(ReadFile(dir / "in") == bmp) << "the input changed";
  }
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"in", "link.jpg", "hard.jpg"}));
}

// Another user's links in a shared sticky folder are not followed (the
// kernel's fs.protected_symlinks, which the program must not get around),
// whether they lead to a file or to a name not taken yet.
TEST_F(CommandLine, FollowsLinksInSharedFoldersOnlyAsTheKernelAllows) {
  if (geteuid() != 0) GTEST_SKIP() << NeedsRoot;
  // Debian turns the protection on at boot; a bare VM may leave it off, so
  // it is on for this test and restored after.
  const fs::path knob = "/proc/sys/fs/protected_symlinks";
  const Bytes was = ReadFile(knob);
  WriteFile(knob, Text("1"));
  struct Restore {
    const fs::path& knob;
    const Bytes& was;
    ~Restore() { WriteFile(knob, was); }
  } restore{knob, was};
  if (ReadFile(knob) != Text("1\n")) GTEST_SKIP() << "fs.protected_symlinks is off and cannot be turned on here";

  const fs::path dir = Dir("sticky_links");
  WriteFile(dir / "in.pgm", Text("P5 3 2 255\n\1\2\3\4\5\6"));
  fs::create_directories(dir / "secret");
  fs::permissions(dir / "secret", fs::perms::owner_all);
  WriteFile(dir / "secret" / "victim.conf", Text("victim"));
  fs::create_directories(dir / "shared");
  ASSERT_EQ(chmod((dir / "shared").c_str(), 01777), 0);
  for (const char* name : {"victim.conf", "created.jpg"}) {
    const std::string link = Q(dir / "shared" / name);
    ASSERT_EQ(std::system((AsUser(65534, 65534) + "ln -s " + Q(dir / "secret" / name) + " " + link).c_str()), 0);
    const Outcome run = Exec(Q(dir / "in.pgm") + " " + link);
    EXPECT_EQ(run.exit, 1);
    EXPECT_EQ(run.err, "dibjpeg: cannot write " + (dir / "shared" / name).string() + ": Permission denied\n");
  }
  EXPECT_EQ(ReadFile(dir / "secret" / "victim.conf"), Text("victim"));
  EXPECT_EQ(Listing(dir / "secret"), std::set<std::string>{"victim.conf"});
}

// An existing file is written in place: it keeps its inode, owner, group,
// mode and hard links, whoever writes it, and its folder need not be
// writable.
TEST_F(CommandLine, WritesAnExistingFileInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << NeedsRoot;
  if (Exec("--version", {}, AsUser(1001, 1001)).exit != 0) {
    GTEST_SKIP() << "other users cannot run the program or load its library from this build folder";
  }
  const fs::path dir = Dir("in_place");
  WriteFile(dir / "in.pgm", Text("P5 3 2 255\n\1\2\3\4\5\6"));
  ASSERT_EQ(Exec(Q(dir / "in.pgm") + " " + Q(dir / "want.jpg")).exit, 0);
  const Bytes want = ReadFile(dir / "want.jpg");
  fs::create_directories(dir / "shared");
  fs::permissions(dir / "shared", fs::perms::all);
  fs::create_directories(dir / "read_only");  // root's, 0755
  const struct {
    const char* name;
    fs::path file;
    uid_t owner;
    gid_t group;
    mode_t mode;
    std::string user;
  } cases[] = {
      {"group-writable file of another user", dir / "shared" / "out.jpg", 1000, 1002, 0660, AsUser(1001, 1001, "1002")},
      {"own file in a read-only folder", dir / "read_only" / "out.jpg", 1001, 1001, 0640, AsUser(1001, 1001)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(c.file, OldJpeg());
    ASSERT_EQ(chown(c.file.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(chmod(c.file.c_str(), c.mode), 0);
    fs::create_hard_link(c.file, c.file.string() + ".link");
    struct stat before, after;
    ASSERT_EQ(stat(c.file.c_str(), &before), 0);
    const Outcome run = Exec(Q(dir / "in.pgm") + " " + Q(c.file), {}, c.user);
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(ReadFile(c.file), want);
    ASSERT_EQ(stat(c.file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, c.owner);
    EXPECT_EQ(after.st_gid, c.group);
    EXPECT_EQ(after.st_mode & 07777, c.mode);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(Listing(c.file.parent_path()), (std::set<std::string>{"out.jpg", "out.jpg.link"}));
  }
}

// A write the file size limit stops (with SIGXFSZ, unless ignored) leaves no
// temporary file, no new file, and an existing file as it was. Names as long
// as the file system takes (255 bytes) are written like any other.
TEST_F(CommandLine, AStoppedWriteLeavesNothingBehindAndLongNamesWork) {
  const fs::path dir = Dir("stopped");
  WriteFile(dir / "in.ppm", WritePnm(MakeTestImage(40, 30), {.name = "ppm", .pnm = '6'}));
  const std::string in = Q(dir / "in.ppm") + " ";
  const std::string limit = "ulimit -f 1; ";  // 512 bytes, under any colour JPEG
  const Outcome created = Exec(in + Q(dir / "new.jpg"), {}, limit);
  EXPECT_EQ(created.exit, 1);
  EXPECT_EQ(created.err, "dibjpeg: cannot create " + (dir / "new.jpg").string() + ": File too large\n");
  WriteFile(dir / "old.jpg", OldJpeg());
  const Outcome replaced = Exec(in + Q(dir / "old.jpg"), {}, limit);
  EXPECT_EQ(replaced.exit, 1);
  EXPECT_EQ(replaced.err, "dibjpeg: cannot write " + (dir / "old.jpg").string() + ": File too large\n");
  EXPECT_EQ(ReadFile(dir / "old.jpg"), OldJpeg());
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"in.ppm", "old.jpg"}));

  const std::string longName(255, 'n');
  for (int pass = 0; pass < 2; ++pass) {  // a new file, then an existing one
    const Outcome run = Exec(in + Q(dir / longName));
    EXPECT_EQ(run.exit, 0) << run.err;
  }
  ASSERT_EQ(Exec(in + Q(dir / "want.jpg")).exit, 0);
  EXPECT_EQ(ReadFile(dir / longName), ReadFile(dir / "want.jpg"));
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"in.ppm", "old.jpg", "want.jpg", longName}));
}

// For a child about to run the program: openat(2) with O_TMPFILE fails, as
// on a file system without unnamed files, so the program falls back to a
// temporary name of its own.
bool RefuseUnnamedFiles() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),  // the flags' low word
      BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_TMPFILE & ~O_DIRECTORY, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EOPNOTSUPP),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program = {static_cast<unsigned short>(std::size(code)), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The temporary name a killed run may leave beside OUTPUT out.jpg.
const std::regex TempOfOut(R"(\.out\.jpg\.dibjpeg-[0-9a-f]{12})");

// A run stopped the moment anything appears in OUTPUT's folder (SIGTERM, or
// SIGKILL, with or without unnamed files) leaves OUTPUT's name holding
// nothing new, its old content or the whole JPEG, never a partial or
// zero-filled file; only SIGKILL may leave a temporary name.
TEST_F(CommandLine, ARunKilledAsItsOutputAppearsLeavesNoPartialFile) {
  const fs::path dir = Dir("killed");
  Bytes noise = Text("P6 1500 1500 255\n");  // a JPEG of megabytes, which takes a while to write
  std::mt19937 rng(5);
  for (int i = 0; i < 1500 * 1500 * 3; ++i) noise.push_back(static_cast<std::uint8_t>(rng()));
  WriteFile(dir / "in.ppm", noise);
  ASSERT_EQ(Exec("-q 100 -s 444 " + Q(dir / "in.ppm") + " " + Q(dir / "want.jpg")).exit, 0);
  const Bytes want = ReadFile(dir / "want.jpg");
  const struct {
    int signal;
    bool unnamedFiles;
    bool existing;  // OUTPUT holds OldJpeg() before
  } cases[] = {
      {SIGTERM, true, false}, {SIGKILL, true, false},  {SIGKILL, false, false},
      {SIGKILL, true, true},  {SIGKILL, false, true}, {SIGTERM, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.signal) + (c.unnamedFiles ? " unnamed" : " named") + (c.existing ? " existing" : ""));
    fs::remove_all(dir / "out");
    fs::create_directories(dir / "out");
    if (c.existing) WriteFile(dir / "out" / "out.jpg", OldJpeg());
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, (dir / "out").c_str(), IN_CREATE | IN_MOVED_TO), 0);
    const std::string in = (dir / "in.ppm").string(), out = (dir / "out" / "out.jpg").string();
    const pid_t pid = fork();
    if (pid == 0) {
      if (!c.unnamedFiles && !RefuseUnnamedFiles()) _exit(126);
      execl(DIBJPEG_CLI, DIBJPEG_CLI, "-q", "100", "-s", "444", in.c_str(), out.c_str(), nullptr);
      _exit(127);
    }
    pollfd ready = {watch, POLLIN, 0};
    const bool appeared = poll(&ready, 1, 60'000) == 1;
    kill(pid, c.signal);
    int status = 0;
    waitpid(pid, &status, 0);
    close(watch);
    ASSERT_TRUE(appeared);
    if (!WIFSIGNALED(status)) EXPECT_TRUE(ReadFile(out) == want) << "the run ended before the signal, not whole";
    for (const std::string& name : Listing(dir / "out")) {
      if (name == "out.jpg") {
        const Bytes got = ReadFile(out);
        EXPECT_TRUE(got == want || (c.existing && got == OldJpeg())) << "a partial JPEG of " << got.size() << " bytes";
      } else {
        EXPECT_EQ(c.signal, SIGKILL) << name;
        EXPECT_TRUE(std::regex_match(name, TempOfOut)) << name;
      }
    }
  }
}

// Without unnamed files, or without /proc to name them through, a new
// OUTPUT is made complete under a temporary name and linked in; an existing
// one is replaced the same way. Nothing is left beside them.
TEST_F(CommandLine, WritesWithoutUnnamedFilesOrProc) {
  const fs::path dir = Dir("fallback");
  WriteFile(dir / "in.pgm", Text("P5 3 2 255\n\1\2\3\4\5\6"));
  ASSERT_EQ(Exec(Q(dir / "in.pgm") + " " + Q(dir / "want.jpg")).exit, 0);
  const Bytes want = ReadFile(dir / "want.jpg");
  // The sanitizers' run-time reads /proc itself, so a sanitized program
  // cannot start without it.
  const bool root = geteuid() == 0 && !DIBJPEG_CLI_SANITIZED;
  const char* noProc = "unshare --mount --fork sh -c 'mount -t tmpfs none /proc && exec \"$0\" \"$@\"' ";
  for (const bool unnamedFiles : {false, true}) {
    for (const bool existing : {false, true}) {
      SCOPED_TRACE(std::string(unnamedFiles ? "no /proc" : "no unnamed files") + (existing ? ", existing" : ""));
      if (unnamedFiles && !root) continue;  // a mount namespace needs root
      fs::remove(dir / "out.jpg");
      if (existing) WriteFile(dir / "out.jpg", OldJpeg());
      int exit = -1;
      if (unnamedFiles) {
        exit = Exec(Q(dir / "in.pgm") + " " + Q(dir / "out.jpg"), {}, noProc).exit;
      } else if (const pid_t pid = fork(); pid == 0) {
        if (!RefuseUnnamedFiles()) _exit(126);
        execl(DIBJPEG_CLI, DIBJPEG_CLI, (dir / "in.pgm").c_str(), (dir / "out.jpg").c_str(), nullptr);
        _exit(127);
      } else {
        int status = 0;
        waitpid(pid, &status, 0);
        exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      EXPECT_EQ(exit, 0);
      EXPECT_EQ(ReadFile(dir / "out.jpg"), want);
      EXPECT_EQ(Listing(dir), (std::set<std::string>{"in.pgm", "want.jpg", "out.jpg"}));
    }
  }
  if (!root) GTEST_SKIP() << "the /proc-less cases need root (they run in a mount namespace) and an unsanitized program";
}

// An existing OUTPUT that is not a JPEG is replaced only with --force, and
// OUTPUT is never named as another image format: two file names of a
// wildcard never overwrite a source.
TEST_F(CommandLine, ReplacesOnlyJpegFilesUnlessForced) {
  const fs::path dir = Dir("not_jpeg");
  const Bytes bmp = WriteBmp(MakeTestImage(8, 8), {.name = "bmp24"});
  WriteFile(dir / "a.bmp", bmp);
  const std::string in = Q(dir / "a.bmp") + " ";
  const struct {
    std::string output;
    Bytes before;  // empty: no such file
    std::string options;
    int exit;
    std::string message;
  } cases[] = {
      {"b.bmp", bmp, "", 2, "OUTPUT " + (dir / "b.bmp").string() + " is named as a .bmp image; expected a .jpg, "
                            ".jpeg, .jpe or .jfif name, or one without an extension"},
      {"b.bmp", bmp, "--force ", 2, "is named as a .bmp image"},
      {"c.PNG", Text("\x89PNG"), "", 2, "is named as a .png image"},
      {"new.Tiff", {}, "", 2, "is named as a .tiff image"},
      {"new.webp", {}, "", 2, "is named as a .webp image"},
      {"notes", Text("notes"), "", 1, "not replacing " + (dir / "notes").string() +
                                          ": it exists and is not a JPEG file (--force replaces it)"},
      {"ff.jpg", Text("\xFF\xD8"), "", 1, "is not a JPEG file"},
      {"notes", Text("notes"), "--force ", 0, ""},
      {"empty.jpg", Text(""), "", 0, ""},
      {"old.JPEG", OldJpeg(), "", 0, ""},
      {"plain", {}, "", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options + c.output);
    const fs::path out = dir / c.output;
    fs::remove(out);
    if (!c.before.empty() || c.output == "empty.jpg") WriteFile(out, c.before);
    const Outcome run = Exec(c.options + in + Q(out));
    EXPECT_EQ(run.exit, c.exit);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), c.exit == 0 ? 0 : 1) << run.err;
    const Bytes after = fs::exists(out) ? ReadFile(out) : Bytes();
    if (c.exit != 0) EXPECT_EQ(after, c.before);
    if (c.exit == 0) EXPECT_TRUE(after.size() > 3 && after[0] == 0xFF && after[1] == 0xD8 && after[2] == 0xFF);
  }
}

// An existing OUTPUT longer than the JPEG ends where the JPEG ends, whether
// it is replaced (one link: owner, group, mode, ACLs and extended attributes
// go to the new file) or written in place (hard links).
TEST_F(CommandLine, ReplacesAnExistingFileWholeKeepingItsAttributes) {
  const fs::path dir = Dir("replace");
  WriteFile(dir / "in.pgm", Text("P5 3 2 255\n\1\2\3\4\5\6"));
  ASSERT_EQ(Exec(Q(dir / "in.pgm") + " " + Q(dir / "want.jpg")).exit, 0);
  const Bytes want = ReadFile(dir / "want.jpg");
  Bytes longer = OldJpeg();
  longer.resize(want.size() * 3, 'x');
  const fs::path one = dir / "one.jpg", two = dir / "two.jpg";
  WriteFile(one, longer);
  WriteFile(two, longer);
  fs::create_hard_link(two, dir / "two.link");
  ASSERT_EQ(chmod(one.c_str(), 0640), 0);
  const bool xattrs = setxattr(one.c_str(), "user.note", "kept", 4, 0) == 0;
  const bool root = geteuid() == 0;
  const bool acls = root && std::system(("setfacl -m u:1003:rw " + Q(one) + " 2>/dev/null").c_str()) == 0;
  if (root) ASSERT_EQ(chown(one.c_str(), 1000, 1002), 0);
  const auto acl = [&] {
    char value[256];
    const ssize_t n = getxattr(one.c_str(), "system.posix_acl_access", value, sizeof value);
    return std::string(value, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  };
  const std::string aclBefore = acl();
  if (acls) EXPECT_FALSE(aclBefore.empty());
  struct stat oneBefore, twoBefore, oneAfter, twoAfter;
  ASSERT_EQ(stat(one.c_str(), &oneBefore), 0);
  ASSERT_EQ(stat(two.c_str(), &twoBefore), 0);
  for (const fs::path& out : {one, two}) EXPECT_EQ(Exec(Q(dir / "in.pgm") + " " + Q(out)).exit, 0);
  EXPECT_EQ(ReadFile(one), want);
  EXPECT_EQ(ReadFile(two), want);
  EXPECT_EQ(ReadFile(dir / "two.link"), want);
  ASSERT_EQ(stat(one.c_str(), &oneAfter), 0);
  ASSERT_EQ(stat(two.c_str(), &twoAfter), 0);
  EXPECT_NE(oneAfter.st_ino, oneBefore.st_ino) << "not replaced";
  EXPECT_EQ(twoAfter.st_ino, twoBefore.st_ino) << "hard links parted";
  EXPECT_EQ(twoAfter.st_nlink, 2u);
  EXPECT_EQ(oneAfter.st_mode, oneBefore.st_mode);
  EXPECT_EQ(oneAfter.st_uid, oneBefore.st_uid);
  EXPECT_EQ(oneAfter.st_gid, oneBefore.st_gid);
  char note[8] = {};
  if (xattrs) EXPECT_EQ(getxattr(one.c_str(), "user.note", note, sizeof note), 4);
  if (xattrs) EXPECT_STREQ(note, "kept");
  EXPECT_EQ(acl(), aclBefore);
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"in.pgm", "want.jpg", "one.jpg", "two.jpg", "two.link"}));
  if (!root || !acls || !xattrs) GTEST_SKIP() << "owner, ACL or extended attribute cases need root, acl and user xattrs";
}

// On each file system, with fallocate or without (ext2), copy-on-write
// (btrfs), with reflinks (xfs) or in memory (tmpfs): a longer old file leaves no tail; a full
// disk leaves an existing OUTPUT whole and nothing beside it; a hard-linked
// file is written in place only where room is reserved, otherwise refused
// unless --force; a link from the full disk to a roomy folder writes there.
TEST_F(CommandLine, KeepsAnExistingOutputWholeOnEveryFileSystem) {
  const fs::path dir = Dir("file_systems");
  Bytes noise = Text("P6 400 400 255\n");
  std::mt19937 rng(9);
  for (int i = 0; i < 400 * 400 * 3; ++i) noise.push_back(static_cast<std::uint8_t>(rng()));
  WriteFile(dir / "big.ppm", noise);
  WriteFile(dir / "small.pgm", Text("P5 3 2 255\n\1\2\3\4\5\6"));
  const std::string big = "-q 100 -s 444 " + Q(dir / "big.ppm") + " ", small = Q(dir / "small.pgm") + " ";
  ASSERT_EQ(Exec(big + Q(dir / "big.jpg")).exit, 0);
  ASSERT_EQ(Exec(small + Q(dir / "small.jpg")).exit, 0);
  const Bytes bigJpeg = ReadFile(dir / "big.jpg"), smallJpeg = ReadFile(dir / "small.jpg");
  const struct {
    const char* name;
    const char* mkfs;
    int megabytes;
    bool reserves;  // hard-linked files are written in place
  } cases[] = {
      {"ext2", "mkfs.ext2 -q -F", 8, true},
      {"btrfs", "mkfs.btrfs -q -f -M", 32, false},
      {"xfs", "mkfs.xfs -q -f", 300, true},  // xfs takes no less than 300 MB
      {"tmpfs", "", 8, true},
  };
  std::string skipped;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path m = dir / c.name;
    if (const std::string why = Mount(c.mkfs, c.megabytes, m); !why.empty()) {
      skipped += std::string(c.name) + ": " + why + "; ";
      continue;
    }
    // Longer old files: replaced, or in place through both links.
    WriteFile(m / "one.jpg", bigJpeg);
    WriteFile(m / "two.jpg", bigJpeg);
    fs::create_hard_link(m / "two.jpg", m / "two.link");
    EXPECT_EQ(Exec(small + Q(m / "one.jpg")).exit, 0);
    EXPECT_EQ(ReadFile(m / "one.jpg"), smallJpeg);
    const Outcome linked = Exec(small + Q(m / "two.jpg"));
    EXPECT_EQ(linked.exit, c.reserves ? 0 : 1);
    if (!c.reserves) {
      EXPECT_NE(linked.err.find("has 2 hard links"), std::string::npos) << linked.err;
      EXPECT_EQ(ReadFile(m / "two.jpg"), bigJpeg);
      EXPECT_EQ(Exec("--force " + small + Q(m / "two.jpg")).exit, 0);
    }
    EXPECT_EQ(ReadFile(m / "two.jpg"), smallJpeg);
    EXPECT_EQ(ReadFile(m / "two.link"), c.reserves ? smallJpeg : bigJpeg);

    // A full disk: the big JPEG fits nowhere, and every old file stays.
    fs::remove(m / "two.link");
    fs::create_hard_link(m / "two.jpg", m / "two.link");
    fs::create_directories(dir / "roomy");
    fs::create_symlink(dir / "roomy" / (std::string(c.name) + ".jpg"), m / "link.jpg");
    std::system(("dd if=/dev/zero of=" + Q(m / "filler") + " bs=64k 2>/dev/null; sync").c_str());
    for (const char* name : {"one.jpg", "two.jpg"}) {
      const Outcome full = Exec(big + Q(m / name));
      EXPECT_EQ(full.exit, 1) << name;
      EXPECT_EQ(ReadFile(m / name), smallJpeg) << name;
    }
    EXPECT_EQ(Listing(m).count("filler"), 1u);
    const Outcome through = Exec(big + Q(m / "link.jpg"));
    EXPECT_EQ(through.exit, 0) << through.err;
    EXPECT_EQ(ReadFile(dir / "roomy" / (std::string(c.name) + ".jpg")), bigJpeg);
    std::set<std::string> names = Listing(m);
    names.erase("lost+found");
    EXPECT_EQ(names, (std::set<std::string>{"one.jpg", "two.jpg", "two.link", "filler", "link.jpg"}));
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// ---- decompression bombs ----

// A BMP declaring `side` x `side` pixels of an RLE8 (bits 8) or RLE4 (bits 4)
// gray palette whose entry 0 is white, so that skipped pixels need filling.
// Its data is one run of two pixels and, when `endMark`, the end of bitmap.
// RLE8 at 65535 x 65535 takes 1,080 bytes.
Bytes RleBomb(int bits, std::uint32_t side, bool endMark) {
  const std::uint32_t entries = 1u << bits;
  Bytes file = {'B', 'M'};
  Le(&file, 0, 4);
  Le(&file, 0, 4);
  Le(&file, 14 + 40 + 4 * entries, 4);
  for (std::uint32_t v : {40u, side, side}) Le(&file, v, 4);
  Le(&file, 1, 2);
  Le(&file, bits, 2);
  for (std::uint32_t v : {bits == 8 ? 1u : 2u, 0u, 0u, 0u, entries, 0u}) Le(&file, v, 4);
  for (std::uint32_t i = 0; i < entries; ++i) {
    const auto level = static_cast<std::uint8_t>(255 - i * (256 / entries));
    file.insert(file.end(), {level, level, level, 0});
  }
  file.insert(file.end(), {2, 0x11});
  if (endMark) file.insert(file.end(), {0, 1});
  return file;
}

// The header of an interlaced 16-bit RGB PNG `width` pixels wide, then an
// empty IDAT chunk: enough for libpng to take memory for one row.
Bytes WidePng(std::uint32_t width) {
  Bytes file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
  png_set_write_fn(png, &file, AppendPng, nullptr);
  png_set_IHDR(png, info, width, 1, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_ADAM7, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_chunk(png, reinterpret_cast<png_const_bytep>("IDAT"), nullptr, 0);
  png_destroy_write_struct(&png, &info);
  return file;
}

// Inputs that declare far more pixels than they hold are refused in well
// under a second without touching the memory they declare: by the pixel
// limit, or with the limit lifted as soon as their data ends. The address
// space is capped where the limit applies (not under AddressSanitizer, which
// reserves terabytes), and the peak memory of every run is checked.
TEST_F(CommandLine, RefusesDecompressionBombsQuicklyInLittleMemory) {
#ifdef __SANITIZE_ADDRESS__
  constexpr bool Sanitized = true;
#else
  constexpr bool Sanitized = false;
#endif
  const struct {
    const char* name;
    Bytes file;
    std::string args;  // before INPUT
    bool capped;       // address space capped at 256 MiB: the limit applies
    bool pipe;         // INPUT on standard input, its length unknown
    const char* message;
  } cases[] = {
      {"rle8_65535_square", RleBomb(8, 65535, true), "", true, false,
       "BMP 8-bit gray palette RLE8 of 65535 x 65535 pixels (4294836225), over the limit of 300000000 pixels; "
       "supported: up to 300000000 pixels (--max-pixels N raises the limit, --max-pixels 0 lifts it)\n"},
      {"rle8_cut_no_limit", RleBomb(8, 30000, false), "--max-pixels 0 ", false, false,
       "truncated BMP: RLE8 data ends at byte 1080 in row 1 of 30000; supported: complete files\n"},
      {"rle4_cut_no_limit", RleBomb(4, 30000, false), "--max-pixels=0 ", false, false,
       "truncated BMP: RLE4 data ends at byte 120 in row 1 of 30000; supported: complete files\n"},
      {"png_100000000_wide", WidePng(100'000'000), "", true, false, "image is 100000000 x 1 pixels; JPEG allows"},
      {"pgm_on_a_pipe", Text("P5 20000 20000 255\n"), "", true, true, "over the limit of 300000000 pixels"},
      {"pgm_over_a_lowered_limit", Text("P5 8 8 255\n" + std::string(64, '\x80')), "--max-pixels 63 ", true, false,
       "PGM of 8 x 8 pixels (64), over the limit of 63 pixels"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = Dir(c.name);
    WriteFile(dir / "in", c.file);
    const std::string prefix = c.capped && !Sanitized ? "ulimit -v 262144; " : "";
    const auto start = std::chrono::steady_clock::now();
    const Outcome run = Exec(c.args + (c.pipe ? "- <" : "") + Q(dir / "in") + " " + Q(dir / "out.jpg"), {}, prefix);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.exit, 1);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    // AddressSanitizer poisons and clears the shadow of every big block it
    // hands out, which for the 900 MB of a lifted limit takes seconds.
    EXPECT_LT(took.count(), Sanitized && !c.capped ? 5.0 : 1.0);
    struct rusage usage;
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    if (!Sanitized) EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "KiB at most in any run so far";
    EXPECT_EQ(Listing(dir), std::set<std::string>{"in"});
  }
}

}  // namespace
}  // namespace dibjpeg::test
