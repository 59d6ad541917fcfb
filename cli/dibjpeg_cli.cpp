// dibjpeg: encodes an image file (BMP, PNM, PAM, PNG, GIF, WebP, TGA) to a
// baseline JPEG file through the
// library's one public function (in one pass into a buffer of the encoder's
// bound), then sets the resolution and adds the colour profile
// (jpeg_metadata.h). Output goes where output_file.h says. With -d DIR it
// encodes many files, -j at a time, each into DIR; --max-size picks the
// quality by measuring (size_target.h).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "dibjpeg/dibjpeg.h"
#include "input/read_image.h"
#include "output/jpeg_metadata.h"
#include "output/output_file.h"
#include "output/size_target.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define isatty _isatty
#else
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#endif

namespace {

using dibjpeg::cli::Image;
using Bytes = std::vector<std::uint8_t>;

// Exit codes.
constexpr int ExitInput = 1;    // input unreadable or refused, output not writable, no quality fits --max-size
constexpr int ExitUsage = 2;    // bad command line
constexpr int ExitEncoder = 3;  // the encoder returned a failure status

#ifdef _WIN32
// MinGW's win32 thread model has no std::thread: files are encoded one at a time.
struct Mutex {
  void lock() {}
  void unlock() {}
};
#else
using Mutex = std::mutex;
#endif

// Holds a Mutex for its lifetime.
class Locked {
 public:
  explicit Locked(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~Locked() { mutex_.unlock(); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Mutex& mutex_;
};

// The largest output buffer worth reserving to encode in one pass.
constexpr std::uint64_t OnePassLimit = std::uint64_t{1} << 30;

constexpr char Usage[] =
    "usage: dibjpeg [options] INPUT [OUTPUT]\n"
    "       dibjpeg [options] -o OUTPUT INPUT\n"
    "       dibjpeg [options] -d DIR INPUT...\n"
    "       dibjpeg --measure [options] INPUT\n"
    "Encodes a BMP, PNM, PAM, PNG, GIF, WebP or TGA image to a baseline JPEG file.\n"
    "INPUT '-' reads standard input; OUTPUT '-' or no OUTPUT writes standard\n"
    "output, which must not be a terminal unless --force.\n"
    "\n"
    "  -q, --quality N       1 to 100 (default 75); also -qN, -quality N\n"
    "  -s, --sampling MODE   chroma sampling 420, 422 or 444 (default 420)\n"
    "  -o, --output FILE     write FILE (named .jpg, .jpeg, .jpe, .jfif or without\n"
    "                        an extension); also -outfile FILE\n"
    "      --gray            encode a colour image as gray\n"
    "      --background MODE what becomes of alpha: 'none' drops it (default),\n"
    "                        'white' composites the image on white\n"
    "      --density N[xM][dpi|dpcm]  resolution to record (default: the file's)\n"
    "      --icc FILE        attach this ICC profile (default: the file's own)\n"
    "      --allow-large     encode sides of 65501 to 65535 pixels, which\n"
    "                        decoders built on libjpeg refuse\n"
    "      --force           write JPEG data to a terminal; replace an existing\n"
    "                        OUTPUT that is not a JPEG, or has hard links that\n"
    "                        cannot be kept\n"
    "      --measure         print the exact size of the JPEG in bytes, write nothing\n"
    "      --max-pixels N    refuse inputs of more than N pixels (default 300000000,\n"
    "                        about an A3 page at 1200 dpi); 0 means no limit\n"
    "      --page N          which image of a multi-image file to encode (default 1;\n"
    "                        with -d and no --page, each image to NAME-1.jpg, ...)\n"
    "  -d, --directory DIR   write each INPUT to DIR/NAME.jpg, NAME being its file\n"
    "                        name less the extension; DIR must exist\n"
    "  -j, --jobs N          with -d, encode N files at once (default: the number of\n"
    "                        processors); also -jN\n"
    "      --max-size SIZE   the highest quality (up to -q, else 100) whose file fits\n"
    "                        SIZE bytes (SIZEk: x 1024, SIZEM: x 1048576)\n"
    "  -v, --verbose         one line per JPEG: sizes, quality, density, profile\n"
    "      --quiet           no warnings\n"
    "  -h, --help            show this help\n"
    "      --version         show the version\n"
    "\n"
    "BMP: 1, 2, 4 and 8-bit palettes (RLE8 and RLE4 too), 16-bit and 32-bit with\n"
    "any masks of one run of bits each, 24-bit; Windows and OS/2 headers.\n"
    "PNM: P1 to P6, maxval 1 to 65535. PAM (P7): GRAYSCALE, RGB and their _ALPHA\n"
    "forms. PNG: every colour type and bit depth, interlaced or not.\n"
    "TIFF (libtiff): every compression it decodes, 1 to 16 bits, gray, palette,\n"
    "RGB, YCbCr; pages by --page. JPEG (libjpeg): decoded and encoded again, a\n"
    "lossy re-encode. CMYK (TIFF, JPEG) only with its ICC profile, to sRGB.\n"
    "GIF: frame N (--page) as a viewer shows it. WebP: lossy, lossless, animated.\n"
    "TGA: colour-mapped, true colour and gray, raw or RLE (types 1-3, 9-11).\n"
    "Alpha (PNG, PAM, TIFF, BMP alpha masks, GIF transparency, TGA attribute bits,\n"
    "WebP) is ignored unless --background white.\n"
    "Samples above 8 bits are rounded to 8; other samples are scaled to 0..255\n"
    "(a 5-bit 31 becomes 255). Gray images give gray JPEGs.\n"
    "The resolution (BMP, PNG pHYs, TIFF, JFIF, GIF aspect ratio) and ICC profile\n"
    "(PNG iCCP, BMP V5, TIFF, JPEG, GIF, WebP) are kept.\n"
    "Only -q, -s and -j take their number glued on (-q85, -s444, -j4). An existing\n"
    "OUTPUT keeps its old content or gets the whole JPEG, whatever happens.\n"
    "Standard input is read only as INPUT '-'.\n"
    "\n"
    "Exit status: 0 success (with -d: every file written); 1 input unreadable or\n"
    "refused, output not writable, or no quality fits --max-size; 2 bad command\n"
    "line, or JPEG data bound for a terminal without --force; 3 the encoder\n"
    "failed. With -d, the highest code of the files that failed.\n";

struct Options {
  int quality = 75;
  int sampling = 0;  // the encoder's value: 0 = 4:2:0, 1 = 4:2:2, 2 = 4:4:4
  bool gray = false;
  bool measure = false;
  bool force = false;  // JPEG data to a terminal, or over a file that is not a JPEG
  bool qualityGiven = false;  // -q seen: the top of the --max-size search
  bool pageGiven = false;     // --page seen: with -d, that image of each file only
  bool verbose = false;
  bool quiet = false;
  std::uint64_t maxSize = 0;  // from --max-size; 0 when not given
  std::string dir;            // from -d: many files, each into DIR
  bool dirGiven = false;
  unsigned jobs = 0;          // from -j; 0: the number of processors
  dibjpeg::cli::ReadOptions read;
  dibjpeg::cli::Density density;  // x = 0: the file's own
  std::string icc;                // a profile file to attach instead of the file's own
  std::string output;             // from -o
  bool outputGiven = false;       // -o seen, perhaps with an empty name
  std::uint64_t maxPixels = dibjpeg::cli::DefaultMaxPixels;  // 0: no limit
  std::vector<std::string> files;
};

// One line on stderr, written whole, the one place messages are printed.
void Say(const std::string& message) {
  static Mutex printing;
  const std::string line = "dibjpeg: " + message + "\n";
  const Locked held(printing);
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int Fail(int code, const std::string& message) {
  Say(message);
  return code;
}

bool ParseInt(const std::string& text, int low, int high, int* value) {
  if (text.empty() || text.size() > 3) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

bool ParseCount(const std::string& text, std::uint64_t* value) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *value = std::stoull(text);
  return true;
}

// "N", "Nk" (N x 1024) or "NM" (N x 1048576), at least 1 byte.
bool ParseSize(std::string text, std::uint64_t* value) {
  std::uint64_t unit = 1;
  if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) unit = 1024;
  if (!text.empty() && text.back() == 'M') unit = 1024 * 1024;
  if (unit != 1) text.pop_back();
  return ParseCount(text, value) && *value != 0 && (*value *= unit, true);
}

// Other encoders' single-dash options this program does not take, each with
// what it does instead.
constexpr struct {
  const char* option;
  const char* instead;
} ForeignOptions[] = {
    {"-optimize", "the Huffman tables are always the standard ones (ITU-T T.81 Annex K)"},
    {"-progressive", "the JPEG is always baseline"},
    {"-grayscale", "use --gray"},
    {"-greyscale", "use --gray"},
    {"-sample", "use --sampling 420, 422 or 444 (2x2, 2x1 and 1x1)"},
    {"-verbose", "errors and warnings always go to standard error; -v prints a line per JPEG"},
    {"-restart", "the JPEG has no restart markers"},
    {"-smooth", "the pixels are encoded as they are"},
    {"-arithmetic", "the JPEG is always Huffman-coded"},
    {"-dct", "there is one DCT, exact and fixed"},
};

// Extensions that name other image formats, refused as OUTPUT names.
constexpr const char* OtherImageExtensions[] = {
    "bmp", "dib", "png", "pnm", "ppm", "pgm", "pbm", "pam", "pfm", "tif",  "tiff", "gif", "webp", "tga",
    "psd", "ico", "cur", "xpm", "xbm", "pcx", "jp2", "j2k", "jxl", "heic", "heif", "avif", "exr", "hdr", "svg",
};

// What is wrong with OUTPUT's name, or "".
std::string CheckOutputName(const std::string& name) {
  if (name.empty()) return "OUTPUT is an empty name; give a file name, or '-' for standard output";
  const std::string base = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
  const std::size_t dot = base.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string extension = base.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const char* other : OtherImageExtensions) {
    if (extension == other) {
      return "OUTPUT " + name + " is named as a ." + extension +
             " image; expected a .jpg, .jpeg, .jpe or .jfif name, or one without an extension";
    }
  }
  return "";
}

// Returns -1 when the options are good, otherwise the exit code (0 after
// --help and --version).
int ParseOptions(int argc, char** argv, Options* options) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      options->files.push_back(arg);
      continue;
    }
    // "--name=value" is the same as "--name value", and so is "-qNUMBER" or
    // "-sNUMBER"; -quality and -outfile are other encoders' spellings.
    std::string value;
    bool hasValue = false;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    if (arg == "-quality") arg = "--quality";
    if (arg == "-outfile" || arg == "--output") arg = "-o";
    if (!hasValue && arg.size() > 2 && (arg[1] == 'q' || arg[1] == 's' || arg[1] == 'j') && arg[2] >= '0' &&
        arg[2] <= '9') {
      value = arg.substr(2);
      arg.resize(2);
      hasValue = true;
    }
    const bool takesValue = arg == "-q" || arg == "--quality" || arg == "-s" || arg == "--sampling" ||
                            arg == "--background" || arg == "-o" || arg == "--density" || arg == "--icc" ||
                            arg == "--max-pixels" || arg == "--page" || arg == "-d" || arg == "--directory" ||
                            arg == "-j" || arg == "--jobs" || arg == "--max-size";
    if (takesValue && !hasValue) {
      if (i + 1 == argc) return Fail(ExitUsage, "option " + arg + " needs a value (see --help)");
      value = argv[++i];
    } else if (!takesValue && hasValue) {
      return Fail(ExitUsage, "option " + arg + " takes no value (see --help)");
    }
    if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-q" || arg == "--quality") {
      if (!ParseInt(value, 1, 100, &options->quality)) {
        return Fail(ExitUsage, "quality must be 1 to 100, have '" + value + "'");
      }
      options->qualityGiven = true;
    } else if (arg == "-s" || arg == "--sampling") {
      if (value == "420") options->sampling = 0;
      else if (value == "422") options->sampling = 1;
      else if (value == "444") options->sampling = 2;
      else return Fail(ExitUsage, "sampling must be 420, 422 or 444, have '" + value + "'");
    } else if (arg == "--background") {
      if (value == "none") options->read.whiteBackground = false;
      else if (value == "white") options->read.whiteBackground = true;
      else return Fail(ExitUsage, "background must be none or white, have '" + value + "'");
    } else if (arg == "--density") {
      if (!dibjpeg::cli::ParseDensity(value, &options->density)) {
        return Fail(ExitUsage, "density must be N[xM][dpi|dpcm], N and M 1 to 65535, have '" + value + "'");
      }
    } else if (arg == "-o") {
      if (options->outputGiven) return Fail(ExitUsage, "OUTPUT given twice (see --help)");
      options->output = value;
      options->outputGiven = true;
    } else if (arg == "--icc") {
      options->icc = value;
    } else if (arg == "--allow-large") {
      options->read.allowLarge = true;
    } else if (arg == "--force") {
      options->force = true;
    } else if (arg == "--max-pixels") {
      if (!ParseCount(value, &options->maxPixels)) {
        return Fail(ExitUsage, "max-pixels must be a number of pixels (0: no limit), have '" + value + "'");
      }
    } else if (arg == "--page") {
      std::uint64_t page = 0;
      if (!ParseCount(value, &page) || page == 0 || page > UINT32_MAX) {
        return Fail(ExitUsage, "page must be a number from 1, have '" + value + "'");
      }
      options->read.page = static_cast<std::uint32_t>(page);
      options->pageGiven = true;
    } else if (arg == "-d" || arg == "--directory") {
      if (options->dirGiven) return Fail(ExitUsage, "-d DIR given twice (see --help)");
      if (value.empty()) return Fail(ExitUsage, "DIR is an empty name; give a folder");
      options->dir = value;
      options->dirGiven = true;
    } else if (arg == "-j" || arg == "--jobs") {
      int jobs = 0;
      if (!ParseInt(value, 1, 999, &jobs)) return Fail(ExitUsage, "jobs must be 1 to 999, have '" + value + "'");
      options->jobs = static_cast<unsigned>(jobs);
    } else if (arg == "--max-size") {
      if (!ParseSize(value, &options->maxSize)) {
        return Fail(ExitUsage, "max-size must be a number of bytes from 1, optionally with k (x 1024) or M "
                               "(x 1048576), have '" + value + "'");
      }
    } else if (arg == "-v" || arg == "--verbose") {
      options->verbose = true;
    } else if (arg == "--quiet") {
      options->quiet = true;
    } else if (arg == "--gray") {
      options->gray = true;
    } else if (arg == "--measure") {
      options->measure = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(Usage, stdout);
      return 0;
    } else if (arg == "--version") {
      std::printf("dibjpeg %s\n", DIBJPEG_VERSION);
      return 0;
    } else {
      for (const auto& foreign : ForeignOptions) {
        if (arg == foreign.option) return Fail(ExitUsage, "unknown option " + arg + ": " + foreign.instead);
      }
      return Fail(ExitUsage, "unknown option " + arg + " (see --help)");
    }
  }
  std::vector<std::string>& files = options->files;
  if (files.empty() && !isatty(0)) {
    return Fail(ExitUsage, "need INPUT: no input file given; use - to read standard input");
  }
  if (files.empty()) {
    std::fputs(Usage, stderr);
    return Fail(ExitUsage, "need INPUT (see --help)");
  }
  if (options->verbose && options->quiet) return Fail(ExitUsage, "--verbose and --quiet: give one");
  if (options->dirGiven) {
    if (options->outputGiven || options->measure) {
      return Fail(ExitUsage, std::string("-d DIR writes each INPUT into DIR; it takes no ") +
                                 (options->measure ? "--measure" : "-o OUTPUT") + " (see --help)");
    }
    for (const std::string& f : files) {
      if (f == "-") return Fail(ExitUsage, "-d DIR needs file names to name the JPEGs after; '-' has none");
    }
    return -1;
  }
  if (options->measure && (files.size() > 1 || options->outputGiven)) {
    return Fail(ExitUsage, "--measure takes one INPUT and no OUTPUT (see --help)");
  }
  if (files.size() > 2 || (files.size() == 2 && options->outputGiven)) {
    std::string names;
    for (const std::string& f : files) names += " '" + f + "'";
    return Fail(ExitUsage, "one image per run: have file names" + names + (options->output.empty() ? "" : " and -o") +
                               "; expected INPUT [OUTPUT] or -o OUTPUT INPUT, or -d DIR for many");
  }
  if (files.size() == 2) {
    options->output = files[1];
    options->outputGiven = true;
  }
  if (!options->outputGiven) options->output = "-";
  if (const std::string problem = CheckOutputName(options->output); !problem.empty()) {
    return Fail(ExitUsage, problem);
  }
  if (!options->measure && options->output == "-" && !options->force && isatty(1)) {
    return Fail(ExitUsage, "standard output is a terminal: give OUTPUT or -o FILE, redirect it, or --force");
  }
  return -1;
}

