#pragma once

#include <string>

// How is a writer detected: a file that some process holds open for writing has not arrived
// yet. No platform header here. Any thread.
namespace platform {

// Some process holds the file at `path` (a full path) open for writing: it cannot be opened
// while sharing only the right to read.
bool BeingWritten(const std::wstring& path);

// The file at `path` was written or created within the last seconds.
bool ChangedLately(const std::wstring& path);

}  // namespace platform
