#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

#include "platform/claim_names.h"
#include "platform/drive_folders_posix.h"
#include "platform/file_system_testing.h"
#include "platform/file_system_traits_posix.h"
#include "platform/folder_index_posix.h"
#include "platform/move_record.h"
#include "platform/moving_posix.h"

namespace platform {

namespace {

// Where a file system has neither a no-replace rename nor links (SMB through FUSE: its
// client turns a rename onto a taken name into the removal of that name and a second
// rename), movers place files one at a time per target folder, under a lock that every
// client sees: a folder in the target folder, ".tarvex-placing" while free, which a mover
// takes by renaming it to ".tarvex-placing-held-<64 bits>" of its own and gives back by
// renaming it again. The server decides which of two renames finds it; the loser is told
// the name is gone, which such a client takes calmly (a folder made in the same moment by two
// clients costs it its connection for a while, so the lock is made only where there is none).
// Where both clients opened it before either renamed it, both are told they have it and it
// ends under the later one's name: so while the lock is held the name is looked up on the
// server, the holder asks whether the lock is still under its own name (and takes it again
// if not), and only then renames to the name. A held lock that stays for the file system's
// stale age while others wait was left by a killed mover (no holder keeps it longer than a
// tenth of that, see HeldPlacing) and is set aside by one of them. The file is never copied, so no
// name shows a file in the making; what no lock can close is a writer that is no mover making the
// very name between the look-up and the rename.
class PlacingLock {
 public:
  explicit PlacingLock(const HeldFolder& folder)
      : folder_(folder), mine_(std::string(kFree) + "-held-" + Token()) {
    const long long stale_ns = TraitsOf(folder).lock_stale_ns;
    const long long give_up = MonotonicNanos() + 3 * stale_ns;
    std::string seen;
    long long seen_since = MonotonicNanos();
    long long next_look = 0;  // at the first refusal
    while (MonotonicNanos() < give_up) {
      if (renameat(folder.fd, kFree, folder.fd, mine_.c_str()) == 0) {
        held_ = true;
        return;
      }
      if (errno != ENOENT) return;
      if (MonotonicNanos() >= next_look) {
        next_look = MonotonicNanos() + stale_ns / 20;
        const std::string holder = Holder();
        if (holder.empty()) {
          mkdirat(folder.fd, kFree, 0700);  // none yet: made, then taken like any other
          continue;
        }
        if (holder != seen) {
          seen = holder;
          seen_since = MonotonicNanos();
        } else if (holder != kFree && MonotonicNanos() - seen_since > stale_ns) {
          const std::string left = std::string(kFree) + "-left-" + Token();
          if (renameat(folder.fd, holder.c_str(), folder.fd, left.c_str()) == 0) {
            unlinkat(folder.fd, left.c_str(), AT_REMOVEDIR);  // a user's entry stays set aside
          }
          seen_since = MonotonicNanos();
          continue;
        }
      }
      LetTheLocksGo();  // waited for holding no other lock (see LockFile in log_lock_posix.cpp)
      const timespec pause{0, static_cast<long>(1000000 + Token()[0] % 8 * 500000)};
      nanosleep(&pause, nullptr);
    }
    errno = EAGAIN;
  }
  ~PlacingLock() {
    if (held_) renameat(folder_.fd, mine_.c_str(), folder_.fd, kFree);
  }
  PlacingLock(const PlacingLock&) = delete;
  PlacingLock& operator=(const PlacingLock&) = delete;
  bool Held() const { return held_; }
  // Whether the lock is still this mover's (see LockFile::StillHeld).
  bool StillHeld() const {
    return held_ && (!TraitsOf(folder_).renames_by_handle || StillNamed(folder_, mine_));
  }

  static constexpr char kFree[] = ".tarvex-placing";

 private:
  // The lock's name as the folder shows it now (free or held), "" when there is none.
  std::string Holder() const {
    const std::string held_prefix = std::string(kFree) + "-held-";
    std::string holder;
    ForEachName(folder_.fd, [&](std::string_view name) {
      if (name.substr(0, held_prefix.size()) == held_prefix || name == kFree) holder = name;
    });
    return holder;
  }

