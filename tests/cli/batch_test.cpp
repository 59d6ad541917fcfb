// The command-line encoder over many files (-d DIR, -j), its size target
// (--max-size), -v and --quiet, its hint for standard input and its manual
// page. A JPEG a run over many files writes must equal the one a run of that
// file alone writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cli_files.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

namespace fs = std::filesystem;

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const Bytes& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string Sub(const std::string& s, const char* from, const std::string& to) {
  return std::regex_replace(s, std::regex(from), to);
}

Bytes Ppm(const RgbImage& image) {
  Bytes file = Text("P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n");
  file.insert(file.end(), image.rgb.begin(), image.rgb.end());
  return file;
}

// An ICC profile header libpng accepts (monitor class, XYZ connection space,
// D50 illuminant, no tags), then filler up to `size` bytes.
Bytes Profile(std::uint32_t size, const char* space) {
  Bytes p(132, 0);
  const auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
  };
  put(0, size);
  put(8, 0x02100000);
  std::memcpy(&p[12], "mntr", 4);
  std::memcpy(&p[16], space, 4);
  std::memcpy(&p[20], "XYZ ", 4);
  std::memcpy(&p[36], "acsp", 4);
  put(68, 0xF6D6), put(72, 0x10000), put(76, 0xD32D);
  for (std::uint32_t i = 132; i < size; ++i) p.push_back(static_cast<std::uint8_t>(i * 7));
  return p;
}

void AppendPng(png_structp png, png_bytep data, std::size_t size) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

// An 8-bit RGB PNG at 72 dpi (2835 pixels per metre) carrying `profile`.
Bytes Png(RgbImage image, const Bytes& profile) {
  Bytes file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &file, AppendPng, nullptr);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_iCCP(png, info, "test", 0, profile.data(), png_uint_32(profile.size()));
  png_set_pHYs(png, info, 2835, 2835, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) png_write_row(png, &image.rgb[3 * std::size_t(y) * image.width]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return file;
}

// Photograph-like content: the test image's gradients under noise.
RgbImage Noisy(int width, int height, unsigned seed) {
  RgbImage image = MakeTestImage(width, height);
  std::mt19937 random(seed);
  for (std::uint8_t& v : image.rgb) v = static_cast<std::uint8_t>(std::clamp(int(v) + int(random() % 61) - 30, 0, 255));
  return image;
}

struct Outcome {
  int exit = -1;
  std::string out;
  std::string err;
  std::string LastLine() const {
    const std::string text = err.ends_with('\n') ? err.substr(0, err.size() - 1) : err;
    return text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  }
};

std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

class Batch : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // Runs the program through the shell, so `args` may redirect standard input.
  Outcome Exec(const std::string& args) {
    const std::string command = "'" DIBJPEG_CLI "' " + args + " >" + Q(root_ / "out") + " 2>" + Q(root_ / "err");
    const int status = std::system(command.c_str());
    const Bytes out = ReadBytes(root_ / "out"), err = ReadBytes(root_ / "err");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, {out.begin(), out.end()}, {err.begin(), err.end()}};
  }

  // The JPEG a run of `input` alone writes with `options`.
  Bytes Alone(const fs::path& input, const std::string& options = "") {
    fs::remove(root_ / "alone.jpg");
    EXPECT_EQ(Exec(options + " " + Q(input) + " " + Q(root_ / "alone.jpg")).exit, 0) << input;
    return ReadBytes(root_ / "alone.jpg");
  }

  std::uint64_t Measure(const fs::path& input, const std::string& options) {
    const Outcome run = Exec("--measure " + options + " " + Q(input));
    EXPECT_EQ(run.exit, 0) << run.err;
    return run.out.empty() ? 0 : std::stoull(run.out);
  }

  const fs::path root_ = fs::temp_directory_path() / ("dibjpeg-batch-" + std::to_string(getpid()));
};

