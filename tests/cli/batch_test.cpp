// The command-line encoder over many files (-d DIR, -j), its size target
// (--max-size), -v and --quiet, its hint for standard input and its manual
// page, run the way a user runs it. Every JPEG a run over many files writes
// must equal the one a run of that file alone writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

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

std::string Q(const fs::path& path) { return "'" + path.string() + "'"; }

void Le(Bytes* out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void Be(Bytes* out, std::uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out->push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes Ppm(const RgbImage& image) {
  Bytes file = Text("P6\n" + std::to_string(image.width) + " " + std::to_string(image.height) + "\n255\n");
  file.insert(file.end(), image.rgb.begin(), image.rgb.end());
  return file;
}

// A 24-bit BMP stating `perMetre` pixels per metre both ways.
Bytes Bmp(const RgbImage& image, std::uint32_t perMetre) {
  const Bytes dib = ToDib(image, 24, true);
  Bytes file = Text("BM");
  Le(&file, 54 + std::uint32_t(dib.size()), 4);
  Le(&file, 0, 4);
  Le(&file, 54, 4);
  for (std::uint32_t v : {40u, std::uint32_t(image.width), std::uint32_t(image.height)}) Le(&file, v, 4);
  Le(&file, 1, 2);
  Le(&file, 24, 2);
  for (std::uint32_t v : {0u, std::uint32_t(dib.size()), perMetre, perMetre, 0u, 0u}) Le(&file, v, 4);
  file.insert(file.end(), dib.begin(), dib.end());
  return file;
}

// An ICC profile header libpng accepts (monitor class, XYZ connection space,
// D50 illuminant, no tags), then filler up to `size` bytes.
Bytes Profile(std::uint32_t size, const char* space) {
  Bytes p;
  Be(&p, size, 4);
  Be(&p, 0, 4);
  Be(&p, 0x02100000, 4);
  for (const char* tag : {"mntr", space, "XYZ "}) p.insert(p.end(), tag, tag + 4);
  p.resize(36, 0);
  p.insert(p.end(), {'a', 'c', 's', 'p'});
  p.resize(68, 0);
  for (std::uint32_t v : {0xF6D6u, 0x10000u, 0xD32Du}) Be(&p, v, 4);
  p.resize(132, 0);
  for (std::uint32_t i = 132; i < size; ++i) p.push_back(static_cast<std::uint8_t>(i * 7));
  return p;
}

void AppendPng(png_structp png, png_bytep data, std::size_t size) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

// An 8-bit RGB PNG carrying `profile` in an iCCP chunk.
Bytes PngWithProfile(const RgbImage& image, const Bytes& profile) {
  Bytes file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &file, AppendPng, nullptr);
  png_set_IHDR(png, info, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_iCCP(png, info, "test", 0, profile.data(), png_uint_32(profile.size()));
  png_write_info(png, info);
  Bytes rgb = image.rgb;
  for (int y = 0; y < image.height; ++y) png_write_row(png, &rgb[3 * std::size_t(y) * image.width]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return file;
}

// Photograph-like content: the test image's gradients under noise, which
// JPEG spends most of its bytes on.
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
    const std::size_t end = err.empty() ? 0 : err.size() - 1;
    const std::size_t start = err.rfind('\n', end == 0 ? 0 : end - 1);
    return err.substr(start == std::string::npos || end == 0 ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
  }
};

class Batch : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("dibjpeg-batch-" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  // Runs the program through the shell (so `args` may redirect standard
  // input); standard output goes to a file, read back unless `out` is given.
  Outcome Exec(const std::string& args, const fs::path& out = {}) {
    const fs::path o = out.empty() ? root_ / "stdout" : out, e = root_ / "stderr";
    const std::string command = "'" DIBJPEG_CLI "' " + args + " >" + Q(o) + " 2>" + Q(e);
    const int status = std::system(command.c_str());
    Outcome run;
    run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const Bytes ob = out.empty() ? ReadBytes(o) : Bytes(), eb = ReadBytes(e);
    run.out.assign(ob.begin(), ob.end());
    run.err.assign(eb.begin(), eb.end());
    return run;
  }

  // The JPEG a run of `input` alone writes with `options`.
  Bytes Alone(const fs::path& input, const std::string& options = "") {
    const fs::path out = root_ / "alone.jpg";
    fs::remove(out);
    EXPECT_EQ(Exec(options + " " + Q(input) + " " + Q(out)).exit, 0) << input;
    return ReadBytes(out);
  }

  std::uint64_t Measure(const fs::path& input, const std::string& options) {
    const Outcome run = Exec("--measure " + options + " " + Q(input));
    EXPECT_EQ(run.exit, 0) << run.err;
    return std::stoull(run.out.empty() ? "0" : run.out);
  }

  fs::path root_;
};

std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

// ---- many files ----

TEST_F(Batch, WritesEachFileAloneAndNeverOverAnInputOrAnotherOutput) {
  const Bytes oldJpeg = Text("\xFF\xD8\xFF old");
  const std::map<char, Bytes> content = {
      {'p', Ppm(Noisy(40, 30, 1))}, {'q', Ppm(MakeTestImage(24, 17))}, {'b', Bmp(MakeTestImage(33, 9), 2835)},
      {'x', Text("garbage")},       {'j', oldJpeg},                   {'n', Text("notes")}};
  struct Case {
    const char* what;
    std::vector<std::pair<const char*, char>> files;  // under the case's folder; "out/..." exist before, no inputs
    std::vector<std::pair<const char*, const char*>> links;  // symbolic links: name, target
    const char* dir;                                         // -d, in the case's folder
    const char* options;
    int exit;
    std::map<std::string, std::string> outputs;  // DIR's whole listing: name, input whose JPEG it holds or "="
    const char* message;                         // a line of stderr holds this
    const char* summary;                         // stderr's last line
  };
  const Case cases[] = {
      {"a bad file does not stop the others",
       {{"a.ppm", 'p'}, {"b.bmp", 'b'}, {"bad.bmp", 'x'}, {"c.ppm", 'q'}}, {}, "out", "", 1,
       {{"a.jpg", "a.ppm"}, {"b.jpg", "b.bmp"}, {"c.jpg", "c.ppm"}},
       "bad.bmp: unrecognised input", "dibjpeg: 3 written, 1 failed"},
      {"two inputs of one name: the first on the command line takes it",
       {{"a/x.bmp", 'b'}, {"b/x.ppm", 'p'}}, {}, "out", "-j 4", 1, {{"x.jpg", "a/x.bmp"}},
       "x.ppm: not writing ", "dibjpeg: 1 written, 1 failed"},
      {"an input named as another's JPEG is not written",
       {{"x.ppm", 'p'}, {"x.jpg", 'j'}}, {}, ".", "", 1, {{"x.ppm", "="}, {"x.jpg", "="}},
       "x.jpg: it is an input file", "dibjpeg: 0 written, 2 failed"},
      {"a link in DIR to an input is not followed into it",
       {{"a.ppm", 'p'}, {"b.ppm", 'q'}}, {{"out/a.jpg", "../b.ppm"}}, "out", "", 1,
       {{"a.jpg", "="}, {"b.jpg", "b.ppm"}}, "it is an input file", "dibjpeg: 1 written, 1 failed"},
      {"a link in DIR to a JPEG the run wrote is not written again",
       {{"a.ppm", 'p'}, {"b.ppm", 'q'}}, {{"out/b.jpg", "a.jpg"}}, "out", "-j1", 1,
       {{"a.jpg", "a.ppm"}, {"b.jpg", "a.ppm"}}, "b.jpg: this run wrote it already, from ",
       "dibjpeg: 1 written, 1 failed"},
      {"an existing file that is not a JPEG is kept",
       {{"a.ppm", 'p'}, {"b.ppm", 'q'}, {"out/a.jpg", 'n'}}, {}, "out", "", 1, {{"a.jpg", "="}, {"b.jpg", "b.ppm"}},
       "it exists and is not a JPEG file", "dibjpeg: 1 written, 1 failed"},
      {"--force replaces it, and an existing JPEG is replaced",
       {{"a.ppm", 'p'}, {"b.ppm", 'q'}, {"out/a.jpg", 'n'}, {"out/b.jpg", 'j'}}, {}, "out", "--force", 0,
       {{"a.jpg", "a.ppm"}, {"b.jpg", "b.ppm"}}, "", "dibjpeg: 2 written, 0 failed"},
      {"--quiet leaves the summary out when every file is written",
       {{"a.ppm", 'p'}}, {}, "out", "--quiet", 0, {{"a.jpg", "a.ppm"}}, "", ""},
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
    for (const auto& [name, expected] : c.outputs) before[name] = ReadBytes(dir / c.dir / name);
    const Outcome run = Exec(std::string(c.options) + " -d " + Q(dir / c.dir) + inputs);
    EXPECT_EQ(run.exit, c.exit) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.LastLine(), c.summary) << run.err;
    std::set<std::string> names;
    for (const auto& [name, from] : c.outputs) {
      names.insert(name);
      const Bytes want = from == "=" ? before[name] : Alone(dir / from);
      EXPECT_TRUE(ReadBytes(dir / c.dir / name) == want) << name << " holds the wrong bytes";
    }
    EXPECT_EQ(Listing(dir / c.dir), names);
    for (const auto& [name, kind] : c.files) {
      if (!std::string(name).starts_with("out/")) EXPECT_TRUE(ReadBytes(dir / name) == content.at(kind)) << name;
    }
  }
}

TEST_F(Batch, ParallelRunsWriteTheSameBytes) {
  std::string inputs;
  for (int i = 0; i < 7; ++i) {
    const fs::path input = root_ / "in" / ("f" + std::to_string(i) + ".ppm");
    WriteBytes(input, Ppm(Noisy(64 + 16 * i, 48, i)));
    inputs += " " + Q(input);
  }
  for (const char* jobs : {"1", "4"}) {
    fs::create_directories(root_ / jobs);
    const Outcome run = Exec(std::string("-q 85 -j ") + jobs + " -d " + Q(root_ / jobs) + inputs);
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(run.err, "dibjpeg: 7 written, 0 failed\n");
  }
  for (int i = 0; i < 7; ++i) {
    const std::string name = "f" + std::to_string(i);
    const Bytes one = ReadBytes(root_ / "1" / (name + ".jpg"));
    EXPECT_TRUE(one == Alone(root_ / "in" / (name + ".ppm"), "-q 85")) << name;
    EXPECT_TRUE(one == ReadBytes(root_ / "4" / (name + ".jpg"))) << name;
  }
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
      {"-d '' IN", 2, "DIR is an empty name"},
      {"-d DIR/none IN", 1, "/none: no such folder"},
      {"-d IN IN", 1, "no such folder"},
      {"-j 0 -d DIR IN", 2, "jobs must be 1 to 999, have '0'"},
      {"-j1000 -d DIR IN", 2, "have '1000'"},
      {"--max-size 0 IN DIR/o.jpg", 2, "max-size must be a number of bytes from 1"},
      {"--max-size 12G IN DIR/o.jpg", 2, "have '12G'"},
      {"--max-size=k IN DIR/o.jpg", 2, "have 'k'"},
      {"-v --quiet IN DIR/o.jpg", 2, "--verbose and --quiet: give one"},
      {"IN DIR/o.jpg DIR/p.jpg", 2, "expected INPUT [OUTPUT] or -o OUTPUT INPUT, or -d DIR for many"},
  };
  const fs::path in = root_ / "in.ppm", dir = root_ / "dir";
  WriteBytes(in, Ppm(MakeTestImage(8, 8)));
  fs::create_directories(dir);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome run =
        Exec(std::regex_replace(std::regex_replace(c.args, std::regex("IN"), Q(in)), std::regex("DIR"), Q(dir)));
    EXPECT_EQ(run.exit, c.exit);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_TRUE(Listing(dir).empty());
  }
}

