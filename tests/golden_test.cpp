// Runs every reference case through the public function and compares the
// status, dstSize and every byte written, also before a failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "common/cpu_features.h"
#include "test_support.h"

namespace dibjpeg::test {
namespace {

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t U32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

// Each case runs with each kernel set this processor offers, capped one by
// one, down to the portable code alone, which other processors run.
class GoldenCase : public testing::TestWithParam<std::tuple<int, KernelSet>> {
 protected:
  void TearDown() override { CapKernelSet(KernelSet::Avx512); }
};

TEST_P(GoldenCase, MatchesReference) {
  if (std::get<1>(GetParam()) > OfferedKernelSet()) GTEST_SKIP() << "this processor lacks the kernel set";
  CapKernelSet(std::get<1>(GetParam()));
  char name[64];
  std::snprintf(name, sizeof name, "%s/case_%05d", DIBJPEG_GOLDEN_DIR, std::get<0>(GetParam()));
  const Bytes in = ReadFile(std::string(name) + ".bin");
  const Bytes exp = ReadFile(std::string(name) + ".exp");
  ASSERT_GE(in.size(), 36u) << name;
  ASSERT_GE(exp.size(), 8u) << name;

  const std::uint32_t srcSize = U32(in, 28), capacity = U32(in, 32);
  ASSERT_EQ(in.size(), 36u + srcSize);
  JpegEncodeParams p{};
  const Bytes src(in.begin() + 36, in.end());
  // Some cases state capacities near 2 GiB: memset and memcmp keep filling and
  // checking them fast even under the sanitizers.
  std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[capacity]);
  std::uint8_t* const dst = buffer.get();
  std::memset(dst, 0xEE, capacity);
  p.srcBits = src.empty() ? nullptr : src.data();
  p.srcSize = srcSize;
  p.dstBuffer = capacity == 0 ? nullptr : dst;
  p.dstSize = capacity;
  p.width = U32(in, 0);
  p.height = U32(in, 4);
  p.bitCount = static_cast<std::uint16_t>(U32(in, 8));
  p.quality = static_cast<std::uint8_t>(U32(in, 12));
  p.sampling = static_cast<std::uint8_t>(U32(in, 16));
  p.channelOrder = static_cast<std::uint8_t>(U32(in, 20));
  const auto mode = static_cast<std::int32_t>(U32(in, 24));

  const std::uint16_t status = Jpeg_EncodeStart(&p, mode);
  EXPECT_EQ(status, U32(exp, 0)) << name;
  EXPECT_EQ(p.dstSize, U32(exp, 4)) << name;
  const std::size_t written = exp.size() - 8;
  ASSERT_LE(written, capacity) << name;
  for (std::size_t i = 0; i < written; ++i) {
    if (dst[i] != exp[8 + i]) {
      ADD_FAILURE() << name << ": first difference at byte " << i << ", have " << Hex(&dst[i], std::min<std::size_t>(8, written - i))
                    << ", want " << Hex(&exp[8 + i], std::min<std::size_t>(8, written - i));
      break;
    }
  }
  // Nothing past the bytes the reference wrote is touched.
  static const Bytes guard(1 << 16, 0xEE);
  for (std::size_t i = written; i < capacity; i += guard.size()) {
    const std::size_t n = std::min<std::size_t>(guard.size(), capacity - i);
    if (std::memcmp(dst + i, guard.data(), n) == 0) continue;
    while (dst[i] == 0xEE) ++i;
    FAIL() << name << ": byte " << i << " past the reference output was written";
  }
}

const KernelSet KernelChoices[] = {KernelSet::Portable, KernelSet::Avx2, KernelSet::Avx512};
INSTANTIATE_TEST_SUITE_P(AllCases, GoldenCase, testing::Combine(testing::Range(0, 160), testing::ValuesIn(KernelChoices)));

}  // namespace
}  // namespace dibjpeg::test
