#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/drive_path.h"
#include "platform/file_system.h"
#include "platform/names.h"
#include "platform/run_time_error.h"
#include "platform/wide_text.h"

namespace platform {

// A folder of the drive, by its full path on the platform.
struct HeldFolder {
  std::wstring path;
};

namespace {

// A handle closed at the end of its scope.
class Handle {
 public:
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() {
    if (ok()) CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool ok() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

Probe ProbeFromError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_DIRECTORY:
      return Probe::kAbsent;
    default:
      return Probe::kFailed;
  }
}

bool IsPlainComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:*?\"<>|") == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// A drive path ("P:\a\b", "\" or "/" between components) split into its letter and
// components; false when it is not one, or a component could not be a name here.
bool ParseWinPath(std::string_view path, char& letter, std::vector<std::string>& components) {
  DrivePath parsed;
  if (!ParseDrivePath(path, parsed)) return false;
  letter = parsed.drive;
  components.clear();
  for (const std::string_view part : parsed.components) {
    if (!IsPlainComponent(part)) return false;
    components.emplace_back(part);
  }
  return true;
}

std::wstring Joined(std::wstring base, std::string_view name) {
  if (!base.empty() && base.back() != L'\\' && base.back() != L'/') base += L'\\';
  return base + Wide(name);
}

// The full path of the folder a handle is open on, as the platform resolves it (links and
// junctions followed), for telling whether it lies beneath the drive's root.
std::wstring FinalPath(const std::wstring& path) {
  Handle h(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h.ok()) return {};
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetFinalPathNameByHandleW(h.get(), buffer, MAX_PATH * 4, 0);
  if (n == 0 || n >= MAX_PATH * 4) return {};
  std::wstring final(buffer, n);
  while (!final.empty() && final.back() == L'\\') final.pop_back();
  return final;
}

bool SameFolderOrBeneath(const std::wstring& folder, const std::wstring& root) {
  if (root.empty() || folder.size() < root.size()) return false;
  if (CompareStringOrdinal(folder.c_str(), static_cast<int>(root.size()), root.c_str(),
                           static_cast<int>(root.size()), TRUE) != CSTR_EQUAL) {
    return false;
  }
  return folder.size() == root.size() || folder[root.size()] == L'\\';
}

// The folders that calls on this thread have resolved while a FolderScope lives: each is
// resolved once, and held open without sharing the right to delete, so that no process can
// rename, remove or replace it until the scope ends.
struct ScopeFolders {
  std::map<std::wstring, HANDLE> held;  // full path -> handle on the folder
};
thread_local ScopeFolders* t_scope = nullptr;

// Resolves a drive folder ("P:\a", or "P:" for the root itself); the folder must be reached
// without leaving the drive.
bool ResolveFolder(char letter, const std::vector<std::string>& components, std::size_t count,
                   HeldFolder& out, Probe& status) {
  const std::wstring root = Wide(DriveRoot(letter));
  std::wstring path = root;
  for (std::size_t k = 0; k < count; ++k) path = Joined(path, components[k]);
  if (t_scope != nullptr && t_scope->held.count(path) != 0) {
    out.path = path;
    status = Probe::kFound;
    return true;
  }
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    status = ProbeFromError(GetLastError());
    return false;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    status = Probe::kAbsent;
    return false;
  }
  if (count > 0) {
    const std::wstring final_root = FinalPath(root);
    const std::wstring final_folder = FinalPath(path);
    if (!SameFolderOrBeneath(final_folder, final_root)) {
      status = Probe::kAbsent;
      return false;
    }
  }
  if (t_scope != nullptr) {
    const HANDLE h =
        CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) t_scope->held.emplace(path, h);
  }
  out.path = path;
  status = Probe::kFound;
  return true;
}

bool ResolveWholeFolder(std::string_view win_folder, HeldFolder& out, Probe& status) {
  char letter = 0;
  std::vector<std::string> components;
  if (!ParseWinPath(win_folder, letter, components)) {
    status = Probe::kAbsent;
    return false;
  }
  return ResolveFolder(letter, components, components.size(), out, status);
}

