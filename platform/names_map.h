#pragma once

// The platform's own simple case mapping of one Unicode character (a scalar value); a
// character without a mapping comes back unchanged.
namespace platform {

char32_t MapCodePoint(char32_t cp, bool upper);

}  // namespace platform