// Reads the profile file --icc names (at most one byte more than JPEG can
// carry, so that a larger one is told apart).
bool ReadProfileFile(const std::string& name, std::vector<std::uint8_t>* profile, std::string* error) {
  std::FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open " + name + ": " + std::strerror(errno);
    return false;
  }
  profile->resize(dibjpeg::cli::MaxIccProfile + 1);
  profile->resize(std::fread(profile->data(), 1, profile->size(), file));
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) *error = "cannot read " + name + ": " + std::strerror(errno);
  return !failed;
}

// Opens INPUT and notes its identity, and its length when it is a regular
// file.
bool OpenInput(const std::string& name, dibjpeg::cli::Source* source, dibjpeg::cli::FileId* id,
               std::string* error) {
  source->file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (source->file == nullptr) {
    *error = "cannot open " + name + ": " + std::strerror(errno);
    return false;
  }
#ifndef _WIN32
  struct stat st;
  if (fstat(fileno(source->file), &st) == 0) *id = {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), true};
#else
  static_cast<void>(id);  // no inode numbers to compare
#endif
  if (name == "-") return true;
  std::error_code ec;
  if (std::filesystem::is_regular_file(name, ec)) {
    const std::uintmax_t size = std::filesystem::file_size(name, ec);
    if (!ec) source->size = size;
  }
  return true;
}

