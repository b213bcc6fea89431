#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "program2/form.h"
#include "program2/program.h"
#include "program2/waiting.h"
#include "shared/Module_FindFirstFile.h"

namespace tarvex {

// The events of a program's window that hold its logic: the rest of the load event, the
// minute tick, the double-click on the remaining-time box, and the move pass. Plain C++:
// it reaches the window only through Form and the disk only through the platform layer.
// A RunTimeError thrown by any of them leaves it at once; the caller reports it and ends.
class FormLogic {
 public:
  FormLogic(const Program& program, Form& form);

  // The load event from the constants on: fills the constant boxes, hides the two status
  // images and takes the start time (the window has centred, captioned and checked for a
  // previous instance before).
  void Form_Load();

  // Tick: elapsed minutes, one minute off the remaining time, a pass when it is 0 or less,
  // then a yield. A tick that falls due during a pass never starts a second pass inside
  // it: the remaining time keeps counting and a later tick runs the pass.
  void Timer1_Timer();

  // Double-click on the remaining-time box, by the box's name in each program (Text2 in
  // program 0); what it does follows the program's description.
  void txt_TIM_Rem_DblClick();
  void Text2_DblClick() { txt_TIM_Rem_DblClick(); }

  // The move pass.
  void ProcessAction();

  bool InPass() const { return in_pass_; }
  double StartTime() const { return start_time_; }

 private:
  void AddToBox(Box box, double value, const char* pattern);
  void ShowEstimates();
  // Whether the program's drive is there; while it is not, nothing moves.
  void NoteDrivePresence();
  // A file server that stopped answering in a pass, and its return.
  void NoteServerAway();
  void NoteServerBack();
  // Whether a listed file of that size may be handed to the move now; a file that waits for
  // a lasting reason is noted as waiting.
  bool MayMoveNow(const std::string& name, std::uint64_t size);
  // What waits at the end of a pass (the program as a whole, and the files the pass noted),
  // told once and shown until the next pass ends.
  void ShowWhatWaits();
  // Claims the file the listing filled last (and a ".q0"'s ".q1" with it); false, with
  // nothing claimed, when another mover has it, a process holds it, or it must wait for its
  // pair.
  bool ClaimToMove(platform::FolderListing& listing, const std::string& name,
                   platform::Claim& claim, platform::Claim& companion);
  // Places the claims whose line a killed run wrote.
  void PlaceRecoveredClaims(std::vector<platform::Claim> claims);
  // Now and then, after a pass: claims that other movers abandoned.
  void SettleAbandonedClaims();

  const Program& program_;
  Form& form_;
  const std::string log_folder_;  // the folder of the log file
  double start_time_ = 0;
  bool in_pass_ = false;
  bool drive_missing_ = false;
  bool server_away_ = false;
  bool folders_absent_ = false;   // the drive answered this pass that a folder is not there
  double answered_at_ = 0;        // when the drive first answered again after it went away
  bool own_claims_left_ = false;  // a claim of this program could not be put back
  Waiting waiting_;
  double last_claims_sweep_ = 0;
  // Files (name and size) whose line is written but whose placement failed: put back, and
  // placed by a later pass without a second line.
  std::set<std::pair<std::string, std::uint64_t>> logged_waiting_;
  // Within a pass, the lower-cased ".q0" names met empty (their ".q1" moves alone) and met
  // waiting (their ".q1" waits too).
  std::unordered_set<std::string> empty_q0_, waiting_q0_;
  // The last text the pass put in each counting box and the number it reads as: a box that
  // still shows that text is not read again.
  struct Counted {
    bool known = false;
    std::string text;
    std::int64_t whole = 0;  // what `text` reads as, when `known`
  };
  std::array<Counted, kBoxCount> counted_;
};

}  // namespace tarvex
