#include "program2/form_logic.h"

#include <algorithm>
#include <cmath>

#include "platform/box_number.h"
#include "platform/date_time.h"
#include "platform/file_system.h"
#include "platform/long_work.h"
#include "platform/names.h"
#include "program2/transfer_log.h"
#include "shared/Module_FindFirstFile.h"
#include "shared/Module_MySafeRename.h"
#include "shared/Module_RTrimNull.h"
#include "shared/Module_Sleep.h"

namespace tarvex {
namespace {

constexpr char kSizePattern[] = "### ### ##0";
constexpr char kBytesPattern[] = "### ### ### ##0";
constexpr char kCountPattern[] = "### ### ##0";
constexpr char kElapsedPattern[] = "# ##0";
constexpr char kEstimatePattern[] = "# ### ### ###";
// Why a file waits whose line is written but whose placement failed (a name the target's file
// system cannot hold, say): it is put back, and placed by a later pass without a second line.
constexpr char kNotTaken[] =
    "the target folder did not take it (its line is written; it moves without a second one)";

// Closes a listing however the pass leaves.
class ListingCloser {
 public:
  explicit ListingCloser(FindHandle handle) : handle_(handle) {}
  ~ListingCloser() {
    if (handle_ != kInvalidFindHandle) FindClose(handle_);
  }
  ListingCloser(const ListingCloser&) = delete;
  ListingCloser& operator=(const ListingCloser&) = delete;

 private:
  FindHandle handle_;
};

class PassFlag {
 public:
  explicit PassFlag(bool& flag) : flag_(flag) { flag_ = true; }
  ~PassFlag() { flag_ = false; }
  PassFlag(const PassFlag&) = delete;
  PassFlag& operator=(const PassFlag&) = delete;

