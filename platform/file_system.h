#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/drive_path.h"

// The shared drive as the programs see it. Paths are drive-letter paths ("P:\a\b", "\" or "/"
// between components); drive X is the folder $TARVEX_DRIVE_X, else /mnt/x (on Windows, the
// drive itself). Every component is matched without regard to
// case: the exact name first, else the entry whose lower-cased name is the same.
//
// Folders are reached without leaving the drive: a symbolic link on the way is followed
// only when it leads to a folder beneath the drive's root; otherwise the folder counts as
// absent. Every call works in folders it holds open once resolved, so a folder swapped for
// another (or for a link) while a call runs cannot redirect it.
//
// Every function here may be called from any thread; what a FolderScope holds is its own
// thread's. A FolderListing, a Claim and a scope belong to the thread that made them.
namespace platform {

// The answer of a test: there is such an entry, there is none, or the question could not
// be answered (permission denied, I/O error).
enum class Probe { kFound, kAbsent, kFailed };

// The host folder that stands for a drive letter.
std::string DriveRoot(char letter);

// While a FolderScope lives on a thread, every drive folder that calls on that thread
// resolve is resolved once, held open, and reused until the scope ends: a pass opens one,
// so that all its listings, tests, renames and log lines work in the folders as they were
// when the pass first reached them. Scopes nest; only the outermost one counts. Without a
// scope each call resolves afresh.
class FolderScope {
 public:
  FolderScope();
  ~FolderScope();
  FolderScope(const FolderScope&) = delete;
  FolderScope& operator=(const FolderScope&) = delete;

 private:
  bool outermost_;
};

// Folder test: a folder, or a plain file that is neither hidden (name starting with ".")
// nor system (socket, pipe, device). File test: only such a plain file (or a link to one).
// Entry test: any entry of any kind, hidden and system ones and dangling links included.
Probe FolderTest(std::string_view win_path);
Probe FileTest(std::string_view win_path);
// `before_move`: a rename that never replaces follows at once and passes over a name found
// taken then, so an answer "absent" may be a moment old.
Probe EntryTest(std::string_view win_path, bool before_move = false);

// The longest name, in bytes, that the folder's file system can hold (255 when unknown).
std::size_t NameLimit(std::string_view win_folder);

// How long, in seconds, the client of a drive mounted from elsewhere may answer from its own
// cache of a file's size and stamps (sshfs's cache, NFS's and SMB's attribute cache): what it
// says of a file written just before its server went away may be that old. 0 where nothing
// is cached beyond the server's answer, or the folder cannot be reached.
double ClientCacheSeconds(std::string_view win_folder);

// Which entry the source path of a rename names.
enum class SourceName {
  kExact,    // exactly that name: the entry a listing returned
  kAnyCase,  // the exact name, else an entry whose name differs from it only in case
};

// What a rename did: moved the file, or why not.
enum class MoveOutcome {
  kMoved,
  kTaken,         // an entry is at the target name, in some case
  kBeingWritten,  // some process holds the source open for writing, or it changed just now
  kGone,          // no such source, or not a plain file or a link to one, or replaced meanwhile
  kRefused,       // the platform refused, or source and target are one folder
};
struct MoveResult {
  MoveOutcome outcome = MoveOutcome::kRefused;
  // Moved: a caller that asks no more than that reads the result as a bool.
  operator bool() const { return outcome == MoveOutcome::kMoved; }
};

// Moves one plain file (or a symbolic link to a plain file, as a link) to a full path in
// another folder. Never replaces anything: fails and changes nothing when the source is
// missing or is of another kind, when any entry exists at the target under a name that
// differs at most in case, when source and target folder are one folder, when any process
// holds the source open for writing (or, where that cannot be told, when the file changed
// within the last seconds), or when the platform refuses. The new entry takes the target
// name exactly as given.
//
// Across file systems the source is first claimed: renamed, within its own folder, to a
// hidden name of the mover's, which proves that the mover may remove it and takes it out of
// every listing; a source that cannot be claimed stays, and no copy is made. The file is
// then copied to a hidden partial copy in the target folder, owned by this process's user
// and without set-user-id or set-group-id bits, flushed, and put in place; the claimed
// source is removed only if nothing wrote to it since the copy began, otherwise the copy is
// removed and the source goes back under its name. A record in the mover's own state folder
// (never on the drive) lets FinishInterruptedMoves complete or undo a move that a kill cut
// short.
MoveResult RenameNoReplace(std::string_view from_win_path, std::string_view to_win_path,
                           SourceName source = SourceName::kExact);

// Names this process's records, claims and partial copies (the program title; "tarvex" when
// unset), so that programs sharing a folder never touch each other's.
void SetMoverTag(std::string_view tag);

// A file of a source folder that this mover has claimed: renamed, within its own folder, to
// a hidden name of the mover's (".tarvex-claim-", the mover tag, this machine and user, a
// token of 64 random bits, and the name as listed). The rename is one operation the file
// system decides atomically, so of any number of movers, on any number of machines, exactly
// one claims a file; while claimed the file is in no listing. A ".q0" and its ".q1" are
// claimed with one token. A Claim moves, never copies; one that ends while it still holds
// its file puts the file back under its name.
class Claim {
 public:
  // What a claim keeps on every platform; the platform's State adds its own.
  struct Basics {
    virtual ~Basics() = default;
    std::string name;  // as listed
    std::string token;
    std::uint64_t size = 0;  // as claimed
    bool held = true;
  };
  struct State;  // derived from Basics, defined by the platform's implementation
  Claim();
  explicit Claim(std::unique_ptr<Basics> state);
  ~Claim();
  Claim(Claim&& other) noexcept;
  Claim& operator=(Claim&& other) noexcept;

