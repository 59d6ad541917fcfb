// GIF, TGA and WebP input, against an independent decoder: the files are
// written by ImageMagick and Pillow (and, for TGA variants neither writes,
// here), read by the program and by ImageMagick, and the JPEG must be the
// library's own encoding of ImageMagick's pixels (near it where alpha is
// composited, as the rounding may differ by one). Damaged files and formats
// the program does not read must be refused, saying what they are, with no
// file left behind.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "cli_files.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;

constexpr char ImageMagick[] = "/usr/bin/convert-im6.q16";
constexpr char Python[] = "/usr/bin/python3";  // Debian's, with python3-pil

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `command` in `dir`, with $IM and $PY standing for the tools.
int InDir(const fs::path& dir, const std::string& command) {
  return Shell("cd " + Q(dir) + " && IM=" + ImageMagick + " PY=" + Python + " && " + command + " 2>&1");
}

// The program's exit code and standard error.
std::pair<int, std::string> Program(const fs::path& dir, const std::string& args) {
  const int exit = Shell("'" DIBJPEG_CLI "' " + args + " 2>" + Q(dir / "err"));
  const Bytes err = ReadFile(dir / "err");
  return {exit, std::string(err.begin(), err.end())};
}

// A binary PPM as ImageMagick writes it (maxval 255, no comments).
RgbImage ReadPpm(const fs::path& path) {
  const Bytes file = ReadFile(path);
  RgbImage image;
  int used = 0;
  const std::string head(file.begin(), file.begin() + std::min<std::size_t>(file.size(), 40));
  if (std::sscanf(head.c_str(), "P6 %d %d 255%n", &image.width, &image.height, &used) != 2) return {};
  image.rgb.assign(file.begin() + used + 1, file.end());
  image.rgb.resize(std::size_t(image.width) * image.height * 3);
  return image;
}

