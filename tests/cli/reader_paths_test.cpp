// The readers' own decoding and fast paths. GIF frames' LZW data, from
// files built here by an LZW coder of the test's own: strings that run from
// one row into the next, a code for the string being defined, a table that
// fills and is used full without a clear code, and data that ends early or
// names a code not yet defined. TIFF rows read in place or copied from
// whole strips, against the same pixels as a PPM.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "cli_files.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

namespace fs = std::filesystem;

// The codes packed low bit first, each as wide as a decoder reads it: one
// bit over the minimum after a clear, a bit more when the next free entry
// reaches the next power of two, at most 12.
Bytes Pack(const std::vector<int>& codes, int minimum) {
  Bytes out;
  std::uint32_t acc = 0;
  int bits = 0, width = minimum + 1, next = 0;
  bool first = true;
  for (const int code : codes) {
    acc |= std::uint32_t(code) << bits;
    for (bits += width; bits >= 8; bits -= 8, acc >>= 8) out.push_back(std::uint8_t(acc));
    if (code == 1 << minimum) {
      width = minimum + 1, next = (1 << minimum) + 2, first = true;
    } else if (!first && next < 4096 && ++next == 1 << width && width < 12) {
      ++width;
    } else {
      first = false;
    }
  }
  if (bits > 0) out.push_back(std::uint8_t(acc));
  return out;
}

// The codes for `indexes`: a clear code, the longest known string each
// time, a new entry after each until the table is full, which is then kept.
std::vector<int> Lzw(const std::vector<int>& indexes, int minimum) {
  const int clear = 1 << minimum;
  std::map<std::pair<int, int>, int> table;
  std::vector<int> codes = {clear};
  int next = clear + 2, w = indexes[0];
  for (std::size_t i = 1; i < indexes.size(); ++i) {
    const auto found = table.find({w, indexes[i]});
    if (found != table.end()) {
      w = found->second;
      continue;
    }
    codes.push_back(w);
    if (next < 4096) table[{w, indexes[i]}] = next++;
    w = indexes[i];
  }
  codes.push_back(w);
  codes.push_back(clear + 1);
  return codes;
}

std::array<std::uint8_t, 3> Colour(int i) { return {std::uint8_t(10 + 15 * i), std::uint8_t(240 - 13 * i), 90}; }

// A GIF89a of one frame over the whole screen, 2^minimum colours.
Bytes Gif(int width, int height, int minimum, const std::vector<int>& codes) {
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a', std::uint8_t(width), std::uint8_t(width >> 8), std::uint8_t(height),
               std::uint8_t(height >> 8), std::uint8_t(0x80 | (minimum - 1)), 0, 0};
  for (int i = 0; i < 1 << minimum; ++i) {
    const auto c = Colour(i);
    gif.insert(gif.end(), c.begin(), c.end());
  }
  gif.insert(gif.end(), {0x2C, 0, 0, 0, 0, std::uint8_t(width), std::uint8_t(width >> 8), std::uint8_t(height),
                         std::uint8_t(height >> 8), 0, std::uint8_t(minimum)});
  const Bytes data = Pack(codes, minimum);
  for (std::size_t at = 0; at < data.size(); at += 255) {
    const std::size_t n = std::min<std::size_t>(255, data.size() - at);
    gif.push_back(std::uint8_t(n));
    gif.insert(gif.end(), data.begin() + std::ptrdiff_t(at), data.begin() + std::ptrdiff_t(at + n));
  }
  gif.insert(gif.end(), {0, 0x3B});
  return gif;
}

int Shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes `file` as dir/in.<ext> and encodes it to dir/out.jpg at quality 100, 4:4:4.
int Encode(const fs::path& dir, const Bytes& file, std::string* err, const std::string& ext = "gif") {
  const std::string in = dir.string() + "/in." + ext;
  std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
  const std::string q = "'" + dir.string() + "/";
  const int status = Shell("'" DIBJPEG_CLI "' -q 100 -s 444 '" + in + "' " + q + "out.jpg' 2>" + q + "err'");
  const Bytes text = ReadFile(dir / "err");
  err->assign(text.begin(), text.end());
  return status;
}

