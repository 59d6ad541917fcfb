// Uncompressed bottom-up BMPs whose rows the encoder takes as stored are
// mapped instead of read when huge pages are not offered
// (DIBJPEG_HUGE_PAGES=0 says so here): the JPEG must be the one the copy
// gives, for every variant the mapping takes, and a file cut short while it
// is mapped (cut_mapped_input, preloaded, cuts it right after the mapping)
// must fail with a message, never with SIGBUS. Variants that are not mapped
// shrug the cut off, as the file was read before it. MapFileBytes itself
// is called in the test's process to see the mapping released.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "input/image.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

namespace fs = std::filesystem;

void Le(Bytes* out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// A BMP of 37 x 19 pixels (rows padded but at 32 bits) and `bits` bits: 8
// with the 256 grays in order as its palette, 32 with the standard masks
// when `bitfields`. `rows` lies about the height when not 0; `topDown`
// stores the rows top first; `shortLast` leaves out the last row's padding;
// `fourth` is the fourth byte of 32-bit pixels.
struct BmpShape {
  int bits = 24;
  bool bitfields = false;
  bool topDown = false;
  bool shortLast = false;
  std::uint32_t rows = 0;
  std::uint8_t fourth = 0;
};

Bytes Bmp(const BmpShape& shape) {
  constexpr std::uint32_t Width = 37, Height = 19;
  const std::uint32_t stride = (Width * shape.bits + 31) / 32 * 4;
  const std::uint32_t extra = shape.bits == 8 ? 1024 : shape.bitfields ? 12 : 0;
  Bytes file = {'B', 'M'};
  for (std::uint32_t v : {0u, 0u, 54 + extra}) Le(&file, v, 4);
  const std::uint32_t height = shape.rows != 0 ? shape.rows : Height;
  for (std::uint32_t v : {40u, Width, shape.topDown ? std::uint32_t(-std::int32_t(height)) : height}) Le(&file, v, 4);
  Le(&file, 1, 2);
  Le(&file, static_cast<std::uint32_t>(shape.bits), 2);
  for (std::uint32_t v : {shape.bitfields ? 3u : 0u, 0u, 2835u, 2835u, 0u, 0u}) Le(&file, v, 4);
  if (shape.bitfields) {
    for (std::uint32_t v : {0xFF0000u, 0xFF00u, 0xFFu}) Le(&file, v, 4);
  }
  for (std::uint32_t i = 0; shape.bits == 8 && i < 256; ++i) Le(&file, i * 0x010101u, 4);
  for (std::uint32_t y = 0; y < Height; ++y) {
    const std::size_t start = file.size();
    for (std::uint32_t x = 0; x < Width; ++x) {
      const std::uint8_t v = static_cast<std::uint8_t>(x * 7 + y * 13);
      if (shape.bits == 8) file.push_back(v);
      if (shape.bits >= 24) file.insert(file.end(), {v, std::uint8_t(255 - v), std::uint8_t(x * 31)});
      if (shape.bits == 32) file.push_back(shape.fourth);
    }
    if (!shape.shortLast || y + 1 < Height) file.resize(start + stride, 0x5A);  // padding the encoder skips
  }
  return file;
}

class MappedInput : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("dibjpeg-mapped-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  struct Run {
    int exit = -1;  // -1: killed by a signal
    std::string err;
    Bytes jpeg;
  };
  Run Encode(const Bytes& file, const std::string& options, const std::string& environment) {
    std::ofstream(dir_ / "in.bmp", std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
    fs::remove(dir_ / "out.jpg");
    const std::string command = environment + " '" DIBJPEG_CLI "' " + options + " '" + (dir_ / "in.bmp").string() +
                                "' '" + (dir_ / "out.jpg").string() + "' 2>'" + (dir_ / "err").string() + "'";
    const int status = std::system(command.c_str());
    Run run;
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(dir_ / "err"), jpeg(dir_ / "out.jpg", std::ios::binary);
    run.err.assign(std::istreambuf_iterator<char>(err), {});
    run.jpeg.assign(std::istreambuf_iterator<char>(jpeg), {});
    return run;
  }

  fs::path dir_;
};

constexpr char Mapped[] = "DIBJPEG_HUGE_PAGES=0";
constexpr char MappedAndCut[] =
    "DIBJPEG_HUGE_PAGES=0 ASAN_OPTIONS=\"$ASAN_OPTIONS:verify_asan_link_order=0\" LD_PRELOAD='" CUT_MAPPED_INPUT "'";

TEST_F(MappedInput, GivesTheCopysJpegAndACutFileFailsCleanly) {
  const struct {
    const char* name;
    BmpShape shape;
    const char* options;
    bool mapped;
  } cases[] = {
      {"24-bit", {24}, "", true},
      {"24-bit as gray", {24}, "--gray", true},
      {"32-bit BI_RGB", {32}, "", true},
      {"32-bit BI_RGB alpha on white", {32, false, false, false, 0, 100}, "--background white", true},
      {"32-bit BI_RGB fourth byte 0 on white", {32}, "--background white", true},
      {"32-bit standard bit fields", {32, true}, "-s 444", true},
      {"8-bit the grays in order", {8}, "", true},
      {"24-bit top-down", {24, false, true}, "", false},
      {"24-bit last row unpadded", {24, false, false, true}, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = Bmp(c.shape);
    const Run copied = Encode(file, c.options, "");
    const Run mapped = Encode(file, c.options, Mapped);
    ASSERT_EQ(copied.exit, 0) << copied.err;
    ASSERT_EQ(mapped.exit, 0) << mapped.err;
    ASSERT_GT(copied.jpeg.size(), 100u);
    EXPECT_EQ(mapped.jpeg, copied.jpeg);
    const Run cut = Encode(file, c.options, MappedAndCut);
    if (c.mapped) {
      EXPECT_EQ(cut.exit, 1) << cut.err;
      EXPECT_NE(cut.err.find("in.bmp: the file was cut short"), std::string::npos) << cut.err;
      EXPECT_TRUE(cut.jpeg.empty());
    } else {
      EXPECT_EQ(cut.exit, 0) << cut.err;
      EXPECT_EQ(cut.jpeg, copied.jpeg);
    }
  }
}

// A header promising more rows than the file holds is refused before
// anything is mapped, as before anything is read.
TEST_F(MappedInput, AHeaderPromisingMoreRowsIsStillRefused) {
  const Run run = Encode(Bmp({24, false, false, false, 1000}), "", Mapped);
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.err.find("truncated BMP"), std::string::npos) << run.err;
  EXPECT_TRUE(run.jpeg.empty());
}

// Whether /proc/self/maps lists a mapping of `path`.
bool ListedInMaps(const fs::path& path) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(path.string()) != std::string::npos) return true;
  }
  return false;
}

