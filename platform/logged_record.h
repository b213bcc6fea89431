#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

// Which claim's line a program is writing and which it wrote last, kept in its per-user state
// folder (written without a flush: it outlives a kill of the program, not of the machine). A
// kill while a line is being written leaves it unknown whether the line reached the log: the
// record says which line to look for, and where. The same record on every platform.
namespace platform {

class Claim;

// The line's record is taken once the log is open, under its lock where it has one, with the
// offset the line is written at (for an append, the end as the log was opened) and the token
// of this mover's hold of the log's lock file, if it has one.
void NoteLoggingToken(std::string_view token, std::string_view line, std::int64_t offset,
                      std::string_view lock_token);
void NoteLoggedToken(std::string_view token);
struct LoggedRecord {
  std::string logged;        // the token of the last claim whose line was written, or ""
  std::string being_logged;  // the token of a claim whose line was being written, or ""
  std::string line;          // that line
  std::int64_t offset = -1;  // where in the log it went
  std::string lock;          // the token of the hold of the log's lock file, or ""
};
LoggedRecord ReadLoggedRecord();
// Whether the log (a drive path) holds the record's line where it was being written. Where
// the record names a hold of the log's lock file, no other mover wrote there while the hold
// stays: it is taken over for the look. A hold that others took for left by a killed mover
// says how long the log was then.
bool LogHoldsLine(std::string_view win_path, const LoggedRecord& record);
// Whether the line of the claim with this token went into the log (a drive path): it is the
// record's last logged claim, or the claim whose line was being written and the log holds
// that line where it was written.
bool ClaimWasLogged(const LoggedRecord& record, std::string_view token, std::string_view log_file);
// Appends a line as AppendWholeLine does, noting it as being written for the claim's token
// once the log is open, under its lock where it has one, and as written once it is. False,
// writing nothing, when the claim turns out to have gone on to another mover (see
// AppendMoveLine).
bool AppendNotedLine(std::string_view win_path, std::string_view line, const Claim& claim);

// The record's file: the token of the last claim whose line was written (8 bytes), the token
// of the claim whose line is being written, then that line's length, its offset in the log
// and the token of the hold of the log's lock file (8 bytes each), then the line. Each token
// is written in one aligned 8-byte store: a kill leaves the old token or the new, never a
// part. The line and where it goes are written before the token that says it is being
// written.
inline constexpr std::size_t kLoggedBytes = 104;
inline constexpr std::size_t kLoggedLineAt = 40;
inline constexpr std::size_t kLoggedLineRoom = kLoggedBytes - kLoggedLineAt;
std::uint64_t TokenBits(std::string_view token);  // 16 hex digits as a number; "" is 0
std::string TokenText(std::uint64_t bits);        // a number as 16 hex digits

// The platform's file of the record (logged_record_posix.cpp, logged_record_win32.cpp), used
// under its mutex only: Open finds it again where its folder may have changed and opens it,
// in the record's layout; Tried tells whether Open ran; Put writes bytes at an offset of it,
// a token (8 bytes at 0 or 8) in one store.
class LoggedStore {
 public:
  std::mutex mutex;
  virtual void Open() = 0;
  virtual bool Tried() const = 0;
  virtual void Put(std::size_t at, const void* bytes, std::size_t n) = 0;

 protected:
  ~LoggedStore() = default;
};
LoggedStore& TheLoggedStore();
// The record a whole file of kLoggedBytes holds.
LoggedRecord DecodeLogged(const unsigned char (&bytes)[kLoggedBytes]);
// The record an earlier layout of `size` bytes holds, from its first 17 bytes: the last token
// logged, nothing else (a claim whose line it was writing is put back).
LoggedRecord DecodeEarlierLogged(const char (&first)[17], std::int64_t size);

}  // namespace platform
