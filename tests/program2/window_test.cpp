#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

#include "program0/program0.h"
#include "program1/program1.h"
#include "program2/frm_window.h"
#include "shared/Module_PreviousInstanceActivate.h"
#include "tests/support/temp_drive.h"

namespace tarvex {
namespace {

using tarvex_test::TempDrive;

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive_.MakeFolder("PMail/Mail/_Remail");
    drive_.MakeFolder("Ostrand/Mail/Mailin");
    drive_.MakeFolder("Ostrand/Logs");
    qputenv("XDG_RUNTIME_DIR", runtime_.path().toUtf8());
  }
  QLineEdit* Box(const char* name) { return window_->findChild<QLineEdit*>(name); }
  std::string BoxText(const char* name) { return Box(name)->text().toStdString(); }
  void Load() {
    window_ = std::make_unique<FormWindow>(Program2());
    ASSERT_TRUE(window_->Form_Load(nullptr));
  }
  QProcessEnvironment Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TARVEX_DRIVE_P", QString::fromStdString(drive_.root()));
    env.insert("XDG_RUNTIME_DIR", runtime_.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    return env;
  }

  TempDrive drive_;
  QTemporaryDir runtime_;
  std::unique_ptr<FormWindow> window_;
};

TEST_F(WindowTest, AfterLoadTheWindowShowsItsDesign) {
  Load();
  EXPECT_EQ(window_->windowTitle().toStdString(), "Tarvex 2 P:\\PMail\\Mail\\_Remail");
  EXPECT_TRUE(window_->windowState() & Qt::WindowMinimized);
  EXPECT_EQ(BoxText("txt_TIM_Per") + BoxText("txt_TIM_Rem") + BoxText("txt_TIM_Ela") +
                BoxText("txt_TIM_NbT"),
            "1100");
  EXPECT_EQ(BoxText("txt_InfoK(0)"), "P:\\PMail\\Mail\\_Remail");
  EXPECT_EQ(BoxText("txt_InfoK(3)"), "P:\\Ostrand\\Logs\\~Mailin.log");
  EXPECT_TRUE(window_->findChild<QLabel*>("img_Bad")->isHidden());
  EXPECT_TRUE(window_->findChild<QLabel*>("img_Goo")->isHidden());
  EXPECT_FALSE(window_->findChild<QLabel*>("img_Ico")->pixmap().isNull());
  EXPECT_EQ(Box("txt_Info(0)"), nullptr);
  EXPECT_EQ(window_->findChild<QLabel*>("lbl_Info(3)"), nullptr);
  const double dpi = window_->logicalDpiX();
  EXPECT_EQ(Box("txt_Info(3)")->width(), std::lround(4695 * dpi / 1440));
  EXPECT_EQ(Box("txt_Info(12)")->x(), std::lround(5160 * dpi / 1440));
  EXPECT_EQ(Box("txt_Info(12)")->parentWidget()->objectName(), "FrameR");
  EXPECT_TRUE(Box("txt_TIM_Ela")->isReadOnly());
  EXPECT_FALSE(Box("txt_TIM_Rem")->isReadOnly());
  EXPECT_EQ(Box("txt_TIM_Rem")->palette().color(QPalette::Base), QColor(128, 128, 255));
  EXPECT_EQ(window_->timer1().interval(), 60000);
  EXPECT_EQ(Box("txt_TIM_Rem")->toolTip().toStdString(),
            "Remaining Time before Next Action (minutes) (double-Click for immediate Action)");
}

TEST_F(WindowTest, DoubleClickRunsAPassAndPutsThePeriodBack) {
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "abc");
  Load();
  window_->showNormal();
  Box("txt_TIM_Per")->setFocus();
  QTest::keyClick(Box("txt_TIM_Per"), Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(Box("txt_TIM_Per"), "4");
  QTest::mouseDClick(Box("txt_TIM_Rem"), Qt::LeftButton);
  EXPECT_EQ(BoxText("txt_TIM_NbT"), "1");
  EXPECT_EQ(BoxText("txt_TIM_Rem"), "4");
  EXPECT_TRUE(drive_.Exists("Ostrand/Mail/Mailin/a.cnm"));
  EXPECT_FALSE(window_->findChild<QLabel*>("img_Goo")->isHidden());
  const QString path = QStringLiteral(TARVEX_BUILD_DIR "/window-after-pass.png");
  EXPECT_TRUE(window_->grab().save(path)) << path.toStdString();
}

