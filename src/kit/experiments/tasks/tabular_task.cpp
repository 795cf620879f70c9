#include "kit/experiments/tasks/tabular_task.hpp"

#include <stdexcept>
#include <string>

namespace velto::tasks {

namespace {

std::vector<double> running_sum(const std::vector<double>& values) {
  std::vector<double> sums(values.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    sum = i == 0 ? values[0] : sum + values[i];
    sums[i] = sum;
  }
  return sums;
}

// The first index whose running sum exceeds one random() draw; 0 when none does (as argmax of
// an all-false array gives).
template <typename Cumulative>
std::size_t sample(const std::vector<Cumulative>& items, double (*cumulative)(const Cumulative&),
                   NumpyGenerator& generator) {
  const double draw = generator.random();
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (cumulative(items[i]) > draw) {
      return i;
    }
  }
  return 0;
}

double identity(const double& value) { return value; }

}  // namespace

TabularTask::TabularTask(std::int64_t num_states, std::int32_t num_actions,
                         std::optional<std::int64_t> max_episode_steps)
    : TimedTask(max_episode_steps),
      num_states_(num_states),
      num_actions_(num_actions),
      table_(static_cast<std::size_t>(num_states) * static_cast<std::size_t>(num_actions)) {}

void TabularTask::add_outcome(std::int64_t state, std::int32_t action, double probability,
                              std::int64_t next_state, double reward, bool terminated) {
  std::vector<Outcome>& outcomes =
      table_[static_cast<std::size_t>(state * num_actions_ + action)];
  const double cumulative =
      outcomes.empty() ? probability : outcomes.back().cumulative_probability + probability;
  outcomes.push_back(Outcome{cumulative, next_state, reward, terminated});
}

void TabularTask::set_initial_distribution(const std::vector<double>& probabilities) {
  initial_cumulative_ = running_sum(probabilities);
}

const TabularTask::Outcome& TabularTask::draw_outcome(std::int32_t action,
                                                      NumpyGenerator& generator) const {
  const std::vector<Outcome>& outcomes =
      table_[static_cast<std::size_t>(state_ * num_actions_ + action)];
  return outcomes[sample<Outcome>(
      outcomes, [](const Outcome& outcome) { return outcome.cumulative_probability; },
      generator)];
}

void TabularTask::move_to(std::int64_t state) {
  state_ = state;
  observation_ = static_cast<double>(state);
}

void TabularTask::start(NumpyGenerator& generator) {
  move_to(static_cast<std::int64_t>(sample<double>(initial_cumulative_, identity, generator)));
}

Transition TabularTask::advance(std::int32_t action, NumpyGenerator& generator) {
  const Outcome& outcome = draw_outcome(action, generator);
  move_to(outcome.next_state);
  Transition transition;
  transition.reward = outcome.reward;
  transition.terminated = outcome.terminated;
  return transition;
}

std::vector<double> TabularTask::values() const { return {static_cast<double>(state_)}; }

void TabularTask::load_values(const std::vector<double>& values) {
  expect_values(values, 1, "a toy-text task's");
  move_to(integer_value(values[0], 0, num_states_ - 1, "the state"));
}

// CliffWalking ---------------------------------------------------------------------------------

namespace {

constexpr std::int64_t kCliffRows = 4;
constexpr std::int64_t kCliffColumns = 12;
constexpr std::int64_t kCliffStart = 3 * kCliffColumns;
// UP, RIGHT, DOWN, LEFT as (row, column) steps.
constexpr std::int64_t kCliffMoves[4][2] = {{-1, 0}, {0, 1}, {1, 0}, {0, -1}};

std::int64_t clamp_index(std::int64_t value, std::int64_t size) {
  return value < 0 ? 0 : (value > size - 1 ? size - 1 : value);
}

}  // namespace

