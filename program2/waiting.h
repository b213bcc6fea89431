#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvex {

// What waits for a lasting reason, pass by pass: files of the source folder that cannot
// move (and why), and the program as a whole while its drive or one of its folders is not
// there. Each cause is told on the system's log once when it starts and once when it ends;
// the window shows what the last pass found. Plain C++.
class Waiting {
 public:
  // A cause that keeps the whole program waiting: the caption's few words ("drive P: is not
  // there"), and what the system's log is told when it starts and when it ends.
  struct ProgramCause {
    std::string words, starts, ends;
  };

  Waiting(std::string title, std::string source_folder)
      : title_(std::move(title)), source_folder_(std::move(source_folder)) {}

  // A file of the source folder, by its name, waits for a lasting reason.
  void FileWaits(const std::string& name, const std::string& why);
  void ProgramWaits(const ProgramCause& cause);
  // Ends a pass. `listed_whole`: the pass went through the whole listing, so a file it did not
  // find waiting waits no longer; otherwise the files of the last pass still wait as far as
  // anyone knows. Tells the system's log what started and what ended since the last pass.
  void EndPass(bool listed_whole);

  // What the last pass found: nothing, or a few words for the caption (" — 2 files wait").
  const std::string& CaptionNote() const { return caption_note_; }
  // The first cause, for the file-in-progress box ("a.cnm waits: ..."), and every cause, one
  // a line, for its tooltip.
  const std::string& FirstCause() const { return first_cause_; }
  const std::string& EveryCause() const { return every_cause_; }

  // Causes told individually at each end of a pass; the rest are told in one line.
  static constexpr std::size_t kToldEach = 20;
  // Waiting files remembered (months of a folder nobody empties): the rest are counted.
  static constexpr std::size_t kKept = 10000;

 private:
  struct File {
    std::string name, why;
  };
  std::string PathOf(const std::string& name) const { return source_folder_ + "\\" + name; }
  void Tell(const std::string& text, bool starts) const;

  const std::string title_, source_folder_;
  // This pass's causes, and those the last pass ended with (told as started).
  std::vector<File> files_;
  std::size_t files_over_ = 0;  // waiting files beyond kKept
  std::vector<ProgramCause> program_;
  std::unordered_map<std::string, std::string> told_files_;  // name -> why
  std::vector<ProgramCause> told_program_;
  std::string caption_note_, first_cause_, every_cause_;
};

}  // namespace tarvex