// A file that waits is in the caption (which the task bar shows while the window is
// minimised) and in the file-in-progress box, with every cause on hover; both go once
// nothing waits.
TEST_F(WindowTest, AWaitingFileIsInTheCaptionAndTheBoxUntilItGoes) {
  drive_.WriteFile("PMail/Mail/_Remail/.tarvex-claim-mine.cnm", "a user's file");
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "abc");
  Load();
  window_->showNormal();
  window_->logic().ProcessAction();
  EXPECT_EQ(window_->windowTitle().toStdString(),
            "Tarvex 2 P:\\PMail\\Mail\\_Remail \xE2\x80\x94 1 file waits");
  EXPECT_EQ(BoxText("txt_Info(3)"),
            ".tarvex-claim-mine.cnm waits: it is named like the movers' own files");
  EXPECT_EQ(Box("txt_Info(3)")->cursorPosition(), 0) << "the start of the cause is in view";
  EXPECT_EQ(Box("txt_Info(3)")->toolTip().toStdString(),
            "P:\\PMail\\Mail\\_Remail\\.tarvex-claim-mine.cnm: it is named like the movers' "
            "own files");
  EXPECT_EQ(BoxText("txt_Info(10)"), "  1");
  const QString path = QStringLiteral(TARVEX_BUILD_DIR "/window-waiting.png");
  EXPECT_TRUE(window_->grab().save(path)) << path.toStdString();

  std::filesystem::remove(drive_.Host("PMail/Mail/_Remail/.tarvex-claim-mine.cnm"));
  window_->logic().ProcessAction();
  EXPECT_EQ(window_->windowTitle().toStdString(), "Tarvex 2 P:\\PMail\\Mail\\_Remail");
  EXPECT_EQ(BoxText("txt_Info(3)"), "");
  EXPECT_EQ(Box("txt_Info(3)")->toolTip().toStdString(), "");
}

// Painting a minimised window costs its style's pooled threads and a look at the time zone
// at every hand-over; it shows nothing. The boxes still take their texts, and the restored
// window shows them.
TEST_F(WindowTest, AMinimisedWindowIsNotPaintedUntilItIsRestored) {
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "abc");
  Load();
  window_->show();
  QTest::qWait(50);
  ASSERT_TRUE(window_->windowState() & Qt::WindowMinimized);
  struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      if (event->type() == QEvent::Paint) ++paints;
      return false;
    }
  } counter;
  for (QWidget* w : window_->findChildren<QWidget*>()) w->installEventFilter(&counter);
  window_->logic().ProcessAction();
  QTest::qWait(100);
  EXPECT_EQ(counter.paints, 0);
  EXPECT_EQ(BoxText("txt_TIM_NbT"), "1");
  EXPECT_TRUE(drive_.Exists("Ostrand/Mail/Mailin/a.cnm"));
  window_->Activate();
  EXPECT_TRUE(QTest::qWaitFor([&] { return counter.paints > 0; }, 2000));
}

TEST_F(WindowTest, EveryDigitAndThePathsEndShowAndThePicturesKeepTheirColours) {
  Load();
  window_->showNormal();
  EXPECT_EQ(window_->focusWidget(), Box("txt_InfoK(0)")) << "first of the focus order";
  auto fits = [&](const char* name) {
    QLineEdit* edit = Box(name);
    return QFontMetrics(edit->font()).horizontalAdvance(edit->text()) < edit->width() - 4;
  };
  window_->SetText(Info(9), "10 999 999 999 999");
  const std::string path = "P:\\PMail\\Mail\\_Remail\\" + std::string(80, 'n') + "-the-end.cnm";
  window_->SetText(Info(3), path);
  window_->Present();
  EXPECT_TRUE(fits("txt_Info(9)"));
  EXPECT_EQ(Box("txt_Info(3)")->cursorPosition(), static_cast<int>(path.size()));
  EXPECT_EQ(Box("txt_Info(3)")->toolTip().toStdString(), path);
  window_->SetText(Info(9), "1");
  window_->Present();
  EXPECT_EQ(Box("txt_Info(9)")->font(), Box("txt_Info(10)")->font()) << "the usual font again";

  window_->SetImageVisible(Image::kGoo, true);
  QWidget* sun = window_->findChild<QLabel*>("img_Goo");
  const QImage enabled = sun->grab().toImage();
  window_->SetEnabled(false);
  EXPECT_EQ(sun->grab().toImage(), enabled);
  window_->SetEnabled(true);
}

