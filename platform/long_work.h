#pragma once

// Work of the platform layer that can take long, such as reading a folder of a million
// names or putting a large listing in order, calls YieldDuringLongWork now and then; a
// pass sets what it does, so that its window keeps handling events meanwhile.
namespace platform {

// The yield for this thread's long work (null for none), with what it is given.
void SetLongWorkYield(void (*yield)(void* context), void* context);

// Calls the yield when a few milliseconds have passed since the last; cheap otherwise.
void YieldDuringLongWork();

// Sets a yield for the life of a scope, and puts back the one before.
class LongWorkYield {
 public:
  LongWorkYield(void (*yield)(void* context), void* context);
  ~LongWorkYield();
  LongWorkYield(const LongWorkYield&) = delete;
  LongWorkYield& operator=(const LongWorkYield&) = delete;

 private:
  void (*previous_)(void*);
  void* previous_context_;
};

}  // namespace platform
