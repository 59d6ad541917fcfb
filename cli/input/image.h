// The image as the command-line encoder hands it to the library, and what
// its readers are given. Every reader lays the pixels out as the encoder
// reads them: bottom-up rows, each padded to a multiple of 4 bytes, as 8-bit
// gray, 24-bit or 32-bit (never its 16-bit 5-5-5 layout). The pixels
// are read from the file straight into that buffer, a row at a time where
// they need converting, so reading takes no more memory than the result.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace dibjpeg::cli {

// Releases what AllocateZeroed or MapFileBytes took.
struct FreeBytes {
  std::size_t mapped = 0;  // bytes mapped, 0 when the block came from calloc
  std::size_t offset = 0;  // from the start of the mapping to the pointer
  bool file = false;       // a mapping of the input file (MapFileBytes)
  void operator()(std::uint8_t* p) const;
};
using ZeroedBytes = std::unique_ptr<std::uint8_t[], FreeBytes>;

// `size` zeroed bytes, or null. Memory is taken only as pages are written,
// so a header that promises more rows than a pipe delivers costs little.
// Large blocks are mapped on 2 MiB boundaries and offered to the kernel for
// huge pages: filling a page-sized image through 4 KiB pages costs one
// fault per page, which takes longer than encoding it.
ZeroedBytes AllocateZeroed(std::uint64_t size);

// Whether large blocks get huge pages: the kernel offers them (transparent
// huge pages "always" or "madvise") and the environment variable
// DIBJPEG_HUGE_PAGES is not "0".
bool HugePagesOffered();

// `size` bytes of the open regular file `fd` from byte `offset`, mapped
// copy-on-write in place of reading them, or null (no mapping on this
// system, the file shorter than that, one file mapping already live). The
// file may shrink while it is mapped: a page that can no longer be read
// then reads as zeros instead of killing the process with SIGBUS, and
// FileMappingFailed says so; the caller checks it before it uses any result
// made from the bytes. One mapping is live at a time: while it is, other
// callers (other threads of a run over many files) get null and read.
ZeroedBytes MapFileBytes(int fd, std::uint64_t offset, std::uint64_t size);
// Whether `bytes` are the live file mapping and a page of it could not be read.
bool FileMappingFailed(const ZeroedBytes& bytes);
// Lets the pixels be changed in place: a file mapping is read-only until
// then, and is changed copy-on-write, never the file.
void MakeWritable(const ZeroedBytes& bytes);

// Resolution as the JFIF header states it.
struct Density {
  std::uint8_t unit = 0;  // 0 = aspect ratio only, 1 = dots per inch, 2 = dots per cm
  std::uint16_t x = 0;    // 1..65535; 0 when the file gives none
  std::uint16_t y = 0;
};

// Density from pixels per metre (BMP, PNG pHYs), as dots per inch rounded to
// the nearest: 23622 per metre is 600 dpi. Unknown (x = 0) when either is 0
// or the result does not fit.
Density DensityFromPerMetre(std::uint64_t x, std::uint64_t y);

// One image, ready for Jpeg_EncodeStart.
struct Image {
  ZeroedBytes pixels;                // bottom row first, rows padded to 4 bytes
  std::uint64_t size = 0;            // bytes at pixels
  std::uint32_t width = 0;           // pixels
  std::uint32_t height = 0;          // rows
  std::uint16_t bitCount = 0;        // 8, 24 or 32 (16-bit 5-5-5 is never produced)
  std::uint8_t channelOrder = 0;     // 1 = blue first, 0 = red first
  std::string format;                // what the file held, e.g. "BMP 16-bit 5-6-5"
  Density density;                   // from the file, when it has one
  std::vector<std::uint8_t> iccProfile;  // embedded ICC colour profile, empty when none
  std::string iccLeftOut;                // why a profile the file holds is not in iccProfile; "" when none is
  std::uint32_t pageCount = 1;           // images the file holds (TIFF directories, GIF frames); 1 for the rest
};

// The most pixels one input may declare unless the user says otherwise:
// enough for an A3 page at 1200 dpi (about 280 million).
constexpr std::uint64_t DefaultMaxPixels = 300'000'000;

// The open input file. `size` is its length when known (a regular file), so
// that a header promising more pixels than the file holds is refused before
// any memory is taken for them; so is one declaring more than `maxPixels`.
struct Source {
  std::FILE* file = nullptr;
  std::uint64_t size = UINT64_MAX;  // unknown
  std::uint64_t position = 0;       // bytes consumed so far
  std::uint64_t maxPixels = DefaultMaxPixels;  // 0: no limit
};

struct ReadOptions {
  bool whiteBackground = false;  // composite alpha on white instead of dropping it
  bool allowLarge = false;       // take sides of 65501 to 65535 pixels
  std::uint32_t page = 1;        // which image of a multi-image file to read, from 1
};

// The largest ICC profile that fits in the 255 APP2 segments JPEG allows.
constexpr std::uint64_t MaxIccProfile = 255 * 65519;

// Bytes per row of a bottom-up bitmap.
std::uint64_t DibRowStride(std::uint64_t width, unsigned bitCount);


// Turns a colour image into 8-bit gray with the encoder's own luma weights,
// Y = (77 R + 150 G + 29 B + 128) >> 8, in place. A gray image is left as it is.
void ConvertToGray(Image* image);

}  // namespace dibjpeg::cli
