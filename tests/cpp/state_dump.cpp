// Runs learner scenarios read from standard input and prints every member of the learner after
// its construction and after each step, so that an independent model of the learners can be
// compared with them bit for bit (tests/python/test_reference_model.py).
//
// Input, whitespace-separated, any number of scenarios until the end of input. A scenario is one
// of
//   critic <num_features> <lambda_> <alpha> <epsilon> <meta_step_size> <eta> <decay>
//   unit <num_features> <lambda_> <alpha> <epsilon> <meta_step_size> <eta_actor> <decay>
//        <action_prob_at_init> <seed>
//   agent <num_features> <num_actions> <lambda_> <alpha> <epsilon> <meta_step_size> <eta>
//         <eta_actor> <decay> <action_prob_at_init> <seed>
// followed by the number of steps and, for each step, its floats (critic and agent: reward gamma;
// unit: td_error gamma value_change), the length of its feature list and the indices. Floats are
// the eight hex digits of their binary32 bits, so that every NaN payload and signed zero arrives
// unchanged; integers are decimal (a unit's seed unsigned).
//
// Output, one line per member in declaration order, floats again as hex bits: "scenario <n>",
// then "step 0" with the state after construction, then for each step "step <k>", the step's
// result and the state after it. A unit's engine is shown by the next two outputs of a copy, which
// differ unless the unit has drawn exactly as often as it should. A construction that throws
// std::length_error prints "error length_error <message>" instead, and its steps are skipped.

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "core/actor_unit.hpp"
#include "core/critic.hpp"
#include "core/critic_output.hpp"

namespace {

struct Step {
  float first;
  float second;
  float third;
  std::vector<std::int32_t> features;
};

std::string next_token(std::istream& in) {
  std::string token;
  if (!(in >> token)) {
    throw std::runtime_error("input ends inside a scenario");
  }
  return token;
}

float read_float(std::istream& in) {
  const std::string token = next_token(in);
  std::size_t used = 0;
  const unsigned long value = std::stoul(token, &used, 16);
  if (used != token.size() || token.size() > 8) {
    throw std::runtime_error("not the hex bits of a float: " + token);
  }
  const std::uint32_t bits = static_cast<std::uint32_t>(value);
  float result;
  std::memcpy(&result, &bits, sizeof result);
  return result;
}

long long read_integer(std::istream& in) {
  const std::string token = next_token(in);
  std::size_t used = 0;
  const long long value = std::stoll(token, &used, 10);
  if (used != token.size()) {
    throw std::runtime_error("not a decimal integer: " + token);
  }
  return value;
}

std::vector<Step> read_steps(std::istream& in, bool three_floats) {
  std::vector<Step> steps(static_cast<std::size_t>(read_integer(in)));
  for (Step& step : steps) {
    step.first = read_float(in);
    step.second = read_float(in);
    step.third = three_floats ? read_float(in) : 0.0f;
    step.features.resize(static_cast<std::size_t>(read_integer(in)));
    for (std::int32_t& index : step.features) {
      index = static_cast<std::int32_t>(read_integer(in));
    }
  }
  return steps;
}

void print_bits(std::ostream& out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  char text[12];
  std::snprintf(text, sizeof text, " %08" PRIx32, bits);
  out << text;
}

void print_float(std::ostream& out, const char* name, float value) {
  out << name;
  print_bits(out, value);
  out << '\n';
}

void print_array(std::ostream& out, const char* name, const std::vector<float>& values) {
  out << name;
  for (const float value : values) {
    print_bits(out, value);
  }
  out << '\n';
}

void print_indices(std::ostream& out, const char* name, const std::vector<std::int32_t>& values) {
  out << name;
  for (const std::int32_t value : values) {
    out << ' ' << value;
  }
  out << '\n';
}

void print_critic(std::ostream& out, const velto::Critic& critic) {
  out << "critic\n";
  print_indices(out, "trace_list", critic.trace_list);
  print_array(out, "weights", critic.weights);
  print_array(out, "traces", critic.traces);
  print_array(out, "recent_step", critic.recent_step);
  print_array(out, "weight_change", critic.weight_change);
  print_array(out, "h", critic.h);
  print_array(out, "h_old", critic.h_old);
  print_array(out, "h_temp", critic.h_temp);
  print_array(out, "log_step_size", critic.log_step_size);
  print_array(out, "trace_bar", critic.trace_bar);
  print_array(out, "h_trace", critic.h_trace);
  print_array(out, "entry_step", critic.entry_step);
  print_float(out, "value_change", critic.value_change);
  print_float(out, "lambda_", critic.lambda_);
  print_float(out, "epsilon", critic.epsilon);
  print_float(out, "last_value", critic.last_value);
  print_float(out, "meta_step_size", critic.meta_step_size);
  print_float(out, "eta", critic.eta);
  print_float(out, "decay", critic.decay);
}

void print_unit(std::ostream& out, const velto::ActorUnit& unit) {
  out << "unit\n";
  print_indices(out, "trace_list", unit.trace_list);
  print_array(out, "weights", unit.weights);
  print_array(out, "traces", unit.traces);
  print_array(out, "recent_step", unit.recent_step);
  print_array(out, "h", unit.h);
  print_array(out, "h_old", unit.h_old);
  print_array(out, "h_temp", unit.h_temp);
  print_array(out, "log_step_size", unit.log_step_size);
  print_array(out, "trace_bar", unit.trace_bar);
  print_array(out, "h_trace", unit.h_trace);
  print_array(out, "entry_step", unit.entry_step);
  std::mt19937 engine_copy = unit.rng;
  const std::uint32_t next_first = static_cast<std::uint32_t>(engine_copy());
  const std::uint32_t next_second = static_cast<std::uint32_t>(engine_copy());
  out << "rng_next " << next_first << ' ' << next_second << '\n';
  print_float(out, "lambda_", unit.lambda_);
  print_float(out, "epsilon", unit.epsilon);
  print_float(out, "meta_step_size", unit.meta_step_size);
  print_float(out, "eta_actor", unit.eta_actor);
  print_float(out, "decay", unit.decay);
  print_float(out, "action_prob_at_init", unit.action_prob_at_init);
}

void print_agent(std::ostream& out, const velto::VeltoActorCritic& agent) {
  for (const velto::ActorUnit& unit : agent.units) {
    print_unit(out, unit);
  }
  print_critic(out, agent.critic);
}

void run_critic(std::istream& in, std::ostream& out) {
  const auto num_features = static_cast<std::int32_t>(read_integer(in));
  const float lambda_ = read_float(in);
  const float alpha = read_float(in);
  const float epsilon = read_float(in);
  const float meta_step_size = read_float(in);
  const float eta = read_float(in);
  const float decay = read_float(in);
  const std::vector<Step> steps = read_steps(in, false);
  velto::Critic critic(num_features, lambda_, alpha, epsilon, meta_step_size, eta, decay);
  out << "step 0\n";
  print_critic(out, critic);
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const velto::CriticOutput result =
        critic.step(steps[k].features, steps[k].first, steps[k].second);
    out << "step " << k + 1 << "\noutput";
    print_bits(out, result.value_change);
    print_bits(out, result.td_error);
    out << '\n';
    print_critic(out, critic);
  }
}

