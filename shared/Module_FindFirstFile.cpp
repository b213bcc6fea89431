#include "shared/Module_FindFirstFile.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/file_system.h"

namespace tarvex {
namespace {

std::mutex g_mutex;
std::map<FindHandle, std::unique_ptr<platform::FolderListing>> g_listings;
FindHandle g_next_handle = 1;

void Fill(const platform::ListingEntry& e, WIN32_FIND_DATA& data) {
  data = WIN32_FIND_DATA{};
  data.dwFileAttributes = e.attributes;
  data.nFileSizeHigh = static_cast<std::uint32_t>(e.size >> 32);
  data.nFileSizeLow = static_cast<std::uint32_t>(e.size & 0xFFFFFFFFu);
  std::memcpy(data.cFileName, e.name.data(), std::min(e.name.size(), sizeof data.cFileName - 1));
}

}  // namespace

FindHandle FindFirstFileA(const std::string& search_spec, WIN32_FIND_DATA& data) {
  auto listing = platform::FolderListing::Open(search_spec);
  platform::ListingEntry entry;
  if (!listing || !listing->Next(entry)) return kInvalidFindHandle;
  Fill(entry, data);
  std::lock_guard<std::mutex> lock(g_mutex);
  const FindHandle handle = g_next_handle++;
  g_listings.emplace(handle, std::move(listing));
  return handle;
}

platform::FolderListing* FindListing(FindHandle handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  auto it = g_listings.find(handle);
  return it == g_listings.end() ? nullptr : it->second.get();
}

int FindNextFileA(FindHandle handle, WIN32_FIND_DATA& data) {
  platform::FolderListing* listing = FindListing(handle);
  if (listing == nullptr) return 0;
  platform::ListingEntry entry;
  if (!listing->Next(entry)) return 0;
  Fill(entry, data);
  return 1;
}

int FindClose(FindHandle handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_listings.erase(handle) > 0 ? 1 : 0;
}

std::uint32_t GetFileAttributesA(const std::string& path) {
  switch (platform::FolderTest(path)) {
    case platform::Probe::kFound:
      return platform::FileTest(path) == platform::Probe::kFound ? platform::kAttrArchive
                                                                 : platform::kAttrDirectory;
    default:
      return 0xFFFFFFFFu;
  }
}

}  // namespace tarvex
