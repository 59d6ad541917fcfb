// The format readers, one a file.
#pragma once

#include <span>
#include <string>

#include "input/reader.h"

namespace dibjpeg::cli {

// Each reader starts after the bytes ReadImage recognised: "BM", "Pn", or
// the 8-byte PNG signature.
bool ReadBmp(Source* source, const ReadOptions& options, Image* image, std::string* error);
bool ReadPnm(Source* source, char kind, const ReadOptions& options, Image* image, std::string* error);
bool ReadPng(Source* source, const ReadOptions& options, Image* image, std::string* error);
// TIFF and JPEG readers are given the bytes ReadImage took (`start`) and
// read the file from its beginning.
bool ReadTiff(Source* source, std::span<const std::uint8_t> start, const ReadOptions& options, Image* image,
              std::string* error);
bool ReadJpeg(Source* source, std::span<const std::uint8_t> start, const ReadOptions& options, Image* image,
              std::string* error);

// These are given the first bytes ReadImage read (18, or fewer when the
// file is shorter), which the GIF and WebP readers take as the file's start.
bool ReadGif(Source* source, const std::uint8_t* head, std::size_t headSize, const ReadOptions& options,
             Image* image, std::string* error);
bool ReadWebp(Source* source, const std::uint8_t* head, std::size_t headSize, const ReadOptions& options,
              Image* image, std::string* error);
// TGA has no signature: a header that passes LooksLikeTga (18 bytes) is taken
// as one only when no other format claims the file.
bool LooksLikeTga(const std::uint8_t* head, std::size_t headSize);
bool ReadTga(Source* source, const std::uint8_t* head, const ReadOptions& options, Image* image, std::string* error);

// The name of a format the program does not read, from its first bytes, or null.
const char* KnownFormatName(const std::uint8_t* head, std::size_t headSize);

}  // namespace dibjpeg::cli
