// Writes the encoded JPEG where the user asked for it without harming what
// was there: a new file appears only complete; an existing one holds its old
// content or the whole JPEG, whatever happens, and keeps its owner, mode,
// attributes and (where room can be reserved) hard links; a file that is not
// a JPEG is replaced only when forced; anything else (a device, FIFO,
// /dev/stdout) is written as it stands. INPUT itself is never written.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace dibjpeg::cli {

// An input file's identity, so that OUTPUT naming the same file (through
// any name, link or /dev/stdin) is refused.
struct FileId {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool known = false;
};

// Writes `data` to `name` ("-" is standard output), unless it is one of the
// `inputs` (every input of a run of many files); `force` replaces a regular
// file that is not a JPEG, or one whose hard links cannot be kept. On
// failure returns false and sets *error to one line that names `name` as the
// user typed it.
bool WriteOutput(const std::string& name, std::span<const std::uint8_t> data, std::span<const FileId> inputs,
                 bool force, std::string* error);

}  // namespace dibjpeg::cli
