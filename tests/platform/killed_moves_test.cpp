// A mover killed in the middle of its work: what its next start finds of its moves and
// claims, and what it never lets anyone else make of them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "platform/file_system.h"
#include "platform/file_system_testing.h"
#include "platform/move_record.h"
#include "shared/Module_MySafeRename.h"
#include "tests/platform/shared_drive_fixture.h"
#include "tests/support/temp_drive.h"

namespace platform {
namespace {

using namespace drive_test;

// A kill in the copy leaves the source claimed (listed by no program) and a partial copy:
// the next start removes the copy and puts the source back. A kill once the copy was put in
// place: the next start removes the claimed source.
TEST_F(AcrossFileSystems, TheNextStartUndoesOrFinishesAKilledMove) {
  KillInTheCopy("huge");
  ASSERT_EQ(drive_.Names("src").size(), 1u);
  const std::string claimed = drive_.Names("src")[0];
  EXPECT_EQ(claimed.rfind(".tarvex-claim-T-", 0), 0u);
  EXPECT_FALSE(Listed("P:\\src\\*.*", claimed));
  ASSERT_EQ(memory_->Names("dst").size(), 1u);
  EXPECT_EQ(memory_->Names("dst")[0].rfind(".tarvex-partial-T-", 0), 0u);
  FinishInterruptedMoves("P:\\src", "Q:\\dst");
  EXPECT_EQ(drive_.Names("src"), std::vector<std::string>{"huge"});
  EXPECT_TRUE(memory_->Names("dst").empty());

  KillInTheCopy("huge");
  ASSERT_EQ(memory_->Names("dst").size(), 1u);
  ASSERT_EQ(std::rename(memory_->Host("dst/" + memory_->Names("dst")[0]).c_str(),
                        memory_->Host("dst/huge").c_str()),
            0);  // the copy put in place, as the move does next
  FinishInterruptedMoves("P:\\src", "Q:\\dst");
  EXPECT_TRUE(drive_.Names("src").empty());
  EXPECT_EQ(memory_->Names("dst"), std::vector<std::string>{"huge"});
  drive_.WriteFile("src/next", "n");
  EXPECT_TRUE(RenameNoReplace("P:\\src\\next", "Q:\\dst\\next")) << "the record is settled";
}

// A record of the mover's own is read only from its own state folder: a state folder of
// another user is refused, and neither another user nor another program of the same user
// settles (or removes) it.
TEST_F(AcrossFileSystems, OneMoversRecordIsNoOtherMoversBusiness) {
  KillInTheCopy("huge");
  const auto source = drive_.Names("src"), target = memory_->Names("dst");
  chmod(state_.Host("mine/tarvex").c_str(), 0755);  // readable, still root's
  EXPECT_EQ(AsMover([&] {
              FinishInterruptedMoves("P:\\src", "Q:\\dst");
              tarvex_test::SetEnvironment("XDG_STATE_HOME", state_.Host("mine"));
              FinishInterruptedMoves("P:\\src", "Q:\\dst");
              return 0;
            }),
            0);
  chmod(state_.Host("mine/tarvex").c_str(), 0700);
  SetMoverTag("U");
  FinishInterruptedMoves("P:\\src", "Q:\\dst");
  SetMoverTag("T");
  EXPECT_EQ(drive_.Names("src"), source);
  EXPECT_EQ(memory_->Names("dst"), target);
  FinishInterruptedMoves("P:\\src", "Q:\\dst");
  EXPECT_EQ(drive_.Names("src"), std::vector<std::string>{"huge"});
}

// An attacker who can write the drive's folders puts a record naming a file of the mover's
// at the name the journal once had in the target, owned by the mover (a copy the mover
// made of a file the attacker wrote), renamed or hard-linked there: the next start, as root
// or as an ordinary mover, deletes nothing, and moves across file systems go on.
TEST_F(AcrossFileSystems, NothingOnTheDriveTurnsTheRecoveryAgainstAnotherFile) {
  drive_.MakeFolder("victims");
  chown(drive_.Host("victims").c_str(), kMoverUid, kMoverUid);
  drive_.WriteFile("victims/theirs", "not the attacker's");
  chown(drive_.Host("victims/theirs").c_str(), kMoverUid, kMoverUid);
  struct stat v {};
  ASSERT_EQ(stat(drive_.Host("victims/theirs").c_str(), &v), 0);
  // A record in the form the journal had, naming the victim and a copy "in place" at
  // `placed`, written into dst/`file`.
  auto forge = [&](const std::string& file, const std::string& placed) {
    memory_->WriteFile("dst/" + file, "");
    struct stat c {};
    stat(memory_->Host("dst/" + file).c_str(), &c);
    std::string record;
    for (const std::string& field :
         {std::string("P:\\victims"), std::string("theirs"), std::to_string(v.st_dev),
          std::to_string(v.st_ino), std::to_string(v.st_size),
          std::to_string(v.st_mtim.tv_sec * 1000000000LL + v.st_mtim.tv_nsec),
          std::to_string(c.st_ino), placed}) {
      record += field + '\0';
    }
    memory_->WriteFile("dst/" + file, record);
  };
  forge(".tarvex-journal-T", ".tarvex-journal-T");  // renamed there
  forge("forged", "forged");                        // and hard-linked there
  ASSERT_EQ(link(memory_->Host("dst/forged").c_str(),
                 memory_->Host("dst/.tarvex-journal-~~Tarvex2").c_str()),
            0);
  for (const unsigned uid : {0u, kMoverUid}) {
    for (const char* f : {"dst/forged", "dst/.tarvex-journal-T"}) {
      chown(memory_->Host(f).c_str(), uid, uid);
    }
    drive_.WriteFile("src/a" + std::to_string(uid), "a");
    auto start_then_move = [&] {
      FinishInterruptedMoves("P:\\src", "Q:\\dst");
      SetMoverTag("~~Tarvex2");
      FinishInterruptedMoves("P:\\victims", "Q:\\dst");
      SetMoverTag("T");
      const std::string name = "a" + std::to_string(uid);
      return RenameNoReplace("P:\\src\\" + name, "Q:\\dst\\" + name) ? 0 : 1;
    };
    if (uid != 0) std::this_thread::sleep_for(std::chrono::milliseconds(3100));  // no lease
    EXPECT_EQ(uid == 0 ? start_then_move() : AsMover(start_then_move), 0) << "uid " << uid;
    EXPECT_EQ(drive_.ReadFile("victims/theirs"), "not the attacker's") << "uid " << uid;
  }
}

// A mover killed while it holds claims: at its next start the claim whose line it wrote is
// handed back to be placed (no second line), and so is the claim whose line it was writing
// when the log holds that line where it was written (another mover's line of the same second
// and size just before it is not its line); the others are put back under their names,
// whatever became of the state folder; another mover's claim is left until it has made no
// progress for the abandonment age; a name merely shaped like a claim is never taken for a
// file of the mover's.
TEST_F(AcrossFileSystems, ClaimsCutShortAreFoundAgainAndNeverHideAFile) {
  drive_.MakeFolder("logs");
  const std::string log = "P:\\logs\\t.log";
  auto log_size = [&] {
    struct stat st {};
    return stat(drive_.Host("logs/t.log").c_str(), &st) == 0 ? std::int64_t{st.st_size} : 0;
  };
  for (const int round : {0, 1, 2}) {
    const bool line_reached = round == 0, state_lost = round == 2;
    SCOPED_TRACE(state_lost     ? "state folder lost"
                 : line_reached ? "killed as its line reached the log"
                                : "killed before its line reached the log, after the same line "
                                  "of another");
    for (const char* n : {"logged.cnm", "being.cnm", "unlogged.cnm", "pair.q0", "pair.q1"}) {
      drive_.WriteFile(std::string("src/") + n, n);
    }
    const std::string line = "#2026-12-09 10:00:0" + std::to_string(round) + "#,\"0000009\"\r\n";
    ASSERT_EQ(
        tarvex_test::RunInChild([&]() -> int {
          Claim logged, being, unlogged, head, tail;
          if (ClaimFile("P:\\src", "logged.cnm", SourceName::kExact, logged) !=
                  ClaimOutcome::kClaimed ||
              ClaimFile("P:\\src", "being.cnm", SourceName::kExact, being) !=
                  ClaimOutcome::kClaimed ||
              ClaimFile("P:\\src", "unlogged.cnm", SourceName::kExact, unlogged) !=
                  ClaimOutcome::kClaimed ||
              ClaimFile("P:\\src", "pair.q0", SourceName::kExact, head) != ClaimOutcome::kClaimed ||
              ClaimFile("P:\\src", "pair.q1", SourceName::kExact, tail, &head) !=
                  ClaimOutcome::kClaimed) {
            _exit(1);
          }
          AppendMoveLine(log, "#2026-12-09 09:00:00#,\"0000010\"\r\n", logged);
          if (!line_reached) AppendWholeLine(log, line);  // another mover's
          NoteLoggingToken(being.Token(), line, log_size(), "");
          if (line_reached) AppendWholeLine(log, line);
          _exit(0);  // killed in the line's write: no claim is given back
        }),
        0);
    EXPECT_EQ(drive_.Names("src").size(), 5u);
    EXPECT_FALSE(Listed("P:\\src\\*.*", "logged.cnm"));
    if (state_lost) std::filesystem::remove_all(state_.Host("mine/tarvex"));
    SetMoverTag("U");  // another program: none of these is its business
    EXPECT_TRUE(FinishInterruptedMoves("P:\\src", "Q:\\dst", true, log).empty());
    SetMoverTag("T");
    std::vector<Claim> to_place = FinishInterruptedMoves("P:\\src", "Q:\\dst", true, log);
    std::vector<std::string> placed;
    for (Claim& c : to_place) {
      placed.push_back(c.Name());
      EXPECT_TRUE(PlaceClaim(c, "Q:\\dst\\" + c.Name()));
    }
    std::sort(placed.begin(), placed.end());
    const std::vector<std::string> expected =
        state_lost     ? std::vector<std::string>{}
        : line_reached ? std::vector<std::string>{"being.cnm", "logged.cnm"}
                       : std::vector<std::string>{"logged.cnm"};
    EXPECT_EQ(placed, expected);
    EXPECT_EQ(drive_.Names("src").size() + placed.size(), 5u) << "the others put back in view";
    for (const auto& n : drive_.Names("src")) {
      EXPECT_EQ(n.rfind(".tarvex-claim", 0), std::string::npos) << n;
      std::filesystem::remove(drive_.Host("src/" + n));
    }
    for (const auto& n : memory_->Names("dst")) std::filesystem::remove(memory_->Host("dst/" + n));
  }
  drive_.WriteFile("src/.tarvex-claim-T-00000000-0123456789abcdef-x", "looks like a claim");
  drive_.WriteFile("src/.tarvex-claim-whatever", "a user's own name");
  EXPECT_TRUE(FinishInterruptedMoves("P:\\src", "Q:\\dst").empty());
  EXPECT_TRUE(drive_.Exists("src/.tarvex-claim-T-00000000-0123456789abcdef-x"))
      << "another mover's, with progress only a moment ago";
  EXPECT_TRUE(drive_.Exists("src/.tarvex-claim-whatever"));
  tarvex_test::SetEnvironment("TARVEX_CLAIM_ABANDON_SECONDS", "1");
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_TRUE(FinishInterruptedMoves("P:\\src", "Q:\\dst").empty());
  unsetenv("TARVEX_CLAIM_ABANDON_SECONDS");
  EXPECT_EQ(drive_.ReadFile("src/x"), "looks like a claim") << "put back, in view";
  EXPECT_EQ(drive_.ReadFile("src/.tarvex-claim-whatever"), "a user's own name");
}

// Where the log has a lock file (a client whose record locks stay on its machine), a mover
// killed while it holds the lock is told at its next start whether its line went in: from the
// log under its own hold, still there, or, once another mover took the hold for left and wrote
// the same line where this one's would have gone, from the log's length when it was taken.
TEST_F(AcrossFileSystems, AKilledHoldOfTheLogsLockFileTellsWhetherItsLineWentIn) {
  ForcedTraits forced;
  forced.remote = true;
  forced.local_locks = true;
  forced.lock_stale_ns = 300000000LL;
  const ForcedTraitsScope forcing(forced);
  UseFreshFolderIndexes();
  drive_.MakeFolder("logs");
  const std::string log = "P:\\logs\\t.log";
  const std::string line = "#2026-12-09 11:00:00#,\"0000009\"\r\n";
  AppendWholeLine(log, "#2026-12-09 10:59:59#,\"0000001\"\r\n");
  for (const int round : {0, 1, 2, 3}) {
    const bool written = round == 0 || round == 3, taken_for_left = round >= 2;
    SCOPED_TRACE("round " + std::to_string(round));
    drive_.WriteFile("src/being.cnm", "b");
    const std::string hold = "00000000000000a" + std::to_string(round);
    ASSERT_EQ(tarvex_test::RunInChild([&]() -> int {
                Claim being;
                if (ClaimFile("P:\\src", "being.cnm", SourceName::kExact, being) !=
                    ClaimOutcome::kClaimed) {
                  _exit(1);
                }
                if (round == 1) AppendWholeLine(log, line);  // another mover's, just before
                struct stat st {};
                if (stat(drive_.Host("logs/t.log").c_str(), &st) != 0 ||
                    rename(drive_.Host("logs/.t.log.tarvex-lock").c_str(),
                           drive_.Host("logs/.t.log.tarvex-held-" + hold).c_str()) != 0) {
                  _exit(2);
                }
                NoteLoggingToken(being.Token(), line, st.st_size, hold);
                const int fd = open(drive_.Host("logs/t.log").c_str(), O_WRONLY | O_APPEND);
                if (written && write(fd, line.data(), line.size()) != std::ssize(line)) _exit(3);
                _exit(0);  // killed holding the lock
              }),
              0);
    // Another mover waits the hold out, sets it aside and writes the same line.
    if (taken_for_left) AppendWholeLine(log, line);
    std::vector<Claim> to_place = FinishInterruptedMoves("P:\\src", "Q:\\dst", true, log);
    EXPECT_EQ(to_place.size(), written ? 1u : 0u);
    for (Claim& c : to_place) EXPECT_TRUE(PlaceClaim(c, "Q:\\dst\\" + c.Name()));
    EXPECT_EQ(drive_.Names("src").size() + to_place.size(), 1u);
    EXPECT_EQ(drive_.Names("logs"), (std::vector<std::string>{".t.log.tarvex-lock", "t.log"}))
        << "the hold given back, what was set aside gone";
    for (const auto& n : drive_.Names("src")) std::filesystem::remove(drive_.Host("src/" + n));
    for (const auto& n : memory_->Names("dst")) std::filesystem::remove(memory_->Host("dst/" + n));
  }
}

// A state folder that others could change (beneath a folder they may write, or on the drive
// itself) is refused: a record there would be anyone's to forge.
TEST_F(AcrossFileSystems, AStateFolderOthersCouldChangeIsRefused) {
  EXPECT_TRUE(MoveRecordsCanBeKept());
  state_.MakeFolder("open");
  chmod(state_.Host("open").c_str(), 0777);
  tarvex_test::SetEnvironment("XDG_STATE_HOME", state_.Host("open/below"));
  EXPECT_FALSE(MoveRecordsCanBeKept());
  tarvex_test::SetEnvironment("XDG_STATE_HOME", drive_.Host("state"));
  EXPECT_FALSE(MoveRecordsCanBeKept());
  tarvex_test::SetEnvironment("XDG_STATE_HOME", state_.Host("mine"));
}

}  // namespace
}  // namespace platform
