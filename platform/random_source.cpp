#include "platform/random_source.h"

#include <random>

namespace platform {

float NextRandom() {
  static std::mt19937 generator;  // default seed, never reseeded
  // 24 random bits make a float in [0, 1) without ever rounding up to 1.
  return static_cast<float>(generator() >> 8) * (1.0f / 16777216.0f);
}

}  // namespace platform
