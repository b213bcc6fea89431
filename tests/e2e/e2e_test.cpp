// The three programs as processes, on drives laid out in temporary folders, judged only by
// what is on the disk and what the processes print and return.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/e2e/end_to_end.h"
#include "tests/support/temp_drive.h"

namespace {

namespace fs = std::filesystem;
using namespace tarvex_e2e;

// Programs 1 and 0 on one folder and program 2 on its own, while a writer adds single files
// and pairs (each ".q1" written before its ".q0") and some names are taken in the target;
// then again with kills of the programs at random moments, each started again at once.
// Every content arrives once, no pair is split or joined to another's half, no claim is
// left, and the log has exactly one line for each move. Parameter: the target on the
// drive's own file system, or on another (a tmpfs mounted there, as root).
class TwoMovers : public EndToEnd, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    if (GetParam()) {
      if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
      ASSERT_EQ(mount("tarvex-test", drive_.Host(kMailin).c_str(), "tmpfs", 0, "size=256m"), 0);
      chmod(drive_.Host(kMailin).c_str(), 0777);
      mounted_ = true;
    }
  }
  void TearDown() override {
    if (mounted_) umount2(drive_.Host(kMailin).c_str(), MNT_DETACH);
  }
  void Round(int round, bool kills) {
    for (const auto& n : drive_.Names(kMailin))
      fs::remove(drive_.Host(std::string(kMailin) + "/" + n));
    fs::remove(drive_.Host(kLog));
    Written w;
    const std::string r = "r" + std::to_string(round) + " ";
    for (int i = 0; i < 30; ++i) {
      w.Add(drive_, std::string(kMailin) + "/p" + std::to_string(i) + ".txt", "taken", false);
      w.Add(drive_, std::string(kMailin) + "/q" + std::to_string(i) + ".q1", "taken", false);
    }
    auto pegasus = [&](int i) {
      const std::string n = std::to_string(i), at = std::string(kPegasus) + "/";
      if (i % 4 == 0) {
        w.Add(drive_, at + "q" + n + ".q1", r + "pair " + n + " tail" + std::string(i % 7, '-'),
              false);
        w.Add(drive_, at + "q" + n + ".Q0", r + "pair " + n + " head" + std::string(i % 5, '+'));
      } else {
        w.Add(drive_, at + "p" + n + (i % 3 ? ".txt" : ""),
              r + "file " + n + std::string(i % 97, '.'));
      }
    };
    for (int i = 0; i < 200; ++i) pegasus(i);
    for (int i = 0; i < 60; ++i) {
      w.Add(drive_, std::string(kRemail) + "/c" + std::to_string(i) + ".cnm",
            r + "remail " + std::to_string(i));
    }
    {
      std::unique_ptr<Program> p[2] = {
          std::make_unique<Program>(TARVEX0_EXE, drive_, runtime_.path(), 50),
          std::make_unique<Program>(TARVEX1_EXE, drive_, runtime_.path(), 50)};
      Program p2(TARVEX2_EXE, drive_, runtime_.path(), 50);
      std::mt19937 random(static_cast<unsigned>(round));
      for (int i = 200; i < 300; ++i) {  // the writer, and the kills
        pegasus(i);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (kills && random() % 15 == 0) {
          const int k = static_cast<int>(random() % 2);
          p[k].reset();
          p[k] = std::make_unique<Program>(k == 0 ? TARVEX0_EXE : TARVEX1_EXE, drive_,
                                           runtime_.path(), 50);
        }
      }
      ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kPegasus) && SourceEmpty(kRemail); }, 240000))
          << drive_.Names(kPegasus).size() << " left, the first "
          << (drive_.Names(kPegasus).empty() ? "" : drive_.Names(kPegasus)[0]);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      EXPECT_TRUE(p[0]->Running() && p[1]->Running() && p2.Running());
    }
    EXPECT_EQ(Contents(kMailin), w.all);
    std::size_t pairs = 0;
    for (const auto& name : drive_.Names(kMailin)) {
      if (name.size() < 3 || name.substr(name.size() - 3) != ".q0") continue;
      const std::string head = drive_.ReadFile(std::string(kMailin) + "/" + name);
      const std::string tail =
          drive_.ReadFile(std::string(kMailin) + "/" + name.substr(0, name.size() - 1) + "1");
      EXPECT_EQ(head.substr(0, head.find(" head")), tail.substr(0, tail.find(" tail"))) << name;
      ++pairs;
    }
    EXPECT_EQ(pairs, 75u);
    std::multiset<std::string> head_sizes;
    for (const auto& c : w.logged_heads) head_sizes.insert(std::to_string(c.size()));
    const auto logged = LoggedSizes();
    EXPECT_EQ(logged.size(), w.logged_heads.size()) << "one line for each move, and no more";
    EXPECT_EQ(logged, head_sizes);
    std::printf("two movers%s%s: %zu lines for %zu moves\n", GetParam() ? ", target elsewhere" : "",
                kills ? ", with kills" : "", logged.size(), w.logged_heads.size());
  }
  bool mounted_ = false;
};