class Formats : public testing::Test {
 protected:
  void SetUp() override {
    if (access(ImageMagick, X_OK) != 0) GTEST_SKIP() << "needs ImageMagick (" << ImageMagick << ")";
    if (Shell(std::string(Python) + " -c 'import PIL' 2>/dev/null") != 0) GTEST_SKIP() << "needs python3-pil";
    root_ = fs::temp_directory_path() / ("dibjpeg-formats-" + std::to_string(getpid()));
    fs::remove_all(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // A fresh directory holding the test image as in.ppm.
  fs::path Dir(const std::string& name) {
    const fs::path dir = root_ / name;
    fs::create_directories(dir);
    const RgbImage image = MakeTestImage(37, 23);
    const std::string head = "P6\n37 23\n255\n";
    Bytes ppm(head.begin(), head.end());
    ppm.insert(ppm.end(), image.rgb.begin(), image.rgb.end());
    WriteFile(dir / "in.ppm", ppm);
    return dir;
  }

  // Converts dir/file with `options` at quality 95, 4:4:4, and compares the
  // JPEG with ImageMagick's reading of the file (`reference`: the options
  // ImageMagick applies, the frame after them; or a command writing
  // ref-0.ppm): equal to the library's encoding of those pixels, or where
  // alpha is composited (whose rounding may differ by one) close to them.
  // ImageMagick and Pillow widen 5-bit samples v to v x 255 / 31 cut down;
  // the program rounds (as for BMP): with `fiveBit` the reference is
  // widened so.
  void ExpectLikeImageMagick(const fs::path& dir, const std::string& file, const std::string& options,
                             const std::string& reference, int frame, bool gray, bool composited,
                             bool fiveBit = false) {
    ASSERT_EQ(InDir(dir, reference.starts_with("$PY") ? reference
                                                      : "$IM " + file + " -auto-orient " + reference +
                                                            " +set comment -depth 8 +adjoin ref-%d.ppm"),
              0);
    RgbImage want = ReadPpm(dir / ("ref-" + std::to_string(frame) + ".ppm"));
    ASSERT_EQ(want.width, 37);
    for (std::uint8_t& v : want.rgb) {
      unsigned code = 0;
      while (fiveBit && code < 31 && code * 255 / 31 < v) ++code;
      if (fiveBit) v = std::uint8_t((code * 255 + 15) / 31);
    }
    const auto [exit, err] = Program(dir, "-q 95 -s 444 " + options + " " + Q(dir / file) + " " + Q(dir / "out.jpg"));
    ASSERT_EQ(exit, 0) << err;
    EXPECT_EQ(err, "");
    const Bytes jpeg = ReadFile(dir / "out.jpg");
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(jpeg, &decoded, &error)) << error;
    EXPECT_EQ(decoded.components, gray ? 1 : 3);
    ASSERT_EQ(decoded.height, 23);
    if (composited) {
      EXPECT_GE(Psnr(decoded, want), 30.0);  // 7 to 20 dB with alpha ignored or misread
      return;
    }
    const int bits = gray ? 8 : 24;
    const EncodeResult direct = Encode(ToDib(want, bits, true), 37, 23, bits, 95, 2, 1, 1, 1 << 16);
    ASSERT_EQ(jpeg.size(), direct.dstSize);
    EXPECT_TRUE(std::equal(jpeg.begin() + 20, jpeg.end(), direct.bytes.begin() + 20));
  }

  fs::path root_;
};

// ---- files the tools write ----

struct Written {
  const char* name;
  const char* file;
  const char* write;      // shell command in the case's directory; in.ppm holds the test image
  const char* options;    // for dibjpeg
  const char* reference;  // ImageMagick's options when reading the file
  int frame;              // of ImageMagick's images, from 0
  bool gray;
  bool composited;        // alpha on white
};

// Pillow: the test image, and one with an alpha gradient.
#define PIL "$PY -c \"from PIL import Image; im = Image.open('in.ppm'); "
#define PIL_ALPHA PIL "im.putalpha(Image.linear_gradient('L').resize(im.size)); "
// Pillow's reading of in.tga or out.tga, composited on white.
#define PIL_ON_WHITE \
  "$PY -c \"from PIL import Image; import glob; im = Image.open(glob.glob('*.tga')[0]).convert('RGBA'); " \
  "Image.alpha_composite(Image.new('RGBA', im.size, 'white'), im).convert('RGB').save('ref-0.ppm')\""

TEST_F(Formats, ReadsWhatTheToolsWriteAsImageMagickDoes) {
  const Written cases[] = {
      {"gif", "out.gif", "$IM in.ppm out.gif", "", "", 0, false, false},
      {"gif_interlaced", "out.gif", "$IM in.ppm -interlace GIF out.gif", "", "", 0, false, false},
      {"gif_gray", "out.gif", "$IM in.ppm -colorspace gray out.gif", "", "", 0, true, false},
      {"gif_transparent_on_white", "out.gif", PIL "im.quantize(64).save('out.gif', transparency=3)\"",
       "--background white", "-background white -alpha remove", 0, false, true},
      {"gif_pillow_frames_disposed", "out.gif",
       PIL "b = im.rotate(180); c = im.transpose(Image.FLIP_LEFT_RIGHT); "
           "im.save('out.gif', save_all=True, append_images=[b, c], disposal=[1, 2, 3])\"",
       "--page 3", "-coalesce", 2, false, false},
      // Frames over part of the screen: the second cleared to transparent,
      // the third undone, the fourth shown.
      {"gif_frames_on_white", "out.gif",
       "$IM in.ppm -colors 200 -dispose background \\( -size 12x8 xc:blue -repage +3+4 \\) "
       "-dispose previous \\( -size 9x9 xc:lime -repage +20+10 \\) \\( -size 5x5 xc:yellow -repage +1+1 \\) "
       "out.gif",
       "--page 4 --background white", "-coalesce -background white -alpha remove", 3, false, true},
      {"tga", "out.tga", "$IM in.ppm out.tga", "", "", 0, false, false},
      {"tga_rle", "out.tga", "$IM in.ppm -compress RLE out.tga", "", "", 0, false, false},
      {"tga_gray", "out.tga", "$IM in.ppm -colorspace gray out.tga", "", "", 0, true, false},
      {"tga_gray_rle", "out.tga", "$IM in.ppm -colorspace gray -compress RLE out.tga", "", "", 0, true, false},
      {"tga_mapped", "out.tga", "$IM in.ppm -type palette out.tga", "", "", 0, false, false},
      {"tga_mapped_rle", "out.tga", "$IM in.ppm -type palette -compress RLE out.tga", "", "", 0, false, false},
      {"tga32_alpha_dropped", "out.tga", PIL_ALPHA "im.save('out.tga')\"", "", "-alpha off", 0, false, false},
      {"tga32_rle_top_on_white", "out.tga", PIL_ALPHA "im.save('out.tga', compression='tga_rle', orientation=1)\"",
       "--background white", "-background white -alpha remove", 0, false, true},
      // ImageMagick misreads 16-bit gray with alpha: Pillow reads it.
      {"tga_gray_alpha_on_white", "out.tga", PIL "im = im.convert('LA'); "
       "im.putalpha(Image.linear_gradient('L').resize(im.size)); im.save('out.tga')\"",
       "--background white", PIL_ON_WHITE, 0, true, true},
      {"tga_mapped_rle_top", "out.tga", PIL "im.quantize(40).save('out.tga', compression='tga_rle', orientation=1)\"",
       "", "", 0, false, false},
      {"webp_lossy", "out.webp", "$IM in.ppm -quality 90 out.webp", "", "", 0, false, false},
      {"webp_lossless", "out.webp", "$IM in.ppm -define webp:lossless=true out.webp", "", "", 0, false, false},
      {"webp_alpha_dropped", "out.webp", PIL_ALPHA "im.save('out.webp', quality=80)\"", "", "-alpha off", 0,
       false, false},
      {"webp_alpha_on_white", "out.webp", PIL_ALPHA "im.save('out.webp', lossless=True)\"", "--background white",
       "-background white -alpha remove", 0, false, true},
      {"webp_animation_frame_2", "out.webp",
       PIL "b = im.rotate(180); c = im.transpose(Image.FLIP_LEFT_RIGHT); "
           "im.save('out.webp', save_all=True, append_images=[b, c], lossless=True)\"",
       "--page 2", "-coalesce", 1, false, false},
  };
  for (const Written& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = Dir(c.name);
    ASSERT_EQ(InDir(dir, c.write), 0);
    ExpectLikeImageMagick(dir, c.file, c.options, c.reference, c.frame, c.gray, c.composited);
  }
}

// ---- TGA variants written here ----

void Le16(Bytes* out, unsigned v) {
  out->push_back(std::uint8_t(v));
  out->push_back(std::uint8_t(v >> 8));
}

struct Tga {
  const char* name;
  int type;          // 1, 2, 3, 9, 10, 11
  int bits;          // per pixel
  int mapBits;       // colour-map entry bits, 0 without one
  int mapFirst;      // first colour-map index
  int descriptor;    // attribute bits, 0x10 right to left, 0x20 top first
  bool white;        // --background white
};

// A 5-5-5 pixel, its attribute bit set (opaque) for some colours.
unsigned To16(const std::uint8_t* p) {
  return (p[0] >> 3) << 10 | (p[1] >> 3) << 5 | p[2] >> 3 | ((p[0] + p[1]) / 32 % 3 != 0 ? 0x8000 : 0);
}

// The image as such a TGA: a colour map holds each colour once, run-length
// packets run on across rows, the ID field holds a few bytes. Alpha is a
// function of the colour (so that maps stay short).
Bytes WriteTga(const RgbImage& image, const Tga& t) {
  const int bytes = (t.bits + 7) / 8, kind = t.type & 7;
  std::vector<Bytes> entries;  // colour-map entries, as stored
  std::vector<Bytes> pixels;   // in file order
  for (int r = 0; r < image.height; ++r) {
    const int y = t.descriptor & 0x20 ? r : image.height - 1 - r;
    for (int i = 0; i < image.width; ++i) {
      const int x = t.descriptor & 0x10 ? image.width - 1 - i : i;
      const std::uint8_t* p = image.At(x, y);
      Bytes stored;
      const int bits = kind == 1 ? t.mapBits : t.bits;
      if (kind == 3) stored = {p[0], std::uint8_t(x * 7)};
      if (kind != 3 && bits <= 16) Le16(&stored, To16(p));
      if (kind != 3 && bits > 16) stored = {p[2], p[1], p[0], std::uint8_t(p[0] ^ p[1])};
      stored.resize((bits + 7) / 8);
      if (kind == 1) {
        const std::size_t at = std::find(entries.begin(), entries.end(), stored) - entries.begin();
        if (at == entries.size()) entries.push_back(stored);
        stored.clear();
        Le16(&stored, unsigned(at + t.mapFirst));
        stored.resize(bytes);
      }
      pixels.push_back(stored);
    }
  }
  const Bytes id = {'i', 'd', '!'};
  Bytes file = {std::uint8_t(id.size()), std::uint8_t(t.mapBits ? 1 : 0), std::uint8_t(t.type)};
  Le16(&file, t.mapBits ? t.mapFirst : 0);
  Le16(&file, t.mapBits ? unsigned(entries.size()) : 0);
  file.push_back(std::uint8_t(t.mapBits));
  for (unsigned v : {0u, 0u, unsigned(image.width), unsigned(image.height)}) Le16(&file, v);
  file.push_back(std::uint8_t(t.bits));
  file.push_back(std::uint8_t(t.descriptor));
  file.insert(file.end(), id.begin(), id.end());
  for (const Bytes& e : entries) file.insert(file.end(), e.begin(), e.end());
  // Repeat packets for runs, one-pixel raw packets between them (ImageMagick
  // and Pillow write longer raw packets).
  for (std::size_t i = 0, run = 1; i < pixels.size(); i += run) {
    for (run = 1; t.type >= 9 && i + run < pixels.size() && run < 128 && pixels[i + run] == pixels[i];) ++run;
    if (t.type >= 9) file.push_back(std::uint8_t(run > 1 ? 0x80 | (run - 1) : 0));
    file.insert(file.end(), pixels[i].begin(), pixels[i].end());
  }
  return file;
}

TEST_F(Formats, ReadsEveryTgaVariantAsImageMagickDoes) {
  const Tga cases[] = {
      {"rgb15", 2, 15, 0, 0, 0, false},
      {"rgb16_attribute_bit_dropped", 2, 16, 0, 0, 1, false},
      {"rgb16_attribute_bit_on_white", 10, 16, 0, 0, 1, true},
      {"rgb24_rle_right_to_left_top", 10, 24, 0, 0, 0x30, false},
      {"rgb32_right_to_left_on_white", 2, 32, 0, 0, 0x18, true},
      {"mapped16_rle_first_index_5", 9, 8, 16, 5, 0, false},
      {"mapped15_top", 1, 8, 15, 0, 0x20, false},
      {"mapped32_on_white", 1, 8, 32, 0, 8, true},
      {"gray_rle_right_to_left", 11, 8, 0, 0, 0x10, false},
      {"gray16_alpha_rle_on_white", 11, 16, 0, 0, 0x28, true},
  };
  RgbImage image = MakeTestImage(37, 23);
  for (std::size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] &= 0xE0;  // under 250 colours, long runs
  for (const Tga& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = Dir(c.name);
    WriteFile(dir / "in.tga", WriteTga(image, c));
    const bool gray = (c.type & 7) == 3, fiveBit = !gray && ((c.type & 7) == 1 ? c.mapBits : c.bits) <= 16;
    ExpectLikeImageMagick(dir, "in.tga", c.white ? "--background white" : "",
                          gray && c.bits == 16 ? PIL_ON_WHITE
                          : c.white            ? "-background white -alpha remove"
                                               : "-alpha off",
                          0, gray, c.white, fiveBit);
  }
}

// ---- refused files ----

struct Refused {
  const char* name;
  Bytes file;
  const char* options;
  const char* message;
};

Bytes Cut(const Bytes& b, std::size_t drop) { return Bytes(b.begin(), b.end() - std::ptrdiff_t(drop)); }
Bytes Patched(Bytes b, std::size_t at, std::uint8_t v) {
  b.at(at) = v;
  return b;
}

// Where the first image's LZW minimum code size is: after the screen
// descriptor, its colour table, the extensions and the image descriptor.
std::size_t LzwCodeSizeAt(const Bytes& gif) {
  std::size_t at = 13 + (gif[10] & 0x80 ? 3u << ((gif[10] & 7) + 1) : 0);
  while (gif.at(at) == 0x21) {
    for (at += 2; gif.at(at) != 0; at += gif[at] + 1) {
    }
    ++at;
  }
  const std::uint8_t flags = gif.at(at + 9);
  return at + 10 + (flags & 0x80 ? 3u << ((flags & 7) + 1) : 0);
}

TEST_F(Formats, RefusesDamagedFilesSayingWhy) {
  const fs::path tools = Dir("tools");
  ASSERT_EQ(InDir(tools, "$IM in.ppm -colors 64 a.gif && $IM in.ppm -quality 80 a.webp && "
                         "$IM in.ppm in.ppm in.ppm in.ppm anim.gif"), 0);
  const Bytes gif = ReadFile(tools / "a.gif"), webp = ReadFile(tools / "a.webp");
  RgbImage image = MakeTestImage(37, 23);
  for (std::size_t i = 0; i < image.rgb.size(); ++i) image.rgb[i] &= 0xE0;
  const Bytes raw = WriteTga(image, {"", 2, 24, 0, 0, 0, false});
  const Bytes rle = WriteTga(image, {"", 10, 24, 0, 0, 0, false});
  const Bytes mapped = WriteTga(image, {"", 1, 8, 24, 0, 0, false});
  Bytes bomb = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0x4E, 0x20, 0x4E, 24, 0};  // 20000 x 20000
  for (int i = 0; i < 100; ++i) bomb.insert(bomb.end(), {0xFF, 1, 2, 3});
  const Refused cases[] = {
      {"tga_raw_cut", Cut(raw, 5), "", "truncated TGA 24-bit true colour: pixel data ends at byte 2574, file has 2569"},
      {"tga_rle_cut", Cut(rle, 40), "", "truncated TGA: run-length data ends at byte"},
      {"tga_header_and_id_only", Bytes(raw.begin(), raw.begin() + 19), "",
       "truncated TGA: 19 bytes, shorter than its image ID"},
      {"tga_map_cut", Bytes(mapped.begin(), mapped.begin() + 40), "", "shorter than its colour map"},
      {"tga_index_outside_map", Patched(mapped, mapped.size() - 1, 250), "", "TGA pixel index 250 outside its"},
      {"tga_bomb", bomb, "", "TGA 24-bit true colour RLE of 20000 x 20000 pixels (400000000), over the limit"},
      {"gif_header_only", Bytes{'G', 'I', 'F', '8', '9', 'a', 0x25, 0}, "",
       "truncated GIF: 8 bytes, shorter than its header"},
      {"gif_cut", Cut(gif, 40), "", "truncated GIF: the file ends at byte"},
      {"gif_code_size_13", Patched(gif, LzwCodeSizeAt(gif), 13), "", "unreadable GIF: frame 1:"},
      {"gif_no_page_5", ReadFile(tools / "anim.gif"), "--page 5", "GIF holding 4 images: there is no page 5"},
      {"gif_no_page_2", gif, "--page 2", "GIF holding 1 image: there is no page 2"},
      {"webp_cut", Cut(webp, 10), "", "truncated WebP"},
      {"webp_damaged", Patched(Patched(webp, 24, 0xFF), 25, 0xFF), "", "unreadable WebP:"},
  };
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = root_ / c.name;
    fs::create_directories(dir);
    WriteFile(dir / "in", c.file);
    const auto [exit, err] = Program(dir, std::string(c.options) + " " + Q(dir / "in") + " " + Q(dir / "out.jpg"));
    EXPECT_EQ(exit, 1);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));
  }
}

