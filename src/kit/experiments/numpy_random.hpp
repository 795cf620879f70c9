#pragma once

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace velto {

// PCG64's 128-bit numbers (a GCC and Clang extension, hence the marker that keeps -Wpedantic
// quiet about it).
__extension__ typedef unsigned __int128 Uint128;

// The state of NumPy's PCG64 bit generator as `bit_generator.state` shows it: the 128-bit LCG
// state and increment, and the spare upper half of a 64-bit output that next_uint32 keeps.
struct Pcg64State {
  Uint128 state = 0;
  Uint128 inc = 0;
  bool has_uint32 = false;
  std::uint32_t uinteger = 0;
};

// A seed as SeedSequence takes an integer: its 32-bit words, least significant first, with no
// zero word above the highest nonzero one (0 is the single word 0). Every non-negative integer
// has one, so a seed of any size is taken as NumPy (and Gymnasium's reset) takes it.
class Seed {
 public:
  Seed(std::uint64_t value);  // NOLINT(google-explicit-constructor): every 64-bit seed is one
  // An integer's words as above; throws std::invalid_argument for none or a zero top word.
  explicit Seed(std::vector<std::uint32_t> words);

  const std::vector<std::uint32_t>& words() const { return words_; }

 private:
  std::vector<std::uint32_t> words_;
};

// numpy.random.default_rng(seed), which is also what Gymnasium's environments draw from
// (seeding.np_random(seed)): PCG64 seeded through SeedSequence(seed), and the Generator methods
// the tasks and the action mappings use, each drawing exactly the numbers NumPy's would, so that a
// generator here and one in Python stay in step.
class NumpyGenerator {
 public:
  // SeedSequence(seed) with no spawn key, its first four 32-bit words as PCG64's seed.
  explicit NumpyGenerator(const Seed& seed);
  explicit NumpyGenerator(const Pcg64State& state) : state_(state) {}
  // SeedSequence(entropy) for any list of 32-bit words (an integer's words, least significant
  // first), and SeedSequence() with 128 bits from the operating system, as an unseeded
  // environment's first reset draws.
  static NumpyGenerator from_entropy(const std::vector<std::uint32_t>& entropy);
  static NumpyGenerator from_os_entropy();

  std::uint64_t next_uint64();
  std::uint32_t next_uint32();
  // Generator.random(): a double in [0, 1) from the top 53 bits of one 64-bit output.
  double random();
  // Generator.uniform(low, high): low + (high - low) * random().
  double uniform(double low, double high);
  // Generator.integers(high) with the default int64 dtype: one value of [0, high), high >= 1,
  // drawn by NumPy's bounded method for that range. Throws std::invalid_argument below 1.
  std::int64_t integers(std::int64_t high);

  const Pcg64State& state() const { return state_; }
  void set_state(const Pcg64State& state) { state_ = state; }

 private:
  Pcg64State state_;
};

}  // namespace velto
