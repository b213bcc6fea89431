#include "platform/logged_record.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/file_system.h"

namespace platform {
std::string TokenText(std::uint64_t bits) {
  std::string text(16, '0');
  for (int i = 15; i >= 0; --i, bits >>= 4)
    text[static_cast<std::size_t>(i)] = "0123456789abcdef"[bits & 15];
  return text;
}

std::uint64_t TokenBits(std::string_view token) {
  // Looked up, not tested: a token is read back twice for every line.
  static constexpr std::array<unsigned char, 256> kDigit = [] {
    std::array<unsigned char, 256> digit{};
    for (int c = '0'; c <= '9'; ++c)
      digit[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
      digit[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c - 'a' + 10);
    return digit;
  }();
  std::uint64_t bits = 0;
  for (const char c : token.substr(0, 16)) bits = bits << 4 | kDigit[static_cast<unsigned char>(c)];
  return bits;
}

bool ClaimWasLogged(const LoggedRecord& record, std::string_view token, std::string_view log_file) {
  if (!record.logged.empty() && token == record.logged) return true;
  return !record.being_logged.empty() && token == record.being_logged &&
         LogHoldsLine(log_file, record);
}

void NoteLoggingToken(std::string_view token, std::string_view line, std::int64_t offset,
                      std::string_view lock_token) {
  // The line and where it goes, then the token that says it is the one being written.
  unsigned char bytes[kLoggedBytes];
  const std::uint64_t length = std::min(line.size(), kLoggedLineRoom);
  const std::uint64_t lock_bits = TokenBits(lock_token);
  std::memcpy(bytes + 16, &length, 8);
  std::memcpy(bytes + 24, &offset, 8);
  std::memcpy(bytes + 32, &lock_bits, 8);
  std::memcpy(bytes + kLoggedLineAt, line.data(), static_cast<std::size_t>(length));
  const std::uint64_t bits = TokenBits(token);
  LoggedStore& store = TheLoggedStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  store.Open();
  store.Put(16, bytes + 16, kLoggedLineAt - 16 + static_cast<std::size_t>(length));
  store.Put(8, &bits, 8);
}

void NoteLoggedToken(std::string_view token) {
  const std::uint64_t bits = TokenBits(token);
  LoggedStore& store = TheLoggedStore();
  std::lock_guard<std::mutex> lock(store.mutex);
  if (!store.Tried()) store.Open();  // else the line's record, a moment before, found it
  store.Put(0, &bits, 8);
}

LoggedRecord DecodeLogged(const unsigned char (&bytes)[kLoggedBytes]) {
  LoggedRecord record;
  std::uint64_t done = 0, being = 0, length = 0, lock = 0;
  std::int64_t offset = -1;
  std::memcpy(&done, bytes, 8);
  std::memcpy(&being, bytes + 8, 8);
  std::memcpy(&length, bytes + 16, 8);
  std::memcpy(&offset, bytes + 24, 8);
  std::memcpy(&lock, bytes + 32, 8);
  if (done != 0) record.logged = TokenText(done);
  if (being != 0 && being != done && length <= kLoggedLineRoom && offset >= 0) {
    record.being_logged = TokenText(being);
    record.line.assign(reinterpret_cast<const char*>(bytes + kLoggedLineAt),
                       static_cast<std::size_t>(length));
    record.offset = offset;
    if (lock != 0) record.lock = TokenText(lock);
  }
  return record;
}

LoggedRecord DecodeEarlierLogged(const char (&first)[17], std::int64_t size) {
  // 8 bytes (the token alone), 88 (with a line being written, but not where), or 16 digits
  // and a line end.
  LoggedRecord record;
  if (size == 8 || size == 88) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, first, 8);
    if (bits != 0) record.logged = TokenText(bits);
  } else if (size == 17 && first[16] == '\n') {
    record.logged = std::string(first, 16);
  }
  return record;
}

bool AppendMoveLine(std::string_view win_path, std::string_view line, const Claim& claim) {
  if (claim.Held()) return AppendNotedLine(win_path, line, claim);
  AppendWholeLine(win_path, line);
  return true;
}

}  // namespace platform