// Names what a failure status means. Validation codes stand alone; later
// failures combine the overrun bit with the bits of the failing stage. A
// measure over every row of the source fails only where the stream passes
// what a 32-bit length holds.
std::string DescribeStatus(std::uint16_t status, const JpegEncodeParams& params, std::int32_t mode) {
  std::string text;
  switch (status) {
    case JpegStatusZeroDimension: text = "width or height is 0"; break;
    case JpegStatusBadArgument: text = "bad argument: quality, sampling, or a side above 65535 pixels"; break;
    case JpegStatusBadBitCount: text = "unsupported bits per pixel"; break;
    default: {
      const char* stage;
      switch (status & 0x01F0) {
        case JpegStatusApp0Failed: stage = "APP0 segment"; break;
        case JpegStatusDhtFailed: stage = "DHT segment"; break;
        case JpegStatusDqtFailed: stage = "DQT segment"; break;
        case JpegStatusSofFailed: stage = "SOF0 segment"; break;
        case JpegStatusScanFailed: stage = "scan data"; break;
        case JpegStatusBadJob: stage = "job record"; break;
        default: stage = "SOI or EOI marker"; break;
      }
      const bool wholeSource =
          params.srcSize >= dibjpeg::cli::DibRowStride(params.width, params.bitCount) * params.height;
      if (mode == JPEG_MODE_MEASURE && wholeSource) {
        text = "the JPEG would exceed 4 GiB";
      } else {
        text = mode == JPEG_MODE_MEASURE ? "source pixels too short" : "output buffer too small";
        text += std::string(" while writing the ") + stage;
      }
    }
  }
  char code[24];
  std::snprintf(code, sizeof code, " (status 0x%04X)", status);
  return text + code;
}