 private:
  bool& flag_;
};

}  // namespace

FormLogic::FormLogic(const Program& program, Form& form)
    : program_(program),
      form_(form),
      log_folder_(program.log_file.substr(0, program.log_file.find_last_of("\\/"))),
      waiting_(program.title, program.source_folder) {}

void FormLogic::Form_Load() {
  form_.SetText(InfoK(0), program_.source_folder);
  form_.SetText(InfoK(1), program_.target_folder);
  form_.SetText(InfoK(2), program_.file_pattern);
  form_.SetText(InfoK(3), program_.log_file);
  form_.SetImageVisible(Image::kBad, false);
  form_.SetImageVisible(Image::kGoo, false);
  if (program_.elapsed_by_clock) start_time_ = platform::Now();
  // What a kill cut short (a claim, a move across file systems) is finished or undone before
  // the first pass, so that each such file is found exactly once, in the source or the
  // target, with one line.
  platform::SetMoverTag(program_.title);
  last_claims_sweep_ = platform::Now();
  PlaceRecoveredClaims(platform::FinishInterruptedMoves(
      program_.source_folder, program_.target_folder, true, program_.log_file));
}

// Claims whose line a killed run of this program wrote: placed now, without a second line or
// count (a ".q0" with the ".q1" of its token).
void FormLogic::PlaceRecoveredClaims(std::vector<platform::Claim> claims) {
  for (platform::Claim& head : claims) {
    if (!head.Held() || NameExtension(head.Name()) == ".q1") continue;
    platform::Claim none;
    platform::Claim* companion = &none;
    if (NameExtension(head.Name()) == ".q0") {
      for (platform::Claim& other : claims) {
        if (other.Held() && &other != &head && other.Token() == head.Token()) companion = &other;
      }
    }
    const std::string name = head.Name();
    const std::uint64_t size = head.Size();
    if (!MySafeRename(head, *companion, program_.target_folder, program_.wwwwww_condition)) {
      logged_waiting_.insert({name, size});
    }
  }
  for (platform::Claim& rest : claims) {
    if (!rest.Held()) continue;
    platform::Claim none;
    const std::string name = rest.Name();
    const std::uint64_t size = rest.Size();
    if (!MySafeRename(rest, none, program_.target_folder, program_.wwwwww_condition)) {
      logged_waiting_.insert({name, size});
    }
  }
}

void FormLogic::Timer1_Timer() {
  platform::FollowTimeZone();
  double elapsed;
  if (program_.elapsed_by_clock) {
    elapsed = (platform::Now() - start_time_) * 24 * 60;
  } else {
    elapsed = platform::ReadBoxDouble(form_.Text(Box::kTimEla)) + 1;
  }
  form_.SetText(Box::kTimEla, platform::RenderPattern(elapsed, kElapsedPattern));
  form_.SetText(Box::kTimRem,
                platform::PlainText(platform::ReadBoxDouble(form_.Text(Box::kTimRem)) - 1));
  // During a pass ProcessAction declines, and a later tick runs the pass.
  if (platform::ReadBoxDouble(form_.Text(Box::kTimRem)) <= 0) ProcessAction();
  form_.DoEvents();
}

void FormLogic::txt_TIM_Rem_DblClick() {
  if (in_pass_) return;  // the form is disabled during a pass; a queued click finds it busy
  if (program_.double_click == DoubleClick::kCopyPeriodThenRunPass) {
    form_.SetText(Box::kTimRem, form_.Text(Box::kTimPer));
  }
  ProcessAction();
}

void FormLogic::AddToBox(Box box, double value, const char* pattern) {
  Counted& counted = counted_[static_cast<std::size_t>(box)];
  const std::string shown = form_.Text(box);
  // A box that still shows the pass's last text for it, added a whole number to: counted in
  // whole numbers (a file is added once for each of four boxes).
  if (counted.known && shown == counted.text && value == std::trunc(value) &&
      std::fabs(value) < 9.0e15) {
    const std::int64_t sum = counted.whole + static_cast<std::int64_t>(value);
    if (sum > -9000000000000000LL && sum < 9000000000000000LL) {
      counted.whole = sum;
      counted.text = platform::RenderPattern(sum, pattern);
      form_.SetText(box, counted.text);
      return;
    }
  }
  const double sum = (counted.known && shown == counted.text ? static_cast<double>(counted.whole)
                                                             : platform::ReadBoxDouble(shown)) +
                     value;
  counted.text = platform::RenderPattern(sum, pattern);
  // A pattern of digit places and spaces shows the sum rounded to a whole number, which is
  // what reading the text gives back.
  counted.known = std::isfinite(sum) && std::fabs(sum) < 9.0e15 &&
                  std::string_view(pattern).find_first_not_of("#0 ") == std::string_view::npos;
  counted.whole = counted.known ? static_cast<std::int64_t>(std::round(sum)) : 0;
  form_.SetText(box, counted.text);
}

void FormLogic::ProcessAction() {
  if (in_pass_) return;
  PassFlag running(in_pass_);
  // The pass works in the folders as it first reaches them: a folder swapped for another
  // (or for a link) meanwhile cannot redirect its renames or its log lines.
  platform::FolderScope folders;
  NoteDrivePresence();
  NoteServerBack();
  const bool listing_waits = server_away_;  // nothing moves until what was in hand is settled

  form_.SetText(Box::kTimRem, form_.Text(Box::kTimPer));
  form_.SetText(Box::kTimNbT,
                platform::PlainText(platform::ReadBoxDouble(form_.Text(Box::kTimNbT)) + 1));
  form_.SetText(Info(3), "");
  for (int i = 4; i <= 8; ++i) form_.SetText(Info(i), "0");
  form_.SetBackColor(Info(3), kYellow);
  form_.SetBackColor(Info(4), kYellow);
  form_.DoEvents();
  form_.SetMousePointer(kPointerHourglass);
  form_.SetEnabled(false);
  // A long listing, or the first reading of a large target, yields as each file does.
  const platform::LongWorkYield yield([](void* form) { static_cast<Form*>(form)->DoEvents(); },
                                      &form_);

  WIN32_FIND_DATA data;
  const FindHandle listing =
      listing_waits ? kInvalidFindHandle
                    : FindFirstFileA(program_.source_folder + "\\" + program_.file_pattern, data);
  if (listing != kInvalidFindHandle) {
    ListingCloser closer(listing);
    platform::FolderListing* const folder = FindListing(listing);  // for each file's claim
    do {
      if ((data.dwFileAttributes & 0x10) != 0) continue;
      const std::string name = RTrimNull(std::string_view(data.cFileName, sizeof data.cFileName));
      const std::uint64_t size = FileSize(data);
      const double amount = static_cast<double>(size);
      // A file that cannot move for a lasting reason, or a ".q0" whose ".q1" is still being
      // written (so that both arrive under one stem), waits as a file being written does:
      // not shown, counted, logged or moved. A file is claimed before anything is said of
      // it: a file that another mover claimed first, that a process holds, or that went
      // gets no line and no count here.
      platform::Claim claim, companion;
      if (size != 0) {
        if (!MayMoveNow(name, size) || !ClaimToMove(*folder, name, claim, companion)) {
          if (server_away_) break;  // nothing more moves until the drive answers again
          if (NameExtension(name) == ".q0") waiting_q0_.insert(platform::LowerName(name));
          continue;
        }
        // A file whose line was written before its placement failed is placed now, without a
        // second line or count.
        if (auto it = logged_waiting_.find({name, size}); it != logged_waiting_.end()) {
          if (MySafeRename(claim, companion, program_.target_folder, program_.wwwwww_condition)) {
            logged_waiting_.erase(it);
          } else {
            waiting_.FileWaits(name, kNotTaken);
          }
          continue;
        }
      } else if (NameExtension(name) == ".q0") {
        empty_q0_.insert(platform::LowerName(name));
      }
      form_.SetText(Info(3), program_.source_folder + "\\" + name);
      form_.SetText(Info(4),
                    platform::RenderPattern(static_cast<std::int64_t>(size), kSizePattern));
      // The pass's and the grand totals of moved files, by one file (-1: taken back).
      auto count_moved = [&](double files) {
        AddToBox(Info(5), files * amount, kBytesPattern);
        AddToBox(Info(6), files, kCountPattern);
        AddToBox(Info(9), files * amount, kBytesPattern);
        AddToBox(Info(10), files, kCountPattern);
      };
      if (size != 0) {
        count_moved(1);
        form_.SetImageVisible(Image::kGoo, true);
        form_.SetBackColor(Info(3), kGreen);
        form_.SetBackColor(Info(4), kGreen);
        form_.DoEvents();
        const std::string line = TransferLogRecord(platform::Now(), size);
        bool logged = false;
        try {
          logged = platform::AppendMoveLine(program_.log_file, line, claim);
        } catch (const platform::DriveAway& away) {
          // The file server went away: the file stays (or is put back once the server
          // answers), and nothing is counted for it.
          count_moved(-1);
          NoteServerAway();
          break;
        }
        if (!logged) {
          // Another mover's claim of the file overtook this one's: the file, its line and
          // its count are that mover's. A ".q1" claimed with it goes back.
          count_moved(-1);
          if (!platform::ReleaseClaim(claim) || !platform::ReleaseClaim(companion)) {
            own_claims_left_ = true;
          }
          continue;
        }
        if (!MySafeRename(claim, companion, program_.target_folder, program_.wwwwww_condition)) {
          // Put back under its name (as the claims end); its line is not written again.
          if (logged_waiting_.size() >= 10000) logged_waiting_.clear();
          logged_waiting_.insert({name, size});
          waiting_.FileWaits(name, kNotTaken);
          if (!platform::ReleaseClaim(claim) || !platform::ReleaseClaim(companion)) {
            own_claims_left_ = true;  // settled by the next pass that reaches its folders
          }
        }
      } else {
        AddToBox(Info(7), 0, kBytesPattern);
        AddToBox(Info(8), 1, kCountPattern);
        AddToBox(Info(11), 0, kBytesPattern);
        AddToBox(Info(12), 1, kCountPattern);
        form_.SetImageVisible(Image::kBad, true);
        form_.SetBackColor(Info(3), kRed);
        form_.SetBackColor(Info(4), kRed);
        form_.DoEvents();
      }
      if (program_.pause_per_file_ms > 0) {
        platform::LetTheLocksGo();
        form_.Present();  // each file stays on view for the whole pause
        Sleep(program_.pause_per_file_ms);
      }
    } while (FindNextFileA(listing, data) != 0);
  }
  platform::LetTheLocksGo();
  for (const std::string& name : platform::NamesLikeAMoversOwn()) {
    waiting_.FileWaits(name, "it is named like the movers' own files");
  }
  empty_q0_.clear();
  waiting_q0_.clear();
  SettleAbandonedClaims();

  ShowWhatWaits();
  form_.SetText(Info(4), "0");
  form_.SetBackColor(Info(3), kYellow);
  form_.SetBackColor(Info(4), kYellow);
  if (program_.throughput_estimate) ShowEstimates();
  form_.SetMousePointer(kPointerDefault);
  form_.SetEnabled(true);
  form_.Present();
}

// Bytes and files per day: this pass scaled by the period, the grand totals spread over
// the elapsed minutes, each divisor a whole number of minutes. Computed in doubles, so that
// nothing the boxes can hold overflows them.
void FormLogic::ShowEstimates() {
  auto minutes = [this](Box box) {
    return std::nearbyint(platform::ReadBoxDouble(form_.Text(box)));
  };
  const double elapsed = minutes(Box::kTimEla);
  const double period = minutes(Box::kTimPer);
  if (!(elapsed > 0) || !(period > 0)) return;
  auto estimate = [this](Box bytes, Box files, double divisor) {
    auto per_day = [&](Box box) {
      const double amount = std::nearbyint(platform::ReadBoxDouble(form_.Text(box)));
      return platform::RenderPattern(amount / divisor * 60 * 24, kEstimatePattern);
    };
    return "Daily Throughput Estimate: " + per_day(bytes) + " Bytes " + per_day(files) +
           " Messages";
  };
  form_.SetInfoLabelToolTip(4, estimate(Info(5), Info(6), period));
  form_.SetInfoLabelToolTip(5, estimate(Info(9), Info(10), elapsed));
}

bool FormLogic::ClaimToMove(platform::FolderListing& folder, const std::string& name,
                            platform::Claim& claim, platform::Claim& companion) {
  const std::string extension = NameExtension(name);
  if (extension == ".q1") {
    // A ".q1" whose ".q0" was in the folder (and is not an empty one) goes with it: the mover
    // that claimed the ".q0" claims it next. A ".q1" without one waits until it has been still
    // for a few seconds, so that a ".q0" written just after it still finds it.
    std::string head = name;
    head.back() = '0';
    const std::string folded = platform::LowerName(head);
    const bool head_there =
        empty_q0_.count(folded) == 0 &&
        (waiting_q0_.count(folded) != 0 || folder.HadPairHead(head) ||
         platform::EntryTest(program_.source_folder + "\\" + head) == platform::Probe::kFound);
    if (head_there || platform::FileChangedLately(program_.source_folder + "\\" + name)) {
      return false;
    }
  }
  const platform::ClaimOutcome outcome = folder.ClaimLast(program_.source_folder, claim);
  if (outcome == platform::ClaimOutcome::kDriveAway) NoteServerAway();
  if (outcome == platform::ClaimOutcome::kRefused) {
    waiting_.FileWaits(name, "this user may not rename it in its folder");
  }
  if (outcome != platform::ClaimOutcome::kClaimed) return false;
  if (extension != ".q0") return true;
  // A pair is claimed as a whole: a ".q1" that is there but cannot be claimed keeps the
  // ".q0" with it, and so does one that another mover claimed (with the ".q0" this claim
  // overtook, on a client that renames through a handle).
  const std::string q1 = Q1Companion(name);
  const platform::ClaimOutcome second = platform::ClaimFile(
      program_.source_folder, q1, platform::SourceName::kAnyCase, companion, &claim);
  if (second == platform::ClaimOutcome::kClaimed ||
      (second == platform::ClaimOutcome::kGone &&
       !platform::ClaimedByAnotherMover(program_.source_folder, q1, claim))) {
    return true;
  }
  platform::ReleaseClaim(claim);
  return false;
}

void FormLogic::SettleAbandonedClaims() {
  // Claims of other movers that made no progress for long are looked for now and then (this
  // program's own were settled at its start).
  const double now = platform::Now();
  if (now - last_claims_sweep_ < 5.0 / (24 * 60)) return;
  last_claims_sweep_ = now;
  platform::FinishInterruptedMoves(program_.source_folder, program_.target_folder, false);
}

bool FormLogic::MayMoveNow(const std::string& name, std::uint64_t size) {
  if (NameExtension(name) == ".q0" &&
      platform::FileBeingWritten(program_.source_folder + "\\" + Q1Companion(name))) {
    return false;
  }
  const platform::MoveHindrance hindrance =
      platform::MoveCanHappen(program_.source_folder, name, program_.target_folder, size);
  if (hindrance == platform::MoveHindrance::kNone) return true;
  static const char* const kWhy[] = {
      "",
      "this user may not remove it from its folder",
      "the target folder is not there",
      "this user may not add to the target folder",
      "the target's file system has no room for it",
      "there is no state folder for the record of a move across file systems",
      "the target folder is on another volume",
      ""};
  if (hindrance != platform::MoveHindrance::kGone) {
    waiting_.FileWaits(name, kWhy[static_cast<int>(hindrance)]);
  }
  return false;
}

void FormLogic::NoteServerAway() { server_away_ = true; }

void FormLogic::NoteServerBack() {
  folders_absent_ = false;
  if (!server_away_ && !own_claims_left_) return;
  const platform::Probe source = platform::FolderTest(program_.source_folder);
  const platform::Probe target = source == platform::Probe::kFound
                                     ? platform::FolderTest(program_.target_folder)
                                     : platform::Probe::kFailed;
  // A drive that answers that a folder is not there is back: the folder is what waits.
  folders_absent_ = source == platform::Probe::kAbsent || target == platform::Probe::kAbsent;
  if (source != platform::Probe::kFound || target != platform::Probe::kFound) {
    answered_at_ = 0;
    return;
  }
  if (server_away_) {
    // A client that keeps its own cache of sizes may still give the log the length it had
    // before the server went away, although a line written just then reached the server:
    // what was in hand is settled, and the next line written, only once that cache has let go.
    const double cache = std::max(platform::ClientCacheSeconds(log_folder_),
                                  platform::ClientCacheSeconds(program_.source_folder));
    const double now = platform::Now();
    if (answered_at_ == 0) answered_at_ = now;
    if (cache > 0 && (now - answered_at_) * 24 * 3600 < cache + 1) return;
  }
  answered_at_ = 0;
  server_away_ = own_claims_left_ = false;
  // What a pass had in hand when the server went away, or could not put back, is finished
  // or put back as after a kill: one line in all.
  PlaceRecoveredClaims(platform::FinishInterruptedMoves(
      program_.source_folder, program_.target_folder, true, program_.log_file));
}

void FormLogic::ShowWhatWaits() {
  // A pass cut short by a drive that went away saw only some of the files.
  bool listed_whole = !server_away_;
  const char drive = program_.source_folder.empty() ? 'P' : program_.source_folder[0];
  const std::string letter = std::string("drive ") + drive + ":";
  if (drive_missing_) {
    waiting_.ProgramWaits({letter + " is not there",
                           letter + " is not there (no folder " + platform::DriveRoot(drive) +
                               "; set TARVEX_DRIVE_" + drive + ")",
                           letter + " is there again"});
  } else if (server_away_ && !folders_absent_) {
    waiting_.ProgramWaits({letter + " does not answer",
                           letter + " does not answer: nothing moves until it does, and what "
                                    "was in hand is settled then",
                           letter + " answers again"});
  } else {
    // A folder of the program that is not there.
    const std::pair<const char*, const std::string*> folders[] = {
        {"the source folder", &program_.source_folder},
        {"the target folder", &program_.target_folder},
        {"the log's folder", &log_folder_}};
    for (const auto& [what, path] : folders) {
      if (platform::FolderTest(*path) == platform::Probe::kFound) continue;
      waiting_.ProgramWaits({std::string(what) + " is not there",
                             std::string(what) + " " + *path + " is not there",
                             std::string(what) + " " + *path + " is there again"});
      if (path == &program_.source_folder) listed_whole = false;
    }
  }
  waiting_.EndPass(listed_whole);
  form_.SetText(Info(3), waiting_.FirstCause());
  form_.ShowWaiting(waiting_.CaptionNote(), waiting_.EveryCause());
}

void FormLogic::NoteDrivePresence() {
  const char drive = program_.source_folder.empty() ? 'P' : program_.source_folder[0];
  drive_missing_ = platform::FolderTest(std::string(1, drive) + ":") != platform::Probe::kFound;
  if (drive_missing_) server_away_ = true;  // what was in hand is settled when it is back
}

}  // namespace tarvex
