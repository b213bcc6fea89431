// Names compared without regard to case: UTF-8 decoded here, each character mapped by the
// platform (MapCodePoint, in names_<platform>.cpp).
#include "platform/names.h"

#include "platform/names_map.h"

namespace platform {
namespace {

// Decodes one valid UTF-8 sequence at s[i]; returns its length, or 0 when the bytes there
// are not a valid sequence.
std::size_t DecodeUtf8(std::string_view s, std::size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len;
  char32_t min;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void EncodeUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

template <bool kUpper>
std::string MapCase(std::string_view name) {
  // Most names are ASCII: mapped in place in one copy.
  std::string out(name);
  std::size_t i = 0;
  for (; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c >= 0x80) break;
    if (static_cast<unsigned>(c - (kUpper ? 'a' : 'A')) < 26u) out[i] = static_cast<char>(c ^ 0x20);
  }
  if (i == out.size()) return out;
  out.resize(i);
  for (; i < name.size();) {
    const char c = name[i];
    if (static_cast<unsigned char>(c) < 0x80) {
      if (kUpper) {
        out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
      } else {
        out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
      }
      ++i;
      continue;
    }
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(name, i, cp);
    if (len == 0) {  // not UTF-8: the byte goes through unchanged
      out.push_back(c);
      ++i;
      continue;
    }
    EncodeUtf8(MapCodePoint(cp, kUpper), out);
    i += len;
  }
  return out;
}

std::size_t CharLength(std::string_view s, std::size_t i) {
  char32_t cp;
  const std::size_t len = DecodeUtf8(s, i, cp);
  return len == 0 ? 1 : len;
}

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool IsAscii(std::string_view s) {
  for (const char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Names and patterns already lower-cased, or (kFoldAscii) both ASCII, folded as they are
// compared: every name of a listing is matched, and most are ASCII.
template <bool kFoldAscii>
bool Glob(std::string_view name, std::string_view pattern) {
  std::size_t n = 0, p = 0;
  std::size_t star_p = std::string_view::npos, star_n = 0;
  auto same = [](char a, char b) { return kFoldAscii ? FoldAscii(a) == FoldAscii(b) : a == b; };
  auto length = [](std::string_view s, std::size_t i) {
    return kFoldAscii ? std::size_t{1} : CharLength(s, i);
  };
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = p++;
      star_n = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += length(name, n);
    } else if (p < pattern.size() && same(pattern[p], name[n])) {
      ++p;
      ++n;
    } else if (star_p != std::string_view::npos) {
      p = star_p + 1;
      star_n += length(name, star_n);
      n = star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

std::string LowerName(std::string_view name) { return MapCase<false>(name); }
std::string UpperName(std::string_view name) { return MapCase<true>(name); }

bool IsPairHead(std::string_view name) {
  const std::size_t dot = name.find('.');
  return dot != std::string_view::npos && name.size() == dot + 3 && (name[dot + 1] | 0x20) == 'q' &&
         name[dot + 2] == '0';
}

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (IsAscii(name) && IsAscii(pattern)) return Glob<true>(name, pattern);
  return Glob<false>(LowerName(name), LowerName(pattern));
}

}  // namespace platform