// Formats the program does not read are named, from files ImageMagick writes
// where it writes them.
TEST_F(Formats, NamesTheFormatsItDoesNotRead) {
  struct Case {
    const char* name;
    const char* imageMagickFormat;  // or null: `bytes` is the file
    std::string_view bytes;
    const char* found;
  };
  const Case cases[] = {
      {"psd", "psd", ""sv, "PSD (Photoshop) image"},
      {"pcx", "pcx", ""sv, "PCX image"},
      {"ico", "ico", ""sv, "ICO (Windows icon) file"},
      {"dds", "dds", ""sv, "DDS (DirectDraw Surface) texture"},
      {"jp2", "jp2", ""sv, "JPEG 2000 image (JP2)"},
      {"heic", "heic", ""sv, "HEIF image (HEIC)"},
      {"avif", "avif", ""sv, "AVIF image"},
      {"exr", "exr", ""sv, "OpenEXR image"},
      {"j2k", nullptr, "\xFF\x4F\xFF\x51\0\x2F\0\0"sv, "JPEG 2000 codestream"},
      {"jxl", nullptr, "\xFF\x0A\xFA\x7F\x01\x90\x08"sv, "JPEG XL image"},
      {"pdf", nullptr, "%PDF-1.7\n%\xE2\xE3\xCF\xD3\n"sv, "PDF document"},
      {"ps", nullptr, "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 37 23\n"sv, "PostScript document"},
      {"eps", nullptr, "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 37 23\n"sv, "EPS (Encapsulated PostScript) file"},
      {"cur", nullptr, "\0\0\2\0\1\0\x20\x20\0\0\1\0\1\0"sv, "CUR (Windows cursor) file"},
      {"xcf", nullptr, "gimp xcf v011\0\0\0\0\x25"sv, "XCF (GIMP) image"},
      {"svg", nullptr, "<svg xmlns=\"http://www.w3.org/2000/svg\"/>"sv, "SVG drawing"},
      {"xml", nullptr, "<?xml version=\"1.0\"?>\n<svg/>"sv, "XML document (an SVG drawing, say)"},
      {"qoi", nullptr, "qoif\0\0\0\x25\0\0\0\x17\3\0"sv, "QOI image"},
      {"farbfeld", nullptr, "farbfeld\0\0\0\x25\0\0\0\x17"sv, "farbfeld image"},
      {"avi", nullptr, "RIFF\x24\0\0\0AVI LIST"sv, "RIFF file that is not WebP (AVI or WAVE, say)"},
  };
  const fs::path tools = Dir("tools");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = root_ / c.name;
    fs::create_directories(dir);
    if (c.imageMagickFormat != nullptr) {
      ASSERT_EQ(InDir(tools, "$IM in.ppm " + std::string(c.imageMagickFormat) + ":" + Q(dir / "in")), 0);
    } else {
      Bytes file(c.bytes.begin(), c.bytes.end());
      file.resize(std::max<std::size_t>(file.size(), 24));  // past any header check's length
      WriteFile(dir / "in", file);
    }
    const auto [exit, err] = Program(dir, Q(dir / "in") + " " + Q(dir / "out.jpg"));
    EXPECT_EQ(exit, 1);
    const std::string supported = "; supported: BMP, PNM (P1 to P6), PAM (P7), PNG, TIFF, JPEG, GIF, WebP and TGA";
    EXPECT_NE(err.find(": " + std::string(c.found) + supported),
              std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir / "out.jpg"));
  }
}

