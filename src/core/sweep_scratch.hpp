#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velto {

// Working memory of a learner's vectorised trace sweep, kept between steps so that a sweep
// allocates nothing once trace_list has reached its working size. It holds, per position of
// trace_list, the listed feature's recent_step as the sweep found it and whether the sweep pruned
// the entry.
//
// The vectorised sweep treats the entries as independent, which holds only when no index is
// listed twice. save_recent_steps() finds out first: it overwrites each listed recent_step with a
// mark that no arithmetic produces, so that a second listing of the same index finds the mark.
class SweepScratch {
 public:
  // Whether the vectorised sweep is the faster one for arrays of `num_features` elements. Measured
  // on the step benchmark (32 active features, a live set of about 1,400): it takes 0.7 to 0.9 of
  // the one-by-one sweep's time up to 1e5 features, but once the arrays are far larger than the
  // caches the sweep waits on memory and the extra pass of the vectorised one costs more than its
  // arithmetic saves (1.04 to 1.2 times the one-by-one time at 1e6 features, the critic already
  // 1.12 at 3e5).
  static bool pays_for(std::size_t num_features) { return num_features <= (std::size_t{1} << 18); }

  // Saves recent_step of every listed feature by position and marks it. Returns false, with every
  // recent_step restored bit for bit, when a mark is found: an index is listed twice (or a caller
  // stored the mark itself), and the entries must be swept one by one.
  bool save_recent_steps(const std::vector<std::int32_t>& trace_list,
                         std::vector<float>& recent_step);

  const float* saved_recent_steps() const { return recent_step.data(); }
  std::uint8_t* pruned_flags() { return pruned.data(); }

  // Applies the recorded pruning decisions to trace_list with the one-by-one walk's moves: a
  // pruned position takes the last entry, and that entry's own decision is looked at next in the
  // same position. The final order is therefore exactly the one the walk leaves.
  void remove_pruned(std::vector<std::int32_t>& trace_list);

 private:
  std::vector<float> recent_step;
  std::vector<std::uint8_t> pruned;
};

}  // namespace velto
