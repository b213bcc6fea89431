#include <windows.h>

#include "platform/names_map.h"

namespace platform {

// The invariant locale's mapping, the same whatever language the user has chosen; characters
// beyond the basic plane are left as they are.
char32_t MapCodePoint(char32_t cp, bool upper) {
  if (cp > 0xFFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return cp;
  const WCHAR c = static_cast<WCHAR>(cp);
  WCHAR mapped = c;
  if (LCMapStringEx(LOCALE_NAME_INVARIANT, upper ? LCMAP_UPPERCASE : LCMAP_LOWERCASE, &c, 1,
                    &mapped, 1, nullptr, nullptr, 0) != 1) {
    return cp;
  }
  return mapped;
}

}  // namespace platform
