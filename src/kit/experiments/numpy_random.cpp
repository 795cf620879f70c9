#include "kit/experiments/numpy_random.hpp"

#include <array>
#include <cstddef>
#include <random>
#include <utility>

namespace velto {

namespace {

// SeedSequence's hashing constants and its pool of four 32-bit words.
constexpr std::uint32_t kInitA = 0x43b0d7e5U;
constexpr std::uint32_t kMultA = 0x931e8875U;
constexpr std::uint32_t kInitB = 0x8b51f9ddU;
constexpr std::uint32_t kMultB = 0x58f38dedU;
constexpr std::uint32_t kMixMultL = 0xca01f9ddU;
constexpr std::uint32_t kMixMultR = 0x4973f715U;
constexpr unsigned kXShift = 16;  // half the bits of a word
constexpr std::size_t kPoolSize = 4;

using Pool = std::array<std::uint32_t, kPoolSize>;

// The hash is stateful: each call moves its multiplier on, so the order of the calls is part of
// the result.
class HashMix {
 public:
  explicit HashMix(std::uint32_t init) : hash_const_(init) {}
  std::uint32_t operator()(std::uint32_t value) {
    value ^= hash_const_;
    hash_const_ *= kMultA;
    value *= hash_const_;
    value ^= value >> kXShift;
    return value;
  }

 private:
  std::uint32_t hash_const_;
};

std::uint32_t mix(std::uint32_t x, std::uint32_t y) {
  std::uint32_t result = kMixMultL * x - kMixMultR * y;
  result ^= result >> kXShift;
  return result;
}

Pool mix_entropy(const std::vector<std::uint32_t>& entropy) {
  Pool pool{};
  HashMix hash(kInitA);
  for (std::size_t i = 0; i < kPoolSize; ++i) {
    pool[i] = hash(i < entropy.size() ? entropy[i] : 0U);
  }
  for (std::size_t src = 0; src < kPoolSize; ++src) {
    for (std::size_t dst = 0; dst < kPoolSize; ++dst) {
      if (src != dst) {
        pool[dst] = mix(pool[dst], hash(pool[src]));
      }
    }
  }
  for (std::size_t src = kPoolSize; src < entropy.size(); ++src) {
    for (std::size_t dst = 0; dst < kPoolSize; ++dst) {
      pool[dst] = mix(pool[dst], hash(entropy[src]));
    }
  }
  return pool;
}

// generate_state(4, uint64): eight words drawn from the pool, paired low word first.
std::array<std::uint64_t, 4> generate_state(const Pool& pool) {
  std::array<std::uint64_t, 4> out{};
  std::uint32_t hash_const = kInitB;
  for (std::size_t i = 0; i < 2 * out.size(); ++i) {
    std::uint32_t value = pool[i % kPoolSize];
    value ^= hash_const;
    hash_const *= kMultB;
    value *= hash_const;
    value ^= value >> kXShift;
    out[i / 2] |= static_cast<std::uint64_t>(value) << (32 * (i % 2));
  }
  return out;
}

constexpr Uint128 kMultiplier =
    (static_cast<Uint128>(0x2360ed051fc65da4ULL) << 64) | 0x4385df649fccf645ULL;

void advance(Pcg64State& state) { state.state = state.state * kMultiplier + state.inc; }

Uint128 join(std::uint64_t high, std::uint64_t low) {
  return (static_cast<Uint128>(high) << 64) | low;
}

}  // namespace

NumpyGenerator NumpyGenerator::from_entropy(const std::vector<std::uint32_t>& entropy) {
  const std::array<std::uint64_t, 4> words = generate_state(mix_entropy(entropy));
  Pcg64State state;
  state.inc = (join(words[2], words[3]) << 1) | 1U;
  advance(state);
  state.state += join(words[0], words[1]);
  advance(state);
  return NumpyGenerator(state);
}

NumpyGenerator NumpyGenerator::from_os_entropy() {
  // SeedSequence() takes 128 bits from the operating system.
  std::random_device device;
  std::vector<std::uint32_t> entropy(4);
  for (std::uint32_t& word : entropy) {
    word = device();
  }
  return from_entropy(entropy);
}

Seed::Seed(std::uint64_t value) : words_{static_cast<std::uint32_t>(value)} {
  if ((value >> 32) != 0) {
    words_.push_back(static_cast<std::uint32_t>(value >> 32));
  }
}

Seed::Seed(std::vector<std::uint32_t> words) : words_(std::move(words)) {
  if (words_.empty() || (words_.size() > 1 && words_.back() == 0)) {
    throw std::invalid_argument("a seed's words: at least one, and no zero word on top");
  }
}

NumpyGenerator::NumpyGenerator(const Seed& seed) : state_(from_entropy(seed.words()).state_) {}

std::uint64_t NumpyGenerator::next_uint64() {
  // NumPy steps the LCG before it outputs (XSL-RR of the new state).
  advance(state_);
  const auto high = static_cast<std::uint64_t>(state_.state >> 64);
  const auto low = static_cast<std::uint64_t>(state_.state);
  const auto rotation = static_cast<unsigned>(state_.state >> 122);
  const std::uint64_t folded = high ^ low;
  return (folded >> rotation) | (folded << ((64U - rotation) & 63U));
}

std::uint32_t NumpyGenerator::next_uint32() {
  if (state_.has_uint32) {
    state_.has_uint32 = false;
    return state_.uinteger;
  }
  const std::uint64_t next = next_uint64();
  state_.has_uint32 = true;
  state_.uinteger = static_cast<std::uint32_t>(next >> 32);
  return static_cast<std::uint32_t>(next);
}

double NumpyGenerator::random() {
  return static_cast<double>(next_uint64() >> 11) * (1.0 / 9007199254740992.0);
}

double NumpyGenerator::uniform(double low, double high) {
  const double range = high - low;
  return low + range * random();
}

std::int64_t NumpyGenerator::integers(std::int64_t high) {
  if (high < 1) {
    throw std::invalid_argument("integers: high must be at least 1");
  }
  // NumPy draws over the closed range [0, high - 1], with no draw when it holds one value, and
  // from 32-bit outputs (the buffered halves) when the range fits 32 bits.
  const auto range = static_cast<std::uint64_t>(high - 1);
  if (range == 0) {
    return 0;
  }
  if (range == 0xffffffffULL) {
    return next_uint32();
  }
  if (range < 0xffffffffULL) {
    const std::uint32_t range_excl = static_cast<std::uint32_t>(range) + 1U;
    std::uint64_t m = static_cast<std::uint64_t>(next_uint32()) * range_excl;
    auto leftover = static_cast<std::uint32_t>(m);
    if (leftover < range_excl) {
      const std::uint32_t threshold =
          (0xffffffffU - static_cast<std::uint32_t>(range)) % range_excl;
      while (leftover < threshold) {
        m = static_cast<std::uint64_t>(next_uint32()) * range_excl;
        leftover = static_cast<std::uint32_t>(m);
      }
    }
    return static_cast<std::int64_t>(m >> 32);
  }
  const std::uint64_t range_excl = range + 1U;
  Uint128 m = static_cast<Uint128>(next_uint64()) * range_excl;
  auto leftover = static_cast<std::uint64_t>(m);
  if (leftover < range_excl) {
    const std::uint64_t threshold = (~std::uint64_t{0} - range) % range_excl;
    while (leftover < threshold) {
      m = static_cast<Uint128>(next_uint64()) * range_excl;
      leftover = static_cast<std::uint64_t>(m);
    }
  }
  return static_cast<std::int64_t>(m >> 64);
}

}  // namespace velto