TEST_P(TwoMovers, EveryFileOnceAndOneLineForEachMove) {
  Round(0, false);
  Round(1, true);
}

INSTANTIATE_TEST_SUITE_P(Target, TwoMovers, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Elsewhere" : "OnTheDrive"; });

TEST_F(EndToEnd, CollisionsInBulkKeepEveryFileAndTouchNothingInTheTarget) {
  std::multiset<std::string> before_target, arriving;
  for (int i = 0; i < 500; ++i) {
    const std::string name = "c" + std::to_string(i) + ".cnm";
    drive_.WriteFile(std::string(kMailin) + "/" + name, "already there " + name);
    before_target.insert("already there " + name);
    std::string source_name = name;
    if (i % 2)
      std::transform(source_name.begin(), source_name.end(), source_name.begin(), ::toupper);
    drive_.WriteFile(std::string(kRemail) + "/" + source_name, "arriving " + name);
    arriving.insert("arriving " + name);
  }
  // Pairs for program 0: one whose names are taken, one whose .q1 arrives first.
  drive_.WriteFile(std::string(kMailin) + "/pair.q0", "old q0");
  drive_.WriteFile(std::string(kPegasus) + "/PAIR.Q0", "new q0");
  drive_.WriteFile(std::string(kPegasus) + "/pair.q1", "new q1");
  drive_.WriteFile(std::string(kPegasus) + "/late.q1", "late q1");
  {
    Program p2(TARVEX2_EXE, drive_, runtime_.path(), 50);
    Program p0(TARVEX0_EXE, drive_, runtime_.path(), 50);
    ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kRemail) && SourceEmpty(kPegasus); }, 60000));
    drive_.WriteFile(std::string(kPegasus) + "/late.q0", "late q0");
    ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kPegasus); }, 10000));
  }
  for (int i = 0; i < 500; ++i) {
    const std::string name = "c" + std::to_string(i) + ".cnm";
    EXPECT_EQ(drive_.ReadFile(std::string(kMailin) + "/" + name), "already there " + name);
  }
  EXPECT_EQ(drive_.ReadFile(std::string(kMailin) + "/pair.q0"), "old q0");
  auto all = Contents(kMailin);
  for (const auto& c : arriving) EXPECT_EQ(all.count(c), 1u) << c;
  for (const char* c : {"new q0", "new q1", "late q0", "late q1"}) EXPECT_EQ(all.count(c), 1u) << c;
  EXPECT_EQ(all.size(), 1000u + 1 + 4);
  // The pair moved under one new stem.
  std::string q0_name, q1_name;
  for (const auto& n : drive_.Names(kMailin)) {
    const std::string c = drive_.ReadFile(std::string(kMailin) + "/" + n);
    if (c == "new q0") q0_name = n;
    if (c == "new q1") q1_name = n;
  }
  EXPECT_EQ(q0_name.substr(0, 8), q1_name.substr(0, 8));
  EXPECT_EQ(q0_name.substr(0, 4), "~col");
}

TEST_F(EndToEnd, TheTargetRemovedAndPutBackDuringAPassLosesNothing) {
  std::multiset<std::string> written;
  for (int i = 0; i < 40; ++i) {
    drive_.WriteFile(std::string(kPegasus) + "/f" + std::to_string(i),
                     "content " + std::to_string(i));
    written.insert("content " + std::to_string(i));
  }
  Program p1(TARVEX1_EXE, drive_, runtime_.path(), 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  fs::rename(drive_.Host(kMailin), drive_.Host("Ostrand/Mail/away"));
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  fs::rename(drive_.Host("Ostrand/Mail/away"), drive_.Host(kMailin));
  ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kPegasus); }, 30000));
  EXPECT_TRUE(p1.Running());
  EXPECT_EQ(Contents(kMailin), written);
}