JpegEncodeParams MakeParams(const Image& image, const Options& options) {
  JpegEncodeParams params{};
  params.srcBits = image.pixels.get();
  params.srcSize = static_cast<std::uint32_t>(image.size);
  params.width = image.width;
  params.height = image.height;
  params.bitCount = image.bitCount;
  params.quality = static_cast<std::uint8_t>(options.quality);
  params.sampling = static_cast<std::uint8_t>(options.sampling);
  params.channelOrder = image.channelOrder;
  return params;
}

bool RunEncoder(JpegEncodeParams* params, std::int32_t mode, std::string* error) {
  const std::uint16_t status = Jpeg_EncodeStart(params, mode);
  if (status != JpegStatusSuccess) *error = DescribeStatus(status, *params, mode);
  return status == JpegStatusSuccess;
}

void Warn(const Options& options, const std::string& message) {
  if (!options.quiet) Say("warning: " + message);
}

// What the files of one run share: every input's identity, the outputs
// written so far (so that no input's JPEG replaces another's) and the names
// of the JPEGs in DIR each input takes.
struct Run {
  bool many = false;  // -d DIR
  std::vector<dibjpeg::cli::FileId> inputs;
  Mutex writing;  // held while a file is written, so one at a time; a signal waits for it
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> written;  // device and inode: from which input
  Mutex naming;
  std::set<std::string> names;  // the JPEGs' names in DIR taken
  std::atomic<int> done{0};     // JPEGs written
  std::atomic<int> failed{0};   // JPEGs not written (a file that cannot be read counts once)
};