TEST_F(Batch, WritesEachFileAsAloneAndNeverOverAnInputOrAnotherOutput) {
  const std::map<char, Bytes> content = {{'p', Ppm(Noisy(40, 30, 1))}, {'q', Ppm(MakeTestImage(24, 17))},
                                         {'g', Png(MakeTestImage(33, 9), Profile(500, "RGB "))},
                                         {'x', Text("garbage")}, {'j', Text("\xFF\xD8\xFF old")}, {'n', Text("notes")}};
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, char>> files;         // "out/..." exist in DIR before; the rest are inputs
    std::vector<std::pair<const char*, const char*>> links;  // symbolic links: name, target
    const char* dir;                                         // -d, in the case's folder
    const char* options;
    int exit;
    std::map<std::string, std::string> listing;  // DIR after: each name, the input whose JPEG it holds or "="
    const char* message;                         // in stderr
    const char* summary;                         // stderr's last line
  };
  const Case cases[] = {
      {"a bad file does not stop the others", {{"a.ppm", 'p'}, {"b.png", 'g'}, {"bad.bmp", 'x'}, {"c", 'q'}}, {},
       "out", "", 1, {{"a.jpg", "a.ppm"}, {"b.jpg", "b.png"}, {"c.jpg", "c"}}, "bad.bmp: unrecognised input",
       "dibjpeg: 3 written, 1 failed"},
      {"of two inputs of one name the first takes it", {{"a/x.png", 'g'}, {"b/x.ppm", 'p'}}, {}, "out", "-j 4", 1,
       {{"x.jpg", "a/x.png"}}, "x.ppm: not writing ", "dibjpeg: 1 written, 1 failed"},
      {"an input named as another's JPEG", {{"x.ppm", 'p'}, {"x.jpg", 'j'}}, {}, ".", "", 1,
       {{"x.ppm", "="}, {"x.jpg", "="}}, "x.jpg: it is an input file", "dibjpeg: 0 written, 2 failed"},
      {"a link in DIR to an input", {{"a.ppm", 'p'}, {"b.ppm", 'q'}}, {{"out/a.jpg", "../b.ppm"}}, "out", "", 1,
       {{"a.jpg", "="}, {"b.jpg", "b.ppm"}}, "it is an input file", "dibjpeg: 1 written, 1 failed"},
      {"a link in DIR to a JPEG the run wrote", {{"a.ppm", 'p'}, {"b.ppm", 'q'}}, {{"out/b.jpg", "a.jpg"}}, "out",
       "-j1", 1, {{"a.jpg", "a.ppm"}, {"b.jpg", "a.ppm"}}, "b.jpg: this run wrote it already, from ",
       "dibjpeg: 1 written, 1 failed"},
      {"an existing file that is not a JPEG", {{"a.ppm", 'p'}, {"b.ppm", 'q'}, {"out/a.jpg", 'n'}}, {}, "out", "", 1,
       {{"a.jpg", "="}, {"b.jpg", "b.ppm"}}, "it exists and is not a JPEG file", "dibjpeg: 1 written, 1 failed"},
      {"--force, and an existing JPEG", {{"a.ppm", 'p'}, {"b.ppm", 'q'}, {"out/a.jpg", 'n'}, {"out/b.jpg", 'j'}}, {},
       "out", "--force", 0, {{"a.jpg", "a.ppm"}, {"b.jpg", "b.ppm"}}, "", "dibjpeg: 2 written, 0 failed"},
      {"--quiet with every file written", {{"a.ppm", 'p'}}, {}, "out", "--quiet", 0, {{"a.jpg", "a.ppm"}}, "", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = root_ / ("case" + std::to_string(n++));
    fs::create_directories(dir / c.dir);
    std::string inputs;
    for (const auto& [name, kind] : c.files) {
      WriteBytes(dir / name, content.at(kind));
      if (!std::string(name).starts_with("out/")) inputs += " " + Q(dir / name);
    }
    for (const auto& [name, target] : c.links) fs::create_symlink(target, dir / name);
    std::map<std::string, Bytes> before;
    std::set<std::string> names;
    for (const auto& [name, from] : c.listing) before[name] = ReadBytes(dir / c.dir / name), names.insert(name);
    const Outcome run = Exec(std::string(c.options) + " -d " + Q(dir / c.dir) + inputs);
    EXPECT_EQ(run.exit, c.exit) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.LastLine(), c.summary) << run.err;
    EXPECT_EQ(Listing(dir / c.dir), names);
    for (const auto& [name, from] : c.listing) {
      EXPECT_TRUE(ReadBytes(dir / c.dir / name) == (from == "=" ? before[name] : Alone(dir / from))) << name;
    }
    for (const auto& [name, kind] : c.files) {
      if (!std::string(name).starts_with("out/")) EXPECT_TRUE(ReadBytes(dir / name) == content.at(kind)) << name;
    }
  }
}