// The mapping starts on the page that holds the offset and is released
// whole, which lets the next file be mapped; bytes past the file are not.
TEST_F(MappedInput, AMappingPointsAtItsOffsetAndIsReleasedWhole) {
  Bytes file(3 * 4096 + 100);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<std::uint8_t>(i * 7);
  const fs::path path = dir_ / "bytes";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  for (const std::uint64_t offset : {0u, 54u, 4096u, 5000u}) {
    SCOPED_TRACE(offset);
    cli::ZeroedBytes bytes = cli::MapFileBytes(fd, offset, file.size() - offset);
    ASSERT_NE(bytes, nullptr);
    EXPECT_TRUE(ListedInMaps(path));
    EXPECT_EQ(Bytes(bytes.get(), bytes.get() + file.size() - offset), Bytes(file.begin() + offset, file.end()));
    EXPECT_EQ(cli::MapFileBytes(fd, 0, 1), nullptr) << "a second mapping while one is live";
    EXPECT_FALSE(cli::FileMappingFailed(bytes));
    bytes.reset();
    EXPECT_FALSE(ListedInMaps(path));
  }
  EXPECT_EQ(cli::MapFileBytes(fd, 54, file.size() - 53), nullptr) << "one byte past the file";
  close(fd);
}

}  // namespace
}  // namespace dibjpeg::test
