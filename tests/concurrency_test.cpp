// Concurrent callers: eight threads encode different images and formats at
// once, over and over, and every result must equal the serial one, byte for
// byte. Run under ThreadSanitizer (the tsan preset) this also proves the
// calls share no unsynchronised state.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_support.h"

namespace dibjpeg::test {
namespace {

struct Job {
  std::uint32_t width, height;
  int bitCount, quality, sampling, channelOrder;
  std::int32_t mode;
  int capacityDelta;  // encode mode: capacity = measured length + delta
};

// Every pixel format and sampling, both modes, and two failing calls (too
// small a buffer, source one byte short) that OR bits into the shared status
// word while the others run.
const Job Jobs[] = {
    {61, 47, 8, 75, 0, 0, JPEG_MODE_ENCODE, 0},   {53, 40, 16, 50, 0, 1, JPEG_MODE_ENCODE, 0},
    {33, 35, 16, 90, 2, 0, JPEG_MODE_ENCODE, 7},  {40, 29, 24, 90, 1, 1, JPEG_MODE_ENCODE, 0},
    {64, 48, 24, 10, 0, 0, JPEG_MODE_MEASURE, 0}, {37, 41, 32, 100, 2, 1, JPEG_MODE_ENCODE, 0},
    {48, 30, 32, 1, 0, 0, JPEG_MODE_ENCODE, -1},  {45, 26, 24, 75, 0, 1, JPEG_MODE_ENCODE, 0},
};

struct Outcome {
  std::uint16_t status = 0;
  std::uint32_t dstSize = 0;
  Bytes bytes;
  bool operator==(const Outcome&) const = default;
};

class Concurrency : public testing::Test {
 protected:
  void SetUp() override {
    for (const Job& job : Jobs) {
      sources_.push_back(ToDib(MakeTestImage(static_cast<int>(job.width), static_cast<int>(job.height)),
                               job.bitCount, job.channelOrder == 1));
    }
    // Job 7's source ends one byte before the top row's last pixel does.
    const Job& j7 = Jobs[7];
    sources_[7].resize(RowStride(j7.width, j7.bitCount) * (j7.height - 1) + j7.width * j7.bitCount / 8 - 1);
    for (std::size_t i = 0; i < std::size(Jobs); ++i) {
      const Job& job = Jobs[i];
      const EncodeResult m = Encode(sources_[i], job.width, job.height, job.bitCount, job.quality, job.sampling,
                                    job.channelOrder, JPEG_MODE_MEASURE, 0);
      capacities_.push_back(static_cast<std::uint32_t>((m.status == 0 ? m.dstSize : 4096) + job.capacityDelta));
      serial_.push_back(Run(i));
    }
  }

  Outcome Run(std::size_t i) const {
    const Job& job = Jobs[i];
    const EncodeResult r = Encode(sources_[i], job.width, job.height, job.bitCount, job.quality, job.sampling,
                                  job.channelOrder, job.mode, capacities_[i]);
    return Outcome{r.status, r.dstSize, r.bytes};
  }

  std::vector<Bytes> sources_;
  std::vector<std::uint32_t> capacities_;
  std::vector<Outcome> serial_;
};

TEST_F(Concurrency, EightThreadsGiveTheSerialBytes) {
  // The serial runs themselves: the successes and the two failures.
  for (std::size_t i = 0; i < std::size(Jobs); ++i) {
    const bool fails = i == 6 || i == 7;
    EXPECT_EQ(serial_[i].status != 0, fails) << "job " << i;
    EXPECT_EQ(serial_[i].dstSize == 0, fails) << "job " << i;
  }
  constexpr int Threads = 8;
  constexpr int Rounds = 200;
  std::atomic<int> ready{0};
  std::vector<int> mismatches(Threads, 0), badFailures(Threads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < Threads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < Threads) std::this_thread::yield();  // start together
      for (int round = 0; round < Rounds; ++round) {
        const std::size_t i = static_cast<std::size_t>(t + round) % std::size(Jobs);  // every job on every thread
        const Outcome got = Run(i);
        const Outcome& want = serial_[i];
        if (want.status == 0) {
          mismatches[t] += !(got == want);
        } else {
          // The status word is shared: a concurrent call may OR bits in or
          // reset it to 0x2000 before this call reads it back, so only the
          // base bit is certain. The length and the bytes written are its own.
          badFailures[t] += (got.status & 0xF000) != 0x2000;
          mismatches[t] += got.dstSize != 0 || got.bytes != want.bytes;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < Threads; ++t) {
    EXPECT_EQ(mismatches[t], 0) << "thread " << t;
    EXPECT_EQ(badFailures[t], 0) << "thread " << t;
  }
}

}  // namespace
}  // namespace dibjpeg::test