TEST_F(Batch, ParallelRunsWriteTheSameBytes) {
  std::string inputs;
  for (int i = 0; i < 7; ++i) {
    WriteBytes(root_ / "in" / (std::to_string(i) + ".ppm"), Ppm(Noisy(64 + 16 * i, 48, i)));
    inputs += " " + Q(root_ / "in" / (std::to_string(i) + ".ppm"));
  }
  for (const char* jobs : {"1", "4"}) {
    fs::create_directories(root_ / jobs);
    const Outcome run = Exec(std::string("-q 85 -j ") + jobs + " -d " + Q(root_ / jobs) + inputs);
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(run.err, "dibjpeg: 7 written, 0 failed\n");
  }
  for (int i = 0; i < 7; ++i) {
    const std::string name = std::to_string(i);
    const Bytes one = ReadBytes(root_ / "1" / (name + ".jpg"));
    EXPECT_TRUE(one == Alone(root_ / "in" / (name + ".ppm"), "-q 85")) << name;
    EXPECT_TRUE(one == ReadBytes(root_ / "4" / (name + ".jpg"))) << name;
  }
}

TEST_F(Batch, WritesEveryImageOfAMultiImageFile) {
  // A three-page TIFF and a two-frame GIF, written by ImageMagick, and a
  // PPM whose JPEG takes the name of the TIFF's second page.
  std::string pages;
  for (int i = 0; i < 3; ++i) {
    WriteBytes(root_ / ("p" + std::to_string(i) + ".ppm"), Ppm(Noisy(40 + 8 * i, 30, 10 + i)));
    pages += " " + Q(root_ / ("p" + std::to_string(i) + ".ppm"));
  }
  for (const char* made : {"multi.tif", "anim.gif"}) {
    const std::string magick = "/usr/bin/convert-im6.q16" + pages + (made[0] == 'a' ? " -delete 2 " : " ");
    ASSERT_EQ(std::system((magick + Q(root_ / made)).c_str()), 0) << made;
  }
  fs::copy_file(root_ / "p0.ppm", root_ / "multi-2.ppm");
  fs::create_directories(root_ / "jpegs");
  const Outcome run = Exec("-d " + Q(root_ / "jpegs") + " " + Q(root_ / "multi-2.ppm") + " " + Q(root_ / "multi.tif") +
                           " " + Q(root_ / "anim.gif"));
  EXPECT_EQ(run.exit, 1) << run.err;
  EXPECT_NE(run.err.find("multi.tif: not writing " + (root_ / "jpegs/multi-2.jpg").string() +
                         ": another input's JPEG takes that name"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.LastLine(), "dibjpeg: 5 written, 1 failed");
  const std::map<std::string, std::pair<const char*, const char*>> expected = {
      {"multi-2.jpg", {"multi-2.ppm", ""}},        {"multi-1.jpg", {"multi.tif", "--page 1"}},
      {"multi-3.jpg", {"multi.tif", "--page 3"}}, {"anim-1.jpg", {"anim.gif", "--page 1"}},
      {"anim-2.jpg", {"anim.gif", "--page 2"}}};
  std::set<std::string> names;
  for (const auto& [name, from] : expected) {
    names.insert(name);
    EXPECT_TRUE(ReadBytes(root_ / "jpegs" / name) == Alone(root_ / from.first, from.second)) << name;
  }
  EXPECT_EQ(Listing(root_ / "jpegs"), names);
  // With --page, each file's one image under its own name.
  fs::create_directories(root_ / "two");
  EXPECT_EQ(Exec("--page 2 -d " + Q(root_ / "two") + " " + Q(root_ / "multi.tif")).exit, 0);
  EXPECT_TRUE(ReadBytes(root_ / "two/multi.jpg") == Alone(root_ / "multi.tif", "--page 2"));
  EXPECT_EQ(Listing(root_ / "two"), std::set<std::string>{"multi.jpg"});
}

TEST_F(Batch, RefusesBadCommandLinesAndWritesNothing) {
  const struct {
    const char* args;  // IN: an input, DIR: an empty folder
    int exit;
    const char* message;
  } cases[] = {
      {"-d DIR -o DIR/o.jpg IN", 2, "-d DIR writes each INPUT into DIR; it takes no -o OUTPUT"},
      {"-d DIR --measure IN", 2, "it takes no --measure"},
      {"-d DIR IN -", 2, "-d DIR needs file names to name the JPEGs after; '-' has none"},
      {"-d DIR -d DIR IN", 2, "-d DIR given twice"},
      {"-d DIR/none IN", 1, "/none: no such folder"},
      {"-j 0 -d DIR IN", 2, "jobs must be 1 to 999, have '0'"},
      {"--max-size 0 IN DIR/o.jpg", 2, "max-size must be a number of bytes from 1"},
      {"--max-size 12G IN DIR/o.jpg", 2, "have '12G'"},
      {"-v --quiet IN DIR/o.jpg", 2, "--verbose and --quiet: give one"},
      {"IN DIR/o.jpg DIR/p.jpg", 2, "expected INPUT [OUTPUT] or -o OUTPUT INPUT, or -d DIR for many"},
  };
  WriteBytes(root_ / "in.ppm", Ppm(MakeTestImage(8, 8)));
  fs::create_directories(root_ / "dir");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome run = Exec(Sub(Sub(c.args, "IN", Q(root_ / "in.ppm")), "DIR", Q(root_ / "dir")));
    EXPECT_EQ(run.exit, c.exit);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(Listing(root_ / "dir").empty());
  }
}

