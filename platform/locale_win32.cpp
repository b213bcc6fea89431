#include <windows.h>

#include "platform/box_number.h"

namespace platform {

const std::string& DecimalSeparator() {
  static const std::string separator = [] {
    wchar_t wide[8] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, wide, 8) <= 1) {
      return std::string(".");
    }
    char utf8[32] = {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8, sizeof utf8, nullptr, nullptr);
    return n > 1 ? std::string(utf8) : std::string(".");
  }();
  return separator;
}

}  // namespace platform
