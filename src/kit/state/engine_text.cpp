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