TEST_F(Batch, VerboseTellsWhatEachJpegCarriesAndQuietSilencesWarnings) {
  WriteBytes(root_ / "in.ppm", Ppm(MakeTestImage(40, 30)));
  WriteBytes(root_ / "in.png", Png(MakeTestImage(40, 30), Profile(600, "RGB ")));
  WriteBytes(root_ / "rgb.icc", Profile(700, "RGB "));
  const std::string leftOut = "ICC profile for 'RGB ' data, not for the gray image being encoded";
  const std::string warning = "dibjpeg: warning: " + (root_ / "in.png").string() + ": colour profile left out: ";
  const struct {
    const char* input;
    const char* options;
    const char* carried;  // the end of the -v line; "" when there is none
    bool warns;
  } cases[] = {
      {"in.ppm", "-v -q 60 --density 300x200dpcm", "at quality 60, density 300x200 dpcm (--density), no ICC profile "
                                                   "(the file has none)", false},
      {"in.ppm", "-v --icc ICC", "at quality 75, no density (the file gives none), ICC profile of 700 bytes (--icc)",
       false},
      {"in.png", "-v", "at quality 75, density 72 dpi (the file's), ICC profile of 600 bytes (the file's)", false},
      {"in.png", "-v --gray", "at quality 75, density 72 dpi (the file's), ICC profile left out: LEFT", true},
      {"in.png", "--gray", "", true},
      {"in.png", "--gray --quiet", "", false},
  };
  const fs::path out = root_ / "out.jpg";
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.input) + " " + c.options);
    const Outcome run = Exec(Sub(c.options, "ICC", Q(root_ / "rgb.icc")) + " " + Q(root_ / c.input) + " " + Q(out));
    ASSERT_EQ(run.exit, 0) << run.err;
    std::string expected = c.warns ? warning + leftOut + "\n" : "";
    if (*c.carried != 0) {
      const std::string format = c.input == std::string("in.png") ? "PNG 8-bit RGB" : "PPM";
      expected += "dibjpeg: " + (root_ / c.input).string() + ": " + format + " 40 x 30, " +
                  std::to_string(fs::file_size(root_ / c.input)) + " bytes -> " + out.string() + ": " +
                  std::to_string(fs::file_size(out)) + " bytes " + Sub(c.carried, "LEFT", leftOut) + "\n";
    }
    EXPECT_EQ(run.err, expected);
  }
  const Outcome measured = Exec("-v --measure " + Q(root_ / "in.ppm"));
  EXPECT_NE(measured.err.find("-> measured: " + measured.out.substr(0, measured.out.size() - 1) + " bytes at quality 75"),
            std::string::npos) << measured.err;
}

