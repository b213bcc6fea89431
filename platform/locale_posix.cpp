#include <langinfo.h>
#include <locale.h>

#include "platform/box_number.h"

namespace platform {

const std::string& DecimalSeparator() {
  static const std::string separator = [] {
    std::string sep = ".";
    // A private locale object: the process locale is neither read nor changed here.
    locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
    if (loc != static_cast<locale_t>(nullptr)) {
      const char* radix = nl_langinfo_l(RADIXCHAR, loc);
      if (radix != nullptr && *radix != '\0') sep = radix;
      freelocale(loc);
    }
    return sep;
  }();
  return separator;
}

}  // namespace platform
