#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "platform/run_time_error.h"

// The Windows file system's own pieces, shared by its files: handles that close themselves,
// and drive folders resolved into the platform's full paths, never leaving the drive. No
// platform header here: a handle is a pointer, an error code and attributes an unsigned long.
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

// A folder of the drive, by its full path on the platform.
struct HeldFolder {
  std::wstring path;
};

// kAbsent for the errors that say there is no such entry, kFailed for the others.
Probe ProbeFromError(unsigned long error);
// The run-time error of a failed open or write.
RunTimeError ErrorFromCode(unsigned long error);

// A drive path split into its letter and components; false when it is not one, or a
// component could not be a name here.
bool ParseWinPath(std::string_view path, char& letter, std::vector<std::string>& components);
std::wstring Joined(std::wstring base, std::string_view name);
// The full path of the folder a path names, as the platform resolves it (links and
// junctions followed).
std::wstring FinalPath(const std::wstring& path);

// Resolves a drive folder ("P:\a", or "P:" for the root itself) of the first `count`
// components; the folder must be reached without leaving the drive. Within a FolderScope
// each is resolved once and held open.
bool ResolveFolder(char letter, const std::vector<std::string>& components, std::size_t count,
                   HeldFolder& out, Probe& status);
bool ResolveWholeFolder(std::string_view win_folder, HeldFolder& out, Probe& status);

struct ParentAndName {
  HeldFolder folder;
  std::string name;
  Probe status = Probe::kAbsent;
  bool ok = false;
};
ParentAndName ResolveParent(std::string_view win_path);

// The root of the volume a folder is on ("" when it cannot be told); within a FolderScope
// asked of the platform once per folder.
std::wstring VolumeOf(const HeldFolder& folder);

bool IsPlainFile(unsigned long attributes);
bool IsHiddenOrSystem(unsigned long attributes);
// Some process holds the file open for writing: it cannot be opened while sharing only the
// right to read.
bool BeingWritten(const std::wstring& path);

// Renames the file at `from` to `to` (full paths) by a handle that shares only reading, never
// replacing: kBeingWritten while a process holds it for writing or without delete sharing.
MoveOutcome RenameOpenedFile(const std::wstring& from, const std::wstring& to);
// Whether two folders are one, links and junctions followed.
bool SameFolder(const HeldFolder& a, const HeldFolder& b);
// The name the platform keeps for the entry of a folder that `name` finds (in any case), or ""
// when there is none.
std::string StoredName(const HeldFolder& folder, std::string_view name);

}  // namespace platform
