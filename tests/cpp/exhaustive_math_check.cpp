// Compares the learners' own exp and log with the platform's std::exp and std::log on every one of
// the 2^32 float bit patterns, NaNs and infinities included, bit for bit. Slow (tens of seconds),
// so it runs in the benchmark stage rather than with the unit tests; the two halves of the input
// space run on two threads.
//
// Exit status: 0 when both agree everywhere, 1 on any difference (the first few are printed), 77
// when this processor cannot run the learners' own routines, so that there is nothing to compare.
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "core/fast_math.hpp"

namespace {

struct Mismatches {
  std::uint64_t count = 0;
  std::uint32_t first_inputs[4] = {};
};

std::uint32_t bits_of(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// Checks the bit patterns [begin, end) of one function; end is exclusive and may be 2^32.
template <typename Fast, typename Platform>
Mismatches check_range(std::uint64_t begin, std::uint64_t end, Fast fast, Platform platform) {
  constexpr std::size_t kBlock = 4096;
  std::vector<float> inputs(kBlock);
  std::vector<float> outputs(kBlock);
  Mismatches found;
  for (std::uint64_t start = begin; start < end; start += kBlock) {
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, end - start));
    for (std::size_t n = 0; n < count; ++n) {
      const std::uint32_t bits = static_cast<std::uint32_t>(start + n);
      std::memcpy(&inputs[n], &bits, sizeof(bits));
    }
    fast(inputs.data(), outputs.data(), count);
    for (std::size_t n = 0; n < count; ++n) {
      if (bits_of(outputs[n]) != bits_of(platform(inputs[n]))) {
        if (found.count < 4) {
          found.first_inputs[found.count] = bits_of(inputs[n]);
        }
        ++found.count;
      }
    }
  }
  return found;
}

template <typename Fast, typename Platform>
bool check_all(const char* name, Fast fast, Platform platform) {
  constexpr std::uint64_t kAll = std::uint64_t{1} << 32;
  Mismatches halves[2];
  std::thread upper([&] { halves[1] = check_range(kAll / 2, kAll, fast, platform); });
  halves[0] = check_range(0, kAll / 2, fast, platform);
  upper.join();
  const std::uint64_t total = halves[0].count + halves[1].count;
  std::printf("%s: %" PRIu64 " of 4294967296 inputs differ from the platform\n", name, total);
  for (const Mismatches& half : halves) {
    for (std::uint64_t n = 0; n < std::min<std::uint64_t>(half.count, 4); ++n) {
      const std::uint32_t bits = half.first_inputs[n];
      float input;
      std::memcpy(&input, &bits, sizeof(input));
      float output;
      fast(&input, &output, 1);
      std::printf("  input %08" PRIx32 ": ours %08" PRIx32 ", platform %08" PRIx32 "\n", bits,
                  bits_of(output), bits_of(platform(input)));
    }
  }
  return total == 0;
}

}  // namespace

int main() {
  if (!velto::processor_supports_fast_math()) {
    std::printf(
        "no AVX2 and FMA: the learners use the platform's exp and log, nothing to compare\n");
    return 77;
  }
  const bool exp_ok = check_all("exp", velto::exp_floats, [](float x) { return std::exp(x); });
  const bool log_ok = check_all("log", velto::log_floats, [](float x) { return std::log(x); });
  return exp_ok && log_ok ? 0 : 1;
}
