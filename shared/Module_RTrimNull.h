#pragma once

#include <string>
#include <string_view>

namespace tarvex {

// The text of a fixed-length buffer filled by the platform: everything before the first
// NUL; a text without any NUL loses its trailing spaces (spaces only) instead.
std::string RTrimNull(std::string_view text);

}  // namespace tarvex
