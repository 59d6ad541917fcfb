// The format readers, one a file.
#pragma once

#include <string>

#include "input/reader.h"

namespace dibjpeg::cli {

// Each reader starts after the bytes ReadImage recognised: "BM", "Pn", or
// the 8-byte PNG signature.
bool ReadBmp(Source* source, const ReadOptions& options, Image* image, std::string* error);
bool ReadPnm(Source* source, char kind, const ReadOptions& options, Image* image, std::string* error);
bool ReadPng(Source* source, const ReadOptions& options, Image* image, std::string* error);

}  // namespace dibjpeg::cli
