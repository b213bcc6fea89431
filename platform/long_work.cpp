#include "platform/long_work.h"

#include <chrono>

namespace platform {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(5);

thread_local void (*t_yield)(void*) = nullptr;
thread_local void* t_context = nullptr;
thread_local std::chrono::steady_clock::time_point t_last{};
thread_local unsigned t_calls = 0;

}  // namespace

void SetLongWorkYield(void (*yield)(void* context), void* context) {
  t_yield = yield;
  t_context = context;
  t_last = std::chrono::steady_clock::now();
}

void YieldDuringLongWork() {
  // The clock is read every 64th call: a call stands for a name or a comparison.
  if (t_yield == nullptr || (++t_calls & 63) != 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - t_last < kInterval) return;
  t_last = now;
  t_yield(t_context);
  t_last = std::chrono::steady_clock::now();
}

LongWorkYield::LongWorkYield(void (*yield)(void* context), void* context)
    : previous_(t_yield), previous_context_(t_context) {
  SetLongWorkYield(yield, context);
}

LongWorkYield::~LongWorkYield() { SetLongWorkYield(previous_, previous_context_); }

}  // namespace platform