// Reads image `page` of INPUT `name`, noting the file's identity and length;
// returns -1, or the exit code once the message is out.
int ReadInput(const Options& options, const std::string& name, std::uint32_t page, Image* image,
              dibjpeg::cli::FileId* id, std::uint64_t* fileSize) {
  std::string error;
  const std::string input = name == "-" ? "standard input" : name;
  dibjpeg::cli::Source source;
  if (!OpenInput(name, &source, id, &error)) return Fail(ExitInput, error);
  source.maxPixels = options.maxPixels;
  *fileSize = source.size;
  dibjpeg::cli::ReadOptions read = options.read;
  read.page = page;
  *image = Image{};
  const bool ok = dibjpeg::cli::ReadImage(&source, read, image, &error);
  const bool readFailed = std::ferror(source.file) != 0;
  if (source.file != stdin) std::fclose(source.file);
  if (readFailed) return Fail(ExitInput, "cannot read " + input + ": " + std::strerror(errno));
  if (!ok) return Fail(ExitInput, input + ": " + error);
  if (options.gray) dibjpeg::cli::ConvertToGray(image);
  return -1;
}

// Writes the JPEG; with -d, one file at a time and never over a JPEG this
// run wrote already (another name may lead to it: a link, a folder that
// ignores case).
bool Write(Run* run, const std::string& output, std::span<const std::uint8_t> data, const std::string& input,
           bool force, std::string* error) {
  if (!run->many) return dibjpeg::cli::WriteOutput(output, data, run->inputs, force, error);
  const Locked held(run->writing);
#ifndef _WIN32
  struct stat st;
  if (stat(output.c_str(), &st) == 0) {
    const auto at = run->written.find({st.st_dev, st.st_ino});
    if (at != run->written.end()) {
      *error = "not writing " + output + ": this run wrote it already, from " + at->second;
      return false;
    }
  }
#endif
  if (!dibjpeg::cli::WriteOutput(output, data, run->inputs, force, error)) return false;
#ifndef _WIN32
  if (stat(output.c_str(), &st) == 0) run->written[{st.st_dev, st.st_ino}] = input;
#else
  static_cast<void>(input);  // no identities to note
#endif
  return true;
}