CliffWalking::CliffWalking(bool is_slippery, std::optional<std::int64_t> max_episode_steps)
    : TabularTask(kCliffRows * kCliffColumns, 4, max_episode_steps) {
  for (std::int64_t state = 0; state < kCliffRows * kCliffColumns; ++state) {
    const std::int64_t row = state / kCliffColumns;
    const std::int64_t column = state % kCliffColumns;
    for (std::int32_t move = 0; move < 4; ++move) {
      std::vector<std::int32_t> directions{move};
      if (is_slippery) {
        directions = {(move + 3) % 4, move, (move + 1) % 4};
      }
      const double probability = 1.0 / static_cast<double>(directions.size());
      for (const std::int32_t direction : directions) {
        const std::int64_t new_row = clamp_index(row + kCliffMoves[direction][0], kCliffRows);
        const std::int64_t new_column =
            clamp_index(column + kCliffMoves[direction][1], kCliffColumns);
        const bool cliff = new_row == kCliffRows - 1 && new_column >= 1 &&
                           new_column <= kCliffColumns - 2;
        if (cliff) {
          add_outcome(state, move, probability, kCliffStart, -100.0, false);
        } else {
          const bool goal = new_row == kCliffRows - 1 && new_column == kCliffColumns - 1;
          add_outcome(state, move, probability, new_row * kCliffColumns + new_column, -1.0, goal);
        }
      }
    }
  }
  std::vector<double> initial(static_cast<std::size_t>(kCliffRows * kCliffColumns), 0.0);
  initial[kCliffStart] = 1.0;
  set_initial_distribution(initial);
}

// FrozenLake -----------------------------------------------------------------------------------

FrozenLake::FrozenLake(const std::vector<const char*>& map, bool is_slippery,
                       double success_rate, std::optional<std::int64_t> max_episode_steps)
    : TabularTask(static_cast<std::int64_t>(map.size() * map.size()), 4, max_episode_steps) {
  const auto rows = static_cast<std::int64_t>(map.size());
  const std::int64_t columns = rows;
  const double fail_rate = (1.0 - success_rate) / 2.0;
  // LEFT, DOWN, RIGHT, UP as (row, column) steps.
  constexpr std::int64_t kMoves[4][2] = {{0, -1}, {1, 0}, {0, 1}, {-1, 0}};
  const auto letter = [&](std::int64_t row, std::int64_t column) {
    return map[static_cast<std::size_t>(row)][column];
  };
  std::vector<double> initial;
  for (std::int64_t row = 0; row < rows; ++row) {
    for (std::int64_t column = 0; column < columns; ++column) {
      const std::int64_t state = row * columns + column;
      initial.push_back(letter(row, column) == 'S' ? 1.0 : 0.0);
      for (std::int32_t action = 0; action < 4; ++action) {
        if (letter(row, column) == 'G' || letter(row, column) == 'H') {
          add_outcome(state, action, 1.0, state, 0.0, true);
          continue;
        }
        std::vector<std::int32_t> directions{action};
        if (is_slippery) {
          directions = {(action + 3) % 4, action, (action + 1) % 4};
        }
        for (const std::int32_t direction : directions) {
          const double probability =
              !is_slippery ? 1.0 : (direction == action ? success_rate : fail_rate);
          const std::int64_t new_row = clamp_index(row + kMoves[direction][0], rows);
          const std::int64_t new_column = clamp_index(column + kMoves[direction][1], columns);
          const char next = letter(new_row, new_column);
          add_outcome(state, action, probability, new_row * columns + new_column,
                      next == 'G' ? 1.0 : 0.0, next == 'G' || next == 'H');
        }
      }
    }
  }
  set_initial_distribution(initial);  // one start, so its probability is exactly 1
}

// Taxi -----------------------------------------------------------------------------------------

