#include "program2/transfer_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "platform/date_time.h"
#include "platform/run_time_error.h"
#include "tests/support/temp_drive.h"

namespace tarvex {
namespace {

using tarvex_test::RunUnprivileged;
using tarvex_test::TempDrive;

constexpr char kLog[] = "P:\\Ostrand\\Logs\\~Mailin.log";
const double kJuly = platform::ToDateValue({2003, 7, 24, 14, 5, 9});

int FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::RunTimeError& e) {
    return e.number();
  }
  return 0;
}

TEST(TransferLog, RecordsAreByteExact) {
  EXPECT_EQ(TransferLogRecord(kJuly, 1234), "#2003-07-24 14:05:09#,\"0001234\"\r\n");
  EXPECT_EQ(TransferLogRecord(platform::ToDateValue({2026, 1, 2, 0, 0, 0}), 0),
            "#2026-01-02#,\"0000000\"\r\n");
  EXPECT_EQ(TransferLogRecord(kJuly, 12345678), "#2003-07-24 14:05:09#,\"12345678\"\r\n");
  EXPECT_EQ(TransferLogRecord(kJuly, 3221225472ULL), "#2003-07-24 14:05:09#,\"3221225472\"\r\n");
  EXPECT_EQ(TransferLogRecord(kJuly, 4294967296ULL), "#2003-07-24 14:05:09#,\"4294967296\"\r\n");
}

TEST(TransferLog, AppendsToTheFileCreatingItButNotItsFolder) {
  TempDrive drive;
  drive.MakeFolder("Ostrand/Logs");
  AppendTransferLogRecord(kLog, kJuly, 1);
  AppendTransferLogRecord("P:\\OSTRAND\\logs\\~MAILIN.LOG", kJuly, 2);
  EXPECT_EQ(drive.ReadFile("Ostrand/Logs/~Mailin.log"),
            "#2003-07-24 14:05:09#,\"0000001\"\r\n#2003-07-24 14:05:09#,\"0000002\"\r\n");
  EXPECT_EQ(drive.Names("Ostrand/Logs"), std::vector<std::string>{"~Mailin.log"});
}

TEST(TransferLog, FailuresCarryTheirRunTimeErrorNumbers) {
  TempDrive drive;
  drive.MakeFolder("Ostrand");
  EXPECT_EQ(FailureOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }), 76);
  EXPECT_FALSE(drive.Exists("Ostrand/Logs"));
  EXPECT_EQ(FailureOf([] { AppendTransferLogRecord("Q:\\Logs\\x.log", kJuly, 1); }), 68);
  drive.MakeFolder("Ostrand/Logs/~Mailin.log");
  EXPECT_EQ(FailureOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }), 75);
  drive.MakeFolder("ro");
  chmod(drive.Host("ro").c_str(), 0555);
  EXPECT_TRUE(RunUnprivileged(
      [] { return FailureOf([] { AppendTransferLogRecord("P:\\ro\\log", kJuly, 1); }) == 70; }));
  // A file-size limit stands in for a full disk.
  drive.MakeFolder("small");
  EXPECT_EQ(tarvex_test::RunInChild([] {
              signal(SIGXFSZ, SIG_IGN);
              const rlimit limit{10, 10};
              setrlimit(RLIMIT_FSIZE, &limit);
              return FailureOf([] { AppendTransferLogRecord("P:\\small\\log", kJuly, 1); });
            }),
            61);
  EXPECT_EQ(drive.ReadFile("small/log"), "") << "no partial line stays";
}

std::string DescriptionOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const platform::RunTimeError& e) {
    return std::to_string(e.number()) + " " + e.description();
  }
  return "none";
}

// The log is only ever a plain file reached without a link at its last name, and opening
// it never blocks.
TEST(TransferLog, ALinkPipeOrDeviceAtTheLogPathIsAnErrorNamingIt) {
  TempDrive drive;
  drive.MakeFolder("Ostrand/Logs");
  drive.WriteFile("elsewhere", "mine\n");
  const std::string log = drive.Host("Ostrand/Logs/~Mailin.log");
  const std::string expected = "75 Path/File access error: " + std::string(kLog);
  ASSERT_EQ(symlink(drive.Host("elsewhere").c_str(), log.c_str()), 0);
  EXPECT_EQ(DescriptionOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }), expected);
  EXPECT_EQ(drive.ReadFile("elsewhere"), "mine\n");
  unlink(log.c_str());
  ASSERT_EQ(symlink(drive.Host("created").c_str(), log.c_str()), 0);
  EXPECT_EQ(DescriptionOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }), expected);
  EXPECT_FALSE(drive.Exists("created"));
  unlink(log.c_str());
  ASSERT_EQ(mkfifo(log.c_str(), 0666), 0);
  EXPECT_EQ(DescriptionOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }), expected);
  const int reader = open(log.c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_EQ(DescriptionOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }), expected);
  close(reader);
  unlink(log.c_str());
  if (mknod(log.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {  // /dev/null, as root
    EXPECT_EQ(DescriptionOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }), expected);
  }
  unlink(log.c_str());
  ASSERT_EQ(link(drive.Host("elsewhere").c_str(), log.c_str()), 0);  // a second name
  EXPECT_EQ(DescriptionOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }), expected);
  EXPECT_EQ(drive.ReadFile("elsewhere"), "mine\n");
}

// Two mover users share one log: the one that creates it lets the other append, as the
// folder lets both write.
TEST(TransferLog, ALogOneMoverUserCreatedTakesTheOthersLines) {
  TempDrive drive;
  drive.MakeFolder("Ostrand/Logs");
  chmod(drive.Host("Ostrand/Logs").c_str(), 0777);
  for (const unsigned uid : {tarvex_test::kMoverUid, tarvex_test::kWriterUid}) {
    EXPECT_EQ(tarvex_test::RunAs(
                  uid, [] { return FailureOf([] { AppendTransferLogRecord(kLog, kJuly, 1); }); }),
              0)
        << "uid " << uid;
  }
  EXPECT_EQ(drive.ReadFile("Ostrand/Logs/~Mailin.log").size(), 2 * 33u);
}

TEST(TransferLog, ThreeProcessesAppendingAtOnceNeverMixALine) {
  TempDrive drive;
  drive.MakeFolder("Ostrand/Logs");
  constexpr int kRecords = 10000;
  std::vector<pid_t> writers;
  for (int w = 0; w < 3; ++w) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (int i = 0; i < kRecords; ++i)
        AppendTransferLogRecord(kLog, kJuly, 1000000 * (w + 1) + i);
      _exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream log(drive.ReadFile("Ostrand/Logs/~Mailin.log"));
  const std::regex line("#2003-07-24 14:05:09#,\"[123][0-9]{6}\"\r");
  std::string l;
  int count = 0;
  std::vector<int> per_writer(4);
  while (std::getline(log, l)) {
    ASSERT_TRUE(std::regex_match(l, line)) << l;
    ++per_writer[l[23] - '0'];
    ++count;
  }
  EXPECT_EQ(count, 3 * kRecords);
  EXPECT_EQ(per_writer[1], kRecords);
  EXPECT_EQ(per_writer[3], kRecords);
}

}  // namespace
}  // namespace tarvex