// The -v line's account of the density and the profile the JPEG carries.
std::string Carried(const Options& options, const dibjpeg::cli::Density& density, std::size_t profile,
                    const std::string& leftOut) {
  std::string text;
  if (density.x == 0) {
    text = "no density (the file gives none)";
  } else {
    const char* unit = density.unit == 1 ? " dpi" : density.unit == 2 ? " dpcm" : " (aspect ratio)";
    text = "density " + std::to_string(density.x) +
           (density.x == density.y ? "" : "x" + std::to_string(density.y)) + unit +
           (options.density.x != 0 ? " (--density)" : " (the file's)");
  }
  if (profile != 0) {
    text += ", ICC profile of " + std::to_string(profile) + " bytes" +
            (options.icc.empty() ? " (the file's)" : " (--icc)");
  } else {
    text += leftOut.empty() ? ", no ICC profile (the file has none)" : ", ICC profile left out: " + leftOut;
  }
  return text;
}

// Encodes `image`, read from `input` (`fileSize` bytes when known), and
// writes the JPEG to `output` (or with --measure prints its size); returns
// 0, or the exit code once the message is out.
int EncodeImage(const Options& options, const Bytes& iccFile, const std::string& input, std::uint64_t fileSize,
                Image& image, const std::string& output, Run* run) {
  std::string error;
  // The profile to attach: --icc's, which must fit, or the file's own, which
  // is left out with a warning when it does not.
  const int components = image.bitCount == 8 ? 1 : 3;
  const bool own = options.icc.empty();
  std::span<const std::uint8_t> profile = own ? std::span<const std::uint8_t>(image.iccProfile) : iccFile;
  std::string leftOut = own ? image.iccLeftOut : "";
  if (!leftOut.empty()) Warn(options, input + ": colour profile left out: " + leftOut);
  if (!profile.empty()) {
    const std::string problem = dibjpeg::cli::CheckIccProfile(profile, components);
    if (!problem.empty() && !own) return Fail(ExitInput, options.icc + ": " + problem);
    if (!problem.empty()) {
      Warn(options, input + ": colour profile left out: " + problem);
      leftOut = problem;
      profile = {};
    }
  }
  const std::uint64_t iccBytes = profile.empty() ? 0 : dibjpeg::cli::IccSegmentsSize(profile.size());
  const dibjpeg::cli::Density density = options.density.x != 0 ? options.density : image.density;

  const std::string what = input + ": " + image.format + " " + std::to_string(image.width) + " x " +
                           std::to_string(image.height) + ": ";
  JpegEncodeParams params = MakeParams(image, options);
  if (options.maxSize != 0) {
    const dibjpeg::cli::SizeTarget target = dibjpeg::cli::FindQuality(
        params, iccBytes, options.maxSize, options.qualityGiven ? options.quality : 100);
    if (target.status != 0) return Fail(ExitEncoder, what + DescribeStatus(target.status, params, JPEG_MODE_MEASURE));
    if (target.quality == 0) {
      return Fail(ExitInput, what + "no quality fits in " + std::to_string(options.maxSize) +
                                 " bytes: the smallest JPEG, at quality 1, is " + std::to_string(target.size) +
                                 " bytes");
    }
    params.quality = static_cast<std::uint8_t>(target.quality);
  }
  std::string verbose;
  if (options.verbose) {
    verbose = input + ": " + image.format + " " + std::to_string(image.width) + " x " +
              std::to_string(image.height) + (fileSize != UINT64_MAX ? ", " + std::to_string(fileSize) + " bytes" : "") +
              " -> " + (options.measure ? "measured" : output == "-" ? "standard output" : output) + ": ";
  }
  // Pixels mapped from the file (BMP) read as zeros past where the file was
  // cut short while it was mapped: what was made from them is not used.
  const auto cutShort = [&] {
    return Fail(ExitInput,
                input + ": the file was cut short or could not be read while it was encoded; nothing written");
  };
  if (options.measure) {
    if (!RunEncoder(&params, JPEG_MODE_MEASURE, &error)) return Fail(ExitEncoder, what + error);
    if (dibjpeg::cli::FileMappingFailed(image.pixels)) return cutShort();
    if (std::printf("%llu\n", static_cast<unsigned long long>(params.dstSize + iccBytes)) < 0 ||
        std::fflush(stdout) != 0) {
      return Fail(ExitInput, std::string("cannot write standard output: ") + std::strerror(errno));
    }
    if (options.verbose) {
      Say(verbose + std::to_string(params.dstSize + iccBytes) + " bytes at quality " +
          std::to_string(params.quality) + ", " + Carried(options, density, profile.size(), leftOut));
    }
    return 0;
  }
  // One pass into a buffer of the bound where that is a reasonable amount of
  // address space (pages the encoder never writes cost no memory); otherwise
  // measure first and encode into exactly the measured length. The profile's
  // segments take the first bytes, so the stream is encoded after them.
  const std::uint64_t bound = JpegEncodeBound(&params);
  dibjpeg::cli::ZeroedBytes jpeg;
  if (bound != 0 && bound <= OnePassLimit) {
    jpeg = dibjpeg::cli::AllocateZeroed(iccBytes + bound);
    params.dstSize = static_cast<std::uint32_t>(bound);
  }
  if (jpeg == nullptr) {
    if (!RunEncoder(&params, JPEG_MODE_MEASURE, &error)) return Fail(ExitEncoder, what + error);
    jpeg = dibjpeg::cli::AllocateZeroed(iccBytes + params.dstSize);
    if (jpeg == nullptr) return Fail(ExitEncoder, what + "not enough memory for the JPEG");
  }
  params.dstBuffer = jpeg.get() + iccBytes;
  if (!RunEncoder(&params, JPEG_MODE_ENCODE, &error)) return Fail(ExitEncoder, what + error);
  if (dibjpeg::cli::FileMappingFailed(image.pixels)) return cutShort();
  const std::span<std::uint8_t> written(jpeg.get(), iccBytes + params.dstSize);
  if (!dibjpeg::cli::InsertIccSegments(profile, written) ||
      (density.x != 0 && !dibjpeg::cli::SetDensity(written, density))) {
    return Fail(ExitEncoder, what + "the encoder's stream does not start with SOI and a JFIF APP0 segment");
  }
  if (options.maxSize != 0 && written.size() > options.maxSize) {
    return Fail(ExitEncoder, what + "the JPEG encoded is longer than the one measured");
  }
  if (!Write(run, output, written, input, options.force, &error)) return Fail(ExitInput, error);
  if (options.verbose) {
    Say(verbose + std::to_string(written.size()) + " bytes at quality " + std::to_string(params.quality) + ", " +
        Carried(options, density, profile.size(), leftOut));
  }
  return 0;
}

