// What the format readers share: reading from the Source, one-line refusals,
// and the size checks made from a header before any pixel is read.
#pragma once

#include <cstdint>
#include <string>

#include "input/image.h"

namespace dibjpeg::cli {

// Reads up to `n` bytes; returns how many arrived.
std::size_t ReadBytes(Source* source, void* to, std::size_t n);
// The next byte, or -1 at the end of the input.
int GetByte(Source* source);
// Puts back the byte GetByte returned last (one byte at most).
void UngetByte(Source* source, int c);
// Consumes `n` bytes; false when the input ends first.
bool SkipBytes(Source* source, std::uint64_t n);
// Reads `count` rows of `rowBytes` bytes, stored one after the other in the
// input, to first, first + step, first + 2 step ... (step < 0 turns the
// rows over). A regular file takes a system call per thousand rows; other
// input goes through stdio. False when the input ends first.
bool ReadRowRun(Source* source, std::uint8_t* first, std::int64_t step, std::uint64_t count, std::size_t rowBytes);
// Maps the image's pixels (image->size bytes) from the input at the current
// position instead of reading them, when the input is a regular file that
// holds them all and huge pages are not offered, then moves on to byte
// `end`. False, with nothing changed, otherwise.
bool MapRows(Source* source, std::uint64_t end, Image* image);

std::string Num(std::uint64_t v);
// "1 bit per pixel", "24 bits per pixel".
std::string BitsPerPixel(std::uint64_t bits);

// Sets *error to "<found>; supported: <supported>" and returns false.
bool Refuse(std::string* error, const std::string& found, const std::string& supported);
// "truncated <format>: pixel data ends at byte <end>, file has <size>".
bool RefuseTruncated(std::string* error, const std::string& format, std::uint64_t end, std::uint64_t size);

// Checks the sides against what JPEG, common decoders (unless
// options.allowLarge) and the encoder take and, when the file length is known
// and `dataEnd` (where the pixel data must end, 0 when the header cannot
// tell) lies past it, refuses the file as truncated; refuses more pixels
// than the source's limit; then takes zeroed memory for the pixels (refusing
// the file when there is none) and fills in the image's size fields.
bool AllocatePixels(const Source& source, const ReadOptions& options, std::uint64_t width, std::uint64_t height,
                    unsigned bitCount, std::uint64_t dataEnd, Image* image, std::string* error);

// Sample v at opacity a (both 0..255) composited on white, rounded.
inline std::uint8_t OnWhite(unsigned v, unsigned a) {
  return static_cast<std::uint8_t>((v * a + 255 * (255 - a) + 127) / 255);
}
// Composites a 32-bit image whose fourth byte is alpha on white, in place.
void CompositeAlphaOnWhite(Image* image);

}  // namespace dibjpeg::cli
