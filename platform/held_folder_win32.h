#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/file_system.h"
#include "platform/run_time_error.h"

// The Windows file system's smallest pieces, shared by its files: handles that close
// themselves, the folders it resolves, the one search of a folder's names, and what the
// platform's error codes mean here. No platform header here: a handle is a pointer, an error
// code and attributes an unsigned long. Any thread; a handle belongs to its owner.
namespace platform {

// A handle closed at the end of its scope; it moves, never copies.
class ScopedHandle {
 public:
  ScopedHandle() = default;
  explicit ScopedHandle(void* h) : h_(h) {}
  ~ScopedHandle();
  ScopedHandle(ScopedHandle&& other) noexcept : h_(other.h_) { other.h_ = nullptr; }
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      reset(other.h_);
      other.h_ = nullptr;
    }
    return *this;
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  bool ok() const;
  void* get() const { return h_; }
  // Closes the handle held, if any, and holds `h` instead.
  void reset(void* h = nullptr);

 private:
  void* h_ = nullptr;
};

// A folder of the drive, by its full path on the platform. While a FolderScope lives, the
// folder is also held open (drive_folders_win32.cpp), so that no process can rename, remove
// or replace it.
struct HeldFolder {
  std::wstring path;
};

// kAbsent for the errors that say there is no such entry, kFailed for the others.
Probe ProbeFromError(unsigned long error);
// Whether an error says that the file server of a network drive did not answer or the
// connection to it was lost.
bool NetworkError(unsigned long error);
// The run-time error of a failed open or write (57, a device I/O error, for a network one).
RunTimeError ErrorFromCode(unsigned long error);

// The path of an entry of a folder given by its full path.
std::wstring Joined(std::wstring base, std::string_view name);
// The full path of the folder a path names, as the platform resolves it (links and
// junctions followed).
std::wstring FinalPath(const std::wstring& path);
// Whether two folders are one, links and junctions followed.
bool SameFolder(const HeldFolder& a, const HeldFolder& b);

// Calls `each` with the name (its long name) of every entry of a held folder that `pattern`
// finds, as the platform matches it ("*" for all), until `each` returns false; false when
// none is found or the folder cannot be read. The search's handle is opened and closed here
// only.
bool ForEachName(const HeldFolder& folder, std::string_view pattern,
                 const std::function<bool(std::string&& name)>& each);

// The name the platform keeps for the entry of a folder that `name` finds (in any case), or ""
// when there is none.
std::string StoredName(const HeldFolder& folder, std::string_view name);

bool IsPlainFile(unsigned long attributes);
bool IsHiddenOrSystem(unsigned long attributes);

}  // namespace platform