// The name of INPUT's JPEG in DIR less ".jpg": DIR, then INPUT's last
// component less its extension; "" when INPUT has no such name.
std::string OutputStem(const Options& options, const std::string& input) {
#ifdef _WIN32
  const std::size_t slash = input.find_last_of("/\\");
#else
  const std::size_t slash = input.rfind('/');
#endif
  std::string base = input.substr(slash == std::string::npos ? 0 : slash + 1);
  if (const std::size_t dot = base.rfind('.'); dot != std::string::npos && dot != 0) base.resize(dot);
  if (base.empty() || base == "." || base == "..") return "";
  return options.dir + (options.dir.back() == '/' ? "" : "/") + base;
}

// Encodes one INPUT of a run with -d: each image of it to NAME-1.jpg,
// NAME-2.jpg, ... when it holds several and no --page is given, otherwise
// the one image to NAME.jpg. `refused` says why it is not even read.
int EncodeFile(const Options& options, const Bytes& iccFile, const std::string& input, const std::string& stem,
               const std::string& refused, Run* run) {
  if (!refused.empty()) {
    ++run->failed;
    return Fail(ExitInput, input + ": " + refused);
  }
  Image image;
  dibjpeg::cli::FileId id;
  std::uint64_t size = 0;
  if (const int exit = ReadInput(options, input, options.read.page, &image, &id, &size); exit >= 0) {
    ++run->failed;
    return exit;
  }
  const std::uint32_t pages = options.pageGiven ? 1 : image.pageCount;
  int worst = 0;
  for (std::uint32_t page = 1; page <= pages; ++page) {
    int exit = page == 1 ? -1 : ReadInput(options, input, page, &image, &id, &size);
    std::string output = stem + ".jpg";
    if (pages > 1) {
      output = stem + "-" + std::to_string(page) + ".jpg";
      const Locked held(run->naming);
      if (exit < 0 && !run->names.insert(output).second) {
        exit = Fail(ExitInput, input + ": not writing " + output + ": another input's JPEG takes that name");
      }
    }
    const std::string label = pages > 1 ? input + " image " + std::to_string(page) : input;
    if (exit < 0) exit = EncodeImage(options, iccFile, label, size, image, output, run);
    ++(exit == 0 ? run->done : run->failed);
    worst = std::max(worst, exit);
  }
  return worst;
}

