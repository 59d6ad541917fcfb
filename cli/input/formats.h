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

}  // namespace dibjpeg::cli
