// What an input costs beyond its pixels, and what of it reaches the JPEG:
// PNG chunks the program needs none of, colour profiles carried or left
// out with a warning, alpha in the fourth byte of 32-bit BMPs, and the APP2
// segments a profile takes. The files are written byte by byte (zlib for
// PNG) and the program is run the way a user runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "cli_files.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t MaxIccProfile = 255 * 65519;  // what 255 APP2 segments hold

void Be(Bytes* out, std::uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Le(Bytes* out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void Append(Bytes* out, const Bytes& more) { out->insert(out->end(), more.begin(), more.end()); }
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Deflate(const Bytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), 9), Z_OK);
  out.resize(size);
  return out;
}

Bytes Chunk(const char* type, const Bytes& data) {
  Bytes out;
  Be(&out, static_cast<std::uint32_t>(data.size()), 4);
  const std::size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  Append(&out, data);
  Be(&out, static_cast<std::uint32_t>(crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))), 4);
  return out;
}

// An 8-bit PNG of 16 x 8 pixels, gray (type 0) or RGB (type 2), with
// `ancillary` chunks between IHDR and IDAT.
Bytes Png(int type, const Bytes& ancillary) {
  const int channels = type == 2 ? 3 : 1;
  Bytes file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}, header, rows;
  for (std::uint32_t v : {16u, 8u}) Be(&header, v, 4);
  header.insert(header.end(), {8, std::uint8_t(type), 0, 0, 0});
  Append(&file, Chunk("IHDR", header));
  Append(&file, ancillary);
  for (int y = 0; y < 8; ++y) {
    rows.push_back(0);
    for (int x = 0; x < 16 * channels; ++x) rows.push_back(static_cast<std::uint8_t>(x * 13 + y * 29));
  }
  Append(&file, Chunk("IDAT", Deflate(rows)));
  Append(&file, Chunk("IEND", {}));
  return file;
}

// An ICC profile header (monitor class, XYZ connection space, D50), then
// filler up to `size` bytes.
Bytes Profile(std::uint32_t size, const char* space) {
  Bytes p;
  for (std::uint32_t v : {size, 0u, 0x02100000u}) Be(&p, v, 4);
  for (const char* tag : {"mntr", space, "XYZ "}) p.insert(p.end(), tag, tag + 4);
  p.resize(36, 0);
  p.insert(p.end(), {'a', 'c', 's', 'p'});
  p.resize(68, 0);
  for (std::uint32_t v : {0xF6D6u, 0x10000u, 0xD32Du}) Be(&p, v, 4);
  p.resize(132, 0);
  for (std::uint32_t i = 132; i < size; ++i) p.push_back(static_cast<std::uint8_t>(i * 7 + 1));
  return p;
}

Bytes Iccp(const Bytes& profile) {
  Bytes data = Text("icc");
  data.insert(data.end(), {0, 0});
  Append(&data, Deflate(profile));
  return Chunk("iCCP", data);
}

// A bottom-up 32-bit BI_RGB BMP of 16 x 8 pixels, B G R and a fourth byte
// per pixel; with a V5 header when `profileSize` is set, which declares an
// embedded profile of that size that the file does not hold.
Bytes Bmp32(const std::vector<std::array<std::uint8_t, 4>>& pixels, std::uint32_t profileSize = 0) {
  const std::uint32_t info = profileSize != 0 ? 124 : 40;
  Bytes file = {'B', 'M'};
  for (std::uint32_t v : {14 + info + 512, 0u, 14 + info}) Le(&file, v, 4);
  for (std::uint32_t v : {info, 16u, 8u}) Le(&file, v, 4);
  Le(&file, 1, 2);
  Le(&file, 32, 2);
  for (std::uint32_t v : {0u, 512u, 2835u, 2835u, 0u, 0u}) Le(&file, v, 4);
  if (profileSize != 0) {
    file.resize(14 + 56, 0);
    Le(&file, 0x4D424544, 4);  // 'MBED'
    file.resize(14 + 112, 0);
    for (std::uint32_t v : {info + 512, profileSize, 0u}) Le(&file, v, 4);
  }
  for (const auto& p : pixels) file.insert(file.end(), p.begin(), p.end());
  return file;
}

class InputCost : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dibjpeg-input-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs the program on `file` (`prefix` may set limits); the JPEG it
  // wrote, its exit code and standard error.
  struct Run {
    int exit = -1;
    std::string err;
    Bytes jpeg;
  };
  Run Encode(const Bytes& file, const std::string& options = "", const std::string& prefix = "") {
    WriteFile(dir_ / "in", file);
    fs::remove(dir_ / "out.jpg");
    const std::string command = prefix + "'" DIBJPEG_CLI "' " + options + " " + Q(dir_ / "in") + " " +
                                Q(dir_ / "out.jpg") + " 2>" + Q(dir_ / "err");
    const int status = std::system(command.c_str());
    Run run;
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const Bytes err = ReadFile(dir_ / "err");
    run.err.assign(err.begin(), err.end());
    run.jpeg = ReadFile(dir_ / "out.jpg");
    return run;
  }

  fs::path dir_;
};

