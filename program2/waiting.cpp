#include "program2/waiting.h"

#include <cctype>

#include "platform/system_log.h"

namespace tarvex {
namespace {

constexpr char kDash[] = "\xE2\x80\x94";  // an em dash
constexpr std::size_t kToolTipLines = 30;

std::string Files(std::size_t n) { return std::to_string(n) + (n == 1 ? " file" : " files"); }

std::string Capitalised(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace

void Waiting::FileWaits(const std::string& name, const std::string& why) {
  if (files_.size() >= kKept) {
    ++files_over_;
    return;
  }
  files_.push_back({name, why});
}

void Waiting::ProgramWaits(const ProgramCause& cause) {
  for (const ProgramCause& known : program_) {
    if (known.words == cause.words) return;
  }
  program_.push_back(cause);
}

void Waiting::Tell(const std::string& text, bool starts) const {
  platform::TellSystemLog(title_, text, starts ? platform::Told::kStarts : platform::Told::kEnds);
}

void Waiting::EndPass(bool listed_whole) {
  std::unordered_map<std::string, std::string> now;
  now.reserve(files_.size());
  for (const File& f : files_) now.emplace(f.name, f.why);
  if (!listed_whole) {
    // A pass cut short saw only some of the files: the others still wait as far as is known.
    for (const auto& [name, why] : told_files_) {
      if (now.count(name) != 0) continue;
      if (files_.size() >= kKept) {
        ++files_over_;
        continue;
      }
      files_.push_back({name, why});
      now.emplace(name, why);
    }
  }

  // What ended, then what started, each told once.
  for (const ProgramCause& was : told_program_) {
    bool still = false;
    for (const ProgramCause& is : program_) still = still || is.words == was.words;
    if (!still) Tell(was.ends, false);
  }
  for (const ProgramCause& is : program_) {
    bool before = false;
    for (const ProgramCause& was : told_program_) before = before || is.words == was.words;
    if (!before) Tell(is.starts, true);
  }
  std::size_t ended = 0;
  for (const auto& [name, why] : told_files_) {
    auto it = now.find(name);
    if (it != now.end() && it->second == why) continue;
    if (++ended <= kToldEach) Tell(PathOf(name) + " no longer waits (" + why + ")", false);
  }
  if (ended > kToldEach) Tell(Files(ended - kToldEach) + " more no longer wait", false);
  std::size_t started = 0;
  for (const File& f : files_) {
    auto it = told_files_.find(f.name);
    if (it != told_files_.end() && it->second == f.why) continue;
    if (++started <= kToldEach) Tell(PathOf(f.name) + " stays where it is: " + f.why, true);
  }
  if (started > kToldEach) Tell(Files(started - kToldEach) + " more stay where they are", true);

  // What the window shows until the next pass ends.
  const std::size_t waiting = files_.size() + files_over_;
  caption_note_.clear();
  first_cause_.clear();
  every_cause_.clear();
  for (const ProgramCause& is : program_) {
    caption_note_ += (caption_note_.empty() ? std::string(" ") + kDash + " " : "; ") + is.words;
    if (first_cause_.empty()) first_cause_ = Capitalised(is.words);
    every_cause_ += (every_cause_.empty() ? "" : "\n") + Capitalised(is.starts);
  }
  if (waiting > 0) {
    caption_note_ += (caption_note_.empty() ? std::string(" ") + kDash + " " : "; ") +
                     Files(waiting) + (waiting == 1 ? " waits" : " wait");
  }
  if (!files_.empty() && first_cause_.empty()) {
    first_cause_ = files_.front().name + " waits: " + files_.front().why;
  }
  std::size_t lines = 0;
  for (const File& f : files_) {
    if (++lines > kToolTipLines) break;
    every_cause_ += (every_cause_.empty() ? "" : "\n") + PathOf(f.name) + ": " + f.why;
  }
  if (waiting > kToolTipLines) {
    every_cause_ += "\nand " + Files(waiting - kToolTipLines) + " more";
  }

  told_files_ = std::move(now);
  told_program_ = std::move(program_);
  program_.clear();
  files_.clear();
  files_over_ = 0;
}

}  // namespace tarvex