// The file fits, quality + 1 would not, and the file is what -q quality writes.
TEST_F(Batch, MaxSizeFindsTheHighestQualityThatFits) {
  WriteBytes(root_ / "noisy.ppm", Ppm(Noisy(200, 150, 7)));
  WriteBytes(root_ / "gray.icc", Profile(3000, "GRAY"));
  const fs::path example = DIBJPEG_EXAMPLE, out = root_ / "out.jpg";
  ASSERT_TRUE(fs::exists(example)) << "the example image is built with the tests";
  const struct {
    fs::path input;
    const char* options;  // -q N, if any, first
    const char* limit;
    std::uint64_t bytes;
    int quality;  // 0: any the search finds
  } cases[] = {
      {example, "", "20000", 20000, 0},
      {example, "", "20k", 20480, 0},
      {example, "-s 444", "50k", 51200, 0},
      {example, "--gray --icc ICC", "15000", 15000, 0},  // the profile's 3000 bytes count
      {example, "-q 60", "1M", 1048576, 60},
      {example, "", "10M", 10485760, 100},
      {root_ / "noisy.ppm", "", "30000", 30000, 0},
      {root_ / "noisy.ppm", "-q 90 ", "12000", 12000, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.filename().string() + " " + c.options + " --max-size " + c.limit);
    const std::string options = Sub(c.options, "ICC", Q(root_ / "gray.icc")), rest = Sub(options, "-q \\d+", "");
    fs::remove(out);
    const Outcome run = Exec("-v --max-size " + std::string(c.limit) + " " + options + " " + Q(c.input) + " " + Q(out));
    ASSERT_EQ(run.exit, 0) << run.err;
    std::smatch found;
    ASSERT_TRUE(std::regex_search(run.err, found, std::regex(" (\\d+) bytes at quality (\\d+),"))) << run.err;
    const int quality = std::stoi(found[2]);
    EXPECT_EQ(std::stoull(found[1]), fs::file_size(out));
    EXPECT_LE(fs::file_size(out), c.bytes);
    if (c.quality != 0) EXPECT_EQ(quality, c.quality);
    if (c.quality == 0) EXPECT_GT(Measure(c.input, rest + " -q " + std::to_string(quality + 1)), c.bytes);
    EXPECT_TRUE(ReadBytes(out) == Alone(c.input, rest + " -q " + std::to_string(quality)));
  }
  // No quality fits: nothing written, and the smallest size told.
  const std::uint64_t smallest = Measure(example, "-q 1");
  fs::remove(out);
  const Outcome run = Exec("--max-size " + std::to_string(smallest - 1) + " " + Q(example) + " " + Q(out));
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.err.find("the smallest JPEG, at quality 1, is " + std::to_string(smallest) + " bytes"),
            std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(out));
  EXPECT_EQ(Exec("--max-size " + std::to_string(smallest) + " " + Q(example) + " " + Q(out)).exit, 0);
  EXPECT_EQ(fs::file_size(out), smallest);
}

TEST_F(Batch, WithoutInputSaysHowToReadStandardInput) {
  WriteBytes(root_ / "in.ppm", Ppm(MakeTestImage(8, 8)));
  const Outcome redirected = Exec("-q 80 <" + Q(root_ / "in.ppm"));
  EXPECT_EQ(redirected.exit, 2);
  EXPECT_EQ(redirected.err, "dibjpeg: need INPUT: no input file given; use - to read standard input\n");
  EXPECT_TRUE(redirected.out.empty());
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
  const Outcome typed = Exec(std::string("<") + ptsname(terminal));
  close(terminal);
  EXPECT_EQ(typed.exit, 2);
  EXPECT_EQ(typed.err.rfind("usage: dibjpeg", 0), 0u) << typed.err;
  EXPECT_EQ(typed.LastLine(), "dibjpeg: need INPUT (see --help)");
}

TEST_F(Batch, ManualPageFormatsCleanlyAndNamesEveryOption) {
  const Outcome help = Exec("--help");
  EXPECT_EQ(help.exit, 0);
  const std::string flat = Sub(help.out, "\\s+", " ");
  for (const char* code : {"Exit status: 0 success", "; 1 input unreadable", "; 2 bad command", "; 3 the encoder"}) {
    EXPECT_NE(flat.find(code), std::string::npos) << code;
  }
  const fs::path page = DIBJPEG_MAN_PAGE;
  const std::string lint = "groff -man -Tutf8 -ww -z " + Q(page) + " >" + Q(root_ / "groff") + " 2>&1";
  EXPECT_EQ(std::system(lint.c_str()), 0) << "groff (package groff-base) must be installed";
  const Bytes warnings = ReadBytes(root_ / "groff"), roff = ReadBytes(page);
  EXPECT_TRUE(warnings.empty()) << "groff warns: " << std::string(warnings.begin(), warnings.end());
  const std::string text(roff.begin(), roff.end());
  const std::regex longOption("--[a-z][a-z-]+");
  int options = 0;
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), longOption), end; it != end; ++it, ++options) {
    EXPECT_NE(text.find(Sub(it->str(), "-", "\\-")), std::string::npos) << it->str() << " is not in the manual page";
  }
  EXPECT_GT(options, 15);
}

}  // namespace
}  // namespace dibjpeg::test
