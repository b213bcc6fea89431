// Any bytes read as a box text give a number or run-time error 13 or 6; any double renders.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/box_number.h"
#include "platform/run_time_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* sep : {".", ","}) {
    try {
      const double d = platform::ReadBoxDouble(text, sep);
      if (std::isnan(d)) std::abort();
      // What was read renders and reads back.
      const std::string plain = platform::PlainText(d, sep);
      if (platform::ReadBoxDouble(plain, sep) != platform::ReadBoxDouble(plain, sep)) std::abort();
      if (std::fabs(d) < 1e300) {
        const std::string shown = platform::RenderPattern(d, "### ### ### ##0");
        if (platform::ReadBoxDouble(shown, sep) != std::round(d)) std::abort();
      }
    } catch (const platform::RunTimeError& e) {
      if (e.number() != 13 && e.number() != 6) std::abort();
    }
    try {
      platform::ReadBoxInt32(text, sep);
      platform::ReadBoxInt64(text, sep);
    } catch (const platform::RunTimeError& e) {
      if (e.number() != 13 && e.number() != 6) std::abort();
    }
  }
  if (size >= sizeof(double)) {
    double d;
    std::memcpy(&d, data, sizeof d);
    const std::string pattern = text.substr(sizeof d, 16);
    platform::RenderPattern(d, pattern);
    platform::RenderPattern(d, "# ### ### ###");
    platform::PlainText(d, ".");
  }
  return 0;
}
