// TIFF and JPEG input, and CMYK through the file's profile. The files are
// written by other programs (ImageMagick, libtiff's tools, Pillow, cjpeg);
// each output must be the library's own encoding of the pixels an
// independent decoder (ImageMagick, djpeg, Pillow with lcms2) reads from the
// file. Damaged and unsupported files are refused by name, leaving no file.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "cli_files.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

namespace fs = std::filesystem;

constexpr char Magick[] = "/usr/bin/convert-im6.q16";
constexpr char CmykProfile[] = "/usr/share/color/icc/ghostscript/default_cmyk.icc";
constexpr char RgbProfile[] = "/usr/share/color/icc/ghostscript/srgb.icc";

// An 8-bit PGM or PPM as the test's RGB image (gray repeated).
bool ReadPnm(const Bytes& file, RgbImage* image, bool* gray) {
  std::string header(file.begin(), file.begin() + std::min<std::size_t>(file.size(), 40));
  char kind = 0;
  int maxval = 0, used = 0;
  if (std::sscanf(header.c_str(), "P%c %d %d %d%n", &kind, &image->width, &image->height, &maxval, &used) != 4 ||
      maxval != 255 || (kind != '5' && kind != '6')) {
    return false;
  }
  *gray = kind == '5';
  const std::size_t n = std::size_t(image->width) * image->height, at = std::size_t(used) + 1;
  if (file.size() < at + n * (*gray ? 1 : 3)) return false;
  image->rgb.clear();
  for (std::size_t i = 0; i < n; ++i) {
    for (int c = 0; c < 3; ++c) image->rgb.push_back(file[at + (*gray ? i : 3 * i + c)]);
  }
  return true;
}

