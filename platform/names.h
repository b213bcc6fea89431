#pragma once

#include <string>
#include <string_view>

// Names compared without regard to case, as on the programs' own file system.
namespace platform {

// Lower-case (or upper-case) form of a name: the Unicode simple case mapping for valid
// UTF-8 sequences, ASCII mapping for every other byte, which is carried through unchanged.
std::string LowerName(std::string_view name);
std::string UpperName(std::string_view name);

// Wildcard match without regard to case: "*" any run of characters, "?" one character.
// "*.*" matches every name, dotless ones included.
bool MatchesPattern(std::string_view name, std::string_view pattern);

// A ".q0" file, which moves with its ".q1" companion: everything from its first "." is ".q0"
// in some case.
bool IsPairHead(std::string_view name);

}  // namespace platform
