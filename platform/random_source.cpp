#include "platform/random_source.h"

#include <chrono>
#include <cstdint>
#include <random>

namespace platform {

float NextRandom() {
  // Each process draws a sequence of its own: two movers on one target that drew the same
  // names in step would turn every collision into two.
  static std::mt19937 generator = [] {
    std::random_device device;
    const auto now = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    int local = 0;
    std::seed_seq seed{device(), device(), static_cast<unsigned>(now),
                       static_cast<unsigned>(now >> 32),
                       static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(&local))};
    return std::mt19937(seed);
  }();
  // 24 random bits make a float in [0, 1) without ever rounding up to 1.
  return static_cast<float>(generator() >> 8) * (1.0f / 16777216.0f);
}

}  // namespace platform