// ---- -v and --quiet ----

TEST_F(Batch, VerboseTellsWhatEachJpegCarriesAndQuietSilencesWarnings) {
  const RgbImage image = MakeTestImage(40, 30);
  WriteBytes(root_ / "in.bmp", Bmp(image, 2835));
  WriteBytes(root_ / "in.ppm", Ppm(image));
  WriteBytes(root_ / "in.png", PngWithProfile(image, Profile(600, "RGB ")));
  WriteBytes(root_ / "rgb.icc", Profile(700, "RGB "));
  const fs::path out = root_ / "out.jpg";
  const std::string warning = "dibjpeg: warning: " + (root_ / "in.png").string() +
                              ": colour profile left out: ICC profile for 'RGB ' data, not for the gray image being "
                              "encoded\n";
  const struct {
    const char* input;
    const char* options;
    const char* carried;  // the end of the -v line; "" when there is none
    bool warns;
  } cases[] = {
      {"in.bmp", "-v", "at quality 75, density 72 dpi (the file's), no ICC profile (the file has none)", false},
      {"in.ppm", "-v -q 60 --density 300x200dpcm", "at quality 60, density 300x200 dpcm (--density), no ICC profile "
                                                   "(the file has none)", false},
      {"in.ppm", "-v --icc " "RGB", "at quality 75, no density (the file gives none), ICC profile of 700 bytes (--icc)",
       false},
      {"in.png", "-v", "at quality 75, no density (the file gives none), ICC profile of 600 bytes (the file's)", false},
      {"in.png", "-v --gray", "at quality 75, no density (the file gives none), ICC profile left out: ICC profile for "
                              "'RGB ' data, not for the gray image being encoded", true},
      {"in.png", "--gray", "", true},
      {"in.png", "--gray --quiet", "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.input) + " " + c.options);
    fs::remove(out);
    const std::string options = std::regex_replace(c.options, std::regex("RGB$"), Q(root_ / "rgb.icc"));
    const Outcome run = Exec(options + " " + Q(root_ / c.input) + " " + Q(out));
    ASSERT_EQ(run.exit, 0) << run.err;
    std::string expected = c.warns ? warning : "";
    if (*c.carried != 0) {
      // The input, its format and sides, its size, then the JPEG's.
      const std::string line = run.LastLine();
      const std::string input = (root_ / c.input).string();
      EXPECT_EQ(line.rfind("dibjpeg: " + input + ": ", 0), 0u) << line;
      EXPECT_NE(line.find(" 40 x 30, " + std::to_string(fs::file_size(root_ / c.input)) + " bytes -> "),
                std::string::npos) << line;
      expected += line.substr(0, line.find(" -> ")) + " -> " + out.string() + ": " +
                  std::to_string(fs::file_size(out)) + " bytes " + c.carried + "\n";
    }
    EXPECT_EQ(run.err, expected);
  }
  // With --measure, the size measured.
  const Outcome measured = Exec("-v --measure " + Q(root_ / "in.ppm"));
  EXPECT_NE(measured.err.find(" -> measured: " + measured.out.substr(0, measured.out.size() - 1) + " bytes at quality 75"),
            std::string::npos) << measured.err;
}

// ---- --max-size ----

TEST_F(Batch, MaxSizeFindsTheHighestQualityThatFits) {
  WriteBytes(root_ / "noisy.ppm", Ppm(Noisy(200, 150, 7)));
  WriteBytes(root_ / "gray.icc", Profile(3000, "GRAY"));
  const fs::path example = DIBJPEG_EXAMPLE;
  ASSERT_TRUE(fs::exists(example)) << "the example image is built with the tests";
  const struct {
    fs::path input;
    const char* options;
    const char* limit;
    std::uint64_t bytes;  // the limit in bytes
    int quality;          // 0: found by the search; otherwise the quality it must take
  } cases[] = {
      {example, "", "20000", 20000, 0},
      {example, "", "20k", 20480, 0},
      {example, "-s 444", "50k", 51200, 0},
      {example, "--gray --icc GRAY", "15000", 15000, 0},  // the profile's 3000 bytes count
      {example, "-q 60", "1M", 1048576, 60},            // -q is the top of the search
      {example, "", "10M", 10485760, 100},
      {root_ / "noisy.ppm", "", "30000", 30000, 0},
      {root_ / "noisy.ppm", "-q 90", "12000", 12000, 0},
  };
  const fs::path out = root_ / "out.jpg";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input.filename().string() + " " + c.options + " --max-size " + c.limit);
    const std::string options = std::regex_replace(c.options, std::regex("GRAY"), Q(root_ / "gray.icc"));
    fs::remove(out);
    const Outcome run = Exec("-v --max-size " + std::string(c.limit) + " " + options + " " + Q(c.input) + " " + Q(out));
    ASSERT_EQ(run.exit, 0) << run.err;
    std::smatch found;
    ASSERT_TRUE(std::regex_search(run.err, found, std::regex(" (\\d+) bytes at quality (\\d+),"))) << run.err;
    const int quality = std::stoi(found[2]);
    if (c.quality != 0) EXPECT_EQ(quality, c.quality);
    EXPECT_EQ(std::stoull(found[1]), fs::file_size(out));
    EXPECT_LE(fs::file_size(out), c.bytes);
    const std::string top = std::regex_search(options, std::regex("-q 90")) ? "90" : "100";
    if (c.quality == 0) {
      ASSERT_LT(quality, std::stoi(top));
      std::string rest = std::regex_replace(options, std::regex("-q \\d+"), "");
      EXPECT_GT(Measure(c.input, rest + " -q " + std::to_string(quality + 1)), c.bytes) << "quality + 1 fits too";
    }
    EXPECT_TRUE(ReadBytes(out) == Alone(c.input, std::regex_replace(options, std::regex("-q \\d+"), "") + " -q " +
                                                      std::to_string(quality)));
  }
  // No quality fits: nothing written, and the smallest size is told.
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