  const HeldFolder& folder_;
  const std::string mine_;
  bool held_ = false;
};

}  // namespace

// Taking the movers' lock and giving it back cost the server two renames a file, as many as
// the claim and the placement. Within a pass the lock is kept from one placement to the next
// for at most a tenth of its stale age, as the log's token is (see log_append_posix.cpp): no
// other mover sets a lock aside before it has seen it held for the whole stale age. The lock
// is still asked for before each placement, and a lock lost ends the hold.
struct HeldPlacing {
  Held folder;
  std::unique_ptr<PlacingLock> lock;
  long long until_ns = 0;
};

void HeldPlacingEnd::operator()(HeldPlacing* held) const { delete held; }

namespace {

// The movers' lock of `folder` for one placement: the one this pass keeps while it is young,
// or one taken now, which the pass keeps from here on where it holds the folder (else `own`
// does). Null, with errno set, where none can be had.
const PlacingLock* PlacingLockFor(const HeldFolder& folder, std::unique_ptr<PlacingLock>& own) {
  ScopeFolders* const scope = CurrentScope();
  if (scope != nullptr && scope->held_placing != nullptr) {
    const HeldPlacing& held = *scope->held_placing;
    const bool same = held.folder.get() == &folder;
    if (same && MonotonicNanos() < held.until_ns) return held.lock.get();
    scope->held_placing.reset();
    if (same) LeaveFreeForAWaiter();
  }
  const long long taking = MonotonicNanos();
  own = std::make_unique<PlacingLock>(folder);
  if (!own->Held()) return nullptr;
  if (scope == nullptr) return own.get();
  for (const auto& [key, held] : scope->by_key) {
    if (held.get() != &folder) continue;
    scope->held_placing.reset(
        new HeldPlacing{held, std::move(own), taking + TraitsOf(folder).lock_stale_ns / 10});
    return scope->held_placing->lock.get();
  }
  return own.get();
}

bool RenameUnderLock(const HeldFolder& from_dir, const char* from, const HeldFolder& to_dir,
                     const char* to) {
  if (from_dir.dev != to_dir.dev) {
    errno = EXDEV;
    return false;
  }
  // A lock taken by a rename that another mover's overtook is no lock: taken again.
  for (int round = 0; round < 8; ++round) {
    std::unique_ptr<PlacingLock> own;
    const PlacingLock* const lock = PlacingLockFor(to_dir, own);
    if (lock == nullptr) return false;
    struct stat st {};
    if (StatEntry(to_dir.fd, to, &st, true) == 0) {
      errno = EEXIST;
      return false;
    }
    if (errno != ENOENT) return false;
    if (lock->StillHeld()) return renameat(from_dir.fd, from, to_dir.fd, to) == 0;
    // Overtaken: the hold, if this was it, ends here.
    ScopeFolders* const scope = CurrentScope();
    if (scope != nullptr && scope->held_placing != nullptr &&
        scope->held_placing->lock.get() == lock) {
      scope->held_placing.reset();
    }
  }
  errno = EAGAIN;
  return false;
}

}  // namespace

bool PlaceWithoutReplacing(const HeldFolder& from_dir, const char* from, const HeldFolder& to_dir,
                           const char* to) {
  FileSystemTraits& fs = TraitsOf(to_dir);
  if (fs.no_replace_rename != Support::kNo) {
    if (renameat2(from_dir.fd, from, to_dir.fd, to, RENAME_NOREPLACE) == 0) {
      fs.no_replace_rename = Support::kYes;
      return true;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    fs.no_replace_rename = Support::kNo;
  }
  if (fs.hard_links != Support::kNo) {
    if (linkat(from_dir.fd, from, to_dir.fd, to, 0) == 0) {
      fs.hard_links = Support::kYes;
      if (unlinkat(from_dir.fd, from, 0) == 0) return true;
      const int err = errno;
      unlinkat(to_dir.fd, to, 0);
      errno = err;
      return false;
    }
    if (errno != EPERM && errno != ENOTSUP && errno != ENOSYS) return false;
    // A link to another user's file may be refused where links are protected; a refusal
    // for the mover's own file says the file system has none.
    struct stat st {};
    if (errno != EPERM ||
        (fstatat(from_dir.fd, from, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_uid == geteuid())) {
      fs.hard_links = Support::kNo;
    }
  }
  return RenameUnderLock(from_dir, from, to_dir, to);
}

void LeaveFreeForAWaiter() {
  const timespec turn{0, 20000000};
  nanosleep(&turn, nullptr);
}

bool StillNamed(const HeldFolder& dir, const std::string& own_name) {
  struct stat st {};
  return StatEntry(dir.fd, own_name.c_str(), &st, true) == 0 || errno != ENOENT;
}

bool RenameToOwnName(const HeldFolder& dir, const char* from, const char* to) {
  // No one else can guess a name of 64 random bits, so a plain rename replaces nothing; it is
  // one call everywhere (a link and a removal would be two to a file server), and of two
  // movers renaming one file, the second finds it gone.
  return renameat(dir.fd, from, dir.fd, to) == 0;
}

MoveResult RenameNoReplace(std::string_view from_win_path, std::string_view to_win_path,
                           SourceName match) {
  FolderScope scope;  // each folder resolved once for the whole move
  auto result = [](MoveOutcome outcome) { return MoveResult{outcome}; };
  const ParentAndName source = ResolveParent(from_win_path);
  const ParentAndName target = ResolveParent(to_win_path);
  if (!source.folder) return result(MoveOutcome::kGone);
  if (!target.folder || source.folder->SameAs(*target.folder)) return result(MoveOutcome::kRefused);
  if (!IsPlainComponent(target.name)) return result(MoveOutcome::kRefused);
  std::string name;
  struct stat st {};
  if (Indexes().Lookup(*source.folder, source.name, match, name, &st) != Probe::kFound ||
      IsMoversOwn(name)) {
    return result(MoveOutcome::kGone);
  }
  const Kind kind = KindOf(source.folder->fd, name, st, nullptr);
  if (kind != Kind::kFile && kind != Kind::kFileLink) return result(MoveOutcome::kGone);
  std::string taken;
  if (Indexes().Lookup(*target.folder, target.name, SourceName::kAnyCase, taken, nullptr,
                       Need::kExistenceBeforeMove) == Probe::kFound) {
    return result(MoveOutcome::kTaken);
  }
  const std::string to(target.name);

  // A read lease, held across the move, keeps writers out until the file has moved; a file
  // that some process holds open for writing stays.
  ReadLease lease;
  if (kind == Kind::kFile) {
    lease = ReadLease::Take(*source.folder, name, st);
    if (lease.Replaced()) return result(MoveOutcome::kGone);
    if (lease.BeingWritten()) return result(MoveOutcome::kBeingWritten);
  }
  Indexes().CheckBeforeChange(*source.folder);
  BeforePlacement();
  bool moved = PlaceWithoutReplacing(*source.folder, name.c_str(), *target.folder, to.c_str());
  MoveOutcome outcome = moved ? MoveOutcome::kMoved : MoveOutcome::kRefused;
  if (!moved && (errno == EXDEV || errno == ENOTSUP)) {
    // Across file systems, or where only an exclusive create of the target name is left.
    outcome = MoveByCopy(*source.folder, from_win_path.substr(0, source.cut), name, st, kind, lease,
                         *target.folder, to_win_path.substr(0, target.cut), to, errno == ENOTSUP);
    moved = outcome == MoveOutcome::kMoved;
  } else if (!moved && errno == EEXIST) {
    outcome = MoveOutcome::kTaken;
  } else if (!moved && errno == ENOENT) {
    outcome = MoveOutcome::kGone;
  }
  if (outcome == MoveOutcome::kTaken) {
    // The target's index missed an entry that another process made: read it again next time.
    Indexes().Drop(*target.folder);
  }
  if (moved) {
    Indexes().NoteChange(*source.folder, name, {});
    Indexes().NoteChange(*target.folder, {}, to);
  }
  return result(outcome);  // the lease goes with it
}

namespace {

// What a folder's file system has room for, read once per pass.
Room RoomIn(const HeldFolder& folder) {
  ScopeFolders* const scope = CurrentScope();
  if (scope != nullptr) {
    auto it = scope->room.find(&folder);
    if (it != scope->room.end()) return it->second;
  }
  Room room{~0ULL, 1, ~0ULL, false};
  struct statvfs fs {};
  if (fstatvfs(folder.fd, &fs) == 0 && fs.f_frsize > 0 && fs.f_blocks > 0) {
    const bool root = geteuid() == 0;
    room.blocks = root ? fs.f_bfree : fs.f_bavail;
    room.block_size = fs.f_frsize;
    room.counts_inodes = fs.f_files > 0;
    room.inodes = root ? fs.f_ffree : fs.f_favail;
  }
  if (scope != nullptr) scope->room.emplace(&folder, room);
  return room;
}

}  // namespace

MoveHindrance MoveCanHappen(std::string_view source_folder, std::string_view name,
                            std::string_view target_folder, std::uint64_t size) {
  Probe status;
  const Held target = ResolveWholeFolder(target_folder, status);
  if (!target) {
    return status == Probe::kAbsent ? MoveHindrance::kTargetAbsent : MoveHindrance::kNone;
  }
  const Held source = ResolveWholeFolder(source_folder, status);
  if (!source) return MoveHindrance::kNone;
  if (!RightsIn(*target).may_change) return MoveHindrance::kTargetReadOnly;
  const FolderRights rights = RightsIn(*source);
  if (!rights.may_change) return MoveHindrance::kSourceKept;
  if (rights.own_files_only && IsPlainComponent(name)) {
    struct stat file {};
    if (StatEntry(source->fd, std::string(name).c_str(), &file, false) == 0 &&
        file.st_uid != geteuid()) {
      return MoveHindrance::kSourceKept;  // a sticky folder keeps other users' files
    }
  }
  const Room room = RoomIn(*target);
  if (source->dev == target->dev) {
    // A rename needs no inode, but may need a block for the folder's new entry.
    return room.blocks == 0 ? MoveHindrance::kTargetFull : MoveHindrance::kNone;
  }
  if (!MoveRecordsCanBeKept()) return MoveHindrance::kNoRecordFolder;
  if (room.blocks < size / room.block_size + 2 || (room.counts_inodes && room.inodes < 2)) {
    return MoveHindrance::kTargetFull;
  }
  return MoveHindrance::kNone;
}

}  // namespace platform