#ifndef _WIN32
// Runs `work` on `jobs` threads. The termination signals are held in every
// thread; one that arrives ends the process, by that signal, once no file is
// being written, so each output is whole or untouched, as in a run of one.
template <class Work>
void RunHeld(unsigned jobs, Work& work, Mutex& writing) {
  sigset_t stops, old;
  sigemptyset(&stops);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stops, s);
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    if (sigismember(&old, s)) sigdelset(&stops, s);  // held by whoever started the program: left pending
  }
  std::atomic<unsigned> finished{0};
  std::vector<std::thread> threads;
  try {
    for (unsigned t = 0; t < jobs; ++t) threads.emplace_back([&] { work(), ++finished; });
  } catch (const std::system_error&) {
    if (threads.empty()) work();  // no thread to be had: the files one after another here
  }
  while (finished < threads.size()) {
    const timespec wait = {0, 10'000'000};
    const int s = sigtimedwait(&stops, nullptr, &wait);
    struct sigaction action;
    if (s <= 0 || sigaction(s, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    writing.lock();  // waits for the write under way; none starts after this
    std::signal(s, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, s);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(s);
    writing.unlock();
  }
  for (std::thread& thread : threads) thread.join();
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}
#endif

// A run with -d DIR: every INPUT to its own JPEG in DIR, -j at a time; the
// last line counts the JPEGs written and those that failed.
int RunMany(const Options& options, const Bytes& iccFile) {
  std::error_code ec;
  if (!std::filesystem::is_directory(options.dir, ec)) {
    return Fail(ExitInput, "cannot write into " + options.dir + ": no such folder");
  }
  const std::vector<std::string>& files = options.files;
  Run run;
  run.many = true;
  // Each JPEG's name goes to the first INPUT that wants it.
  std::vector<std::string> stems(files.size()), refused(files.size());
  std::map<std::string, std::string> owner;
  for (std::size_t i = 0; i < files.size(); ++i) {
#ifndef _WIN32
    struct stat st;
    if (stat(files[i].c_str(), &st) == 0) run.inputs.push_back({std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), true});
#endif
    stems[i] = OutputStem(options, files[i]);
    if (stems[i].empty()) {
      refused[i] = "no file name to name its JPEG after";
      continue;
    }
    const auto [at, fresh] = owner.emplace(stems[i] + ".jpg", files[i]);
    if (!fresh) refused[i] = "not writing " + at->first + ": " + at->second + ", earlier on the command line, takes it";
    run.names.insert(at->first);
  }
  std::vector<int> exits(files.size(), 0);
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i; (i = next++) < files.size();) {
      exits[i] = EncodeFile(options, iccFile, files[i], stems[i], refused[i], &run);
    }
  };
#ifdef _WIN32
  work();
#else
  const unsigned jobs = options.jobs != 0 ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
  RunHeld(static_cast<unsigned>(std::min<std::size_t>(jobs, files.size())), work, run.writing);
#endif
  if (!options.quiet || run.failed != 0) {
    Say(std::to_string(run.done) + " written, " + std::to_string(run.failed) + " failed");
  }
  return *std::max_element(exits.begin(), exits.end());
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  Options options;
  if (const int exit = ParseOptions(argc, argv, &options); exit >= 0) return exit;

  std::string error;
  Bytes iccFile;
  if (!options.icc.empty() && !ReadProfileFile(options.icc, &iccFile, &error)) return Fail(ExitInput, error);
  if (options.dirGiven) return RunMany(options, iccFile);
  Run run;
  Image image;
  dibjpeg::cli::FileId inputId;
  std::uint64_t size = 0;
  if (const int exit = ReadInput(options, options.files[0], options.read.page, &image, &inputId, &size); exit >= 0) {
    return exit;
  }
  run.inputs.push_back(inputId);
  const std::string input = options.files[0] == "-" ? "standard input" : options.files[0];
  return EncodeImage(options, iccFile, input, size, image, options.output, &run);
}
