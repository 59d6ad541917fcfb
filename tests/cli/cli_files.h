// Files as the command-line tests write, read and name them to the shell.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "test_support.h"

namespace dibjpeg::test {

inline Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::filesystem::path& path, const Bytes& data) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
}

// The path in single quotes, for a shell command line.
inline std::string Q(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

}  // namespace dibjpeg::test