TEST_F(EndToEnd, AnUnmappedDriveNeitherEndsAProgramNorWritesAnything) {
  drive_.WriteFile(std::string(kRemail) + "/a.cnm", "a");
  Program p2(TARVEX2_EXE, drive_, runtime_.path(), 50, false, drive_.root() + "/unmapped");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(p2.Running());
  p2.process().waitForReadyRead(1000);
  const std::string said = p2.process().readAllStandardError().toStdString();
  const std::string notice = "~~Tarvex2: drive P: is not there (no folder " + drive_.root() +
                             "/unmapped; set TARVEX_DRIVE_P)\n";
  const auto at = said.find(notice);
  EXPECT_TRUE(at != std::string::npos && said.find(notice, at + 1) == std::string::npos)
      << said << "said once, not on every pass";
  EXPECT_FALSE(drive_.Exists(kLog));
  EXPECT_TRUE(drive_.Exists(std::string(kRemail) + "/a.cnm"));
}

// The system's log socket as a test reads it: every datagram sent to it since it was made.
class LogSocket {
 public:
  explicit LogSocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    chmod(path.c_str(), 0666);  // the programs may run as another user
    setenv("TARVEX_SYSLOG_SOCKET", path.c_str(), 1);
  }
  ~LogSocket() {
    unsetenv("TARVEX_SYSLOG_SOCKET");
    close(fd_);
    unlink(path_.c_str());
  }
  // What arrived since the last call, one datagram a line.
  std::string Read() {
    std::string all;
    char buffer[9000];
    for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
      all.append(buffer, static_cast<std::size_t>(n)).append("\n");
    }
    return all;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// A file that cannot move waits without a line, told once on standard error and on the
// system's log as its cause starts (a warning) and once as it ends (a notice).
TEST_F(EndToEnd, AReadOnlyTargetKeepsFilesInTheSourceWithoutALine) {
  drive_.WriteFile(std::string(kRemail) + "/a.cnm", "a");
  for (const char* f : {"", "Ostrand", "Ostrand/Mail", "PMail", "PMail/Mail"}) {
    chmod(drive_.Host(f).c_str(), 0755);
  }
  chmod(drive_.Host(kRemail).c_str(), 0777);
  chmod(drive_.Host("Ostrand/Logs").c_str(), 0777);
  chmod(drive_.Host(kMailin).c_str(), 0555);
  chmod(runtime_.path().toStdString().c_str(), 0755);
  LogSocket system_log(runtime_.path().toStdString() + "/log");
  Program p2(TARVEX2_EXE, drive_, runtime_.path(), 100, /*unprivileged=*/true);
  const std::string cause =
      "P:\\PMail\\Mail\\_Remail\\a.cnm stays where it is: this user may not add to the target "
      "folder";
  const std::string why = "~~Tarvex2: " + cause + "\n";
  std::string said;
  ASSERT_TRUE(WaitUntil(
      [&] {
        p2.process().waitForReadyRead(50);
        said += p2.process().readAllStandardError().toStdString();
        return said.find(why) != std::string::npos;
      },
      10000))
      << said;
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // ten more passes
  EXPECT_TRUE(p2.Running());
  said += p2.process().readAllStandardError().toStdString();
  EXPECT_EQ(said.find(why), said.rfind(why)) << "said once";
  EXPECT_TRUE(drive_.Exists(std::string(kRemail) + "/a.cnm"));
  EXPECT_TRUE(drive_.Names(kMailin).empty());
  EXPECT_FALSE(drive_.Exists(kLog)) << "no line for a move that cannot happen";
  const std::string pid = std::to_string(p2.process().processId());
  EXPECT_EQ(system_log.Read(), "<12>~~Tarvex2[" + pid + "]: " + cause + "\n");

  chmod(drive_.Host(kMailin).c_str(), 0777);
  ASSERT_TRUE(WaitUntil([&] { return drive_.Exists(kLog); }, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(system_log.Read(), "<13>~~Tarvex2[" + pid +
                                   "]: P:\\PMail\\Mail\\_Remail\\a.cnm no longer waits (this user "
                                   "may not add to the target folder)\n");
  EXPECT_EQ(LogLines().size(), 1u);
}

TEST_F(EndToEnd, AFileHeldOpenForWritingMovesOnceTheWriterCloses) {
  const std::string path = drive_.Host(std::string(kRemail) + "/busy.cnm");
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "first half", 10), 10);
  Program p2(TARVEX2_EXE, drive_, runtime_.path(), 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a dozen passes
  EXPECT_TRUE(drive_.Exists(std::string(kRemail) + "/busy.cnm"));
  EXPECT_FALSE(drive_.Exists(kLog)) << "a file still being written has not arrived: no line";
  ASSERT_EQ(write(fd, ", second", 8), 8);
  close(fd);
  ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kRemail); }, 10000));
  EXPECT_EQ(drive_.ReadFile(std::string(kMailin) + "/busy.cnm"), "first half, second");
  EXPECT_EQ(LogLines().size(), 1u);
  EXPECT_TRUE(p2.Running());
}