TEST_F(WindowTest, ShortTicksMoveFilesAndCount) {
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "abc");
  qputenv("TARVEX_TICK_MS", "30");
  Load();
  qunsetenv("TARVEX_TICK_MS");
  EXPECT_TRUE(QTest::qWaitFor([&] { return BoxText("txt_TIM_NbT") == "3"; }, 5000));
  EXPECT_TRUE(drive_.Exists("Ostrand/Mail/Mailin/a.cnm"));
  EXPECT_EQ(BoxText("txt_Info(10)"), "  1");
}

TEST_F(WindowTest, APassIsBusyAtItsYields) {
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "abc");
  drive_.WriteFile("PMail/Mail/_Remail/b.cnm", "");
  Load();
  std::vector<std::string> seen;
  window_->SetYieldHookForTesting([&] {
    const QCursor* cursor = QApplication::overrideCursor();
    const bool waiting = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
    seen.push_back(std::string(waiting ? "wait" : "arrow") +
                   (window_->isEnabled() ? "+on" : "+off"));
  });
  window_->logic().ProcessAction();
  EXPECT_EQ(seen, (std::vector<std::string>{"arrow+on", "wait+off", "wait+off"}));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(window_->isEnabled());
  EXPECT_EQ(BoxText("txt_Info(8)"), "  1") << "shown at the end of the pass";
}

TEST_F(WindowTest, AClosedWindowEndsTheProgramOnlyOnceItsPassHasEnded) {
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "abc");
  drive_.WriteFile("PMail/Mail/_Remail/b.cnm", "defg");
  Load();
  window_->showNormal();
  std::vector<std::string> seen;
  window_->SetYieldHookForTesting([&] {
    if (seen.empty()) window_->close();
    seen.push_back(window_->isVisible() ? "shown" : "hidden");
  });
  bool ended_by_close = true;
  QTimer click;
  QTimer give_up;
  click.callOnTimeout([&] { QTest::mouseDClick(Box("txt_TIM_Rem"), Qt::LeftButton); });
  give_up.callOnTimeout([&] {
    ended_by_close = false;
    QCoreApplication::quit();
  });
  click.setSingleShot(true);
  click.start(0);
  give_up.start(5000);
  QApplication::exec();
  EXPECT_EQ(seen.size(), 3u) << "the pass went on to its end";
  EXPECT_EQ(seen.back(), "hidden");
  EXPECT_TRUE(drive_.Exists("Ostrand/Mail/Mailin/a.cnm"));
  EXPECT_TRUE(drive_.Exists("Ostrand/Mail/Mailin/b.cnm"));
  EXPECT_TRUE(ended_by_close) << "the program ended once the pass had ended";
}

TEST_F(WindowTest, TheRemainingBoxRefusesWhatIsNotANumber) {
  Load();
  window_->showNormal();
  window_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
  QLineEdit* rem = Box("txt_TIM_Rem");
  rem->setFocus();
  QTest::keyClick(rem, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(rem, "x7y");
  EXPECT_EQ(rem->text().toStdString(), "7");
  QTest::keyClick(rem, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClicks(rem, "-");  // half typed: allowed while typing
  EXPECT_EQ(rem->text().toStdString(), "-");
  EXPECT_EQ(window_->Text(Box::kTimRem), "7") << "the tick reads the last accepted value";
  Box("txt_TIM_Per")->setFocus();
  EXPECT_EQ(rem->text().toStdString(), "7");
  window_->logic().Timer1_Timer();
  EXPECT_EQ(window_->Text(Box::kTimRem), "6");
}

// Also while the first one's caption tells that a file waits: the search is by the title.
TEST_F(WindowTest, ASecondStartBringsTheFirstForwardAndEnds) {
  drive_.WriteFile("PMail/Mail/_Remail/.tarvex-claim-mine.cnm", "a user's file");
  Load();
  window_->logic().ProcessAction();
  ASSERT_NE(window_->windowTitle().indexOf("1 file waits"), -1);
  SingleInstance first("~~Tarvex2");
  bool activated = false;
  ASSERT_FALSE(first.PrevInstance([&] {
    activated = true;
    window_->Activate();
  }));
  QProcess second;
  second.setProcessEnvironment(Environment());
  second.start(TARVEX2_EXE, {});
  ASSERT_TRUE(QTest::qWaitFor([&] { return second.state() == QProcess::NotRunning; }, 5000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return activated; }, 2000));
  EXPECT_FALSE(window_->windowState() & Qt::WindowMinimized);
}

TEST_F(WindowTest, ALockLeftByAKilledInstanceDoesNotStopTheNextStart) {
  QProcess killed;
  killed.setProcessEnvironment(Environment());
  killed.start(TARVEX2_EXE, {});
  ASSERT_TRUE(killed.waitForStarted());
  QTest::qWait(500);
  killed.kill();
  killed.waitForFinished();
  QProcess next;
  next.setProcessEnvironment(Environment());
  next.start(TARVEX2_EXE, {});
  EXPECT_FALSE(next.waitForFinished(1500)) << "the next start keeps running";
  next.kill();
  next.waitForFinished();
}

TEST_F(WindowTest, AMissingLogFolderIsReportedAndEndsTheProgram) {
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "abc");
  rmdir(drive_.Host("Ostrand/Logs").c_str());
  QProcess program;
  QProcessEnvironment env = Environment();
  env.insert("TARVEX_TICK_MS", "50");
  program.setProcessEnvironment(env);
  program.start(TARVEX2_EXE, {});
  ASSERT_TRUE(program.waitForFinished(10000));
  EXPECT_NE(program.exitCode(), 0);
  EXPECT_NE(program.readAllStandardError().indexOf("Run-time error '76':"), -1);
  EXPECT_TRUE(drive_.Exists("PMail/Mail/_Remail/a.cnm"));
}

