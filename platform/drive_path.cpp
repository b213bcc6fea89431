#include "platform/drive_path.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

#include "platform/long_work.h"
#include "platform/names.h"

namespace platform {

bool ParseDrivePath(std::string_view path, DrivePath& out) {
  if (path.size() < 2 || path[1] != ':' || !std::isalpha(static_cast<unsigned char>(path[0]))) {
    return false;
  }
  out.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
  out.components.clear();
  for (std::size_t i = 2; i <= path.size();) {
    std::size_t j = path.find_first_of("\\/", i);
    if (j == std::string_view::npos) j = path.size();
    if (j > i) out.components.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return true;
}

std::size_t LastSeparator(std::string_view path) {
  for (std::size_t i = path.size(); i-- > 0;) {
    if (path[i] == '\\' || path[i] == '/') return i;
  }
  return std::string_view::npos;
}

bool SplitFolderAndPattern(std::string_view path, std::string_view& folder,
                           std::string_view& pattern) {
  const std::size_t cut = LastSeparator(path);
  if (cut == std::string_view::npos) return false;
  folder = path.substr(0, cut);
  pattern = path.substr(cut + 1);
  return true;
}

std::string DriveVariableName(char letter) {
  return std::string("TARVEX_DRIVE_") +
         static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
}

void ListingNames::Add(std::string_view name) {
  // No name of a folder comes near a block's size (a file system's names end at a few hundred
  // bytes), nor do its names come near 4 GiB: one that did would be listed in part, and the
  // rest at the next pass.
  if (name.size() + 1 > kBlock) return;
  if (used_ + name.size() + 1 > kBlock) {
    if ((blocks_.size() + 1) << kBlockBits > UINT32_MAX) return;
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(kBlock));
    used_ = 0;
  }
  char* at = blocks_.back().get() + used_;
  std::memcpy(at, name.data(), name.size());
  at[name.size()] = '\0';
  starts_.push_back(static_cast<std::uint32_t>(((blocks_.size() - 1) << kBlockBits) + used_));
  used_ += name.size() + 1;
}

namespace {

int DotRank(const char* name) {
  return name[0] != '.' ? 2 : name[1] == '\0' ? 0 : name[1] == '.' && name[2] == '\0' ? 1 : 2;
}

// Whether a comes before b in a listing (both end with a zero byte). ASCII names are
// compared without upper-casing them into copies, and without measuring them first: a sort
// compares each name many times. A name with other characters is compared by its upper-cased
// form. Names alike but for case keep an order of their own (their bytes).
bool ListedBefore(const char* a, const char* b) {
  const int ra = DotRank(a), rb = DotRank(b);
  if (ra != rb || ra < 2) return ra != rb ? ra < rb : std::strcmp(a, b) < 0;
  for (std::size_t i = 0;; ++i) {
    const auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (ca == 0 || cb == 0) return ca != cb ? ca == 0 : std::strcmp(a, b) < 0;
    if (ca == cb) continue;
    if (ca >= 0x80 || cb >= 0x80) {
      const std::string ua = UpperName(a), ub = UpperName(b);
      return ua != ub ? ua < ub : std::strcmp(a, b) < 0;
    }
    const unsigned char ua = ca >= 'a' && ca <= 'z' ? ca - 32 : ca;
    const unsigned char ub = cb >= 'a' && cb <= 'z' ? cb - 32 : cb;
    if (ua != ub) return ua < ub;
  }
}

}  // namespace

void ListingNames::Order() {
  std::size_t compared = 0;
  std::sort(starts_.begin(), starts_.end(), [&](std::uint32_t x, std::uint32_t y) {
    if ((++compared & 4095) == 0) YieldDuringLongWork();
    return ListedBefore(At(x), At(y));
  });
}

RunTimeError MissingFolderError(bool drive_present) {
  return drive_present ? RunTimeError::PathNotFound() : RunTimeError::DeviceUnavailable();
}

}  // namespace platform