namespace {

// Walls are the '|' between cells: cell (row, column) is text row 1 + row, character 2 * column + 1.
constexpr const char* kTaxiMap[] = {
    "+---------+", "|R: | : :G|", "| : | : : |", "| : : : : |",
    "| | : | : |", "|Y| : |B: |", "+---------+",
};
constexpr std::int64_t kTaxiLast = 4;  // last row and column
constexpr std::int64_t kStands[4][2] = {{0, 0}, {0, 4}, {4, 0}, {4, 3}};

bool open(std::int64_t text_row, std::int64_t text_column) {
  return kTaxiMap[text_row][text_column] == ':';
}

std::int64_t encode(std::int64_t row, std::int64_t column, std::int64_t passenger,
                    std::int64_t destination) {
  return ((row * 5 + column) * 5 + passenger) * 4 + destination;
}

struct TaxiState {
  std::int64_t row, column, passenger, destination;
};

TaxiState decode(std::int64_t state) {
  TaxiState out{};
  out.destination = state % 4;
  state /= 4;
  out.passenger = state % 5;
  state /= 5;
  out.column = state % 5;
  out.row = state / 5;
  return out;
}

// The stand the taxi is at, or -1.
std::int64_t stand_at(std::int64_t row, std::int64_t column) {
  for (std::int64_t i = 0; i < 4; ++i) {
    if (kStands[i][0] == row && kStands[i][1] == column) {
      return i;
    }
  }
  return -1;
}

struct Effect {
  std::int64_t passenger;
  double reward;
  bool terminated;
};

Effect pickup(std::int64_t row, std::int64_t column, std::int64_t passenger, double reward) {
  if (passenger < 4 && stand_at(row, column) == passenger) {
    return {4, reward, false};
  }
  return {passenger, -10.0, false};
}

Effect dropoff(std::int64_t row, std::int64_t column, std::int64_t passenger,
               std::int64_t destination, double reward) {
  const std::int64_t stand = stand_at(row, column);
  if (stand == destination && passenger == 4) {
    return {destination, 20.0, true};
  }
  if (stand >= 0 && passenger == 4) {
    return {stand, reward, false};
  }
  return {passenger, -10.0, false};
}

std::int64_t clamp_cell(std::int64_t value) {
  return value < 0 ? 0 : (value > kTaxiLast ? kTaxiLast : value);
}

// A sideways slide, which a wall beside the cell it would enter blocks.
std::array<std::int64_t, 2> slide(std::int64_t row, std::int64_t column, const std::int64_t* step) {
  const std::int64_t new_row = clamp_cell(row + step[0]);
  const std::int64_t new_column = clamp_cell(column + step[1]);
  if (step[1] == 1 && !open(1 + new_row, 2 * new_column)) {
    return {row, column};
  }
  if (step[1] == -1 && !open(1 + new_row, 2 * new_column + 2)) {
    return {row, column};
  }
  return {new_row, new_column};
}

// For each move (south, north, east, west): the intended step, then the one to its left and
// the one to its right.
constexpr std::int64_t kRainyMoves[4][3][2] = {
    {{1, 0}, {0, 1}, {0, -1}},
    {{-1, 0}, {0, -1}, {0, 1}},
    {{0, 1}, {-1, 0}, {1, 0}},
    {{0, -1}, {1, 0}, {-1, 0}},
};

}  // namespace

