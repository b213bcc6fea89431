// The scenarios of a network drive mounted on two machines (two mounts of one share here):
// what the other machine writes, takes and moves meanwhile.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
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
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/file_system.h"
#include "platform/run_time_error.h"
#include "tests/e2e/end_to_end.h"
#include "tests/support/temp_drive.h"

namespace {

namespace fs = std::filesystem;
using namespace tarvex_e2e;

// The same drive through a second mount of one network share, which stands for a second
// machine (client B; client A runs the mover): set by the network stage of the test command
// as the temporary folder seen through B. Without it these scenarios are skipped.
class NetworkDrive : public EndToEnd {
 protected:
  void SetUp() override {
    const char* b = getenv("TARVEX_TEST_CLIENT_B_TMPDIR");
    if (b == nullptr || *b == '\0') GTEST_SKIP() << "no second client of a network drive";
    EndToEnd::SetUp();
    const std::string a = fs::temp_directory_path().string();
    ASSERT_EQ(drive_.root().compare(0, a.size(), a), 0);
    root_b_ = std::string(b) + drive_.root().substr(a.size());
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(OnB(kMailin)); }, 30000));
  }
  std::string OnB(const std::string& relative) const { return root_b_ + "/" + relative; }
  // Writes `count` sources <prefix><i>.cnm into _Remail, each holding "arriving <prefix><i>",
  // and adds those contents to `arriving`.
  void WriteSources(const std::string& prefix, int count, std::multiset<std::string>& arriving) {
    for (int i = 0; i < count; ++i) {
      const std::string name = prefix + std::to_string(i);
      drive_.WriteFile(std::string(kRemail) + "/" + name + ".cnm", "arriving " + name);
      arriving.insert("arriving " + name);
    }
  }
  static void WriteThrough(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
  }
  std::string root_b_;
};

// A writer on B that pauses between its appends for up to 4 s is never moved half-written
// by the mover on A, whose lease cannot see it, whatever A's client caches (the network
// stage runs this on an sshfs mount with its own cache too). TARVEX_TEST_WRITER_PAUSE_MS
// sets another longest pause, to measure where writers stop being seen.
TEST_F(NetworkDrive, AWriterOnTheOtherClientIsNeverMovedHalfWritten) {
  const char* longest_text = getenv("TARVEX_TEST_WRITER_PAUSE_MS");
  const int longest = longest_text != nullptr ? std::atoi(longest_text) : 4000;
  Program mover(TARVEX2_EXE, drive_, runtime_.path(), 300);
  std::vector<std::thread> writers;
  for (int i = 0; i < 6; ++i) {
    writers.emplace_back([this, i, longest] {
      const int pause_ms = i % 3 == 0 ? 500 : i % 3 == 1 ? 2000 : longest;
      const int fd = open(OnB(std::string(kRemail) + "/w" + std::to_string(i) + ".cnm").c_str(),
                          O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd < 0) return;
      for (const char* part : {"first;", "second;", "end"}) {
        if (write(fd, part, strlen(part)) < 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
      }
      close(fd);
    });
  }
  // A file written on A meanwhile makes A's client list the folder afresh (and cache what
  // it found), which the writers' next appends on B do not change.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  drive_.WriteFile(std::string(kRemail) + "/on-a.cnm", "on A");
  for (auto& w : writers) w.join();
  ASSERT_TRUE(WaitUntil([&] { return Contents(kMailin).size() == 7; }, 90000))
      << "target: " << ::testing::PrintToString(drive_.Names(kMailin))
      << ", source: " << ::testing::PrintToString(drive_.Names(kRemail));
  // The writer's handle follows its file into the target, so the contents end whole even
  // where the file moved in the middle: the size the line gives tells when it moved.
  auto sizes = LoggedSizes();
  EXPECT_EQ(sizes.erase("4"), 1u);
  const std::size_t whole = sizes.count(std::to_string(strlen("first;second;end")));
  std::printf("network drive: writers on B pausing up to %d ms: %zu of 6 moved whole\n", longest,
              whole);
  EXPECT_EQ(whole, 6u) << ::testing::PrintToString(sizes);
  auto all = Contents(kMailin);
  EXPECT_EQ(all.erase("on A"), 1u);
  for (const auto& c : all) EXPECT_EQ(c, "first;second;end");
}

// B makes the very names the mover is about to use while it moves, and takes other files
// out of the target: nothing of B's is replaced, every file arrives once, and a name found
// taken at the move costs no second line.
TEST_F(NetworkDrive, TheOtherClientsNamesAndRemovalsCostNothing) {
  constexpr int kFiles = 60;
  std::multiset<std::string> arriving;
  WriteSources("c", kFiles, arriving);
  WriteSources("x", kFiles, arriving);
  for (int i = 0; i < kFiles; ++i) {
    drive_.WriteFile(std::string(kMailin) + "/x" + std::to_string(i) + ".cnm", "taken away");
  }
  Program mover(TARVEX2_EXE, drive_, runtime_.path(), 300);
  std::thread other([this] {
    for (int i = 0; i < kFiles; ++i) {
      fs::remove(OnB(std::string(kMailin) + "/x" + std::to_string(i) + ".cnm"));
    }
    for (int i = kFiles - 1; i >= 0; --i) {
      const std::string name = "/c" + std::to_string(i) + ".cnm";
      const int fd =
          open(OnB(std::string(kMailin) + name).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
      if (fd >= 0) {
        const std::string mine = "B's" + name;
        if (write(fd, mine.data(), mine.size()) < 0) {
        }
        close(fd);
      }
    }
  });
  other.join();
  ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kRemail); }, 120000));
  const auto all = Contents(kMailin);
  for (const auto& c : arriving) EXPECT_EQ(all.count(c), 1u) << c;
  std::size_t bs = 0;
  for (const auto& c : all) bs += c.rfind("B's", 0) == 0;
  EXPECT_EQ(all.size(), arriving.size() + bs);
  EXPECT_EQ(LogLines().size(), arriving.size()) << "a line for every file, once";
  std::size_t needless = 0;
  for (const auto& n : drive_.Names(kMailin)) {
    needless += n.rfind("~col", 0) == 0 &&
                drive_.ReadFile(std::string(kMailin) + "/" + n).rfind("arriving x", 0) == 0;
  }
  std::printf("network drive: %zu of %d files taken by B's names; %zu needless ~col names\n", bs,
              kFiles, needless);
  EXPECT_LE(needless * 20, static_cast<std::size_t>(kFiles)) << "a name B removed is free";
}