// The usual case on a shared drive: the mover is one user, the writers are others, and the
// mover cannot lease their files.
TEST_F(EndToEnd, SlowWritersOfAnotherUserLoseNothing) {
  for (const char* f : {"", "Ostrand", "Ostrand/Mail", "PMail", "PMail/Mail"}) {
    chmod(drive_.Host(f).c_str(), 0755);
  }
  for (const char* f : {kRemail, kMailin, "Ostrand/Logs"}) chmod(drive_.Host(f).c_str(), 0777);
  Program p2(TARVEX2_EXE, drive_, runtime_.path(), 100, /*unprivileged=*/true);
  const std::string src = drive_.Host(kRemail);
  const int status = tarvex_test::RunAs(tarvex_test::kWriterUid, [&] {
    std::vector<int> fds;
    for (int i = 0; i < 5; ++i) {
      fds.push_back(open((src + "/slow" + std::to_string(i) + ".cnm").c_str(),
                         O_WRONLY | O_CREAT | O_EXCL, 0644));
    }
    for (int part = 0; part < 6; ++part) {
      for (int fd : fds) {
        if (write(fd, "part", 4) != 4) return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (int fd : fds) close(fd);
    return 0;
  });
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kRemail); }, 20000));
  const std::string whole = "partpartpartpartpartpart";
  EXPECT_EQ(Contents(kMailin), std::multiset<std::string>({whole, whole, whole, whole, whole}));
  EXPECT_EQ(LogLines().size(), 5u);
  EXPECT_TRUE(p2.Running());
}

TEST_F(EndToEnd, AProgramKilledInAPassLosesNothingWhenStartedAgain) {
  std::multiset<std::string> written;
  for (int i = 0; i < 30; ++i) {
    drive_.WriteFile(std::string(kPegasus) + "/k" + std::to_string(i), "kill " + std::to_string(i));
    written.insert("kill " + std::to_string(i));
  }
  {
    Program p1(TARVEX1_EXE, drive_, runtime_.path(), 100);
    ASSERT_TRUE(WaitUntil([&] { return drive_.Names(kMailin).size() >= 5; }, 10000));
  }  // killed in the middle of its pass
  Program again(TARVEX1_EXE, drive_, runtime_.path(), 100);
  ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kPegasus); }, 30000));
  EXPECT_EQ(Contents(kMailin), written);
  EXPECT_EQ(LogLines().size(), 30u) << "the file in hand has its one line too";
}

TEST_F(EndToEnd, BadInputOnTheDriveEndsNothingAndLosesNothing) {
  const std::string src = std::string(kPegasus) + "/";
  drive_.WriteFile(src + "caf\xE9", "latin-1 name");
  drive_.WriteFile(src + std::string(255, 'n'), "long name");
  drive_.WriteFile(src + "back\\slash", "backslash");
  drive_.WriteFile(src + "\xC3\x89T\xC3\x89.TXT", "accented upper");  // ÉTÉ.TXT
  drive_.WriteFile(std::string(kMailin) + "/\xC3\xA9t\xC3\xA9.txt", "accented lower");
  drive_.WriteFile(src + "UPPER.TXT", "upper");
  drive_.WriteFile(std::string(kMailin) + "/upper.txt", "lower");
  ASSERT_EQ(symlink("/nonexistent", drive_.Host(src + "dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(drive_.Host(src + "fifo").c_str(), 0644), 0);
  drive_.WriteFile(src + "big3", "");
  ASSERT_EQ(truncate(drive_.Host(src + "big3").c_str(), 3LL << 30), 0);
  drive_.WriteFile(src + "big4", "");
  ASSERT_EQ(truncate(drive_.Host(src + "big4").c_str(), 4LL << 30), 0);
  Program p1(TARVEX1_EXE, drive_, runtime_.path(), 100);
  ASSERT_TRUE(WaitUntil([&] { return drive_.Names(kPegasus).size() == 3; }, 20000))
      << "only the pipe, the dangling link and the name with a backslash stay";
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_TRUE(p1.Running());
  EXPECT_EQ(drive_.Names(kPegasus), (std::vector<std::string>{"back\\slash", "dangling", "fifo"}));
  const auto all = Contents(kMailin);
  for (const char* c :
       {"latin-1 name", "long name", "accented upper", "accented lower", "upper", "lower"}) {
    EXPECT_EQ(all.count(c), 1u) << c;
  }
  EXPECT_EQ(fs::file_size(drive_.Host(std::string(kMailin) + "/big3")), 3ULL << 30);
  const auto sizes = LoggedSizes();
  EXPECT_EQ(sizes.count("3221225472"), 1u);
  EXPECT_EQ(sizes.count("4294967296"), 1u);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