  bool Held() const;
  const std::string& Name() const;   // the name it was claimed under ("" when not held)
  const std::string& Token() const;  // shared by the claims of one move
  std::uint64_t Size() const;
  State* state() const;  // defined by the platform's implementation

 private:
  std::unique_ptr<Basics> state_;
};

enum class ClaimOutcome {
  kClaimed,
  kGone,          // no such plain file (or link to one): another mover has it, or it went
  kBeingWritten,  // some process holds it open for writing, or (Windows) without delete sharing
  kRefused,       // the platform refused: this user may not rename it there
  kDriveAway,     // the file server of a drive mounted from elsewhere did not answer (the
                  // claim may have been made all the same: it is settled once it answers)
};

// Claims the file `name` of a source folder (the entry exactly, or with kAnyCase the entry
// whose name differs from it only in case). `with`: a claim of the same move whose token
// this one shares (a ".q1" claimed with its ".q0"). Nothing changes unless kClaimed.
ClaimOutcome ClaimFile(std::string_view source_folder, std::string_view name, SourceName match,
                       Claim& claim, const Claim* with = nullptr);

// Places a claimed file at a full path in another folder, never replacing anything, by the
// same means as RenameNoReplace. kMoved: the claim no longer holds anything. Any other
// outcome leaves the file claimed (kTaken: an entry is at that name; try another), for the
// caller to place elsewhere or release.
MoveResult PlaceClaim(Claim& claim, std::string_view to_win_path);

// Takes a file that PlaceClaim just put in place by a rename back into its claim (a ".q0"
// whose ".q1" found its name taken at the last moment). False, changing nothing, where it was
// placed by a copy or the entry there is no longer that file.
bool TakeBack(Claim& claim);

// Puts a claimed file back under the name it was claimed under (another file took that name
// meanwhile: "~1" and its name, "~2"...), so that a later pass finds it. False when it could
// not be put back: it stays claimed, and the next start of this program finds it.
bool ReleaseClaim(Claim& claim);

// Whether another mover holds a claim of `name` (in any case) in the source folder, where a
// claim can be overtaken (see AppendMoveLine): a ".q0" claimed while another mover holds its
// ".q1" was claimed by overtaking that mover's claim of the ".q0", and goes back, so that the
// two move together. False elsewhere.
bool ClaimedByAnotherMover(std::string_view source_folder, std::string_view name, const Claim& own);

// Appends the line of the move holding this claim, as AppendWholeLine does, and notes in this
// program's own state folder that it is being written (once the log is open, under its lock
// where it has one, with where the line goes) and that it is written: a kill from then on is
// finished by the next start without a second line if the log holds the line there, and by
// putting the file back if not. False, writing nothing, when the claim turns out under the
// log's lock to have gone on to another mover: an SMB client renames through a handle it
// opened first, so of two movers that opened one file before either claimed it, both are
// told they claimed it, and the file is the later one's.
bool AppendMoveLine(std::string_view win_path, std::string_view line, const Claim& claim);

// Settles what killed moves of this program left in source_folder and target_folder, from
// what is on the drive and in its own state folder, before its first pass. A partial copy
// is removed, a copy put in place keeps it and the claimed source goes. Every claim of this
// program, machine and user in the source folder (whatever became of its record), and every
// other mover's claim that has made no progress for the abandonment age, is settled: a claim
// whose line was written is returned, for the caller to place without a second line; any
// other claim is put back under its name, and said. Nothing another user made is removed.
// After the start (own_claims false), only other movers' abandoned claims are settled: this
// program's own are its live moves.
// log_file is the log the program writes, where a line cut short by a kill is looked for.
std::vector<Claim> FinishInterruptedMoves(std::string_view source_folder,
                                          std::string_view target_folder, bool own_claims = true,
                                          std::string_view log_file = {});

// Why a file could not move out of a folder for a reason that lasts, known before any line
// is written for it. Within a FolderScope (a pass) the folders' rights and the room in their
// file systems are read once.
enum class MoveHindrance {
  kNone,
  kSourceKept,       // this user may not remove the file from its folder
  kTargetAbsent,     // no target folder
  kTargetReadOnly,   // this user may not add to the target folder
  kTargetFull,       // the target's file system has no room (or, across file systems, no inode)
  kNoRecordFolder,   // across file systems: no state folder to keep the move's record in
  kTargetElsewhere,  // on a platform that moves only within a volume: the target is on another
  kGone,  // the file is no longer there (another mover took it since the listing): nothing to tell
};
// What can be known before the move of a file of `size` bytes named `name` (as listed) from
// one folder into another; kNone where it cannot be told. The rename itself still decides.
MoveHindrance MoveCanHappen(std::string_view source_folder, std::string_view name,
                            std::string_view target_folder, std::uint64_t size);

// Whether some process holds the plain file at this path open for writing (or, where that
// cannot be told, whether it changed within the last seconds); false when there is none.
bool FileBeingWritten(std::string_view win_path);

// Whether the file at this path changed or arrived within the last few seconds (on a drive
// mounted from elsewhere, within its quiet period); false when there is none.
bool FileChangedLately(std::string_view win_path);

// Appends one whole line to a plain file in one write (created when missing, granting the
// write permissions its folder grants and no more; its folder is never created). The file is
// never reached through a symbolic link at its last name, and nothing but a plain file with
// a single name is opened: a link, a second hard link, pipe, device or folder there is an
// error, and the call never blocks on opening. Throws RunTimeError naming the path: 76 for a
// missing folder, 68 for a missing drive, 70 for no permission, 61 for a full disk, 57 for an I/O
// error, 75 otherwise. A line that could only be written in part is taken out again.
void AppendWholeLine(std::string_view win_path, std::string_view line);

// Within a pass, a mover may keep a log's lock from one line to the next, and the movers' lock
// of a target folder from one placement to the next, where taking them costs requests to a
// file server; it lets them go here before whatever may take long (a pause, the end of its
// files), so that other movers need not wait for them.
void LetTheLocksGo();

// Attribute bits of a listing entry.
inline constexpr std::uint32_t kAttrHidden = 0x02;
inline constexpr std::uint32_t kAttrSystem = 0x04;
inline constexpr std::uint32_t kAttrDirectory = 0x10;
inline constexpr std::uint32_t kAttrArchive = 0x20;

struct ListingEntry {
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;
  std::string name;
};

// A folder listing for "folder\pattern": "." and ".." first as folders when the pattern
// matches them, then the matching names in case-insensitive ordinal order. Names holding
// "\" are left out. An entry that has gone by the time the listing reaches it is skipped;
// its size and kind are read at that moment: a link to a folder is a folder; a link to a
// file carries the file's size; pipes, sockets, devices and dangling links are system
// entries of size 0. A plain file that a process holds open for writing (or, where that
// cannot be told, that changed within the last seconds) has not arrived yet and is left
// out, and so is a file that a mover has claimed or is copying (hidden names that begin
// ".tarvex-claim-" or ".tarvex-partial-").
struct HeldFolder;  // a folder held open; defined by the platform's implementation
struct ListedFile;  // what the listing learnt of the entry it returned last

// The names that the last FolderListing::Open of this thread passed over although they
// matched its pattern, because they begin like a mover's claims or partial copies, while no
// mover gave them: users' files that never move, told as waiting. At most 100.
std::vector<std::string> NamesLikeAMoversOwn();

class FolderListing {
 public:
  // Null when the folder cannot be read or nothing matches.
  static std::unique_ptr<FolderListing> Open(std::string_view search_spec);
  ~FolderListing();

  // The next entry that still exists; false at the end.
  bool Next(ListingEntry& entry);

  // Claims the plain file that Next returned last (ClaimFile), with what the listing learnt
  // of it: whether a writer holds it is not asked again.
  ClaimOutcome ClaimLast(std::string_view source_folder, Claim& claim);

  // Whether the folder held a ".q0" file of this name (in any case) when the listing read
  // it: its ".q1" then waits for the mover of the pair.
  bool HadPairHead(std::string_view q0_name) const;

 private:
  FolderListing(std::shared_ptr<const HeldFolder> folder, ListingNames names);

  std::shared_ptr<const HeldFolder> folder_;
  ListingNames names_;
  std::size_t position_ = 0;
  std::unique_ptr<ListedFile> last_;
  std::vector<std::uint64_t> pair_heads_;  // folded hashes of the ".q0" names, ordered
};

}  // namespace platform