// A consumer on B that takes every file from the target as soon as its name appears only
// ever finds whole files there, however the mover on A puts them in place.
TEST_F(NetworkDrive, AConsumerOnTheOtherClientOnlyEverTakesWholeFiles) {
  constexpr int kFiles = 40;
  std::multiset<std::string> arriving;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "big" + std::to_string(i);
    std::string content = "arriving " + name + ";";
    content.resize(256 * 1024 + i, static_cast<char>('a' + i % 26));
    drive_.WriteFile(std::string(kRemail) + "/" + name + ".cnm", content);
    arriving.insert(content);
  }
  Program mover(TARVEX2_EXE, drive_, runtime_.path(), 300);
  std::multiset<std::string> taken;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  while (taken.size() < arriving.size() && std::chrono::steady_clock::now() < give_up) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(OnB(kMailin), ec)) {
      const std::string name = entry.path().filename().string();
      if (name[0] == '.' || !entry.is_regular_file(ec)) continue;  // the movers' own
      std::string content;
      bool read = false;
      {
        std::ifstream in(entry.path(), std::ios::binary);
        content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        read = !in.bad();
      }  // closed before its removal, which a file server refuses while it is open
      if (read && fs::remove(entry.path(), ec)) taken.insert(content);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::size_t whole = 0;
  for (const auto& c : taken) whole += arriving.count(c);
  std::printf("network drive: the consumer on B took %zu files, %zu of them whole, of %d\n",
              taken.size(), whole, kFiles);
  EXPECT_EQ(whole, taken.size()) << "a name in the target shows a whole file or nothing";
  EXPECT_EQ(taken.size(), arriving.size());
  EXPECT_EQ(LogLines().size(), static_cast<std::size_t>(kFiles));
}

// The file server stops for a while in the middle of a pass (TARVEX_TEST_SERVER_STOP and
// _START, set by the network stage where it can stop one): the mover goes on as with a drive
// that is not there, and once the server is back every file arrives once, with one line.
TEST_F(NetworkDrive, AFileServerAwayForAWhileIsADriveThatIsNotThere) {
  const char* stop = getenv("TARVEX_TEST_SERVER_STOP");
  const char* start = getenv("TARVEX_TEST_SERVER_START");
  if (stop == nullptr || start == nullptr) GTEST_SKIP() << "no file server to stop here";
  constexpr int kFiles = 300;
  std::multiset<std::string> arriving;
  WriteSources("s", kFiles, arriving);
  Program mover(TARVEX2_EXE, drive_, runtime_.path(), 200);
  ASSERT_TRUE(WaitUntil([&] { return LogLines().size() >= 20; }, 60000));
  ASSERT_EQ(std::system(stop), 0);
  std::this_thread::sleep_for(std::chrono::seconds(8));
  ASSERT_EQ(std::system(start), 0);
  ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kRemail); }, 120000))
      << "left: " << ::testing::PrintToString(drive_.Names(kRemail));
  EXPECT_TRUE(mover.Running()) << "a server away ends no program";
  const auto all = Contents(kMailin);
  for (const auto& c : arriving) EXPECT_EQ(all.count(c), 1u) << c;
  EXPECT_EQ(all.size(), arriving.size());
  EXPECT_EQ(LogLines().size(), arriving.size())
      << "one line for each move; the mover said:\n"
      << mover.process().readAllStandardError().toStdString();
  std::printf("network drive: the server away for 8 s: %zu files, %zu lines\n", all.size(),
              LogLines().size());
}