void run_unit(std::istream& in, std::ostream& out) {
  const auto num_features = static_cast<std::int32_t>(read_integer(in));
  const float lambda_ = read_float(in);
  const float alpha = read_float(in);
  const float epsilon = read_float(in);
  const float meta_step_size = read_float(in);
  const float eta_actor = read_float(in);
  const float decay = read_float(in);
  const float action_prob_at_init = read_float(in);
  const auto seed = static_cast<std::uint32_t>(read_integer(in));
  const std::vector<Step> steps = read_steps(in, true);
  velto::ActorUnit unit(num_features, lambda_, alpha, epsilon, meta_step_size, eta_actor, decay,
                        action_prob_at_init, seed);
  out << "step 0\n";
  print_unit(out, unit);
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const bool taken =
        unit.step(steps[k].features, steps[k].first, steps[k].second, steps[k].third);
    out << "step " << k + 1 << "\ntaken " << (taken ? 1 : 0) << '\n';
    print_unit(out, unit);
  }
}

void run_agent(std::istream& in, std::ostream& out) {
  const auto num_features = static_cast<std::int32_t>(read_integer(in));
  const auto num_actions = static_cast<std::int32_t>(read_integer(in));
  const float lambda_ = read_float(in);
  const float alpha = read_float(in);
  const float epsilon = read_float(in);
  const float meta_step_size = read_float(in);
  const float eta = read_float(in);
  const float eta_actor = read_float(in);
  const float decay = read_float(in);
  const float action_prob_at_init = read_float(in);
  const auto seed = static_cast<std::int32_t>(read_integer(in));
  const std::vector<Step> steps = read_steps(in, false);
  velto::VeltoActorCritic agent(num_features, num_actions, lambda_, alpha, epsilon, meta_step_size,
                                eta, eta_actor, decay, action_prob_at_init, seed);
  out << "step 0\n";
  print_agent(out, agent);
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const std::vector<std::int32_t> actions =
        agent.step(steps[k].features, steps[k].first, steps[k].second);
    out << "step " << k + 1 << '\n';
    print_indices(out, "actions", actions);
    print_agent(out, agent);
  }
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string kind;
  try {
    for (long scenario = 0; std::cin >> kind; ++scenario) {
      std::cout << "scenario " << scenario << '\n';
      try {
        if (kind == "critic") {
          run_critic(std::cin, std::cout);
        } else if (kind == "unit") {
          run_unit(std::cin, std::cout);
        } else if (kind == "agent") {
          run_agent(std::cin, std::cout);
        } else {
          throw std::runtime_error("unknown learner kind: " + kind);
        }
      } catch (const std::length_error& error) {
        std::cout << "error length_error " << error.what() << '\n';
      }
    }
  } catch (const std::exception& error) {
    std::cerr << "state_dump: " << error.what() << '\n';
    return 1;
  }
  std::cout.flush();
  return std::cout ? 0 : 1;
}
