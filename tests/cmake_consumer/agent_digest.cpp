// Runs one agent over a fixed sequence of steps and prints a digest of every action list it
// returned, and whether the learners take their vectorised sweep on this processor. The wheel's
// module, fed the same steps by tests/dist/agent_digest.py, must print the same digest.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "agent/velto_actor_critic.hpp"
#include "core/fast_math.hpp"

namespace {

constexpr std::int32_t kFeatures = 4096;
constexpr int kSteps = 3000;
constexpr int kActive = 24;

// FNV-1a over 32-bit words.
std::uint64_t mix(std::uint64_t digest, std::uint32_t word) {
  for (int byte = 0; byte < 4; ++byte) {
    digest ^= (word >> (8 * byte)) & 0xffu;
    digest *= 0x100000001b3u;
  }
  return digest;
}

}  // namespace

int main() {
  velto::VeltoActorCritic agent(kFeatures, 3, 0.9f, 0.05f, 1e-3f, 0.01f, 1.0f, 0.5f, 0.9f, 0.5f,
                                11);
  std::uint64_t digest = 0xcbf29ce484222325u;
  std::vector<std::int32_t> features(kActive);
  for (int k = 0; k < kSteps; ++k) {
    for (int j = 0; j < kActive; ++j) {
      features[j] = static_cast<std::int32_t>((k * 7919 + j * 104729) % kFeatures);
    }
    // Small integers over 8: exact in binary32 and in double alike.
    const float reward = static_cast<float>((k * 31) % 17 - 8) / 8.0f;
    const float gamma = k % 200 == 199 ? 0.0f : 0.95f;
    const std::vector<std::int32_t> actions = agent.step(features, reward, gamma);
    digest = mix(digest, static_cast<std::uint32_t>(actions.size()));
    for (const std::int32_t action : actions) {
      digest = mix(digest, static_cast<std::uint32_t>(action));
    }
  }
  std::printf("digest %016llx\nvectorised sweep %s\n", static_cast<unsigned long long>(digest),
              velto::fast_math_usable() ? "yes" : "no");
  return 0;
}
