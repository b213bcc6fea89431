#include "program2/box_input.h"

#include "platform/box_number.h"
#include "platform/run_time_error.h"

namespace tarvex {

bool IsReadableBoxNumber(const std::string& text) {
  if (!platform::IsBoxNumber(text, platform::DecimalSeparator())) return false;
  try {
    platform::ReadBoxDouble(text);
    return true;
  } catch (const platform::RunTimeError&) {
    return false;
  }
}

bool MayBecomeBoxNumber(const std::string& text) {
  const std::string& sep = platform::DecimalSeparator();
  for (char c : text) {
    const bool allowed = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == ' ' || c == '\t' ||
                         sep.find(c) != std::string::npos;
    if (!allowed) return false;
  }
  return true;
}

}  // namespace tarvex
