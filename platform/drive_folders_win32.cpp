#include "platform/drive_folders_win32.h"

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
#include "platform/writers_win32.h"

namespace platform {

namespace {

bool IsPlainComponent(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:*?\"<>|") == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

}  // namespace

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

namespace {

// The long-path form of a path ("\\?\P:\a", "\\?\UNC\server\share\a"), in which the file
// functions take every name as it stands: a name the platform would otherwise read as a
// device (CON, aux.cnm) or trim (a space or a dot at its end) reaches its own file, as it
// does on any other platform. The path as it was when it has no full form.
std::wstring LongPathForm(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  std::wstring full(MAX_PATH, L'\0');
  DWORD n = GetFullPathNameW(path.c_str(), MAX_PATH, full.data(), nullptr);
  if (n >= MAX_PATH) {
    full.resize(n);
    n = GetFullPathNameW(path.c_str(), n, full.data(), nullptr);
  }
  if (n == 0 || n >= full.size()) return path;
  full.resize(n);
  if (full.rfind(L"\\\\.\\", 0) == 0) return path;  // a device path stays one
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
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
  std::map<std::wstring, ScopedHandle> held;     // full path -> handle on the folder
  std::map<std::wstring, std::wstring> volumes;  // full path -> root of its volume
};
thread_local ScopeFolders* t_scope = nullptr;

}  // namespace

bool ResolveFolder(char letter, const std::vector<std::string>& components, std::size_t count,
                   HeldFolder& out, Probe& status) {
  const std::wstring root = LongPathForm(Wide(DriveRoot(letter)));
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
    if (h != INVALID_HANDLE_VALUE) t_scope->held.emplace(path, ScopedHandle(h));
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

namespace {

// The attributes of an entry, without following a link at its last name.
bool EntryAttributes(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA& data, Probe& status) {
  if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) == 0) {
    status = ProbeFromError(GetLastError());
    return false;
  }
  status = Probe::kFound;
  return true;
}

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

Probe EntryTest(std::string_view win_path, bool) {
  DWORD attributes = 0;
  return FindEntry(win_path, attributes);
}

std::wstring VolumeOf(const HeldFolder& folder) {
  if (t_scope != nullptr) {
    auto it = t_scope->volumes.find(folder.path);
    if (it != t_scope->volumes.end()) return it->second;
  }
  wchar_t volume[MAX_PATH + 1];
  const std::wstring root =
      GetVolumePathNameW(folder.path.c_str(), volume, MAX_PATH + 1) != 0 ? volume : L"";
  if (t_scope != nullptr) t_scope->volumes.emplace(folder.path, root);
  return root;
}

std::size_t NameLimit(std::string_view win_folder) {
  HeldFolder folder;
  Probe status;
  if (!ResolveWholeFolder(win_folder, folder, status)) return 255;
  const std::wstring volume = VolumeOf(folder);
  DWORD longest = 0;
  if (volume.empty() ||
      GetVolumeInformationW(volume.c_str(), nullptr, 0, nullptr, &longest, nullptr, nullptr, 0) ==
          0 ||
      longest == 0) {
    return 255;
  }
  return longest;  // in UTF-16 units; a UTF-8 name may take more bytes
}
// A Windows client's caches are its own affair: the file functions answer as the server does.
double ClientCacheSeconds(std::string_view) { return 0; }

bool FileChangedLately(std::string_view win_path) {
  const ParentAndName parent = ResolveParent(win_path);
  return parent.ok && ChangedLately(Joined(parent.folder.path, parent.name));
}

bool FileBeingWritten(std::string_view win_path) {
  const ParentAndName parent = ResolveParent(win_path);
  return parent.ok && BeingWritten(Joined(parent.folder.path, parent.name));
}

}  // namespace platform
