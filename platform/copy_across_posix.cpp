#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/file_system_traits_posix.h"
#include "platform/folder_index_posix.h"
#include "platform/move_record.h"
#include "platform/moving_posix.h"

// How is a file moved by a copy (across file systems, or where a file system can only
// create a name exclusively): claimed, copied, put in place, and its source removed, with a record
// in the mover's own state folder by which the next start finishes or undoes a move that a kill cut
// short.
namespace platform {
namespace {

// The token of a claim name of this mover's.
std::string ParsedToken(const std::string& claim) {
  ClaimParts parts;
  return ParseClaimName(claim, parts) ? parts.token : Token();
}

// Copies a whole file of `size` bytes; a copy of any other length (a client that read a
// file short) fails.
bool CopyContents(int in, const ReadLease& lease, int out, off_t size) {
  std::vector<char> buffer(1 << 20);
  for (off_t offset = 0;;) {
    const ssize_t n = pread(in, buffer.data(), buffer.size(), offset);
    if (n == 0) {
      struct stat copied {};
      return offset == size && fstat(out, &copied) == 0 && copied.st_size == size;
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      done += w;
    }
    offset += n;
    if (lease.Broken()) return false;  // a writer waits: let it in
  }
}

// The source has not changed since st was taken (and, with a lease, no writer asked); on a
// drive mounted from elsewhere asked of the server.
bool SourceUnchanged(const HeldFolder& source, const std::string& name, const ReadLease& lease,
                     const struct stat& st) {
  struct stat now {};
  if (StatEntry(source.fd, name.c_str(), &now, !TraitsOf(source).local) != 0 ||
      now.st_ino != st.st_ino || now.st_dev != st.st_dev || now.st_size != st.st_size ||
      NanosOf(now.st_mtim) != NanosOf(st.st_mtim) || NanosOf(now.st_ctim) != NanosOf(st.st_ctim)) {
    return false;
  }
  return !lease.Broken();
}

// Removes an entry only if it is still the given file (any file for inode 0: a name of the
// mover's own that no one else can guess) and this user's own.
void RemoveIfOwn(int dir_fd, const std::string& name, unsigned long long ino) {
  struct stat st {};
  if (fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      (ino == 0 || st.st_ino == ino) && st.st_uid == geteuid() && !S_ISDIR(st.st_mode)) {
    unlinkat(dir_fd, name.c_str(), 0);
  }
}

// Copies the claimed file `claim` of a folder to the name `name` of the same folder, created
// exclusively, and removes the claim: the put-back where a file system can neither rename
// without replacing nor link. The record learns the copy first, so that a kill leaves no
// part of it under a name that a pass would move. EEXIST when the name is taken.
bool CopyBack(const HeldFolder& dir, const std::string& claim, const std::string& name,
              MoveRecord* record) {
  UniqueFd in(openat(dir.fd, claim.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!in.ok() || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  UniqueFd out(
      openat(dir.fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out.ok()) return false;
  struct stat made {};
  bool ok = fstat(out.get(), &made) == 0;
  if (ok && record != nullptr) {
    record->back_name = name;
    record->back_ino = made.st_ino;
    ok = SaveMoveRecord(*record);
  }
  const timespec times[2] = {st.st_atim, st.st_mtim};
  ok = ok && CopyContents(in.get(), ReadLease(), out.get(), st.st_size) &&
       fchmod(out.get(), st.st_mode & 0777) == 0 && futimens(out.get(), times) == 0 &&
       fsync(out.get()) == 0;
  if (close(out.release()) != 0) ok = false;
  in.reset();
  if (ok && unlinkat(dir.fd, claim.c_str(), 0) == 0) return true;
  RemoveIfOwn(dir.fd, name, made.st_ino);
  errno = 0;
  return false;
}

}  // namespace

bool PutBack(const HeldFolder& source, const std::string& claim, const std::string& name,
             unsigned long long ino, MoveRecord* record) {
  auto place = [&](const std::string& at) {
    if (PlaceWithoutReplacing(source, claim.c_str(), source, at.c_str())) return true;
    if (errno != ENOTSUP) return false;
    return CopyBack(source, claim, at, record);
  };
  if (place(name)) return true;
  const bool taken = errno == EEXIST;
  struct stat st {};
  if (TraitsOf(source).local && fstatat(source.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      st.st_ino == ino) {
    return unlinkat(source.fd, claim.c_str(), 0) == 0;  // a claim by link, cut short
  }
  if (!taken) return false;
  for (int k = 1; k < 100; ++k) {
    if (place("~" + std::to_string(k) + name)) return true;
    if (errno != EEXIST) break;
  }
  return false;
}

bool SettleRecordedMove(std::string_view source_win_folder, std::string_view target_win_folder,
                        bool leave_claim) {
  MoveRecord record;
  if (!LoadMoveRecord(record)) return true;
  if (record.source_folder != source_win_folder || record.target_folder != target_win_folder) {
    SetMoveRecordAside(record);
    return true;
  }
  Probe status;
  const Held source = ResolveWholeFolder(source_win_folder, status);
  const Held target = ResolveWholeFolder(target_win_folder, status);
  if (!source || !target) return false;
  if (source->dev != record.source_folder_dev || source->ino != record.source_folder_ino ||
      target->dev != record.target_folder_dev || target->ino != record.target_folder_ino) {
    SetMoveRecordAside(record);  // the drive leads elsewhere now: these are other folders
    return true;
  }
  // Where a file system numbers entries by their path (FUSE mounts), a rename gives a file
  // another inode: the copy is then told by its size and time, the claimed source by its
  // name of 64 random bits, its size and time. A copy made in place keeps its inode and is
  // whole only once it has the source's size and time.
  const bool source_inodes = TraitsOf(*source).local;
  const bool target_inodes = TraitsOf(*target).local;
  struct stat copy {};
  const bool copy_there =
      fstatat(target->fd, record.target_name.c_str(), &copy, AT_SYMLINK_NOFOLLOW) == 0 &&
      record.copy_ino != 0 && copy.st_dev == target->dev && copy.st_uid == geteuid();
  const bool whole = static_cast<unsigned long long>(copy.st_size) == record.size &&
                     NanosOf(copy.st_mtim) == record.mtime_ns;
  const bool placed = copy_there && (record.in_place ? copy.st_ino == record.copy_ino && whole
                                     : target_inodes ? copy.st_ino == record.copy_ino
                                                     : whole);
  if (!record.in_place) {
    RemoveIfOwn(target->fd, record.partial_name, record.copy_ino);  // never put in place
  } else if (copy_there && !placed && copy.st_ino == record.copy_ino) {
    RemoveIfOwn(target->fd, record.target_name, record.copy_ino);  // a copy cut short
  } else if (record.copy_ino == 0) {
    // Killed between the exclusive create of the copy at its name and the record of its
    // inode: nothing was copied yet, so the copy is an empty file of this user's there (a
    // mover never moves an empty file, so no file it placed looks so).
    struct stat made {};
    if (fstatat(target->fd, record.target_name.c_str(), &made, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(made.st_mode) && made.st_size == 0 && made.st_uid == geteuid()) {
      unlinkat(target->fd, record.target_name.c_str(), 0);
    }
  }
  struct stat claimed {};
  if (fstatat(source->fd, record.claim_name.c_str(), &claimed, AT_SYMLINK_NOFOLLOW) == 0 &&
      claimed.st_dev == record.dev && (!source_inodes || claimed.st_ino == record.ino)) {
    const bool copied = static_cast<unsigned long long>(claimed.st_size) == record.size &&
                        NanosOf(claimed.st_mtim) == record.mtime_ns;
    if (!record.back_name.empty() && record.back_ino != 0) {
      RemoveIfOwn(source->fd, record.back_name, record.back_ino);  // a put-back cut short
    }
    // A claim is left for the claims' recovery, which knows whether its line was written;
    // one of an earlier version of the program, which it cannot read, is put back here.
    ClaimParts parts;
    const bool left = leave_claim && ParseClaimName(record.claim_name, parts);
    if (placed && copied) {
      unlinkat(source->fd, record.claim_name.c_str(), 0);
    } else if (!left && !PutBack(*source, record.claim_name, record.name, record.ino, &record)) {
      return false;
    }
    Indexes().Drop(*source);
  }
  ClearMoveRecord();
  return true;
}

// By a copy. The record is saved before anything changes on the drive, so that a kill at
// any later step leaves what FinishInterruptedMoves needs: the source is claimed first (a
// source that cannot be claimed is never copied, so no copy of it is ever seen), then
// copied, the copy put in place without replacing (or made in place, at a name created
// exclusively), and the claimed source removed if it did not change meanwhile.
MoveOutcome MoveByCopy(const HeldFolder& source, std::string_view source_win_folder,
                       const std::string& name, const struct stat& st, Kind kind,
                       const ReadLease& lease, const HeldFolder& target,
                       std::string_view target_win_folder, const std::string& to, bool in_place,
                       const std::string& claimed_as) {
  LetTheLocksGo();  // a copy may take minutes
  std::string link_text;
  const bool claimed_before = !claimed_as.empty();
  const std::string token = claimed_before ? std::string() : Token();
  const std::string claim = claimed_before ? claimed_as : ClaimName(token, name);
  if (kind == Kind::kFileLink) {
    std::vector<char> text(static_cast<std::size_t>(st.st_size) + 2);
    const ssize_t n =
        readlinkat(source.fd, (claimed_before ? claim : name).c_str(), text.data(), text.size());
    if (n < 0 || static_cast<std::size_t>(n) >= text.size()) return MoveOutcome::kRefused;
    link_text.assign(text.data(), static_cast<std::size_t>(n));
  }
  if (!SettleRecordedMove(source_win_folder, target_win_folder, false)) {
    return MoveOutcome::kRefused;
  }

  MoveRecord record;
  record.source_folder = source_win_folder;
  record.target_folder = target_win_folder;
  record.source_folder_dev = source.dev;
  record.source_folder_ino = source.ino;
  record.target_folder_dev = target.dev;
  record.target_folder_ino = target.ino;
  record.name = name;
  record.claim_name = claim;
  record.dev = st.st_dev;
  record.ino = st.st_ino;
  record.size = static_cast<unsigned long long>(st.st_size);
  record.mtime_ns = NanosOf(st.st_mtim);
  record.partial_name = PartialName(claimed_before ? ParsedToken(claim) : token);
  record.target_name = to;
  record.in_place = in_place;
  if (!SaveMoveRecord(record)) return MoveOutcome::kRefused;
  if (!claimed_before && !RenameToOwnName(source, name.c_str(), claim.c_str())) {
    ClearMoveRecord();  // the mover may not remove the source (or it went): nothing is copied
    return errno == ENOENT ? MoveOutcome::kGone : MoveOutcome::kRefused;
  }
  // The claim names the leased file, unless another took its name since the lookup; the
  // rename changed its change time, so later checks compare with the claimed state.
  // (On a file system that numbers entries by path the claimed name has an inode of its own.)
  struct stat claimed {};
  const bool source_inodes = TraitsOf(source).local;
  bool ok = StatEntry(source.fd, claim.c_str(), &claimed, !source_inodes) == 0 &&
            claimed.st_dev == st.st_dev && (!source_inodes || claimed.st_ino == st.st_ino) &&
            claimed.st_size == st.st_size && NanosOf(claimed.st_mtim) == NanosOf(st.st_mtim);
  // A plain file is copied from the lease's descriptor; where there is none (a drive mounted
  // from elsewhere, on which the mover holds no handle across the move) from one opened for
  // the copy alone, and closed before the claim is removed.
  UniqueFd own_in;
  int in = lease.fd();
  if (ok && kind == Kind::kFile && in < 0) {
    own_in.reset(openat(source.fd, claim.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened {};
    ok = own_in.ok() && fstat(own_in.get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
         opened.st_size == claimed.st_size;
    in = own_in.get();
  }

  MoveOutcome outcome = MoveOutcome::kRefused;
  struct stat copy {};
  for (int round = 0; ok && round < 2; ++round) {
    // The copy, made under a name the record already holds (its final name, in place); the
    // record then learns its inode, by which the recovery tells it from anything put at its
    // name later.
    const std::string& made_at = record.in_place ? to : record.partial_name;
    UniqueFd out;
    if (kind == Kind::kFileLink) {
      ok = symlinkat(link_text.c_str(), target.fd, made_at.c_str()) == 0;
    } else {
      out.reset(openat(target.fd, made_at.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      ok = out.ok();
    }
    if (!ok && errno == EEXIST && record.in_place) outcome = MoveOutcome::kTaken;
    ok = ok && fstatat(target.fd, made_at.c_str(), &copy, AT_SYMLINK_NOFOLLOW) == 0;
    record.copy_ino = ok ? copy.st_ino : 0;
    ok = ok && SaveMoveRecord(record);
    if (ok && out.ok()) {
      // Owned by this user, with the source's permissions but never set-user-id,
      // set-group-id or sticky.
      ok = CopyContents(in, lease, out.get(), claimed.st_size) &&
           fchmod(out.get(), st.st_mode & 0777) == 0;
      const timespec times[2] = {st.st_atim, st.st_mtim};
      ok = ok && futimens(out.get(), times) == 0 && fsync(out.get()) == 0;
    }
    if (out.ok() && close(out.release()) != 0) ok = false;
    ok = ok && SourceUnchanged(source, claim, lease, claimed);
    if (!ok || record.in_place) break;
    if (PlaceWithoutReplacing(target, record.partial_name.c_str(), target, to.c_str())) break;
    ok = false;
    const int err = errno;
    if (err == EEXIST) outcome = MoveOutcome::kTaken;
    RemoveIfOwn(target.fd, record.partial_name, copy.st_ino);
    if (err != ENOTSUP || round > 0) break;
    // The target's file system has neither rename without replacing nor links: the copy is
    // made again, in place.
    record.in_place = true;
    record.copy_ino = 0;
    ok = SaveMoveRecord(record);  // a kill before the copy's inode is recorded is undone too
  }
  own_in.reset();
  if (ok && (!SourceUnchanged(source, claim, lease, claimed) ||
             unlinkat(source.fd, claim.c_str(), 0) != 0)) {
    // The source stays: take the copy back out (by its new inode where the rename gave it one).
    RemoveIfOwn(target.fd, to, record.in_place || TraitsOf(target).local ? copy.st_ino : 0);
    ok = false;
  }
  if (!ok) {
    if (!record.in_place) RemoveIfOwn(target.fd, record.partial_name, copy.st_ino);
    if (record.in_place && record.copy_ino != 0) RemoveIfOwn(target.fd, to, record.copy_ino);
    // A source that cannot be put back keeps the record, which the next move or start
    // settles. A claim the caller made stays the caller's.
    if (!claimed_before && !PutBack(source, claim, name, st.st_ino, &record)) {
      return MoveOutcome::kRefused;
    }
  }
  ClearMoveRecord();
  return ok ? MoveOutcome::kMoved : outcome;
}

}  // namespace platform
