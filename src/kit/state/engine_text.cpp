#include "kit/state/engine_text.hpp"

#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace velto {

namespace {

// LLVM's standard library (the wheel's: scripts/wheel_toolchain.sh) keeps another form of the
// same state. Its engine holds the last 624 words it made in a ring, with the index of the oldest,
// and makes each word when it is asked for one; its text form gives the ring from the oldest word
// on, without the index. The kit's form (GNU's) holds a block of 624 words made at once and the
// position of the next one to read. The two describe one sequence: the ring's words before the
// index are the block's first words, and the block's later words are those the ring makes next.
// The conversions between the two forms are compiled with every standard library, so that the
// C++ tests check them with any compiler; only the wheel's build reads and writes its engines
// through them.
constexpr std::size_t kWords = EngineState::kWords;
constexpr std::size_t kShift = std::mt19937::shift_size;  // 397
constexpr std::uint32_t kTwist = std::mt19937::xor_mask;  // 0x9908b0df
constexpr std::uint32_t kUpper = 0x80000000u;
constexpr std::uint32_t kLower = 0x7fffffffu;
using Words = std::array<std::uint32_t, kWords>;

std::uint32_t twist(std::uint32_t y) {
  return (y >> 1) ^ ((y & 1u) != 0 ? kTwist : 0u);
}

// The y that twist(y) came from: twist sets the top bit exactly when y is odd.
std::uint32_t untwist(std::uint32_t t) {
  return (t & kUpper) != 0 ? (((t ^ kTwist) << 1) | 1u) : (t << 1);
}

// Makes word k of the next block in place, from the ring as it stands when word k is due: the
// words before k are the new block's already, those from k on the previous block's.
void make_word(Words& ring, std::size_t k) {
  const std::uint32_t y = (ring[k] & kUpper) | (ring[(k + 1) % kWords] & kLower);
  ring[k] = ring[(k + kShift) % kWords] ^ twist(y);
}

}  // namespace

EngineState state_of_ring(const EngineRing& ring) {
  if (ring.index >= kWords) {
    throw std::invalid_argument("engine ring index " + std::to_string(ring.index) +
                                " is outside [0, 624)");
  }
  Words block = ring.words;
  // A full ring (index 0) is a block read to its end; otherwise the rest of the block is made.
  for (std::size_t k = ring.index; ring.index != 0 && k < kWords; ++k) {
    make_word(block, k);
  }
  return EngineState{block, ring.index == 0 ? static_cast<std::uint32_t>(kWords)
                                            : static_cast<std::uint32_t>(ring.index)};
}

// The ring from which the engine makes the block's words from `position` on: the block's words
// before the position, then the previous block's words, recovered backwards from the words they
// made. Word k of the previous block gives only its top bit to the block's word k and its low 31
// bits to word k - 1, and whole to word k - 397: the low bits of the word at the position are
// never used again, and stay zero. False when the block's words from the position on are not
// made from one another as the engine makes them (no engine is in that state).
bool ring_of_state(const EngineState& state, EngineRing& ring) {
  const std::size_t position = state.position;
  if (position > kWords) {
    return false;
  }
  const Words& block = state.words;
  Words words = block;
  if (position < kWords) {
    Words y{};  // y[k]: the twisted value behind the block's word k
    for (std::size_t k = kWords; k-- > position;) {
      const std::uint32_t partner = k + kShift >= kWords
                                        ? block[k + kShift - kWords]
                                        : (y[k + kShift] & kUpper) | (y[k + kShift - 1] & kLower);
      y[k] = untwist(block[k] ^ partner);
    }
    for (std::size_t k = position; k < kWords; ++k) {
      words[k] = (y[k] & kUpper) | (k > position ? y[k - 1] & kLower : 0u);
    }
    Words made = words;
    for (std::size_t k = position; k < kWords; ++k) {
      make_word(made, k);
    }
    if (made != block) {
      return false;
    }
  }
  ring = EngineRing{words, position % kWords};
  return true;
}

namespace {

// The words to come depend on the top bit of the first word and on all the others: when all of
// those are zero the engine yields only zeros, a state that no seeding leads to.
void check_state(const EngineState& state) {
  if (state.position > EngineState::kWords) {
    throw std::invalid_argument("engine position " + std::to_string(state.position) +
                                " is outside [0, 624]");
  }
  bool degenerate = (state.words[0] & kUpper) == 0;
  for (std::size_t i = 1; degenerate && i < EngineState::kWords; ++i) {
    degenerate = state.words[i] == 0;
  }
  if (degenerate) {
    throw std::invalid_argument("engine state is all zero: the engine would yield only zeros");
  }
}

#if defined(_LIBCPP_VERSION)

// The engine's representation: the ring, then the index. The index has no text form, so it is
// read from here, and the text form then confirms the ring word for word.
struct Ring {
  std::mt19937::result_type words[EngineState::kWords];
  std::size_t index;
};
static_assert(std::is_trivially_copyable_v<std::mt19937> && sizeof(Ring) == sizeof(std::mt19937),
              "the engine's representation is not a ring and an index");

void confirm_text_form(const std::mt19937& engine, const Ring& ring) {
  std::ostringstream text;
  text << engine;
  std::istringstream fields(text.str());
  for (std::size_t i = 0; i < kWords; ++i) {
    std::uint64_t word = 0;
    fields >> word;
    if (fields.fail() || word != ring.words[(ring.index + i) % kWords]) {
      throw std::runtime_error("the engine's representation is not the ring its text form gives");
    }
  }
}

}  // namespace

EngineState engine_state(const std::mt19937& engine) {
  Ring ring;
  std::memcpy(&ring, &engine, sizeof ring);
  if (ring.index >= kWords) {
    throw std::runtime_error("the engine's representation holds no ring index below 624");
  }
  confirm_text_form(engine, ring);
  EngineRing words;
  for (std::size_t k = 0; k < kWords; ++k) {
    words.words[k] = static_cast<std::uint32_t>(ring.words[k]);
  }
  words.index = ring.index;
  return state_of_ring(words);
}

void set_engine_state(std::mt19937& engine, const EngineState& state) {
  check_state(state);
  EngineRing words;
  if (!ring_of_state(state, words)) {
    throw std::invalid_argument(
        "engine state's words from its position on are not the ones the engine makes");
  }
  Ring ring;
  for (std::size_t k = 0; k < kWords; ++k) {
    ring.words[k] = words.words[k];
  }
  ring.index = words.index;
  std::mt19937 restored;
  std::memcpy(static_cast<void*>(&restored), &ring, sizeof ring);
  confirm_text_form(restored, ring);
  engine = restored;
}

#else

}  // namespace

EngineState engine_state(const std::mt19937& engine) {
  std::ostringstream text;
  text << engine;
  std::istringstream fields(text.str());
  EngineState state{};
  for (std::uint32_t& word : state.words) {
    fields >> word;
  }
  fields >> state.position;
  if (fields.fail()) {
    throw std::runtime_error("the engine's text form does not hold 624 words and a position");
  }
  return state;
}

void set_engine_state(std::mt19937& engine, const EngineState& state) {
  check_state(state);
  std::ostringstream text;
  for (const std::uint32_t word : state.words) {
    text << word << ' ';
  }
  text << state.position;
  std::istringstream fields(text.str());
  std::mt19937 restored;
  fields >> restored;
  if (fields.fail()) {
    throw std::runtime_error("the engine did not accept its own text form");
  }
  engine = restored;
}

#endif

}  // namespace velto