// A PNG of 8 x 8 pixels whose chunks inflate to gigabytes: compressed text
// (zTXt, iTXt), plain text, a suggested palette and chunks of no known type,
// none of which the program needs. Encoding it stays within 128 MiB of
// address space (not under AddressSanitizer, which reserves terabytes) and
// a few seconds.
TEST_F(InputCost, PngChunksThatInflateToGigabytesCostNothing) {
#ifdef __SANITIZE_ADDRESS__
  constexpr bool Sanitized = true;
#else
  constexpr bool Sanitized = false;
#endif
  const Bytes zeros = Deflate(Bytes(8'000'000, 0));  // 8 MB of text in 8 KB
  Bytes chunks;
  for (int i = 0; i < 200; ++i) {
    Bytes z = Text("Comment" + std::to_string(i));
    z.insert(z.end(), {0, 0});
    Append(&z, zeros);
    Append(&chunks, Chunk("zTXt", z));
    Bytes it = Text("XML");
    it.insert(it.end(), {0, 1, 0, 0, 0});
    Append(&it, zeros);
    Append(&chunks, Chunk("iTXt", it));
  }
  Bytes text = Text("Big");
  text.resize(4'000'000, 'x');
  Append(&chunks, Chunk("tEXt", text));
  Append(&chunks, Chunk("sPLT", Bytes(3'000'000, 8)));
  Append(&chunks, Chunk("prVt", Bytes(3'000'000, 1)));
  const auto start = std::chrono::steady_clock::now();
  const Run run = Encode(Png(2, chunks), "", Sanitized ? "" : "ulimit -v 131072; ");
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_LT(took.count(), 10.0) << "seconds: the chunks were inflated";
  Decoded decoded;
  std::string error;
  ASSERT_TRUE(DecodeJpeg(run.jpeg, &decoded, &error)) << error;
  EXPECT_EQ(decoded.width, 16);
}

// Every embedded profile up to what a JPEG holds is carried; one that does
// not reach the JPEG is named in a warning, and the image is encoded.
TEST_F(InputCost, ProfilesAreCarriedOrLeftOutWithAWarning) {
  const Bytes rgb10mb = Profile(10'000'000, "RGB "), rgbMax = Profile(MaxIccProfile, "RGB ");
  const Bytes gray = Profile(600, "GRAY"), rgb = Profile(600, "RGB ");
  std::vector<std::array<std::uint8_t, 4>> pixels(128, {10, 20, 30, 0});
  const struct {
    const char* name;
    Bytes file;
    const char* options;
    Bytes profile;        // what the JPEG carries
    const char* warning;  // "" when none
  } cases[] = {
      {"png_10mb_rgb", Png(2, Iccp(rgb10mb)), "", rgb10mb, ""},
      {"png_largest_rgb", Png(2, Iccp(rgbMax)), "", rgbMax, ""},
      {"png_gray", Png(0, Iccp(gray)), "", gray, ""},
      {"png_one_byte_over", Png(2, Iccp(Profile(MaxIccProfile + 1, "RGB "))), "", {},
       "colour profile left out: ICC profile of 16707346 bytes; a JPEG holds at most 16707345\n"},
      {"png_rgb_profile_on_gray", Png(0, Iccp(rgb)), "", {},
       "colour profile left out: libpng did not take the iCCP chunk: profile 'icc': 'RGB ': RGB color space not "
       "permitted on grayscale PNG\n"},
      {"png_gray_profile_on_rgb", Png(2, Iccp(gray)), "", {},
       "colour profile left out: libpng did not take the iCCP chunk: profile 'icc': 'GRAY': Gray color space not "
       "permitted on RGB PNG\n"},
      {"png_corrupt_profile", Png(2, Chunk("iCCP", Text(std::string("icc\0\0", 5) + "not zlib data"))), "", {},
       "colour profile left out: libpng did not take the iCCP chunk: "},
      {"png_rgb_profile_as_gray", Png(2, Iccp(rgb)), "--gray", {},
       "colour profile left out: ICC profile for 'RGB ' data, not for the gray image being encoded\n"},
      {"bmp_v5_over_the_limit", Bmp32(pixels, MaxIccProfile + 1), "", {},
       "colour profile left out: ICC profile of 16707346 bytes; a JPEG holds at most 16707345\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Run run = Encode(c.file, c.options);
    EXPECT_EQ(run.exit, 0) << run.err;
    if (c.warning[0] == '\0') {
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_EQ(run.err.rfind("dibjpeg: warning: " + (dir_ / "in").string() + ": " + c.warning, 0), 0u) << run.err;
    }
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(run.jpeg, &decoded, &error)) << error;
    EXPECT_TRUE(decoded.iccProfile == c.profile) << decoded.iccProfile.size() << " bytes";
  }
}

