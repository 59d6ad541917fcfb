// dibjpeg: encodes a BMP, PNM, PAM or PNG file to a baseline JPEG file through the
// library's one public function (in one pass into a buffer of the encoder's
// bound), then sets the resolution and adds the colour profile
// (jpeg_metadata.h). Output goes where output_file.h says.
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
#include "input/read_image.h"
#include "output/jpeg_metadata.h"
#include "output/output_file.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define isatty _isatty
#else
#include <sys/stat.h>
#include <unistd.h>
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
    "usage: dibjpeg [options] INPUT [OUTPUT]\n"
    "       dibjpeg [options] -o OUTPUT INPUT\n"
    "       dibjpeg --measure [options] INPUT\n"
    "Encodes a BMP, PNM, PAM or PNG image to a baseline JPEG file.\n"
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
    "      --page N          which image of a multi-image file to encode (default 1)\n"
    "  -h, --help            show this help\n"
    "      --version         show the version\n"
    "\n"
    "BMP: 1, 2, 4 and 8-bit palettes (RLE8 and RLE4 too), 16-bit and 32-bit with\n"
    "any masks of one run of bits each, 24-bit; Windows and OS/2 headers.\n"
    "PNM: P1 to P6, maxval 1 to 65535. PAM (P7): GRAYSCALE, RGB and their _ALPHA\n"
    "forms. PNG: every colour type and bit depth, interlaced or not.\n"
    "Alpha (PNG, PAM, BMP alpha masks) is ignored unless --background white.\n"
    "Samples above 8 bits are rounded to 8; other samples are scaled to 0..255\n"
    "(a 5-bit 31 becomes 255). Gray images give gray JPEGs.\n"
    "The resolution (BMP, PNG pHYs) and ICC profile (PNG iCCP, BMP V5) are kept.\n"
    "Only -q and -s take their number glued on (-q85, -s444). An existing OUTPUT\n"
    "keeps its old content or gets the whole JPEG, whatever happens.\n";

struct Options {
  int quality = 75;
  int sampling = 0;  // the encoder's value: 0 = 4:2:0, 1 = 4:2:2, 2 = 4:4:4
  bool gray = false;
  bool measure = false;
  bool force = false;  // JPEG data to a terminal, or over a file that is not a JPEG
  dibjpeg::cli::ReadOptions read;
  dibjpeg::cli::Density density;  // x = 0: the file's own
  std::string icc;                // a profile file to attach instead of the file's own
  std::string output;             // from -o
  bool outputGiven = false;       // -o seen, perhaps with an empty name
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
    {"-verbose", "errors and warnings always go to standard error; --measure prints the size"},
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
    if (!hasValue && arg.size() > 2 && (arg[1] == 'q' || arg[1] == 's') && arg[2] >= '0' && arg[2] <= '9') {
      value = arg.substr(2);
      arg.resize(2);
      hasValue = true;
    }
    const bool takesValue = arg == "-q" || arg == "--quality" || arg == "-s" || arg == "--sampling" ||
                            arg == "--background" || arg == "-o" || arg == "--density" || arg == "--icc" ||
                            arg == "--max-pixels" || arg == "--page";
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
  if (files.empty()) return Fail(ExitUsage, "need INPUT (see --help)");
  if (options->measure && (files.size() > 1 || options->outputGiven)) {
    return Fail(ExitUsage, "--measure takes one INPUT and no OUTPUT (see --help)");
  }
  if (files.size() > 2 || (files.size() == 2 && options->outputGiven)) {
    std::string names;
    for (const std::string& f : files) names += " '" + f + "'";
    return Fail(ExitUsage, "one image per run: have file names" + names + (options->output.empty() ? "" : " and -o") +
                               "; expected INPUT [OUTPUT] or -o OUTPUT INPUT");
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

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  Options options;
  if (const int exit = ParseOptions(argc, argv, &options); exit >= 0) return exit;

  std::string error;
  std::vector<std::uint8_t> iccFile;
  if (!options.icc.empty() && !ReadProfileFile(options.icc, &iccFile, &error)) return Fail(ExitInput, error);
  const std::string input = options.files[0] == "-" ? "standard input" : options.files[0];
  dibjpeg::cli::Source source;
  dibjpeg::cli::FileId inputId;
  if (!OpenInput(options.files[0], &source, &inputId, &error)) return Fail(ExitInput, error);
  source.maxPixels = options.maxPixels;
  Image image;
  const bool read = dibjpeg::cli::ReadImage(&source, options.read, &image, &error);
  const bool readFailed = std::ferror(source.file) != 0;
  if (source.file != stdin) std::fclose(source.file);
  if (readFailed) return Fail(ExitInput, "cannot read " + input + ": " + std::strerror(errno));
  if (!read) return Fail(ExitInput, input + ": " + error);
  if (options.gray) dibjpeg::cli::ConvertToGray(&image);

  // The profile to attach: --icc's, which must fit, or the file's own, which
  // is left out with a warning when it does not.
  const int components = image.bitCount == 8 ? 1 : 3;
  std::vector<std::uint8_t>& profile = options.icc.empty() ? image.iccProfile : iccFile;
  if (options.icc.empty() && !image.iccLeftOut.empty()) {
    std::fprintf(stderr, "dibjpeg: warning: %s: colour profile left out: %s\n", input.c_str(),
                 image.iccLeftOut.c_str());
  }
  if (!profile.empty()) {
    const std::string problem = dibjpeg::cli::CheckIccProfile(profile, components);
    if (!problem.empty() && !options.icc.empty()) return Fail(ExitInput, options.icc + ": " + problem);
    if (!problem.empty()) {
      std::fprintf(stderr, "dibjpeg: warning: %s: colour profile left out: %s\n", input.c_str(), problem.c_str());
      profile.clear();
    }
  }
  const std::uint64_t iccBytes = profile.empty() ? 0 : dibjpeg::cli::IccSegmentsSize(profile.size());
  const dibjpeg::cli::Density density = options.density.x != 0 ? options.density : image.density;

  const std::string what = input + ": " + image.format + " " + std::to_string(image.width) + " x " +
                           std::to_string(image.height) + ": ";
  JpegEncodeParams params = MakeParams(image, options);
  // Pixels mapped from the file (BMP) read as zeros past where the file was
  // cut short while it was mapped: what was made from them is not used.
  const auto cutShort = [&] {
    return Fail(ExitInput,
                input + ": the file was cut short or could not be read while it was encoded; nothing written");
  };
  if (options.measure) {
    if (!RunEncoder(&params, JPEG_MODE_MEASURE, &error)) return Fail(ExitEncoder, what + error);
    if (dibjpeg::cli::FileMappingFailed()) return cutShort();
    if (std::printf("%llu\n", static_cast<unsigned long long>(params.dstSize + iccBytes)) < 0 ||
        std::fflush(stdout) != 0) {
      return Fail(ExitInput, std::string("cannot write standard output: ") + std::strerror(errno));
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
  if (dibjpeg::cli::FileMappingFailed()) return cutShort();
  const std::span<std::uint8_t> written(jpeg.get(), iccBytes + params.dstSize);
  if (!dibjpeg::cli::InsertIccSegments(profile, written) ||
      (density.x != 0 && !dibjpeg::cli::SetDensity(written, density))) {
    return Fail(ExitEncoder, what + "the encoder's stream does not start with SOI and a JFIF APP0 segment");
  }
  if (!dibjpeg::cli::WriteOutput(options.output, written, inputId, options.force, &error)) return Fail(ExitInput, error);
  return 0;
}