class TiffJpegInput : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {Magick, "/usr/bin/tiffcp", "/usr/bin/cjpeg", "/usr/bin/djpeg", "/usr/bin/python3",
                             "/usr/bin/pnmtotiff", CmykProfile}) {
      if (!fs::exists(tool)) GTEST_SKIP() << tool << " is not installed (tools/install-deps.sh installs it)";
    }
    dir_ = fs::temp_directory_path() / ("dibjpeg-tiff-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // The source images: colour, gray, and colour with alpha falling from
    // opaque at the top to transparent at the bottom.
    const RgbImage image = MakeTestImage(37, 23);
    std::ofstream ppm(dir_ / "rgb.ppm", std::ios::binary);
    ppm << "P6 37 23 255\n";
    ppm.write(reinterpret_cast<const char*>(image.rgb.data()), std::streamsize(image.rgb.size()));
    ppm.close();
    ASSERT_EQ(Shell(std::string(Magick) + " rgb.ppm -colorspace gray gray.pgm && " + Magick +
                    " rgb.ppm \\( -size 37x23 gradient:white-black \\) -alpha off -compose copy_opacity -composite "
                    "alpha.png"),
              0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs a command in the test's folder; its exit status.
  int Shell(const std::string& command) {
    const int status = std::system(("cd " + Q(dir_) + " && (" + command + ") >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Runs the program, after `prefix` (the start of a pipe); its exit status,
  // with standard error in err_.
  int Run(const std::string& args, const std::string& prefix = "") {
    const int status =
        std::system(("cd " + Q(dir_) + " && " + prefix + "'" DIBJPEG_CLI "' " + args + " 2>err").c_str());
    const Bytes err = ReadFile(dir_ / "err");
    err_.assign(err.begin(), err.end());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The program's output for `in` must equal the library's encoding of the
  // pixels in `ref` (quality 90, 4:4:4), after any profile segments; or,
  // `approx`, be as close to them as that encoding is, within 0.5 dB.
  void ExpectEncodes(const std::string& args, const std::string& ref, const std::string& prefix = "",
                     bool approx = false) {
    ASSERT_EQ(Run("-q 90 -s 444 -o out.jpg " + args, prefix), 0) << err_;
    RgbImage want;
    bool gray = false;
    ASSERT_TRUE(ReadPnm(ReadFile(dir_ / ref), &want, &gray)) << "no 8-bit PGM or PPM from the reference decoder";
    const Bytes jpeg = ReadFile(dir_ / "out.jpg");
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(jpeg, &decoded, &error)) << error;
    EXPECT_EQ(decoded.components, gray ? 1 : 3);
    const int bits = gray ? 8 : 24;
    const EncodeResult direct = Encode(ToDib(want, bits, true), std::uint32_t(want.width),
                                       std::uint32_t(want.height), bits, 90, 2, 1, 1, 1 << 16);
    ASSERT_EQ(direct.status, 0);
    if (approx) {
      Decoded exact;
      ASSERT_TRUE(DecodeJpeg(Bytes(direct.bytes.begin(), direct.bytes.begin() + direct.dstSize), &exact, &error));
      EXPECT_GE(Psnr(decoded, want), Psnr(exact, want) - 0.5);
      return;
    }
    ASSERT_GE(jpeg.size(), direct.dstSize);
    EXPECT_TRUE(std::equal(direct.bytes.begin() + 20, direct.bytes.begin() + direct.dstSize,
                           jpeg.end() - (direct.dstSize - 20)))
        << "the output is not the encoding of the reference decoder's pixels";
    fs::remove(dir_ / "out.jpg");
  }

  fs::path dir_;
  std::string err_;
};

struct Variant {
  const char* name;
  const char* make;  // writes `in` in the test's folder
  const char* ref;   // writes ref.pnm from `in`, the independent decoder's pixels
  const char* options = "";
  bool approx = false;  // alpha: ImageMagick truncates where the program rounds
};

// ImageMagick's reading, oriented as the file says, as 8-bit PGM or PPM.
#define IM_REF "/usr/bin/convert-im6.q16 in -auto-orient -alpha off -depth 8 "
#define IM_GRAY IM_REF "pgm:ref.pnm"
#define IM_RGB IM_REF "ppm:ref.pnm"
#define IM "/usr/bin/convert-im6.q16 "
#define SRGB "/usr/share/color/icc/ghostscript/srgb.icc"
// ImageMagick's conversion of sRGB pixels to CMYK, the profile embedded.
#define TO_CMYK "-profile " SRGB " -profile /usr/share/color/icc/ghostscript/default_cmyk.icc "
// Pillow's conversion of a CMYK file to sRGB through its embedded profile,
// with lcms2 (perceptual intent).
#define PIL_CMYK                                                                                         \
  "/usr/bin/python3 -c \"import io; from PIL import Image, ImageCms; i = Image.open('in'); "           \
  "p = ImageCms.ImageCmsProfile(io.BytesIO(i.info['icc_profile'])); "                                  \
  "ImageCms.profileToProfile(i, p, ImageCms.createProfile('sRGB'), 0, 'RGB').save('ref.pnm', 'PPM')\""
#define PIL_SAVE(file, change, ...) \
  "/usr/bin/python3 -c \"from PIL import Image; Image.open('" file "')" change ".save('in', 'TIFF'" __VA_ARGS__ ")\""
#define PIL_REF(mode) \
  "/usr/bin/python3 -c \"from PIL import Image; Image.open('in').convert('" mode "').save('ref.pnm', 'PPM')\""
// libtiff's own RGBA reading, through tiff2rgba.
#define TIFF2RGBA "tiff2rgba -c none in rgba.tif && " IM "rgba.tif -alpha off -depth 8 ppm:ref.pnm"

TEST_F(TiffJpegInput, EncodesWhatIndependentDecodersRead) {
  const Variant cases[] = {
      {"tiff_rgb8_uncompressed", IM "rgb.ppm -compress none tif:in", IM_RGB},
      {"tiff_rgb8_lzw_big_endian", IM "rgb.ppm -endian MSB -compress lzw tif:in", IM_RGB},
      {"tiff_rgb8_deflate_tiled", IM "rgb.ppm t.tif && tiffcp -c zip -t -w 16 -l 16 t.tif in", IM_RGB},
      {"tiff_rgb8_packbits_bigtiff", IM "rgb.ppm t.tif && tiffcp -8 -c packbits t.tif in", IM_RGB},
      {"tiff_rgb8_jpeg_ycbcr", IM "rgb.ppm t.tif && tiffcp -c jpeg:90 t.tif in", IM_RGB},
      {"tiff_rgb8_jpeg_rgb_tiled", IM "rgb.ppm t.tif && tiffcp -c jpeg:r -t t.tif in", IM_RGB},
      {"tiff_rgb16_deflate", IM "rgb.ppm -depth 16 -compress zip tif:in", IM_RGB},
      {"tiff_rgb8_separate_planes", IM "rgb.ppm t.tif && tiffcp -p separate -r 5 -c lzw t.tif in", IM_RGB},
      {"tiff_rgba8_separate_planes_tiled", IM "alpha.png -define tiff:alpha=unassociated t.tif && "
                                           "tiffcp -p separate -t t.tif in", IM_RGB},
      {"tiff_rgb8_bottom_left", IM "rgb.ppm -orient bottom-left t.tif && tiffcp -r 5 t.tif in", IM_RGB},
      {"tiff_rgb8_bottom_right", IM "rgb.ppm -orient bottom-right t.tif && tiffcp -r 3 -c zip t.tif in", IM_RGB},
      {"tiff_rgb8_top_right_lzw", IM "rgb.ppm -orient top-right -compress lzw tif:in", IM_RGB},
      {"tiff_rgb4", IM "rgb.ppm -depth 4 tif:in", IM_RGB},
      {"tiff_rgb8_pillow", PIL_SAVE("rgb.ppm", "", ", compression='tiff_adobe_deflate'"), IM_RGB},
      {"tiff_ycbcr_pillow", PIL_SAVE("rgb.ppm", ".convert('YCbCr')"), TIFF2RGBA},
      {"tiff_gray8_deflate", IM "gray.pgm -compress zip tif:in", IM_GRAY},
      {"tiff_gray16_lzw_tiled", IM "gray.pgm -depth 16 t.tif && tiffcp -c lzw -t t.tif in", IM_GRAY},
      {"tiff_gray4", IM "gray.pgm -depth 4 tif:in", IM_GRAY},
      {"tiff_gray2_min_is_white", "pnmdepth 3 gray.pgm | pnmtotiff -miniswhite > in",
       "tifftopnm in | pnmdepth 255 > ref.pnm"},
      {"tiff_gray8_min_is_white", IM "gray.pgm -define quantum:polarity=min-is-white tif:in", IM_GRAY},
      {"tiff_bilevel_g4", IM "gray.pgm -monochrome -compress group4 tif:in", IM_GRAY},
      {"tiff_bilevel_g3_lsb_first", IM "gray.pgm -monochrome -depth 1 t.tif && tiffcp -c g3:2d -f lsb2msb t.tif in",
       IM_GRAY},
      {"tiff_bilevel_uncompressed_lsb_first", IM "gray.pgm -monochrome -depth 1 t.tif && tiffcp -f lsb2msb t.tif in",
       IM_GRAY},
      {"tiff_palette8", IM "rgb.ppm -colors 100 -type palette tif:in", TIFF2RGBA},
      {"tiff_palette4_lzw", IM "rgb.ppm -colors 12 -type palette -compress lzw tif:in", TIFF2RGBA},
      {"tiff_palette8_pillow", PIL_SAVE("rgb.ppm", ".quantize(60)"), PIL_REF("RGB")},
      {"tiff_palette_gray_pillow", PIL_SAVE("gray.pgm", ".quantize(50)"), PIL_REF("L")},
      {"tiff_rgba_unassociated", IM "alpha.png -define tiff:alpha=unassociated -compress lzw tif:in", IM_RGB},
      {"tiff_rgba_associated", IM "alpha.png -define tiff:alpha=associated tif:in", IM_RGB, "", true},
      {"tiff_rgba_unassociated_on_white", IM "alpha.png -define tiff:alpha=unassociated tif:in",
       IM "in -background white -flatten -depth 8 ppm:ref.pnm", "--background white", true},
      {"tiff_rgba_associated_on_white", IM "alpha.png -define tiff:alpha=associated tif:in",
       IM "in -background white -flatten -depth 8 ppm:ref.pnm", "--background white", true},
      {"tiff_rgba16_on_white", IM "alpha.png -depth 16 -define tiff:alpha=unassociated tif:in",
       IM "in -background white -flatten -depth 8 ppm:ref.pnm", "--background white", true},
      {"tiff_gray_alpha_on_white", IM "alpha.png -colorspace gray -define tiff:alpha=associated tif:in",
       IM "in -background white -flatten -depth 8 pgm:ref.pnm", "--background white", true},
      {"tiff_rgba_pillow", PIL_SAVE("alpha.png", ""), IM_RGB},
      {"tiff_page_2", IM "rgb.ppm a.tif && " IM "gray.pgm b.tif && tiffcp a.tif b.tif a.tif in",
       IM "in[1] -depth 8 pgm:ref.pnm", "--page 2"},
      {"tiff_cmyk", IM "rgb.ppm " TO_CMYK "tif:in", PIL_CMYK},
      {"tiff_cmyk_separate_planes", IM "rgb.ppm " TO_CMYK "t.tif && tiffcp -p separate -r 4 t.tif in",
       PIL_CMYK},
      {"tiff_cmyk_lzw_tiled", IM "rgb.ppm " TO_CMYK "t.tif && tiffcp -c lzw -t t.tif in",
       PIL_CMYK},
      {"jpeg_baseline", "cjpeg -quality 85 rgb.ppm > in", "djpeg -pnm in > ref.pnm"},
      {"jpeg_progressive", "cjpeg -progressive rgb.ppm > in", "djpeg -pnm in > ref.pnm"},
      {"jpeg_arithmetic_restarts", "cjpeg -arithmetic -restart 1 rgb.ppm > in", "djpeg -pnm in > ref.pnm"},
      {"jpeg_444_optimized", "cjpeg -sample 1x1 -optimize rgb.ppm > in", "djpeg -pnm in > ref.pnm"},
      {"jpeg_gray", "cjpeg -grayscale rgb.ppm > in", "djpeg -pnm in > ref.pnm"},
      {"jpeg_rgb", "cjpeg -rgb rgb.ppm > in", "djpeg -pnm in > ref.pnm"},
      {"jpeg_cmyk_adobe", IM "rgb.ppm " TO_CMYK "jpg:in", PIL_CMYK},
  };
  for (const Variant& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Shell(c.make), 0) << c.make;
    ASSERT_EQ(Shell(c.ref), 0) << c.ref;
    ExpectEncodes(std::string(c.options) + " in", "ref.pnm", "", c.approx);
    const bool cmyk = std::string(c.ref) == PIL_CMYK;
    EXPECT_EQ(err_, cmyk ? "dibjpeg: warning: in: colour profile left out: the CMYK profile was applied: the pixels "
                           "were converted to sRGB, which a JPEG without a profile is taken to be\n"
                         : "");
    // From a pipe, which a TIFF cannot seek in, the same.
    if (std::string(c.name).starts_with("tiff_rgb8_lzw") || c.options[0] == '-') {
      ExpectEncodes(std::string(c.options) + " -", "ref.pnm", "cat in | ", c.approx);
    }
  }
}

struct Refusal {
  const char* name;
  const char* make;     // writes `in`
  const char* message;  // part of the one line on standard error
  const char* options = "";
};

// Pillow writes its TIFF directory first, so cutting the file cuts pixels.
#define PIL_RGB_TIFF "/usr/bin/python3 -c \"from PIL import Image; Image.open('rgb.ppm').save('in', 'TIFF')\""

TEST_F(TiffJpegInput, RefusesWhatItCannotReadByNameAndWritesNothing) {
  const Refusal cases[] = {
      {"tiff_cmyk_without_profile", IM "rgb.ppm -colorspace cmyk tif:in",
       "CMYK TIFF without an embedded ICC profile: how its inks look is unknown, and the colours are not guessed"},
      {"tiff_cmyk_with_rgb_profile",
       IM "rgb.ppm -colorspace cmyk t.tif && " PIL_SAVE("t.tif", "", ", icc_profile=open('" SRGB "', 'rb').read()"),
       "CMYK TIFF: its ICC profile is for 'RGB ' data, not CMYK"},
      {"jpeg_cmyk_without_profile", IM "rgb.ppm -colorspace cmyk jpg:in", "JPEG without an embedded ICC profile"},
      {"tiff_float", PIL_SAVE("gray.pgm", ".convert('F')"), "TIFF with 32-bit floating-point samples"},
      {"tiff_lab", IM "rgb.ppm -colorspace Lab tif:in", "TIFF with CIE L*a*b* pixels"},
      {"tiff_turned", IM "rgb.ppm -orient right-top tif:in",
       "TIFF turned a quarter turn or mirrored across a diagonal (Orientation 6)"},
      {"tiff_cut_in_pixels", PIL_RGB_TIFF " && head -c 1500 in > t && mv t in",
       "truncated TIFF 8-bit RGB uncompressed: pixel data ends at byte 2693, file has 1500"},
      {"tiff_cut_in_directory", IM "rgb.ppm -compress lzw t.tif && head -c 300 t.tif > in",
       "unreadable TIFF: Can not read TIFF directory count"},
      {"tiff_damaged_lzw", IM "rgb.ppm -compress lzw tif:in && printf '\\377\\377\\377\\377\\0\\0\\0\\0' | "
                           "dd of=in bs=1 seek=20 conv=notrunc",
       "unreadable TIFF: "},
      {"tiff_header_only", "printf 'II*\\0\\100\\0\\0\\0' > in", "unreadable TIFF: "},
      // Found by fuzzing: a directory libtiff reads on opening but counts no
      // directories after, once taken for a success with no pixels.
      {"tiff_no_directory_counted",
       "/usr/bin/python3 -c \"import sys; open('in', 'wb').write(bytes.fromhex(sys.argv[1]))\" "
       "49492a00080000000b000001040001000000050000000101040001000000030000000301030001000000010000002301"
       "0300010000000200000011010400010000009a002000154103000100ffffffffffffffff04000100000003001ec3ff8c"
       "1ea5ffb41e87ff146ed7ff3c6eb9ff646e9bff8c6e7dffb46e5fff14beafff3cbe91ff64be73ff8cbe55ffb4be36ff",
       "truncated TIFF 1-bit gray uncompressed"},
      {"tiff_no_page_3", IM "rgb.ppm a.tif && tiffcp a.tif a.tif in", "TIFF holding 2 images: there is no page 3",
       "--page 3"},
      {"jpeg_cut", "cjpeg rgb.ppm | head -c 500 > in", "truncated JPEG: the file ends at byte 500"},
      {"jpeg_damaged", "cjpeg rgb.ppm > in && printf '\\377\\331' | dd of=in bs=1 seek=$(($(stat -c %s in) - 100)) "
                       "conv=notrunc",
       "damaged JPEG: Corrupt JPEG data"},
      {"jpeg_header_only", "printf '\\377\\330\\377\\340\\0\\20JFIF' > in", "truncated JPEG"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(dir_ / "out.jpg");
    ASSERT_EQ(Shell(c.make), 0) << c.make;
    EXPECT_EQ(Run(std::string(c.options) + " in out.jpg"), 1);
    EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
    EXPECT_EQ(err_.rfind("dibjpeg: in: ", 0), 0u) << err_;
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
    EXPECT_FALSE(fs::exists(dir_ / "out.jpg"));
  }
}

// The resolution (TIFF's and JFIF's, in inches or centimetres) and the ICC
// profile reach the JPEG; a CMYK file's profile, once applied, does not.
TEST_F(TiffJpegInput, CarriesResolutionAndProfile) {
  const Bytes srgb = ReadFile(RgbProfile);
  struct Case {
    const char* name;
    const char* make;
    int unit, x, y;
    bool profile;
  } const cases[] = {
      {"tiff_300_dpi_profile", IM "rgb.ppm -units PixelsPerInch -density 300x150 -profile " SRGB " tif:in", 1, 300,
       150, true},
      {"tiff_40_per_cm", IM "gray.pgm -units PixelsPerCentimeter -density 40 tif:in", 2, 40, 40, false},
      {"jpeg_200_dpi_profile", IM "rgb.ppm -units PixelsPerInch -density 200 -profile " SRGB " jpg:in", 1, 200, 200,
       true},
      {"tiff_cmyk_72_dpi", IM "rgb.ppm -units PixelsPerInch -density 72 " TO_CMYK "tif:in", 1, 72, 72, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Shell(c.make), 0) << c.make;
    ASSERT_EQ(Run("in out.jpg"), 0) << err_;
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(ReadFile(dir_ / "out.jpg"), &decoded, &error)) << error;
    EXPECT_EQ(decoded.densityUnit, c.unit);
    EXPECT_EQ(decoded.xDensity, c.x);
    EXPECT_EQ(decoded.yDensity, c.y);
    EXPECT_EQ(decoded.iccProfile, c.profile ? srgb : Bytes());
  }
}

}  // namespace
}  // namespace dibjpeg::test
