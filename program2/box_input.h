#pragma once

#include <string>

// What the user may type into a box that holds a number, in either window.
namespace tarvex {

// A text that the scheduler and the pass can read as a number: nothing the user types may
// end the program later (a period of 400 digits would overflow).
bool IsReadableBoxNumber(const std::string& text);

// A text that may still become a box number as the user goes on typing: signs, digits,
// blanks and the user's decimal separator only.
bool MayBecomeBoxNumber(const std::string& text);

}  // namespace tarvex
