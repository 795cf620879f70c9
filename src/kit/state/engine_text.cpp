#include "kit/state/engine_text.hpp"

#include <sstream>
#include <stdexcept>
#include <string>

namespace velto {

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
  if (state.position > EngineState::kWords) {
    throw std::invalid_argument("engine position " + std::to_string(state.position) +
                                " is outside [0, 624]");
  }
  // The words to come depend on the top bit of the first word and on all the others: when all
  // of those are zero the engine yields only zeros, a state that no seeding leads to.
  bool degenerate = (state.words[0] & 0x80000000u) == 0;
  for (std::size_t i = 1; degenerate && i < EngineState::kWords; ++i) {
    degenerate = state.words[i] == 0;
  }
  if (degenerate) {
    throw std::invalid_argument("engine state is all zero: the engine would yield only zeros");
  }
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

}  // namespace velto
