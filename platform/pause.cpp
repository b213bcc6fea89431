#include "platform/pause.h"

#include <chrono>
#include <random>
#include <thread>

namespace platform {

void Pause(long milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

float NextRandom() {
  static std::mt19937 generator;  // default seed, never reseeded
  // 24 random bits make a float in [0, 1) without ever rounding up to 1.
  return static_cast<float>(generator() >> 8) * (1.0f / 16777216.0f);
}

}  // namespace platform