// A line counts as written only once the server has it, also where the mover keeps the log
// open from line to line (sshfs, whose client returns from a write before the server
// answers): with the server frozen after the first line and then gone, the second either
// fails or is in the log once the server is back.
TEST_F(NetworkDrive, ALineCountsAsWrittenOnlyOnceTheServerHasIt) {
  const char* freeze = getenv("TARVEX_TEST_SERVER_FREEZE");
  const char* stop = getenv("TARVEX_TEST_SERVER_STOP");
  const char* start = getenv("TARVEX_TEST_SERVER_START");
  if (freeze == nullptr || stop == nullptr || start == nullptr) {
    GTEST_SKIP() << "no file server to freeze here";
  }
  const std::string log = "P:\\Transfer.log";
  std::atomic<int> step{0};  // 1: first line written; 2: server frozen; 3: second returned
  bool second_failed = false;
  std::thread pass([&] {
    platform::FolderScope scope;  // a pass, within which the log may be kept
    platform::AppendWholeLine(log, "first\r\n");
    step = 1;
    while (step < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    try {
      platform::AppendWholeLine(log, "second\r\n");
    } catch (const platform::RunTimeError&) {
      second_failed = true;
    }
    step = 3;
  });
  ASSERT_TRUE(WaitUntil([&] { return step >= 1; }, 30000));
  const int frozen = std::system(freeze);
  step = 2;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const int stopped = std::system(stop);
  const int started = std::system(start);
  pass.join();
  ASSERT_EQ(frozen, 0);
  ASSERT_EQ(stopped, 0);
  ASSERT_EQ(started, 0);
  std::string held;
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::ifstream in(drive_.Host("Transfer.log"), std::ios::binary);
        held.assign(std::istreambuf_iterator<char>(in), {});
        return in.good() || in.eof();
      },
      30000));
  if (!second_failed) {
    EXPECT_EQ(held, "first\r\nsecond\r\n") << "a line said written is lost";
  }
  std::printf("network drive: a line while the server froze: %s\n",
              second_failed ? "failed" : "written");
}

// Two movers on two clients empty one folder: every file once, one whole line for each.
TEST_F(NetworkDrive, TwoMoversOnTwoClientsMoveEveryFileOnce) {
  constexpr int kFiles = 150;
  std::multiset<std::string> arriving;
  WriteSources("t", kFiles, arriving);
  QTemporaryDir runtime_b{"/tmp/tarvex-e2e-rt-XXXXXX"};
  chmod(runtime_b.path().toUtf8().constData(), 01777);
  Program a(TARVEX2_EXE, drive_, runtime_.path(), 200);
  Program b(TARVEX2_EXE, drive_, runtime_b.path(), 200, false, root_b_);
  ASSERT_TRUE(WaitUntil([&] { return SourceEmpty(kRemail); }, 120000));
  a.Kill();
  b.Kill();
  // What B wrote is read through A once A's attribute cache has let go of it.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const auto all = Contents(kMailin);
  for (const auto& c : arriving) EXPECT_EQ(all.count(c), 1u) << c;
  for (const auto& c : all) EXPECT_EQ(arriving.count(c), 1u) << c;
  for (const auto& n : drive_.Names(kMailin)) {
    // The movers' lock, a folder: free, or held by a mover killed within its pass.
    if (n.rfind(".tarvex-placing", 0) == 0) continue;
    const std::string c = drive_.ReadFile(std::string(kMailin) + "/" + n);
    EXPECT_EQ(c.rfind("arriving ", 0), 0u) << n << " holds \"" << c << "\"";
  }
  static const std::regex whole("#\\d{4}-\\d\\d-\\d\\d( \\d\\d:\\d\\d:\\d\\d)?#,\"(\\d{7,})\"\r");
  std::size_t good = 0, bad = 0;
  for (const auto& l : LogLines()) (std::regex_match(l, whole) ? good : bad)++;
  std::printf("network drive: two movers wrote %zu whole lines and %zu mixed for %d files\n", good,
              bad, kFiles);
  EXPECT_EQ(bad, 0u) << "the lock beside the log reaches both clients";
  EXPECT_EQ(good, static_cast<std::size_t>(kFiles)) << "one line for each move";
}

}  // namespace