// The window as it stands when the run-time error's box comes up, told on standard error.
class WindowBehindTheBox : public FormWindow {
 public:
  using FormWindow::FormWindow;

 protected:
  void ShowRunTimeError(const std::string&) override {
    auto* file = findChild<QLineEdit*>("txt_Info(3)");
    std::fprintf(stderr, "behind the box: %s, %s, %s moved\n", file->text().toUtf8().constData(),
                 file->palette().color(QPalette::Base).name().toUtf8().constData(),
                 findChild<QLineEdit*>("txt_Info(6)")->text().toUtf8().constData());
  }
};

TEST_F(WindowTest, BehindARunTimeErrorTheWindowShowsWhatThePassHadShown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  drive_.WriteFile("PMail/Mail/_Remail/a.cnm", "abc");
  rmdir(drive_.Host("Ostrand/Logs").c_str());
  EXPECT_EXIT(
      {
        WindowBehindTheBox w(Program2());
        w.Form_Load(nullptr);
        w.showNormal();
        QTest::mouseDClick(w.findChild<QLineEdit*>("txt_TIM_Rem"), Qt::LeftButton);
      },
      ::testing::ExitedWithCode(1), "behind the box: .*a\\.cnm, #00ff00, +1 moved");
}

TEST_F(WindowTest, Program0IsShownNormallyWithItsOwnNames) {
  FormWindow w(Program0());
  ASSERT_TRUE(w.Form_Load(nullptr));
  EXPECT_EQ(w.windowTitle().toStdString(), "Tarvex P:\\Ostrand\\Mail\\~Pegasus");
  EXPECT_FALSE(w.windowState() & Qt::WindowMinimized);
  EXPECT_EQ(w.objectName(), "frm_Tarvex");
  ASSERT_NE(w.findChild<QLineEdit*>("Text1"), nullptr);
  EXPECT_EQ(w.findChild<QLineEdit*>("Text1")->text(), "2");
  EXPECT_EQ(w.findChild<QLineEdit*>("txt_TIM_Per"), nullptr);
  EXPECT_TRUE(w.findChild<QLineEdit*>("Text2")->toolTip().isEmpty());
  EXPECT_NE(w.findChild<QWidget*>("FrameT")->palette().color(QPalette::WindowText),
            QColor(255, 0, 255));
  EXPECT_EQ(w.timer1().parent(), &w);
  EXPECT_EQ(w.findChild<QLineEdit*>("txt_InfoK(2)")->text(), "*.*");
  EXPECT_TRUE(w.grab().save(QStringLiteral(TARVEX_BUILD_DIR "/window-program0.png")));
}

TEST_F(WindowTest, TheThreeProgramsRunSideBySideOneInstanceEach) {
  QProcess programs[3];
  const char* exes[] = {TARVEX2_EXE, TARVEX1_EXE, TARVEX0_EXE};
  for (int i = 0; i < 3; ++i) {
    programs[i].setProcessEnvironment(Environment());
    programs[i].start(exes[i], {});
  }
  QTest::qWait(1500);
  for (auto& p : programs) EXPECT_EQ(p.state(), QProcess::Running);
  QProcess second;
  second.setProcessEnvironment(Environment());
  second.start(TARVEX1_EXE, {});
  EXPECT_TRUE(second.waitForFinished(5000));
  EXPECT_EQ(second.exitCode(), 0);
  for (auto& p : programs) {
    p.kill();
    p.waitForFinished();
  }
}

}  // namespace
}  // namespace tarvex

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
