#include "platform/drive_path.h"

#include <algorithm>
#include <cctype>
#include <utility>

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

std::size_t LastSeparator(std::string_view path) { return path.find_last_of("\\/"); }

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

std::vector<std::string> InListingOrder(std::vector<std::string> names) {
  std::vector<std::string> dots;
  std::vector<std::pair<std::string, std::string>> keyed;  // (upper-cased, name)
  keyed.reserve(names.size());
  for (std::string& name : names) {
    if (name == "." || name == "..") {
      dots.push_back(std::move(name));
    } else {
      std::string key = UpperName(name);
      keyed.emplace_back(std::move(key), std::move(name));
    }
  }
  std::sort(dots.begin(), dots.end());  // "." before ".."
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> ordered = std::move(dots);
  ordered.reserve(ordered.size() + keyed.size());
  for (auto& k : keyed) ordered.push_back(std::move(k.second));
  return ordered;
}

RunTimeError MissingFolderError(bool drive_present) {
  return drive_present ? RunTimeError::PathNotFound() : RunTimeError::DeviceUnavailable();
}

}  // namespace platform