// The markers of a JPEG up to SOS: (code, length field).
std::vector<std::pair<int, int>> Markers(const Bytes& jpeg) {
  std::vector<std::pair<int, int>> markers = {{jpeg.at(1), 0}};
  for (std::size_t at = 2; at + 4 <= jpeg.size() && jpeg[at] == 0xFF;) {
    const int length = jpeg[at + 2] << 8 | jpeg[at + 3];
    markers.push_back({jpeg[at + 1], length});
    if (jpeg[at + 1] == 0xDA) break;
    at += 2 + length;
  }
  return markers;
}

// A profile of 65519 bytes fills one APP2 segment exactly, right after
// APP0; one byte more takes two. Everything else is the plain JPEG's, byte
// for byte.
TEST_F(InputCost, ProfileSegmentsSitAfterApp0AndCostTheirBytes) {
  const Bytes ppm = [] {
    Bytes file = Text("P6 16 8 255\n");
    for (int i = 0; i < 16 * 8 * 3; ++i) file.push_back(static_cast<std::uint8_t>(i * 5));
    return file;
  }();
  const Bytes plain = Encode(ppm).jpeg;
  const auto plainMarkers = Markers(plain);
  ASSERT_GE(plainMarkers.size(), 3u);
  ASSERT_EQ(plainMarkers[1], std::make_pair(0xE0, 16));
  for (const std::uint32_t size : {65519u, 65520u}) {
    SCOPED_TRACE(size);
    const Bytes profile = Profile(size, "RGB ");
    WriteFile(dir_ / "p.icc", profile);
    const Run run = Encode(ppm, "--icc " + Q(dir_ / "p.icc"));
    ASSERT_EQ(run.exit, 0) << run.err;
    const std::uint32_t segments = size == 65519 ? 1 : 2;
    EXPECT_EQ(run.jpeg.size(), plain.size() + size + 18 * segments);
    auto want = plainMarkers;
    want.insert(want.begin() + 2, {0xE2, 65535});
    if (segments == 2) want.insert(want.begin() + 3, {0xE2, 2 + 14 + 1});
    EXPECT_EQ(Markers(run.jpeg), want);
    const std::size_t segmentBytes = run.jpeg.size() - plain.size();
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 20, run.jpeg.begin()));
    EXPECT_TRUE(std::equal(plain.begin() + 20, plain.end(), run.jpeg.begin() + 20 + segmentBytes));
    EXPECT_EQ(run.jpeg[20 + 4 + 12], 1);  // sequence number
    EXPECT_EQ(run.jpeg[20 + 4 + 13], segments);
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(run.jpeg, &decoded, &error)) << error;
    EXPECT_TRUE(decoded.iccProfile == profile);
  }
}

// In a 32-bit BI_RGB BMP the fourth byte is alpha unless it is 0 in every
// pixel: --background white composites it. The left half of each image is
// black with the fourth byte `left`, the right half red with `right`.
TEST_F(InputCost, FourthByteOfA32BitBmpIsAlphaUnlessAllZero) {
  const struct {
    const char* name;
    std::uint8_t left, right;
    const char* options;
    int leftGray;  // the left half's gray level once decoded
  } cases[] = {
      {"transparent_and_opaque", 0, 255, "--background white", 255},
      {"half_transparent", 128, 255, "--background white", 127},
      {"all_zero_is_no_alpha", 0, 0, "--background white", 0},
      {"all_opaque", 255, 255, "--background white", 0},
      {"alpha_dropped_by_default", 0, 255, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::array<std::uint8_t, 4>> pixels;
    for (int i = 0; i < 128; ++i) {
      pixels.push_back(i % 16 < 8 ? std::array<std::uint8_t, 4>{0, 0, 0, c.left}
                                  : std::array<std::uint8_t, 4>{0, 0, 255, c.right});
    }
    const Run run = Encode(Bmp32(pixels), std::string(c.options) + " --gray");
    ASSERT_EQ(run.exit, 0) << run.err;
    Decoded decoded;
    std::string error;
    ASSERT_TRUE(DecodeJpeg(run.jpeg, &decoded, &error)) << error;
    ASSERT_EQ(decoded.components, 1);
    const int red = (77 * 255 + 128) >> 8;  // the red half, opaque throughout
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 16; ++x) {
        EXPECT_NEAR(decoded.pixels[y * 16 + x], x < 8 ? c.leftGray : red, 3) << x << "," << y;
      }
    }
  }
}

}  // namespace
}  // namespace dibjpeg::test