// ---- conventions ----

TEST_F(Batch, WithoutInputSaysHowToReadStandardInput) {
  WriteBytes(root_ / "in.ppm", Ppm(MakeTestImage(8, 8)));
  const Outcome redirected = Exec("-q 80 <" + Q(root_ / "in.ppm"));
  EXPECT_EQ(redirected.exit, 2);
  EXPECT_EQ(redirected.err, "dibjpeg: need INPUT: no input file given; use - to read standard input\n");
  EXPECT_TRUE(redirected.out.empty());
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  const Outcome typed = Exec(std::string("<") + ptsname(terminal));
  close(terminal);
  EXPECT_EQ(typed.exit, 2);
  EXPECT_EQ(typed.err.rfind("usage: dibjpeg", 0), 0u) << typed.err;
  EXPECT_EQ(typed.LastLine(), "dibjpeg: need INPUT (see --help)");
}

TEST_F(Batch, ManualPageFormatsCleanlyAndNamesEveryOption) {
  const Outcome help = Exec("--help");
  EXPECT_EQ(help.exit, 0);
  for (const char* code : {"Exit status: 0 success", "; 1 input unreadable", "; 2 bad command", "; 3 the encoder"}) {
    EXPECT_NE(std::regex_replace(help.out, std::regex("\\s+"), " ").find(code), std::string::npos) << code;
  }
  const fs::path page = DIBJPEG_MAN_PAGE;
  const std::string lint = "groff -man -Tutf8 -ww -z " + Q(page) + " >" + Q(root_ / "groff") + " 2>&1";
  EXPECT_EQ(std::system(lint.c_str()), 0) << "groff (package groff-base) must be installed";
  const Bytes warnings = ReadBytes(root_ / "groff");
  EXPECT_TRUE(warnings.empty()) << "groff warns: " << std::string(warnings.begin(), warnings.end());
  const Bytes roff = ReadBytes(page);
  const std::string text(roff.begin(), roff.end());
  std::set<std::string> options;
  const std::regex longOption("--[a-z][a-z-]+");
  for (std::sregex_iterator it(help.out.begin(), help.out.end(), longOption), end; it != end; ++it) {
    options.insert(it->str());
  }
  EXPECT_GT(options.size(), 15u);
  for (const std::string& option : options) {
    const std::string escaped = std::regex_replace(option, std::regex("-"), "\\-");
    EXPECT_NE(text.find(escaped), std::string::npos) << option << " is not in the manual page";
  }
}

}  // namespace
}  // namespace dibjpeg::test