// The ICC profile of a WebP (ICCP chunk) and of a GIF (ICCRGBG1 extension)
// reaches the JPEG; a GIF's pixel aspect ratio becomes its density.
TEST_F(Formats, CarriesProfilesAndAspectRatio) {
  const fs::path dir = Dir("profile");
  Bytes profile(600, 0);
  for (std::size_t i = 128; i < profile.size(); ++i) profile[i] = std::uint8_t(i * 7);
  const auto put = [&](std::size_t at, const char* four) { std::copy(four, four + 4, profile.begin() + at); };
  profile[2] = 600 >> 8, profile[3] = 600 & 0xFF;
  put(12, "mntr"), put(16, "RGB "), put(20, "XYZ "), put(36, "acsp");
  std::fill(profile.begin() + 128, profile.begin() + 132, 0);  // no tags
  WriteFile(dir / "p.icc", profile);
  ASSERT_EQ(InDir(dir, PIL "im.save('out.webp', icc_profile=open('p.icc', 'rb').read())\" && "
                       "$IM in.ppm -profile p.icc out.gif"), 0);
  Bytes gif = ReadFile(dir / "out.gif");
  gif.at(12) = 113;  // pixel aspect ratio (113 + 15) / 64 = 2
  WriteFile(dir / "out.gif", gif);
  for (const char* file : {"out.webp", "out.gif"}) {
    SCOPED_TRACE(file);
    const auto [exit, err] = Program(dir, Q(dir / file) + " " + Q(dir / "out.jpg"));
    ASSERT_EQ(exit, 0) << err;
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(ReadFile(dir / "out.jpg"), &decoded, &error)) << error;
    EXPECT_EQ(decoded.iccProfile, profile);
    const bool isGif = std::string(file) == "out.gif";
    EXPECT_EQ(decoded.densityUnit, 0);
    EXPECT_EQ(decoded.xDensity, isGif ? 128 : 1);
    EXPECT_EQ(decoded.yDensity, isGif ? 64 : 1);
  }
}

}  // namespace
}  // namespace dibjpeg::test
