#pragma once

namespace velto {

// What one critic step hands to the actor units.
struct CriticOutput {
  float value_change;
  float td_error;
};

}  // namespace velto