Taxi::Taxi(bool is_rainy, bool fickle_passenger, double rainy_probability,
           double fickle_probability, std::optional<std::int64_t> max_episode_steps)
    : TabularTask(500, 6, max_episode_steps),
      fickle_passenger_(fickle_passenger),
      fickle_probability_(fickle_probability) {
  const double lateral_probability = (1.0 - rainy_probability) / 2.0;
  std::vector<double> initial(500, 0.0);
  for (std::int64_t row = 0; row <= kTaxiLast; ++row) {
    for (std::int64_t column = 0; column <= kTaxiLast; ++column) {
      for (std::int64_t passenger = 0; passenger < 5; ++passenger) {
        for (std::int64_t destination = 0; destination < 4; ++destination) {
          const std::int64_t state = encode(row, column, passenger, destination);
          if (passenger < 4 && passenger != destination) {
            initial[static_cast<std::size_t>(state)] += 1.0;
          }
          for (std::int32_t action = 0; action < 6; ++action) {
            std::int64_t new_row = row;
            std::int64_t new_column = column;
            Effect effect{passenger, -1.0, false};
            if (!is_rainy) {
              if (action == 0) {
                new_row = std::min(row + 1, kTaxiLast);
              } else if (action == 1) {
                new_row = std::max(row - 1, std::int64_t{0});
              }
              if (action == 2 && open(1 + row, 2 * column + 2)) {
                new_column = std::min(column + 1, kTaxiLast);
              } else if (action == 3 && open(1 + row, 2 * column)) {
                new_column = std::max(column - 1, std::int64_t{0});
              } else if (action == 4) {
                effect = pickup(row, column, passenger, effect.reward);
              } else if (action == 5) {
                effect = dropoff(row, column, passenger, destination, effect.reward);
              }
              add_outcome(state, action, 1.0,
                          encode(new_row, new_column, effect.passenger, destination),
                          effect.reward, effect.terminated);
              continue;
            }
            std::array<std::int64_t, 2> left = {row, column};
            std::array<std::int64_t, 2> right = {row, column};
            const bool can_move = (action == 0 && row < kTaxiLast) || (action == 1 && row > 0) ||
                                  (action == 2 && open(1 + row, 2 * column + 2)) ||
                                  (action == 3 && open(1 + row, 2 * column));
            if (can_move) {
              new_row = clamp_cell(row + kRainyMoves[action][0][0]);
              new_column = clamp_cell(column + kRainyMoves[action][0][1]);
              left = slide(row, column, kRainyMoves[action][1]);
              right = slide(row, column, kRainyMoves[action][2]);
            } else if (action == 4) {
              effect = pickup(row, column, passenger, effect.reward);
            } else if (action == 5) {
              effect = dropoff(row, column, passenger, destination, effect.reward);
            }
            const std::int64_t intended =
                encode(new_row, new_column, effect.passenger, destination);
            if (action <= 3) {
              add_outcome(state, action, rainy_probability, intended, -1.0, effect.terminated);
              add_outcome(state, action, lateral_probability,
                          encode(left[0], left[1], effect.passenger, destination), -1.0,
                          effect.terminated);
              add_outcome(state, action, lateral_probability,
                          encode(right[0], right[1], effect.passenger, destination), -1.0,
                          effect.terminated);
            } else {
              add_outcome(state, action, 1.0, intended, effect.reward, effect.terminated);
            }
          }
        }
      }
    }
  }
  double total = 0.0;
  for (const double count : initial) {
    total += count;
  }
  for (double& probability : initial) {
    probability /= total;
  }
  set_initial_distribution(initial);
}

void Taxi::start(NumpyGenerator& generator) {
  TabularTask::start(generator);
  // The draw is made only for a fickle passenger.
  fickle_step_ = fickle_passenger_ && generator.random() < fickle_probability_;
}

Transition Taxi::advance(std::int32_t action, NumpyGenerator& generator) {
  const TaxiState before = decode(current_state());
  const Outcome& outcome = draw_outcome(action, generator);
  std::int64_t next = outcome.next_state;
  const TaxiState after = decode(next);
  if (fickle_passenger_ && fickle_step_ && before.passenger == 4 &&
      (after.row != before.row || after.column != before.column)) {
    fickle_step_ = false;
    // One of the other three stands, in stand order.
    std::int64_t destination = generator.integers(3);
    if (destination >= before.destination) {
      ++destination;
    }
    next = encode(after.row, after.column, after.passenger, destination);
  }
  move_to(next);
  Transition transition;
  transition.reward = outcome.reward;
  transition.terminated = outcome.terminated;
  return transition;
}

std::vector<double> Taxi::values() const {
  return {static_cast<double>(current_state()), fickle_step_ ? 1.0 : 0.0};
}

void Taxi::load_values(const std::vector<double>& values) {
  expect_values(values, 2, "Taxi");
  const std::int64_t state = integer_value(values[0], 0, 499, "Taxi's state");
  const bool fickle = integer_value(values[1], 0, 1, "Taxi's fickle flag") == 1;
  move_to(state);
  fickle_step_ = fickle;
}

}  // namespace velto::tasks
