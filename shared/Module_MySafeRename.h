#pragma once

#include <cstddef>
#include <string>

#include "platform/file_system.h"

namespace tarvex {

// Moves one file from a source folder into a target folder without ever overwriting
// anything. The file arrives under its lower-cased name, or, when that is taken, under
// "~col" and four random characters with its extension kept. A ".q0" file moves together
// with its ".q1" companion under one stem free for both; with the wwwwww condition on, the
// stem "wwwwww" is never kept for such a pair. Failed steps are skipped, nothing is
// reported: a file that cannot move stays where it is.
void MySafeRename(const std::string& source_folder, const std::string& target_folder,
                  const std::string& file_name, bool wwwwww_condition);

// The same choice of names for a file this mover has already claimed (and, for a ".q0", its
// claimed ".q1" companion, when it has one; an empty claim otherwise): the file is placed
// under its lower-cased name or a ~col name, a pair under one stem free for both. True when
// everything claimed was placed; otherwise whatever was not placed stays claimed, for the
// caller to put back. A pair is never split: a ".q0" whose ".q1" found its name taken at the
// last moment is taken back and both try the next stem.
bool MySafeRename(platform::Claim& file, platform::Claim& companion,
                  const std::string& target_folder, bool wwwwww_condition);

// The name before its first ".", lower-cased (the whole name when it has no dot).
std::string NameStem(const std::string& file_name);
// From the first "." to the end, lower-cased; "" when the name has no dot.
std::string NameExtension(const std::string& file_name);
// A name shortened to at most `limit` bytes, for a file system that cannot hold it whole:
// characters go from just before its last extension (its last "." and what follows, when
// that is short), at a character boundary, so that the name still ends as it did.
std::string FitName(const std::string& name, std::size_t limit);
// The ".q1" companion of a ".q0" file name: the same name with its last character "1".
std::string Q1Companion(const std::string& q0_name);
// "~COL" and four characters of A-Z and 1-9, 0, drawn from the never-seeded generator.
std::string RandomName();

}  // namespace tarvex
