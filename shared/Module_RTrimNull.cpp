#include "shared/Module_RTrimNull.h"

namespace tarvex {

std::string RTrimNull(const std::string& text) {
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) return text.substr(0, nul);
  const std::size_t last = text.find_last_not_of(' ');
  return last == std::string::npos ? std::string() : text.substr(0, last + 1);
}

}  // namespace tarvex