struct ParentAndName {
  HeldFolder folder;
  std::string name;
  Probe status = Probe::kAbsent;
  bool ok = false;
};

ParentAndName ResolveParent(std::string_view win_path) {
  ParentAndName result;
  char letter = 0;
  std::vector<std::string> components;
  if (!ParseWinPath(win_path, letter, components) || components.empty()) return result;
  result.name = components.back();
  result.ok =
      ResolveFolder(letter, components, components.size() - 1, result.folder, result.status);
  return result;
}

// The attributes of an entry, without following a link at its last name.
bool EntryAttributes(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data, Probe& status) {
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) == 0) {
    status = ProbeFromError(GetLastError());
    return false;
  }
  status = Probe::kFound;
  return true;
}

bool IsPlainFile(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool IsHiddenOrSystem(DWORD attributes) {
  return (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
}

// Some process holds the file open for writing: it cannot be opened while sharing only the
// right to read.
bool BeingWritten(const std::wstring& path) {
  Handle h(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  return !h.ok() && GetLastError() == ERROR_SHARING_VIOLATION;
}

RunTimeError ErrorFromCode(DWORD error) {
  switch (error) {
    case ERROR_PATH_NOT_FOUND:
      return RunTimeError::PathNotFound();
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return RunTimeError::PermissionDenied();
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return RunTimeError::DiskFull();
    case ERROR_NOT_READY:
    case ERROR_INVALID_DRIVE:
      return RunTimeError::DeviceUnavailable();
    case ERROR_CRC:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_GEN_FAILURE:
      return RunTimeError::DeviceIoError();
    default:
      return RunTimeError::PathFileAccessError();
  }
}

// Byte range locked around each append, far past any end the log will reach: appends of
// several programs then never interleave, also where the platform does not append
// atomically by itself.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

}  // namespace

std::string DriveRoot(char letter) {
  const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  const std::wstring variable = Wide(DriveVariableName(letter));
  wchar_t value[32768];
  const DWORD n = GetEnvironmentVariableW(variable.c_str(), value, 32768);
  if (n > 0 && n < 32768) return Utf8(std::wstring_view(value, n));
  return std::string(1, upper) + ":\\";
}

FolderScope::FolderScope() : outermost_(t_scope == nullptr) {
  if (outermost_) t_scope = new ScopeFolders;
}

FolderScope::~FolderScope() {
  if (!outermost_) return;
  for (const auto& [path, h] : t_scope->held) CloseHandle(h);
  delete t_scope;
  t_scope = nullptr;
}

namespace {

// The attributes of the entry a drive path names, its folder reached as every call reaches
// it.
Probe FindEntry(std::string_view win_path, DWORD& attributes) {
  const ParentAndName parent = ResolveParent(win_path);
  if (!parent.ok) return parent.status;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  Probe status;
  if (EntryAttributes(Joined(parent.folder.path, parent.name), data, status)) {
    attributes = data.dwFileAttributes;
  }
  return status;
}

// A plain file that is neither hidden nor system.
Probe ShownFile(DWORD attributes) {
  return IsPlainFile(attributes) && !IsHiddenOrSystem(attributes) ? Probe::kFound : Probe::kAbsent;
}

}  // namespace

Probe FolderTest(std::string_view win_path) {
  HeldFolder folder;
  Probe status;
  char letter = 0;
  std::vector<std::string> components;
  if (ParseWinPath(win_path, letter, components) && components.empty()) {
    ResolveFolder(letter, components, 0, folder, status);
    return status;
  }
  DWORD attributes = 0;
  status = FindEntry(win_path, attributes);
  if (status != Probe::kFound) return status;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return ResolveWholeFolder(win_path, folder, status) ? Probe::kFound : status;
  }
  return ShownFile(attributes);
}

Probe FileTest(std::string_view win_path) {
  DWORD attributes = 0;
  const Probe status = FindEntry(win_path, attributes);
  return status == Probe::kFound ? ShownFile(attributes) : status;
}

Probe EntryTest(std::string_view win_path) {
  DWORD attributes = 0;
  return FindEntry(win_path, attributes);
}

std::size_t NameLimit(std::string_view win_folder) {
  HeldFolder folder;
  Probe status;
  if (!ResolveWholeFolder(win_folder, folder, status)) return 255;
  wchar_t volume[MAX_PATH + 1];
  DWORD longest = 0;
  if (GetVolumePathNameW(folder.path.c_str(), volume, MAX_PATH + 1) == 0 ||
      GetVolumeInformationW(volume, nullptr, 0, nullptr, &longest, nullptr, nullptr, 0) == 0 ||
      longest == 0) {
    return 255;
  }
  return longest;  // in UTF-16 units; a UTF-8 name may take more bytes
}

MoveResult RenameNoReplace(std::string_view from_win_path, std::string_view to_win_path,
                           SourceName) {
  auto result = [](MoveOutcome outcome) { return MoveResult{outcome}; };
  const ParentAndName source = ResolveParent(from_win_path);
  const ParentAndName target = ResolveParent(to_win_path);
  if (!source.ok) return result(MoveOutcome::kGone);
  if (!target.ok) return result(MoveOutcome::kRefused);
  if (CompareStringOrdinal(FinalPath(source.folder.path).c_str(), -1,
                           FinalPath(target.folder.path).c_str(), -1, TRUE) == CSTR_EQUAL) {
    return result(MoveOutcome::kRefused);
  }
  const std::wstring from = Joined(source.folder.path, source.name);
  const std::wstring to = Joined(target.folder.path, target.name);
  // Opened sharing only the right to read: a file that some process holds open for writing
  // (or for deleting) cannot be opened so, and stays. A link moves as a link.
  Handle h(CreateFileW(from.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.ok()) {
    const DWORD error = GetLastError();
    return result(error == ERROR_SHARING_VIOLATION          ? MoveOutcome::kBeingWritten
                  : ProbeFromError(error) == Probe::kAbsent ? MoveOutcome::kGone
                                                            : MoveOutcome::kRefused);
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileInformationByHandle(h.get(), &info) == 0 || !IsPlainFile(info.dwFileAttributes)) {
    return result(MoveOutcome::kGone);
  }
  // The rename of the very file opened, to a name that must not exist in any case.
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
  std::copy(to.begin(), to.end(), rename->FileName);
  if (SetFileInformationByHandle(h.get(), FileRenameInfo, rename,
                                 static_cast<DWORD>(buffer.size())) != 0) {
    return result(MoveOutcome::kMoved);
  }
  const DWORD error = GetLastError();
  return result(error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS
                    ? MoveOutcome::kTaken
                    : MoveOutcome::kRefused);
}

void SetMoverTag(std::string_view) {}

// Moves never copy on this platform (a move to another volume is refused and the file
// stays), so a killed move leaves nothing to finish.
void FinishInterruptedMoves(std::string_view, std::string_view) {}

MoveHindrance MoveCanHappen(std::string_view source_folder, std::string_view,
                            std::string_view target_folder, std::uint64_t) {
  HeldFolder source, target;
  Probe status;
  if (!ResolveWholeFolder(target_folder, target, status)) {
    return status == Probe::kAbsent ? MoveHindrance::kTargetAbsent : MoveHindrance::kNone;
  }
  if (!ResolveWholeFolder(source_folder, source, status)) return MoveHindrance::kNone;
  wchar_t from[MAX_PATH + 1], to[MAX_PATH + 1];
  if (GetVolumePathNameW(source.path.c_str(), from, MAX_PATH + 1) != 0 &&
      GetVolumePathNameW(target.path.c_str(), to, MAX_PATH + 1) != 0 &&
      CompareStringOrdinal(from, -1, to, -1, TRUE) != CSTR_EQUAL) {
    return MoveHindrance::kTargetElsewhere;
  }
  return MoveHindrance::kNone;
}

bool FileBeingWritten(std::string_view win_path) {
  const ParentAndName parent = ResolveParent(win_path);
  return parent.ok && BeingWritten(Joined(parent.folder.path, parent.name));
}

void AppendWholeLine(std::string_view win_path, std::string_view line) {
  const ParentAndName parent = ResolveParent(win_path);
  if (!parent.ok) {
    char letter = 0;
    std::vector<std::string> components;
    HeldFolder root;
    Probe status;
    const bool drive = ParseWinPath(win_path, letter, components) &&
                       ResolveFolder(letter, components, 0, root, status);
    throw MissingFolderError(drive).About(win_path);
  }
  const std::wstring path = Joined(parent.folder.path, parent.name);
  Handle h(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h.ok()) throw ErrorFromCode(GetLastError()).About(win_path);
  BY_HANDLE_FILE_INFORMATION info{};
  if (GetFileType(h.get()) != FILE_TYPE_DISK || GetFileInformationByHandle(h.get(), &info) == 0 ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1) {
    throw RunTimeError::PathFileAccessError().About(win_path);
  }
  OVERLAPPED lock{};
  lock.OffsetHigh = kLockOffsetHigh;
  if (LockFileEx(h.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock) == 0) {
    throw ErrorFromCode(GetLastError()).About(win_path);
  }
  LARGE_INTEGER size{};
  DWORD written = 0;
  const bool ok =
      GetFileSizeEx(h.get(), &size) != 0 &&
      WriteFile(h.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) != 0 &&
      written == line.size();
  const DWORD error = ok ? 0 : GetLastError();
  if (!ok && written > 0) {
    // Part of the line went in: take it out again, so that the log holds whole lines only.
    Handle cut(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (cut.ok() && SetFilePointerEx(cut.get(), size, nullptr, FILE_BEGIN) != 0) {
      SetEndOfFile(cut.get());
    }
  }
  UnlockFileEx(h.get(), 0, 1, 0, &lock);
  if (!ok) throw ErrorFromCode(error == 0 ? ERROR_WRITE_FAULT : error).About(win_path);
}

std::unique_ptr<FolderListing> FolderListing::Open(std::string_view search_spec) {
  const std::size_t cut = LastSeparator(search_spec);
  if (cut == std::string_view::npos) return nullptr;
  const std::string_view pattern = search_spec.substr(cut + 1);
  HeldFolder folder;
  Probe status;
  if (!ResolveWholeFolder(search_spec.substr(0, cut), folder, status)) return nullptr;
  WIN32_FIND_DATAW data{};
  const std::wstring all = Joined(folder.path, "*");
  HANDLE find = FindFirstFileExW(all.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) return nullptr;
  // The pattern is matched on the long name: a match through a short 8.3 name would let
  // "*.cnm" take "b.cnmx".
  std::vector<std::string> names;
  do {
    std::string name = Utf8(data.cFileName);
    if (MatchesPattern(name, pattern)) names.push_back(std::move(name));
  } while (FindNextFileW(find, &data) != 0);
  FindClose(find);
  names = InListingOrder(std::move(names));
  if (names.empty()) return nullptr;
  return std::unique_ptr<FolderListing>(
      new FolderListing(std::make_shared<const HeldFolder>(std::move(folder)), std::move(names)));
}

FolderListing::FolderListing(std::shared_ptr<const HeldFolder> folder,
                             std::vector<std::string> names)
    : folder_(std::move(folder)), names_(std::move(names)) {}

FolderListing::~FolderListing() = default;

bool FolderListing::Next(ListingEntry& entry) {
  while (position_ < names_.size()) {
    const std::string& name = names_[position_++];
    const std::wstring path = Joined(folder_->path, name);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    Probe status;
    if (!EntryAttributes(path, data, status)) continue;  // gone
    entry.name = name;
    entry.attributes =
        data.dwFileAttributes & (kAttrHidden | kAttrSystem | kAttrDirectory | kAttrArchive);
    entry.size = 0;
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      if (BeingWritten(path)) continue;  // not arrived yet
      entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    return true;
  }
  return false;
}

std::uint64_t FolderIndexReads() { return 0; }  // the file system answers every lookup itself
void UseFreshFolderIndexes(bool) {}
void FollowChangeReportsFrom(std::size_t) {}
std::size_t FolderIndexBytes() { return 0; }

}  // namespace platform
