#pragma once

namespace platform {

// The next value in [0, 1) of a generator that starts from the same fixed state in every
// process: the k-th value of a run is the same in every run.
float NextRandom();

}  // namespace platform
