#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>

namespace velto {

// A 32-bit Mersenne Twister's complete state as the standard library's text form writes it: the
// 624 state words and then the read position (624 right after seeding, 0 after a regeneration).
// The text form is the only standard access to the state, so both directions go through it, and
// a state read back continues exactly the sequence of the engine it was read from. LLVM's
// standard library writes another form (engine_text.cpp converts): there, a state set at position
// 0, which no engine reaches by itself, reads back as the block it was made from at position 624,
// with the low 31 bits of its first word (on which no later word depends) zero; the same sequence.
struct EngineState {
  static constexpr std::size_t kWords = std::mt19937::state_size;

  std::array<std::uint32_t, kWords> words;
  std::uint32_t position;
};

EngineState engine_state(const std::mt19937& engine);

// Throws std::invalid_argument, leaving `engine` unchanged, when the position lies outside
// [0, 624] (the engine would read its state array out of bounds) or when the state is one no
// engine can be in (all zero where the next words come from: only zeros would follow).
void set_engine_state(std::mt19937& engine, const EngineState& state);

// The same state as LLVM's standard library keeps it (engine_text.cpp): the last 624 words the
// engine made, in a ring whose oldest word is at `index`, each next word made when it is read.
struct EngineRing {
  std::array<std::uint32_t, EngineState::kWords> words;
  std::size_t index;
};

// The block and position of a ring; std::invalid_argument for an index outside [0, 624).
EngineState state_of_ring(const EngineRing& ring);

// The ring that continues the sequence of `state` (a state at position 0 becomes the ring of the
// block it was made from, read to its end), into `ring`; false, leaving `ring` unchanged, when no
// engine is in `state` (its words from the position on are not made from one another, or its
// position lies past 624).
bool ring_of_state(const EngineState& state, EngineRing& ring);

}  // namespace velto
