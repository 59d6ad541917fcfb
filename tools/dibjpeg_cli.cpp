// dibjpeg: encodes a BMP, PNM, PAM or PNG file to a baseline JPEG file through the
// library's one public function (measure, then encode into a buffer of
// exactly the measured size). Output goes where output_file.h says.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "dibjpeg/dibjpeg.h"
#include "image_input.h"
#include "output_file.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <sys/stat.h>
#endif

namespace {

using dibjpeg::cli::Image;
using Bytes = std::vector<std::uint8_t>;

// Exit codes.
constexpr int ExitInput = 1;    // input unreadable or refused, output not writable
constexpr int ExitUsage = 2;    // bad command line
constexpr int ExitEncoder = 3;  // the encoder returned a failure status

// The largest output buffer worth reserving to encode in one pass.
constexpr std::uint64_t OnePassLimit = std::uint64_t{1} << 30;

constexpr char Usage[] =
    "usage: dibjpeg [options] INPUT OUTPUT\n"
    "       dibjpeg --measure [options] INPUT\n"
    "Encodes a BMP, PNM, PAM or PNG image to a baseline JPEG file.\n"
    "INPUT or OUTPUT '-' means standard input or standard output.\n"
    "\n"
    "  -q, --quality N       1 to 100 (default 75)\n"
    "  -s, --sampling MODE   chroma sampling 420, 422 or 444 (default 420)\n"
    "      --gray            encode a colour image as gray\n"
    "      --background MODE what becomes of alpha (PNG, PAM): 'none' drops it\n"
    "                        (default), 'white' composites the image on white\n"
    "      --measure         print the exact size of the JPEG in bytes, write nothing\n"
    "      --max-pixels N    refuse inputs of more than N pixels (default 300000000,\n"
    "                        about an A3 page at 1200 dpi); 0 means no limit\n"
    "  -h, --help            show this help\n"
    "      --version         show the version\n"
    "\n"
    "BMP: 1, 2, 4 and 8-bit palettes (RLE8 and RLE4 too), 16-bit and 32-bit with\n"
    "any masks of one run of bits each (alpha ignored), 24-bit; Windows and OS/2\n"
    "headers. PNM: P1 to P6, maxval 1 to 65535. PAM (P7): GRAYSCALE, RGB and their\n"
    "_ALPHA forms. PNG: every colour type and bit depth, interlaced or not.\n"
    "PNG and PAM alpha is ignored unless --background white.\n"
    "Samples above 8 bits are rounded to 8. Gray images give gray JPEGs.\n"
    "16-bit 5-5-5 BMPs keep the encoder's expansion (white becomes 248).\n"
    "Widths above 65500 are valid JPEG but refused by libjpeg-based decoders.\n";

struct Options {
  int quality = 75;
  int sampling = 0;  // the encoder's value: 0 = 4:2:0, 1 = 4:2:2, 2 = 4:4:4
  bool gray = false;
  bool measure = false;
  bool whiteBackground = false;
  std::uint64_t maxPixels = dibjpeg::cli::DefaultMaxPixels;  // 0: no limit
  std::vector<std::string> files;
};

// One line on stderr, the one place errors are printed.
int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "dibjpeg: %s\n", message.c_str());
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
    // "--name=value" is the same as "--name value".
    std::string value;
    bool hasValue = false;
    if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    const bool takesValue = arg == "-q" || arg == "--quality" || arg == "-s" || arg == "--sampling" ||
                            arg == "--background" || arg == "--max-pixels";
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
    } else if (arg == "-s" || arg == "--sampling") {
      if (value == "420") options->sampling = 0;
      else if (value == "422") options->sampling = 1;
      else if (value == "444") options->sampling = 2;
      else return Fail(ExitUsage, "sampling must be 420, 422 or 444, have '" + value + "'");
    } else if (arg == "--background") {
      if (value == "none") options->whiteBackground = false;
      else if (value == "white") options->whiteBackground = true;
      else return Fail(ExitUsage, "background must be none or white, have '" + value + "'");
    } else if (arg == "--max-pixels") {
      if (!ParseCount(value, &options->maxPixels)) {
        return Fail(ExitUsage, "max-pixels must be a number of pixels (0: no limit), have '" + value + "'");
      }
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
      return Fail(ExitUsage, "unknown option " + arg + " (see --help)");
    }
  }
  const std::size_t want = options->measure ? 1 : 2;
  if (options->files.size() != want) {
    return Fail(ExitUsage, options->measure ? "--measure takes one INPUT and no OUTPUT (see --help)"
                                            : "need INPUT and OUTPUT (see --help)");
  }
  return -1;
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

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  Options options;
  if (const int exit = ParseOptions(argc, argv, &options); exit >= 0) return exit;

  const std::string input = options.files[0] == "-" ? "standard input" : options.files[0];
  dibjpeg::cli::Source source;
  dibjpeg::cli::FileId inputId;
  std::string error;
  if (!OpenInput(options.files[0], &source, &inputId, &error)) return Fail(ExitInput, error);
  source.maxPixels = options.maxPixels;
  Image image;
  dibjpeg::cli::ReadOptions readOptions;
  readOptions.whiteBackground = options.whiteBackground;
  const bool read = dibjpeg::cli::ReadImage(&source, readOptions, &image, &error);
  const bool readFailed = std::ferror(source.file) != 0;
  if (source.file != stdin) std::fclose(source.file);
  if (readFailed) return Fail(ExitInput, "cannot read " + input + ": " + std::strerror(errno));
  if (!read) return Fail(ExitInput, input + ": " + error);
  if (options.gray) dibjpeg::cli::ConvertToGray(&image);
  if (image.width > 65500) {
    std::fprintf(stderr, "dibjpeg: warning: %s: %u pixels wide; decoders built on libjpeg refuse widths above 65500\n",
                 input.c_str(), static_cast<unsigned>(image.width));
  }

  const std::string what = input + ": " + image.format + " " + std::to_string(image.width) + " x " +
                           std::to_string(image.height) + ": ";
  JpegEncodeParams params = MakeParams(image, options);
  if (options.measure) {
    if (!RunEncoder(&params, JPEG_MODE_MEASURE, &error)) return Fail(ExitEncoder, what + error);
    if (std::printf("%u\n", static_cast<unsigned>(params.dstSize)) < 0 || std::fflush(stdout) != 0) {
      return Fail(ExitInput, std::string("cannot write standard output: ") + std::strerror(errno));
    }
    return 0;
  }
  // One pass into a buffer of the bound where that is a reasonable amount of
  // address space (pages the encoder never writes cost no memory); otherwise
  // measure first and encode into exactly the measured length.
  const std::uint64_t bound = JpegEncodeBound(&params);
  std::unique_ptr<std::uint8_t[]> jpeg;
  if (bound != 0 && bound <= OnePassLimit) {
    jpeg.reset(new (std::nothrow) std::uint8_t[bound]);
    params.dstSize = static_cast<std::uint32_t>(bound);
  }
  if (jpeg == nullptr) {
    if (!RunEncoder(&params, JPEG_MODE_MEASURE, &error)) return Fail(ExitEncoder, what + error);
    jpeg.reset(new (std::nothrow) std::uint8_t[params.dstSize]);
    if (jpeg == nullptr) return Fail(ExitEncoder, what + "not enough memory for the JPEG");
  }
  params.dstBuffer = jpeg.get();
  if (!RunEncoder(&params, JPEG_MODE_ENCODE, &error)) return Fail(ExitEncoder, what + error);
  const std::span<const std::uint8_t> written(jpeg.get(), params.dstSize);
  if (!dibjpeg::cli::WriteOutput(options.files[1], written, inputId, &error)) return Fail(ExitInput, error);
  return 0;
}
