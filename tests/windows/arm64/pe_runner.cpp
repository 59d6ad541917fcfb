// Runs the reference cases through the 64-bit ARM Windows dibjpeg.dll itself,
// in an AArch64 Linux process (under qemu-aarch64 on other machines): a small
// PE loader maps the DLL's sections, applies its base relocations, binds its
// imports (memcpy and memset, nothing else) to this process's C library, calls
// its entry point and then the export found by name. For this signature the
// Windows ARM64 calling convention is AAPCS64; x18, which Windows reserves for
// the thread block, the DLL never touches (the test dll_no_x18 checks it).
//
// Usage: dibjpeg_pe_runner <dibjpeg.dll> <folder of case_NNNNN.bin/.exp> <count>
// Prints one line per failing case and "N passed, N failed".
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "dibjpeg/dibjpeg.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using EncodeFn = std::uint16_t (*)(JpegEncodeParams*, std::int32_t);
using EntryFn = int (*)(void*, std::uint32_t, void*);

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "pe_runner: %s\n", what.c_str());
  std::exit(1);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Die("cannot read " + path);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

template <typename T>
T Read(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The parts of a mapped image the runner needs.
struct Image {
  std::uint8_t* base = nullptr;
  std::uint32_t size = 0;
  EncodeFn encode = nullptr;
  EntryFn entry = nullptr;
};

// The image's bytes at an RVA, checked against the image size.
std::uint8_t* At(const Image& image, std::uint32_t rva, std::uint32_t length) {
  if (rva > image.size || length > image.size - rva) Die("RVA out of the image");
  return image.base + rva;
}

void* BindImport(const std::string& dll, const char* name) {
  if (std::strcmp(name, "memcpy") == 0) return reinterpret_cast<void*>(&std::memcpy);
  if (std::strcmp(name, "memset") == 0) return reinterpret_cast<void*>(&std::memset);
  Die("unexpected import " + dll + "!" + name);
}

Image Load(const Bytes& file) {
  constexpr std::uint16_t MachineArm64 = 0xAA64;
  constexpr std::uint16_t MagicPe32Plus = 0x20B;
  if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z') Die("no MZ header");
  const std::uint32_t pe = Read<std::uint32_t>(&file[0x3C]);
  if (pe > file.size() - 24 || std::memcmp(&file[pe], "PE\0\0", 4) != 0) Die("no PE signature");
  const std::uint8_t* coff = &file[pe + 4];
  if (Read<std::uint16_t>(coff) != MachineArm64) Die("machine is not ARM64");
  const std::uint16_t sections = Read<std::uint16_t>(coff + 2);
  const std::uint16_t optionalSize = Read<std::uint16_t>(coff + 16);
  const std::uint8_t* opt = coff + 20;
  const std::size_t sectionTable = pe + 24 + optionalSize;
  if (optionalSize < 112 + 16 * 8 || sectionTable + sections * 40u > file.size()) Die("truncated headers");
  if (Read<std::uint16_t>(opt) != MagicPe32Plus) Die("not PE32+");
  const std::uint32_t entryRva = Read<std::uint32_t>(opt + 16);
  const std::uint64_t preferredBase = Read<std::uint64_t>(opt + 24);
  const std::uint32_t sectionAlignment = Read<std::uint32_t>(opt + 32);
  Image image;
  image.size = Read<std::uint32_t>(opt + 56);
  const std::uint32_t headerSize = Read<std::uint32_t>(opt + 60);
  auto directory = [&](int index) { return opt + 112 + index * 8; };
  if (sectionAlignment % 4096 != 0 || headerSize > file.size()) Die("unusual layout");

  void* map = mmap(nullptr, image.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) Die("mmap failed");
  image.base = static_cast<std::uint8_t*>(map);
  std::memcpy(image.base, file.data(), headerSize);
  for (std::uint16_t i = 0; i < sections; ++i) {
    const std::uint8_t* s = &file[sectionTable + i * 40u];
    const std::uint32_t virtualSize = Read<std::uint32_t>(s + 8), rva = Read<std::uint32_t>(s + 12);
    const std::uint32_t rawSize = Read<std::uint32_t>(s + 16), rawOffset = Read<std::uint32_t>(s + 20);
    const std::uint32_t copy = rawSize < virtualSize ? rawSize : virtualSize;
    if (rawOffset > file.size() || copy > file.size() - rawOffset) Die("section beyond the file");
    std::memcpy(At(image, rva, virtualSize), &file[rawOffset], copy);
  }

  // Base relocations: the DLL only needs 64-bit absolute addresses moved.
  constexpr int RelocationAbsolute = 0, RelocationDir64 = 10;
  const std::int64_t delta = reinterpret_cast<std::intptr_t>(image.base) - static_cast<std::int64_t>(preferredBase);
  const std::uint32_t relocRva = Read<std::uint32_t>(directory(5)), relocSize = Read<std::uint32_t>(directory(5) + 4);
  for (std::uint32_t offset = 0; offset + 8 <= relocSize;) {
    const std::uint8_t* block = At(image, relocRva + offset, 8);
    const std::uint32_t page = Read<std::uint32_t>(block), blockSize = Read<std::uint32_t>(block + 4);
    if (blockSize < 8 || blockSize > relocSize - offset) Die("bad relocation block");
    for (std::uint32_t e = 8; e + 2 <= blockSize; e += 2) {
      const std::uint16_t entry = Read<std::uint16_t>(block + e);
      if (entry >> 12 == RelocationAbsolute) continue;
      if (entry >> 12 != RelocationDir64) Die("relocation type " + std::to_string(entry >> 12));
      std::uint8_t* target = At(image, page + (entry & 0xFFF), 8);
      const std::uint64_t value = Read<std::uint64_t>(target) + static_cast<std::uint64_t>(delta);
      std::memcpy(target, &value, 8);
    }
    offset += blockSize;
  }

  // Imports, by name only.
  const std::uint32_t importRva = Read<std::uint32_t>(directory(1));
  for (std::uint32_t d = importRva; importRva != 0; d += 20) {
    const std::uint8_t* descriptor = At(image, d, 20);
    const std::uint32_t lookup = Read<std::uint32_t>(descriptor), nameRva = Read<std::uint32_t>(descriptor + 12);
    const std::uint32_t thunks = Read<std::uint32_t>(descriptor + 16);
    if (nameRva == 0) break;
    const std::string dll(reinterpret_cast<const char*>(At(image, nameRva, 1)));
    for (std::uint32_t t = 0;; t += 8) {
      const std::uint64_t hintName = Read<std::uint64_t>(At(image, (lookup != 0 ? lookup : thunks) + t, 8));
      if (hintName == 0) break;
      if (hintName >> 63) Die("import by ordinal from " + dll);
      const auto* name = reinterpret_cast<const char*>(At(image, static_cast<std::uint32_t>(hintName) + 2, 1));
      const auto address = reinterpret_cast<std::uint64_t>(BindImport(dll, name));
      std::memcpy(At(image, thunks + t, 8), &address, 8);
    }
  }

  // Section protections as the Windows loader sets them.
  constexpr std::uint32_t Execute = 0x20000000, Writable = 0x80000000;
  for (std::uint16_t i = 0; i < sections; ++i) {
    const std::uint8_t* s = &file[sectionTable + i * 40u];
    const std::uint32_t virtualSize = Read<std::uint32_t>(s + 8), rva = Read<std::uint32_t>(s + 12);
    const std::uint32_t flags = Read<std::uint32_t>(s + 36);
    const int protection = PROT_READ | (flags & Execute ? PROT_EXEC : 0) | (flags & Writable ? PROT_WRITE : 0);
    if (mprotect(At(image, rva, virtualSize), virtualSize, protection) != 0) Die("mprotect failed");
    if (flags & Execute) __builtin___clear_cache(reinterpret_cast<char*>(image.base + rva),
                                                 reinterpret_cast<char*>(image.base + rva + virtualSize));
  }

  // The one export, by name.
  const std::uint8_t* exports = At(image, Read<std::uint32_t>(directory(0)), 40);
  const std::uint32_t names = Read<std::uint32_t>(exports + 24);
  const std::uint32_t functionsRva = Read<std::uint32_t>(exports + 28);
  const std::uint32_t namesRva = Read<std::uint32_t>(exports + 32), ordinalsRva = Read<std::uint32_t>(exports + 36);
  for (std::uint32_t i = 0; i < names; ++i) {
    const auto* name = reinterpret_cast<const char*>(At(image, Read<std::uint32_t>(At(image, namesRva + i * 4, 4)), 1));
    if (std::strcmp(name, "Jpeg_EncodeStart") != 0) continue;
    const std::uint16_t ordinal = Read<std::uint16_t>(At(image, ordinalsRva + i * 2, 2));
    image.encode = reinterpret_cast<EncodeFn>(At(image, Read<std::uint32_t>(At(image, functionsRva + ordinal * 4, 4)), 4));
  }
  if (image.encode == nullptr) Die("no export Jpeg_EncodeStart");
  image.entry = reinterpret_cast<EntryFn>(At(image, entryRva, 4));
  return image;
}

// One reference case: empty when it passes, else what differs.
std::string RunCase(EncodeFn encode, const std::string& name) {
  const Bytes in = ReadFile(name + ".bin"), exp = ReadFile(name + ".exp");
  if (in.size() < 36 || exp.size() < 8) return "truncated case";
  auto u32 = [](const Bytes& b, std::size_t at) { return Read<std::uint32_t>(&b[at]); };
  const std::uint32_t srcSize = u32(in, 28), capacity = u32(in, 32);
  if (in.size() != 36u + srcSize) return "source size does not match";
  std::unique_ptr<std::uint8_t[]> dst(new std::uint8_t[capacity]);
  std::memset(dst.get(), 0xEE, capacity);
  JpegEncodeParams p{};
  p.srcBits = srcSize == 0 ? nullptr : &in[36];
  p.srcSize = srcSize;
  p.dstBuffer = capacity == 0 ? nullptr : dst.get();
  p.dstSize = capacity;
  p.width = u32(in, 0);
  p.height = u32(in, 4);
  p.bitCount = static_cast<std::uint16_t>(u32(in, 8));
  p.quality = static_cast<std::uint8_t>(u32(in, 12));
  p.sampling = static_cast<std::uint8_t>(u32(in, 16));
  p.channelOrder = static_cast<std::uint8_t>(u32(in, 20));
  const std::uint16_t status = encode(&p, static_cast<std::int32_t>(u32(in, 24)));
  if (status != u32(exp, 0)) return "status " + std::to_string(status) + ", want " + std::to_string(u32(exp, 0));
  if (p.dstSize != u32(exp, 4)) return "dstSize " + std::to_string(p.dstSize) + ", want " + std::to_string(u32(exp, 4));
  const std::size_t written = exp.size() - 8;
  if (written > capacity) return "reference wrote more than the capacity";
  if (written != 0 && std::memcmp(dst.get(), &exp[8], written) != 0) return "the bytes written differ";
  // Nothing past the bytes the reference wrote is touched (up to 1.5 GB).
  static const Bytes guard(1 << 16, 0xEE);
  for (std::size_t i = written; i < capacity; i += guard.size()) {
    const std::size_t n = capacity - i < guard.size() ? capacity - i : guard.size();
    if (std::memcmp(dst.get() + i, guard.data(), n) != 0) return "bytes past the reference output written";
  }
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <dibjpeg.dll> <golden folder> <case count>\n", argv[0]);
    return 2;
  }
  const Image image = Load(ReadFile(argv[1]));
  constexpr std::uint32_t DllProcessAttach = 1;
  if (image.entry(image.base, DllProcessAttach, nullptr) != 1) Die("the entry point refused the process attach");
  const int count = std::atoi(argv[3]);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/case_%05d", i);
    const std::string problem = RunCase(image.encode, argv[2] + std::string(name));
    if (!problem.empty()) {
      std::printf("FAIL case_%05d: %s\n", i, problem.c_str());
      ++failed;
    }
  }
  std::printf("%d passed, %d failed\n", count - failed, failed);
  return failed == 0 && count > 0 ? 0 : 1;
}
