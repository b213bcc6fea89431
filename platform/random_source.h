#pragma once

namespace platform {

// The next value in [0, 1) of a generator seeded afresh in every process, so that two
// processes draw different sequences.
float NextRandom();

}  // namespace platform
