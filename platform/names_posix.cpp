#include <locale.h>
#include <wctype.h>

#include "platform/names_map.h"

namespace platform {

char32_t MapCodePoint(char32_t cp, bool upper) {
  static const locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return cp;
  const wint_t c = static_cast<wint_t>(cp);
  return static_cast<char32_t>(upper ? towupper_l(c, loc) : towlower_l(c, loc));
}

}  // namespace platform