class ReaderPaths : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dibjpeg-readers-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(ReaderPaths, DecodesWhatItsCodesSay) {
  const struct {
    const char* name;
    int width, height, minimum;
    int (*index)(int i);
  } cases[] = {
      // Runs of one index: strings of the entry being defined, across rows.
      {"runs_across_rows", 7, 5, 2, [](int i) { return i / 9 % 3; }},
      // 60,000 pixels of 16 indexes: the table fills and stays full.
      {"full_table_kept", 300, 200, 4,
       [](int i) {
         const std::uint32_t h = std::uint32_t(i) * 2654435761u;
         return int((h ^ h >> 15) * 2246822519u >> 28);
       }},
      {"one_bit_over_two", 40, 30, 2, [](int i) { return (i % 40 < 20) == (i / 40 < 15) ? 1 : 0; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int> indexes(std::size_t(c.width) * c.height);
    RgbImage want{c.width, c.height, {}};
    for (std::size_t i = 0; i < indexes.size(); ++i) {
      indexes[i] = c.index(int(i));
      const auto rgb = Colour(indexes[i]);
      want.rgb.insert(want.rgb.end(), rgb.begin(), rgb.end());
    }
    const std::vector<int> codes = Lzw(indexes, c.minimum);
    if (c.width * c.height > 10000) EXPECT_GT(codes.size(), 8000u);  // the table fills, then serves 4000 codes
    std::string err;
    ASSERT_EQ(Encode(dir_, Gif(c.width, c.height, c.minimum, codes), &err), 0) << err;
    Decoded decoded;
    ASSERT_TRUE(DecodeJpeg(ReadFile(dir_ / "out.jpg"), &decoded, &err)) << err;
    EXPECT_GE(Psnr(decoded, want), 35.0);  // about 10 dB when a string is misplaced
  }
}

TEST_F(ReaderPaths, RefusesCodesThatEndEarlyOrAreNotDefined) {
  const struct {
    const char* name;
    std::vector<int> codes;  // for 5 x 4 pixels, 4 colours
  } cases[] = {
      {"end_code_early", {4, 1, 2, 6, 5}},
      {"code_past_the_table", {4, 1, 2, 9, 5}},
      {"string_code_first", {4, 6, 1, 5}},
      {"data_end_early", {4, 1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string err;
    fs::remove(dir_ / "out.jpg");
    EXPECT_EQ(Encode(dir_, Gif(5, 4, 2, c.codes), &err), 1);
    EXPECT_NE(err.find("unreadable GIF: frame 1: "), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir_ / "out.jpg"));
  }
}

// 1300 x 1200 RGB is 4.7 MB: in one Deflate strip it is read a row at a
// time straight into place; in strips of 16 rows (or uncompressed, which
// libtiff cuts into strips of its own) each row is copied from its strip.
TEST_F(ReaderPaths, ReadsTiffRowsInPlaceOrFromStripsAsPpm) {
  if (access("/usr/bin/tiffcp", X_OK) != 0) GTEST_SKIP() << "needs tiffcp (libtiff-tools)";
  const RgbImage image = MakeTestImage(1300, 1200);
  const std::string head = "P6\n1300 1200\n255\n";
  Bytes ppm(head.begin(), head.end());
  ppm.insert(ppm.end(), image.rgb.begin(), image.rgb.end());
  std::string err;
  ASSERT_EQ(Encode(dir_, ppm, &err, "ppm"), 0) << err;
  Decoded want;
  ASSERT_TRUE(DecodeJpeg(ReadFile(dir_ / "out.jpg"), &want, &err)) << err;
  const fs::path tif = dir_ / "t.tif";
  for (const char* options : {"-c none -r 1200", "-c zip -r 1200", "-c none -r 16", "-c zip -r 16"}) {
    SCOPED_TRACE(options);
    ASSERT_EQ(Shell("pnmtotiff -truecolor '" + (dir_ / "in.ppm").string() + "' > '" + tif.string() +
                    "' 2>/dev/null && tiffcp " + options + " '" + tif.string() + "' '" + (dir_ / "c.tif").string() +
                    "'"),
              0);
    ASSERT_EQ(Encode(dir_, ReadFile(dir_ / "c.tif"), &err, "tif"), 0) << err;
    Decoded got;
    ASSERT_TRUE(DecodeJpeg(ReadFile(dir_ / "out.jpg"), &got, &err)) << err;
    EXPECT_TRUE(got.pixels == want.pixels);
  }
}

}  // namespace
}  // namespace dibjpeg::test
