#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/drive_folders_posix.h"
#include "platform/file_system_testing.h"
#include "platform/file_system_traits_posix.h"
#include "platform/folder_index_posix.h"
#include "platform/move_record.h"
#include "platform/moving_posix.h"
#include "platform/names.h"

// Claims: a file renamed within its own folder to a hidden name of the mover's before its
// line, placed from there, put back when it cannot be, and found again after a kill.
namespace platform {

struct Claim::State : Claim::Basics {
  std::shared_ptr<const HeldFolder> folder;
  std::string source_win_folder;
  std::string claim_name;  // in the folder now
  struct stat st {};       // the file as claimed
  Kind kind = Kind::kFile;
  ReadLease lease;  // on a local file system, the descriptor a copy reads from
  // Where PlaceClaim put it by a rename, so that it can be taken back.
  std::shared_ptr<const HeldFolder> placed_folder;
  std::string placed_name;
};

Claim::State* Claim::state() const { return static_cast<State*>(state_.get()); }

namespace {

void Tell(const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", MoverTag().c_str(), what.c_str());
  std::fflush(stderr);
}

// Renames `name` (lstat `st`, of kind `kind`) to a claim, with `lease` taken on it.
ClaimOutcome ClaimEntry(const Held& folder, std::string_view win_folder, const std::string& name,
                        const struct stat& st, Kind kind, ReadLease lease, const Claim* with,
                        Claim& claim) {
  auto state = std::make_unique<Claim::State>();
  state->token = with != nullptr && !with->Token().empty() ? with->Token() : Token();
  state->claim_name = ClaimName(state->token, name);
  Indexes().CheckBeforeChange(*folder);
  if (!RenameToOwnName(*folder, name.c_str(), state->claim_name.c_str())) {
    // Another mover's claim came first (the name is gone), or this user may not rename it.
    if (errno == ENOENT) return ClaimOutcome::kGone;
    return NetworkCaused(*folder, errno) ? ClaimOutcome::kDriveAway : ClaimOutcome::kRefused;
  }
  Indexes().NoteChange(*folder, name, state->claim_name);
  state->folder = folder;
  state->source_win_folder = win_folder;
  state->name = name;
  state->st = st;
  state->size = static_cast<std::uint64_t>(st.st_size);
  state->kind = kind;
  state->lease = std::move(lease);
  claim = Claim(std::move(state));
  return ClaimOutcome::kClaimed;
}

// Looks the file up, asks whether a writer holds it (unless `listed` has) and claims it.
ClaimOutcome ClaimIn(const Held& folder, std::string_view win_folder, std::string_view name,
                     SourceName match, ReadLease* listed, const Claim* with, Claim& claim) {
  if (!IsPlainComponent(name)) return ClaimOutcome::kGone;
  std::string actual;
  struct stat st {};
  if (const struct stat* leased = listed != nullptr ? listed->StatOf(*folder, name) : nullptr) {
    actual = name;
    st = *leased;
  } else if (StatEntry(folder->fd, std::string(name).c_str(), &st, !TraitsOf(*folder).local) == 0) {
    // The exact name is asked of the file system itself: an index read in the same clock
    // tick as the file's arrival (a ".q1" written just before its ".q0") would not know it.
    actual = name;
  } else if (match == SourceName::kExact ||
             Indexes().Lookup(*folder, name, match, actual, &st) != Probe::kFound) {
    return ClaimOutcome::kGone;
  }
  if (IsMoversOwn(actual)) return ClaimOutcome::kGone;
  const Kind kind = KindOf(folder->fd, actual, st, nullptr);
  if (kind != Kind::kFile && kind != Kind::kFileLink) return ClaimOutcome::kGone;
  ReadLease lease;
  if (kind == Kind::kFile) {
    if (listed != nullptr && listed->IsFor(*folder, actual, st.st_dev, st.st_ino)) {
      // A writer that asked for the file since the listing is seen by the placement, which
      // asks the lease again after the line and puts the file back for it.
      lease = std::move(*listed);
    } else {
      lease = ReadLease::Take(*folder, actual, st);
      if (lease.Replaced()) return ClaimOutcome::kGone;
      if (lease.BeingWritten()) return ClaimOutcome::kBeingWritten;
    }
  }
  return ClaimEntry(folder, win_folder, actual, st, kind, std::move(lease), with, claim);
}

// How long a claim of another mover (another program, machine or user) may show no progress
// before it counts as abandoned: far beyond any line and any rename; a copy shows progress in
// its partial copy.
long long AbandonedAfterNs() {
  const char* text = getenv("TARVEX_CLAIM_ABANDON_SECONDS");
  const long long seconds = text != nullptr && *text != '\0' ? atoll(text) : 0;
  return (seconds > 0 ? seconds : 15 * 60) * 1000000000LL;
}

// Whether a claim of another mover has made no progress for the abandonment age: neither the
// claimed file nor a partial copy with its token in the target changed since.
bool Abandoned(const HeldFolder& source, const std::string& claim_name, const HeldFolder* target,
               const ClaimParts& parts) {
  struct stat st {};
  if (StatEntry(source.fd, claim_name.c_str(), &st, !TraitsOf(source).local) != 0) return false;
  long long latest = std::max(NanosOf(st.st_ctim), NanosOf(st.st_mtim));
  if (target != nullptr) {
    const std::string partial =
        std::string(kPartialPrefix) + parts.tag + "-" + parts.mover + "-" + parts.token;
    struct stat copy {};
    if (StatEntry(target->fd, partial.c_str(), &copy, !TraitsOf(*target).local) == 0) {
      latest = std::max(latest, NanosOf(copy.st_mtim));
    }
  }
  return RealtimeNanos() - latest >= AbandonedAfterNs();
}

// Whether a claim is a second name of the file already placed in the target under its own
// name: a placement by link whose removal of the claim the server did not confirm (it went
// away in between), and whose undoing failed as well. Such a client shows no link count or
// inode to tell, so the file is compared: the same size, time and contents.
bool PlacedAlready(const HeldFolder& folder, const std::string& claim_name, const struct stat& st,
                   const HeldFolder& target, const std::string& name) {
  if (TraitsOf(folder).local || !S_ISREG(st.st_mode)) return false;
  const std::string placed = LowerName(name);
  struct stat there {};
  if (!IsPlainComponent(placed) ||
      fstatat(target.fd, placed.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(there.st_mode) || there.st_size != st.st_size ||
      there.st_mtim.tv_sec != st.st_mtim.tv_sec) {
    return false;
  }
  UniqueFd a(openat(folder.fd, claim_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  UniqueFd b(openat(target.fd, placed.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!a.ok() || !b.ok()) return false;
  std::string x(65536, '\0'), y(65536, '\0');
  for (off_t at = 0;;) {
    const ssize_t n = pread(a.get(), x.data(), x.size(), at);
    const ssize_t m = pread(b.get(), y.data(), y.size(), at);
    if (n < 0 || n != m || x.compare(0, n, y, 0, m) != 0) return false;
    if (n == 0) return at == st.st_size;
    at += n;
  }
}

}  // namespace

ClaimOutcome ClaimFile(std::string_view source_folder, std::string_view name, SourceName match,
                       Claim& claim, const Claim* with) {
  FolderScope scope;
  Probe status;
  const Held folder = ResolveWholeFolder(source_folder, status);
  if (!folder) return ClaimOutcome::kGone;
  return ClaimIn(folder, source_folder, name, match, nullptr, with, claim);
}

ClaimOutcome FolderListing::ClaimLast(std::string_view source_folder, Claim& claim) {
  std::unique_ptr<ListedFile> last = std::move(last_);
  if (last == nullptr) return ClaimOutcome::kGone;
  return ClaimIn(folder_, source_folder, last->name, SourceName::kExact, &last->lease, nullptr,
                 claim);
}

bool ClaimedByAnotherMover(std::string_view source_folder, std::string_view name,
                           const Claim& own) {
  FolderScope scope;
  Probe status;
  const Held folder = ResolveWholeFolder(source_folder, status);
  if (!folder || !TraitsOf(*folder).renames_by_handle) return false;
  const std::string wanted = LowerName(name);
  // A long name is shortened inside a claim name, by as much as the other mover's tag makes
  // it need. Taking another name so shortened for it only makes the ".q0" wait a pass.
  bool found = false;
  ForEachName(folder->fd, [&](std::string_view entry) {
    ClaimParts parts;
    if (found || entry.substr(0, kClaimPrefix.size()) != kClaimPrefix ||
        !ParseClaimName(entry, parts) || parts.token == own.Token()) {
      return;
    }
    found = ClaimHolds(entry, LowerName(parts.name), wanted);
  });
  return found;
}

bool StillClaimed(const Claim& claim) {
  const Claim::State* s = claim.state();
  if (s == nullptr || !s->held) return false;
  return !TraitsOf(*s->folder).renames_by_handle || StillNamed(*s->folder, s->claim_name);
}

MoveResult PlaceClaim(Claim& claim, std::string_view to_win_path) {
  auto result = [](MoveOutcome outcome) { return MoveResult{outcome}; };
  if (!claim.Held()) return result(MoveOutcome::kGone);
  FolderScope scope;
  Claim::State& s = *claim.state();
  const ParentAndName target = ResolveParent(to_win_path);
  if (!target.folder || s.folder->SameAs(*target.folder)) return result(MoveOutcome::kRefused);
  if (!IsPlainComponent(target.name)) return result(MoveOutcome::kRefused);
  std::string taken;
  if (Indexes().Lookup(*target.folder, target.name, SourceName::kAnyCase, taken, nullptr,
                       Need::kExistenceBeforeMove) == Probe::kFound) {
    return result(MoveOutcome::kTaken);
  }
  // A writer that opened the file since its lease was granted gets it back.
  if (s.lease.Broken()) return result(MoveOutcome::kBeingWritten);
  const std::string to(target.name);
  Indexes().CheckBeforeChange(*s.folder);
  BeforePlacement();
  bool moved = PlaceWithoutReplacing(*s.folder, s.claim_name.c_str(), *target.folder, to.c_str());
  MoveOutcome outcome = moved ? MoveOutcome::kMoved : MoveOutcome::kRefused;
  if (!moved && (errno == EXDEV || errno == ENOTSUP)) {
    outcome =
        MoveByCopy(*s.folder, s.source_win_folder, s.name, s.st, s.kind, s.lease, *target.folder,
                   to_win_path.substr(0, target.cut), to, errno == ENOTSUP, s.claim_name);
    moved = outcome == MoveOutcome::kMoved;
  } else if (!moved && errno == EEXIST) {
    outcome = MoveOutcome::kTaken;
  } else if (!moved && errno == ENOENT) {
    outcome = MoveOutcome::kGone;
  }
  if (outcome == MoveOutcome::kTaken) Indexes().Drop(*target.folder);
  if (moved) {
    Indexes().NoteChange(*s.folder, s.claim_name, {});
    Indexes().NoteChange(*target.folder, {}, to);
    s.held = false;
    s.lease = ReadLease();
    if (s.folder->dev == target.folder->dev) {
      s.placed_folder = target.folder;
      s.placed_name = to;
    }
  }
  return result(outcome);
}

bool TakeBack(Claim& claim) {
  Claim::State* s = claim.state();
  if (s == nullptr || s->held || !s->placed_folder) return false;
  struct stat st {};
  if (fstatat(s->placed_folder->fd, s->placed_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      (TraitsOf(*s->placed_folder).local && st.st_ino != s->st.st_ino)) {
    return false;  // no longer the file placed
  }
  Indexes().CheckBeforeChange(*s->placed_folder);
  if (!PlaceWithoutReplacing(*s->placed_folder, s->placed_name.c_str(), *s->folder,
                             s->claim_name.c_str()) &&
      !(errno == ENOTSUP && renameat(s->placed_folder->fd, s->placed_name.c_str(), s->folder->fd,
                                     s->claim_name.c_str()) == 0)) {
    return false;
  }
  Indexes().NoteChange(*s->placed_folder, s->placed_name, {});
  Indexes().NoteChange(*s->folder, {}, s->claim_name);
  s->placed_folder.reset();
  s->held = true;
  return true;
}

bool ReleaseClaim(Claim& claim) {
  if (!claim.Held()) return true;
  Claim::State& s = *claim.state();
  s.lease = ReadLease();  // a writer waiting for the file goes on at once
  Indexes().CheckBeforeChange(*s.folder);
  if (!PutBack(*s.folder, s.claim_name, s.name, s.st.st_ino, nullptr)) {
    struct stat st {};
    if (fstatat(s.folder->fd, s.claim_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
      s.held = false;  // gone from under the claim: nothing is left to put back
      return true;
    }
    Tell("could not put back " + s.source_win_folder + "\\" + s.name + " (claimed as " +
         s.claim_name + "): it is put back at the next start, or once its drive answers again");
    s.held = false;
    return false;
  }
  Indexes().Drop(*s.folder);
  s.held = false;
  return true;
}

std::vector<Claim> FinishInterruptedMoves(std::string_view source_folder,
                                          std::string_view target_folder, bool own_claims,
                                          std::string_view log_file) {
  FolderScope scope;
  std::vector<Claim> logged;
  if (own_claims) SettleRecordedMove(source_folder, target_folder, true);
  Probe status;
  const Held folder = ResolveWholeFolder(source_folder, status);
  if (!folder) return logged;
  const Held target = ResolveWholeFolder(target_folder, status);
  std::vector<std::string> claims;
  ForEachName(folder->fd, [&](std::string_view name) {
    if (name.substr(0, kClaimPrefix.size()) == kClaimPrefix) claims.emplace_back(name);
  });
  if (claims.empty()) return logged;
  const LoggedRecord record = ReadLoggedRecord();
  for (const std::string& claim_name : claims) {
    ClaimParts parts;
    // No claim of any mover's (an older program's claim is settled by its record): a user's
    // file under such a name is in no listing, and the pass tells it as waiting.
    if (!ParseClaimName(claim_name, parts)) continue;
    const bool own = parts.tag == MoverTag() && parts.mover == MoverId();
    if (own ? !own_claims : !Abandoned(*folder, claim_name, target.get(), parts)) continue;
    struct stat st {};
    if (fstatat(folder->fd, claim_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const Kind kind = KindOf(folder->fd, claim_name, st, nullptr);
    auto state = std::make_unique<Claim::State>();
    state->folder = folder;
    state->source_win_folder = source_folder;
    state->name = parts.name;
    state->claim_name = claim_name;
    state->token = parts.token;
    state->st = st;
    state->size = static_cast<std::uint64_t>(st.st_size);
    state->kind = kind;
    Claim claim(std::move(state));
    if (kind != Kind::kFile && kind != Kind::kFileLink) {
      // Named like a claim, but nothing a mover claims: left as it is.
      claim.state()->held = false;
      Tell("leaves " + std::string(source_folder) + "\\" + claim_name +
           " as it is: named like a claim, but not a file");
      continue;
    }
    if (own && target && PlacedAlready(*folder, claim_name, st, *target, parts.name)) {
      claim.state()->held = false;
      if (unlinkat(folder->fd, claim_name.c_str(), 0) == 0) {
        Tell("removes " + std::string(source_folder) + "\\" + claim_name +
             ": a second name of the file placed as " + std::string(target_folder) + "\\" +
             LowerName(parts.name));
      }
      continue;
    }
    // A claim whose line was being written when the program was killed is taken for logged
    // when the log holds that line.
    if (own && ClaimWasLogged(record, parts.token, log_file)) {
      logged.push_back(std::move(claim));  // its line is written: the caller places it
      continue;
    }
    Tell("puts back " + std::string(source_folder) + "\\" + parts.name +
         (own ? ": its move was cut short before its line"
              : ": a claim of " + parts.tag + " (another machine or user) without progress"));
    ReleaseClaim(claim);
  }
  Indexes().Drop(*folder);
  return logged;
}

}  // namespace platform
