#include "platform/claim_names.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/file_system.h"

namespace platform {
namespace {

std::mutex g_mutex;
std::string g_tag = "tarvex";
// The names the last listing of each thread passed over as a mover's own but no mover gave
// (by thread in a map: a thread-local object with a destructor is not safe in every runtime).
std::mutex g_like_mutex;
std::map<std::thread::id, std::vector<std::string>> g_like_movers_own;
constexpr std::size_t kLikeMoversOwnKept = 100;

constexpr std::size_t kLongestName = 255;

// A name's type (".q0", ".txt"): from its last dot, where that is short.
std::string_view TypeOf(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot > 16) return {};
  return name.substr(dot);
}

bool Hex(std::string_view s) {
  return s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

void SetMoverTag(std::string_view tag) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_tag = tag.empty() ? "tarvex" : std::string(tag);
}

std::string MoverTag() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_tag;
}

std::string ClaimName(std::string_view token, std::string_view name) {
  std::string claim;
  claim.reserve(80 + name.size());
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    claim.append(kClaimPrefix).append(g_tag).append("-");
  }
  claim.append(MoverId()).append("-").append(token).append("-");
  const std::size_t room = claim.size() < kLongestName ? kLongestName - claim.size() : 0;
  if (name.size() <= room) return claim.append(name);
  // The two halves of a pair share a token: cut from the middle, so that their types keep
  // them apart (cut from the end, a ".q1" claimed beside its ".q0" would take its name).
  std::string_view type = TypeOf(name);
  if (type.size() >= room) type = {};
  std::size_t keep = room - type.size();
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) {
    --keep;  // at a character boundary
  }
  return claim.append(name.substr(0, keep)).append(type);
}

bool ClaimHolds(std::string_view claim_name, std::string_view held, std::string_view name) {
  if (held == name) return true;
  // Only a claim name filled to its last bytes (cut back to a character's first byte) had
  // its name shortened.
  if (claim_name.size() + 3 < kLongestName || held.size() >= name.size()) return false;
  const std::string_view type = TypeOf(held);
  return name.substr(name.size() - type.size()) == type &&
         name.substr(0, held.size() - type.size()) == held.substr(0, held.size() - type.size());
}

std::string PartialName(std::string_view token) {
  return std::string(kPartialPrefix) + MoverTag() + "-" + MoverId() + "-" + std::string(token);
}

bool ParseClaimName(std::string_view claim, ClaimParts& parts) {
  if (claim.substr(0, kClaimPrefix.size()) != kClaimPrefix) return false;
  const std::string_view rest = claim.substr(kClaimPrefix.size());
  // "<tag>-<8 hex>-<16 hex>-<name>": the first place after the tag where that shape begins.
  for (std::size_t dash = rest.find('-'); dash != std::string_view::npos;
       dash = rest.find('-', dash + 1)) {
    if (dash == 0 || rest.size() < dash + 28 || rest[dash + 9] != '-' || rest[dash + 26] != '-' ||
        !Hex(rest.substr(dash + 1, 8)) || !Hex(rest.substr(dash + 10, 16))) {
      continue;
    }
    parts.tag = rest.substr(0, dash);
    parts.mover = rest.substr(dash + 1, 8);
    parts.token = rest.substr(dash + 10, 16);
    parts.name = rest.substr(dash + 27);
    return !parts.name.empty() && parts.name != "." && parts.name != "..";
  }
  return false;
}

bool OnlyLooksLikeAMoversOwn(std::string_view name) {
  ClaimParts parts;
  if (name.substr(0, kClaimPrefix.size()) == kClaimPrefix) return !ParseClaimName(name, parts);
  if (name.substr(0, kPartialPrefix.size()) != kPartialPrefix) return false;
  // "<prefix><tag>-<8 hex>-<16 hex>"
  const std::string_view rest = name.substr(kPartialPrefix.size());
  return !(rest.size() >= 27 + 1 && rest[rest.size() - 17] == '-' &&
           rest[rest.size() - 26] == '-' && Hex(rest.substr(rest.size() - 16)) &&
           Hex(rest.substr(rest.size() - 25, 8)));
}

void ForgetNamesLikeAMoversOwn() {
  std::lock_guard<std::mutex> lock(g_like_mutex);
  g_like_movers_own.erase(std::this_thread::get_id());
}

void NoteNameLikeAMoversOwn(std::string_view name) {
  if (!OnlyLooksLikeAMoversOwn(name)) return;
  std::lock_guard<std::mutex> lock(g_like_mutex);
  std::vector<std::string>& names = g_like_movers_own[std::this_thread::get_id()];
  if (names.size() < kLikeMoversOwnKept) names.emplace_back(name);
}

std::vector<std::string> NamesLikeAMoversOwn() {
  std::lock_guard<std::mutex> lock(g_like_mutex);
  auto it = g_like_movers_own.find(std::this_thread::get_id());
  return it == g_like_movers_own.end() ? std::vector<std::string>() : it->second;
}

}  // namespace platform
