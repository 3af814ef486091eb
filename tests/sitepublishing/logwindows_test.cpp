// The log windows offscreen: placement through the registry, the grid's
// rows, the run state, Esc, the quasi-modal showing, the delete question
// and the upload log's progress and Abort.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QImage>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>
#include <memory>
#include <string>

#include "ftpcomponents/SimpFTP.h"
#include "platform/messaging/messaging.h"
#include "platform/qt/drawgrid.h"
#include "platform/qt/panel.h"
#include "platform/qt/qtbridge.h"
#include "platform/qt/qtext.h"
#include "platform/registry/registry.h"
#include "sitepublishing/PrjCls.h"
#include "sitepublishing/gui/DeleteLog.h"
#include "sitepublishing/gui/UploadLog.h"
#include "tests/ftpservers/ftp_test_servers.h"
#include "tests/support/private_home.h"
#include "tests/support/qt_app.h"
#include "tests/sitepublishing/windows_fixture.h"
#include "tests/support/walk_fakes.h"

namespace {

const std::string kBase = "\\Software\\Korvane\\Zentavox\\";

void Put(const std::string& form, const std::vector<std::pair<std::string, std::int32_t>>& values) {
  plat::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey(kBase + form, true));
  for (const auto& [n, v] : values) reg.WriteInteger(n, v);
}

// "name=value" for every value of the form's key, in the order made.
std::vector<std::string> Values(const std::string& form) {
  plat::TRegistry reg;
  if (!reg.OpenKeyReadOnly(kBase + form)) return {"<no key>"};
  plat::TStringList names;
  reg.GetValueNames(names);
  std::vector<std::string> out;
  for (int i = 0; i < names.Count(); ++i) out.push_back(names[i] + "=" + std::to_string(reg.ReadInteger(names[i])));
  return out;
}

void Wait(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

class LogWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::QtApp();
    // The delete question waits in Qt's loop, which must serve our queue too.
    plat::InstallQtBridge();
  }
  void TearDown() override {
    QApplication::processEvents();
    while (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
  }
  testsupport::PrivateHome home;
};

// ---- placement -----------------------------------------------------------------

// The upload log is built from the common log's description and then its
// own: it reads frmLog, takes its own design size, then reads its own key,
// whose values win. It writes only its own key.
TEST_F(LogWindows, UploadLogReadsTheCommonKeyThenItsOwn) {
  Put("frmLog", {{"Top", 100}, {"Left", 110}, {"Width", 500}, {"Height", 300}});
  Put("frmUploadLog", {{"Top", 200}});
  {
    TfrmUploadLog w;
    EXPECT_EQ(w.pos(), QPoint(110, 200));
    EXPECT_EQ(w.size(), QSize(461, 197));
    w.move(120, 130);
  }
  EXPECT_EQ(Values("frmLog"), (std::vector<std::string>{"Top=100", "Left=110", "Width=500", "Height=300"}));
  EXPECT_EQ(Values("frmUploadLog"),
            (std::vector<std::string>{"Top=130", "Left=120", "Width=461", "Height=197", "WindowState=0"}));

  // The delete log reads its own key as well, so its place comes back.
  Put("frmDeleteLog", {{"Top", 60}, {"Left", 50}, {"Width", 420}, {"Height", 190}});
  TfrmDeleteLog d;
  EXPECT_EQ(d.pos(), QPoint(50, 60));
  EXPECT_EQ(d.size(), QSize(420, 190));
}

TEST_F(LogWindows, ClosedMaximisedReopensMaximisedWithTheLastNormalBounds) {
  Put("frmUploadLog", {{"Top", 40}, {"Left", 30}, {"Width", 470}, {"Height", 210}});
  {
    TfrmUploadLog w;
    w.show();
    w.setWindowState(Qt::WindowMaximized);
    Wait(20);
    w.hide();
  }
  EXPECT_EQ(Values("frmUploadLog"),
            (std::vector<std::string>{"Top=40", "Left=30", "Width=470", "Height=210", "WindowState=1"}));
  TfrmUploadLog again;
  EXPECT_TRUE(again.windowState() & Qt::WindowMaximized);
  EXPECT_EQ(again.pos(), QPoint(30, 40));
  EXPECT_EQ(again.size(), QSize(470, 210));
}

// A log that was never shown keeps the centred place it comes up in; it
// must not be saved at the corner of the screen.
TEST_F(LogWindows, NeverShownLogKeepsComingUpCentred) {
  QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
  { TfrmUploadLog never; }
  const std::vector<std::string> saved = Values("frmUploadLog");
  ASSERT_EQ(saved.size(), 5u);
  EXPECT_NE(saved[0], "Top=0");
  EXPECT_NE(saved[1], "Left=0");
  TfrmUploadLog next;
  next.show();
  Wait(20);
  QRect g(next.pos(), next.size());
  EXPECT_LE(std::abs(g.center().x() - avail.center().x()), 4) << g.x() << "," << g.y();
  EXPECT_LE(std::abs(g.center().y() - avail.center().y()), 4) << g.x() << "," << g.y();
}

// A place no screen shows, or a size larger than the screen, is brought back,
// whatever number is stored: a window whose top edge is off the screen
// (its title and menu bar hidden) is centred, one too small for its
// content grows. What is written back at the end is where it stood.
TEST_F(LogWindows, StoredPlacementIsKeptOnScreen) {
  const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  struct Case {
    const char* what;
    std::int32_t top, left, width, height;
    bool centred;
  };
  const Case cases[] = {
      {"inside", avail.top() + 10, avail.left() + 20, 300, 200, false},
      {"hanging off the right and the bottom", avail.top() + 10, avail.right() - 100, 300, avail.height() - 5, false},
      {"off every screen", avail.bottom() + 500, avail.right() + 500, 300, 200, true},
      {"far to the top left", -5000, -5000, 300, 200, true},
      {"too wide", 10, 10, avail.width() + 400, 200, true},
      {"near the integer limit", 2147483250, 100, 302, 382, true},
      {"nearer the limit", 2147483600, 100, 302, 382, true},
      {"top edge above the screen", avail.top() - 48, 100, 302, 382, true},
      {"only a sliver at the top", avail.top() - 370, 100, 302, 382, true},
      {"left beyond the limit", 100, 2147483600, 302, 382, true},
      {"largest numbers", kMax, kMax, kMax, kMax, true},
      {"smallest numbers", kMin, kMin, kMin, kMin, true},
      {"largest place, smallest size", kMax, kMax, kMin, kMin, true},
      {"zero size", avail.top() + 10, avail.left() + 20, 0, 0, false},
      {"negative size", avail.top() + 10, avail.left() + 20, -300, -200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Put("frmDeleteLog", {{"Top", c.top}, {"Left", c.left}, {"Width", c.width}, {"Height", c.height}});
    QRect g;
    {
      TfrmDeleteLog d;
      g = QRect(d.pos(), d.size());
      const QSize least = d.minimumSizeHint().expandedTo(QSize(1, 1));
      EXPECT_GE(g.width(), std::min(least.width(), avail.width()));
      EXPECT_GE(g.height(), std::min(least.height(), avail.height()));
      if (c.centred) {
        EXPECT_TRUE(avail.contains(g)) << g.x() << "," << g.y() << " " << g.width() << "x" << g.height();
        EXPECT_LE(std::abs(g.center().x() - avail.center().x()), 1);
        EXPECT_LE(std::abs(g.center().y() - avail.center().y()), 1);
      } else {
        // Left where it was, grown only where it was too small.
        EXPECT_EQ(g.topLeft(), QPoint(c.left, c.top));
        EXPECT_GE(g.width(), std::min(c.width, avail.width()));
        EXPECT_GE(g.height(), std::min(c.height, avail.height()));
        EXPECT_TRUE(c.width <= 0 || g.width() == c.width) << g.width();
      }
    }
    EXPECT_EQ(Values("frmDeleteLog"),
              (std::vector<std::string>{"Top=" + std::to_string(g.y()), "Left=" + std::to_string(g.x()),
                                        "Width=" + std::to_string(g.width()), "Height=" + std::to_string(g.height()),
                                        "WindowState=0"}));
  }
}

// ---- lines ---------------------------------------------------------------------

int LineHeight(const TfrmLog& w) { return static_cast<int>(std::ceil(QFontMetricsF(w.dgLog->font()).height())); }

TEST_F(LogWindows, RowsWrapAndRewrapWhenTheWindowNarrows) {
  TfrmUploadLog w;
  w.BeginUpload();
  Wait(20);
  std::string longLine;
  for (int i = 0; i < 40; ++i) longLine += "word" + std::to_string(i) + " ";
  w.AddLog(lkPlain, "short");
  w.AddLog(lkPlain, longLine);
  w.AddLog(lkError, "");
  ASSERT_EQ(w.dgLog->RowCount(), 3);
  EXPECT_EQ(w.dgLog->ColWidth(), w.dgLog->ClientWidth() - 1);
  const int line = LineHeight(w);
  EXPECT_EQ(w.dgLog->RowHeight(0), line + 2);
  EXPECT_EQ(w.dgLog->RowHeight(2), line + 2);  // an empty text is one line
  const int wide = w.dgLog->RowHeight(1);
  EXPECT_GE(wide, 3 * line + 2);
  EXPECT_EQ((wide - 2) % line, 0);
  EXPECT_EQ(w.dgLog->Row(), 2);

  w.resize(w.width() / 2, w.height());
  Wait(20);
  EXPECT_EQ(w.dgLog->ColWidth(), w.dgLog->ClientWidth() - 1);
  EXPECT_GT(w.dgLog->RowHeight(1), wide);
  EXPECT_EQ(w.dgLog->RowHeight(0), line + 2);
  w.resize(w.width() * 2, w.height());
  Wait(20);
  EXPECT_EQ(w.dgLog->RowHeight(1), wide);

  // A new run starts with an empty grid of one row.
  w.EndUpload();
  w.BeginUpload();
  EXPECT_EQ(w.Lines.Count(), 0);
  EXPECT_EQ(w.dgLog->RowCount(), 1);
  EXPECT_EQ(w.ErrorCount(), 0);
  w.EndUpload();
}

// File names come as UTF-8: a row is measured as the characters drawn, so
// it wraps like the same text held one byte per character, and a long name
// is never cut inside a character.
TEST_F(LogWindows, RowsOfUtf8NamesWrapAsTheirCharacters) {
  TfrmUploadLog w;
  w.BeginUpload();
  Wait(20);
  auto repeat = [](const std::string& piece, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += piece;
    return s;
  };
  struct Case {
    std::string Utf8, Latin1;
  } cases[] = {
      {"uploading dir /" + repeat("caf\xc3\xa9", 40), "uploading dir /" + repeat("caf\xe9", 40)},
      {repeat("na\xc3\xafve ", 30), repeat("na\xefve ", 30)},
  };
  for (const Case& c : cases) {
    w.AddLog(lkPlain, c.Utf8);
    w.AddLog(lkPlain, c.Latin1);
  }
  const int line = LineHeight(w);
  for (int row = 0; row < w.dgLog->RowCount(); row += 2) {
    EXPECT_GE(w.dgLog->RowHeight(row), 3 * line + 2) << row;
    EXPECT_EQ(w.dgLog->RowHeight(row), w.dgLog->RowHeight(row + 1)) << row;
  }
  w.EndUpload();
}

// What the grid shows: the row backgrounds alternate white and grey, and an
// error line is drawn in red.
TEST_F(LogWindows, RowsAreDrawnInTheirColours) {
  TfrmDeleteLog w;
  w.BeginDelete();
  Wait(20);
  w.AddLog(lkPlain, "plain");
  w.AddLog(lkError, "Error line");
  w.AddLog(lkNotice, "notice");
  w.dgLog->SetRow(0);
  Wait(20);
  QImage img = w.dgLog->viewport()->grab().toImage();
  auto rowBack = [&](int row) { return QColor(img.pixel(w.dgLog->ColWidth() - 2, w.dgLog->CellRect(row).top() + 1)); };
  EXPECT_EQ(rowBack(0), QColor(255, 255, 255));
  EXPECT_EQ(rowBack(1), QColor(220, 220, 220));
  EXPECT_EQ(rowBack(2), QColor(255, 255, 255));
  auto has = [&](int row, auto test) {
    QRect r = w.dgLog->CellRect(row);
    for (int y = r.top(); y <= r.bottom(); ++y) {
      for (int x = r.left(); x < r.left() + 60; ++x) {
        if (test(QColor(img.pixel(x, y)))) return true;
      }
    }
    return false;
  };
  EXPECT_TRUE(has(1, [](QColor c) { return c.red() > 150 && c.green() < 90 && c.blue() < 90; }));
  EXPECT_TRUE(has(2, [](QColor c) { return c.blue() > 150 && c.red() < 90 && c.green() < 90; }));
  EXPECT_FALSE(has(0, [](QColor c) { return c.red() > 150 && c.green() < 90; }));
  EXPECT_EQ(w.ErrorCount(), 1);
  w.EndDelete();
}

// ---- showing, Esc and the other windows ------------------------------------------

TEST_F(LogWindows, EscClosesOnlyWhenNotBusy) {
  TfrmUploadLog w;
  w.BeginUpload();
  Wait(20);
  EXPECT_TRUE(QApplication::overrideCursor());
  QTest::keyClick(w.dgLog, Qt::Key_Escape);
  w.close();
  EXPECT_TRUE(w.isVisible());
  w.EndUpload();
  EXPECT_FALSE(QApplication::overrideCursor());
  QTest::keyClick(w.dgLog, Qt::Key_Escape);
  EXPECT_FALSE(w.isVisible());
}

TEST_F(LogWindows, OtherWindowsAreDisabledWhileALogShows) {
  QWidget main, disabledBefore, hidden;
  main.show();
  disabledBefore.show();
  disabledBefore.setEnabled(false);
  TfrmDeleteLog w;
  w.BeginDelete();
  EXPECT_FALSE(main.isEnabled());
  EXPECT_TRUE(w.isEnabled());
  EXPECT_TRUE(hidden.isEnabled());
  w.EndDelete();
  EXPECT_FALSE(main.isEnabled());  // still shown
  w.close();
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(main.isEnabled());
  EXPECT_FALSE(disabledBefore.isEnabled());

  // Destroyed while shown, it still gives the windows back.
  auto up = std::make_unique<TfrmUploadLog>();
  up->BeginUpload();
  EXPECT_FALSE(main.isEnabled());
  up.reset();
  EXPECT_TRUE(main.isEnabled());
}

// ---- the delete question -----------------------------------------------------------

TEST_F(LogWindows, AskDeleteWaitsForTheAnswerServingOurQueue) {
  TfrmDeleteLog w;
  struct Case {
    QPushButton* TfrmDeleteLog::*button;
    std::uint8_t answer;
    bool yesToAll;
  };
  const Case cases[] = {
      {&TfrmDeleteLog::btnYes, 1, false}, {&TfrmDeleteLog::btnNo, 2, false}, {&TfrmDeleteLog::btnYesToAll, 3, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    w.BeginDelete();
    EXPECT_FALSE(w.btnYes->isEnabled());
    EXPECT_EQ(w.btnCancel->text(), "Cancel");
    bool checked = false;
    // The click comes through our own queue: the wait must drain it.
    plat::RunOnThread(plat::CurrentThreadQueue(), [&] {
      checked = w.btnYes->isEnabled() && w.btnNo->isEnabled() && w.btnYesToAll->isEnabled() && w.btnYes->isDefault();
      (w.*c.button)->click();
    });
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(w.AskDelete(), c.answer);
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_TRUE(checked);
    EXPECT_FALSE(w.btnYes->isEnabled());
    EXPECT_FALSE(w.btnNo->isEnabled());
    EXPECT_FALSE(w.btnYesToAll->isEnabled());
    EXPECT_FALSE(w.btnYes->isDefault());
    EXPECT_EQ(w.YesToAll(), c.yesToAll);
    EXPECT_FALSE(w.Aborted());
    w.EndDelete();
    EXPECT_EQ(w.btnCancel->text(), "Close");
    EXPECT_TRUE(w.btnCancel->isDefault());
  }
  // Enter presses the default button, Yes.
  w.BeginDelete();
  EXPECT_FALSE(w.YesToAll());  // a new run asks again
  QTimer::singleShot(50, &w, [&] { QTest::keyClick(w.dgLog, Qt::Key_Return); });
  EXPECT_EQ(w.AskDelete(), 1);
  w.EndDelete();
}

TEST_F(LogWindows, CancelDuringTheQuestionAnswersNoAbortsAndCloses) {
  TfrmDeleteLog w;
  w.BeginDelete();
  w.AddLog(lkNotice, "File /www/old.htm does not exist locally. Delete from remote server?");
  QTimer::singleShot(50, &w, [&] { w.btnCancel->click(); });
  EXPECT_EQ(w.AskDelete(), 2);
  EXPECT_TRUE(w.Aborted());
  EXPECT_FALSE(w.Busy());
  EXPECT_FALSE(w.isVisible());
  EXPECT_EQ(w.btnCancel->text(), "Close");
  // The walk may still ask before it sees the abort: nobody could answer.
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(w.AskDelete(), 2);
  EXPECT_LT(t.elapsed(), 10000) << "it waited for an answer";
  // The walk's own closing lines go into the hidden window.
  w.AddLog(lkNotice, "Deleting old files completed");
  w.EndDelete();
  EXPECT_EQ(w.Lines.Count(), 2);
  EXPECT_FALSE(w.isVisible());
}

// ---- what a screen reader gets ----------------------------------------------------

struct HeardEvent {
  QAccessible::Event Type;
  QString Name;
};
std::vector<HeardEvent> gHeard;

void Hear(QAccessibleEvent* e) {
  QAccessibleInterface* i = e->accessibleInterface();
  gHeard.push_back({e->type(), i ? i->text(QAccessible::Name) : QString()});
}

// Events of one type, by the name of what they are about.
std::vector<QString> Heard(QAccessible::Event type) {
  std::vector<QString> names;
  for (const HeardEvent& h : gHeard)
    if (h.Type == type) names.push_back(h.Name);
  return names;
}

// A reader listening to the grids for the test's length (offscreen, Qt
// passes no announcement on).
struct Listening {
  Listening() {
    gHeard.clear();
    plat::SetGridAnnouncementsForTests(Hear);
  }
  ~Listening() { plat::SetGridAnnouncementsForTests(nullptr); }
};

// The rows are drawn by hand; a reader gets each row's text, hears a new
// row as added (and as focused where the log has the focus), and finds
// the question that waits with the buttons that answer it.
TEST_F(LogWindows, ReadersGetTheRowsAndThePendingQuestion) {
  Listening reader;
  TfrmDeleteLog w;
  w.BeginDelete();
  QElapsedTimer t;
  t.start();
  while (!w.dgLog->hasFocus() && t.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  ASSERT_TRUE(w.dgLog->hasFocus());
  w.AddLog(lkPlain, "Connect to ftp.example.net...");
  w.AddLog(lkError, "Cannot change to /www/gone");
  QAccessibleInterface* list = QAccessible::queryAccessibleInterface(w.dgLog);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->role(), QAccessible::List);
  EXPECT_EQ(list->text(QAccessible::Name), "Log");
  ASSERT_EQ(list->childCount(), 2);
  for (int i = 0; i < 2; ++i) {
    QAccessibleInterface* row = list->child(i);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->role(), QAccessible::ListItem);
    EXPECT_EQ(plat::FromQ(row->text(QAccessible::Name)), w.Lines.Items[static_cast<std::size_t>(i)].Text);
    EXPECT_EQ(row->parent(), list);
    EXPECT_EQ(list->indexOfChild(row), i);
  }
  EXPECT_TRUE(list->child(1)->state().selected);
  EXPECT_EQ(list->focusChild(), list->child(1));

  const QString question = QStringLiteral("File /www/old.htm does not exist locally. Delete from remote server?");
  gHeard.clear();
  w.AddLog(lkNotice, plat::FromQ(question));
  EXPECT_EQ(Heard(QAccessible::ObjectCreated), std::vector<QString>{question});
  EXPECT_EQ(Heard(QAccessible::Focus), std::vector<QString>{question});

  std::vector<QString> offered;
  QTimer::singleShot(50, &w, [&] {
    for (QWidget* b : {static_cast<QWidget*>(w.pnlRight), static_cast<QWidget*>(w.btnYes),
                       static_cast<QWidget*>(w.btnYesToAll), static_cast<QWidget*>(w.btnNo)})
      offered.push_back(QAccessible::queryAccessibleInterface(b)->text(QAccessible::Description));
    w.btnNo->click();
  });
  EXPECT_EQ(w.AskDelete(), 2);
  EXPECT_EQ(offered, std::vector<QString>(4, question));
  EXPECT_EQ(QAccessible::queryAccessibleInterface(w.btnYes)->text(QAccessible::Description), QString());
  w.EndDelete();

  // A new run: the rows of the last one go, and readers are told.
  gHeard.clear();
  w.BeginDelete();
  EXPECT_EQ(list->childCount(), 0);  // the one row the grid keeps is empty, not listed
  EXPECT_EQ(Heard(QAccessible::ObjectDestroyed).size(), 3u);
  w.EndDelete();

  // The upload log's rows are there too; the newest is heard as added.
  TfrmUploadLog up;
  up.BeginUpload();
  gHeard.clear();
  up.AddLog(lkPlain, "uploading file index.htm");
  EXPECT_EQ(Heard(QAccessible::ObjectCreated), std::vector<QString>{QStringLiteral("uploading file index.htm")});
  EXPECT_EQ(QAccessible::queryAccessibleInterface(up.dgLog)->child(0)->text(QAccessible::Name),
            QStringLiteral("uploading file index.htm"));
  up.EndUpload();
}

// ---- the upload log ------------------------------------------------------------------

TEST_F(LogWindows, ProgressFollowsAFileAfterHalfASecond) {
  std::int64_t now = 10000;
  plat::SetTickSourceForTests([&] { return now; });
  TfrmUploadLog w;
  w.BeginUpload();
  w.ShowProgress(50, 100);  // no file in progress
  EXPECT_EQ(w.pgbUpload->value(), 0);
  w.StartProgress();
  now += 500;
  w.ShowProgress(50, 100);
  EXPECT_EQ(w.pgbUpload->value(), 0);
  now += 1;
  w.ShowProgress(50, 100);
  EXPECT_EQ(w.pgbUpload->maximum(), 100);
  EXPECT_EQ(w.pgbUpload->value(), 50);
  // A file of 5 GiB still moves the bar, to its end.
  const std::int64_t size = std::int64_t{5} << 30;
  w.ShowProgress(size / 2, size);
  EXPECT_GT(w.pgbUpload->maximum(), 0);
  EXPECT_NEAR(double(w.pgbUpload->value()) / w.pgbUpload->maximum(), 0.5, 1e-6);
  w.ShowProgress(size, size);
  EXPECT_EQ(w.pgbUpload->value(), w.pgbUpload->maximum());
  w.StopProgress();
  EXPECT_EQ(w.pgbUpload->value(), 0);
  EXPECT_FALSE(w.InProgress());
  // An empty file leaves the bar a bar.
  w.StartProgress();
  now += 600;
  w.ShowProgress(0, 0);
  EXPECT_GT(w.pgbUpload->maximum(), w.pgbUpload->minimum());
  w.EndUpload();
  plat::SetTickSourceForTests(nullptr);
}

TEST_F(LogWindows, ControlButtonAbortsThenCloses) {
  TfrmUploadLog w;
  w.BeginUpload();
  EXPECT_EQ(w.btnControl->text(), "Abort");
  EXPECT_TRUE(w.btnControl->isDefault());
  w.btnControl->click();
  EXPECT_TRUE(w.Aborted());
  EXPECT_FALSE(w.Busy());
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.btnControl->text(), "Close");
  // The walk unwinds and ends the run once more.
  w.AddLog(lkError, "Upload aborted.");
  w.EndUpload();
  EXPECT_EQ(w.ErrorCount(), 1);
  w.btnControl->click();
  EXPECT_FALSE(w.isVisible());
  // The next run begins clean.
  w.BeginUpload();
  EXPECT_FALSE(w.Aborted());
  EXPECT_EQ(w.btnControl->text(), "Abort");
  w.EndUpload();
}

// Abort pressed while the connect waits for a greeting that never comes:
// the FTP call fails at once instead of waiting for its time-out.
TEST_F(LogWindows, AbortStopsTheBlockedFtpCall) {
  ftptest::ScriptServer silent([](ftptest::ScriptConn& c, int) { c.WaitClosed(10000); });
  TSimpleFTP ftp(nullptr);
  ftp.HostName = "127.0.0.1";
  ftp.Port = silent.Port();
  ftp.UserName = "u";
  ftp.Password = "p";
  ftp.SilentExceptions = false;
  ftp.SetConnectTimeout(20000);
  walkfakes::Form form(&ftp);
  TProjectForm* saved = Project->Form;
  Project->Form = &form;

  TfrmUploadLog w;
  w.BeginUpload();
  QTimer::singleShot(300, &w, [&] { w.btnControl->click(); });
  QElapsedTimer t;
  t.start();
  std::string error;
  try {
    ftp.Connect();
  } catch (const std::exception& e) {
    error = e.what();
  }
  EXPECT_LT(t.elapsed(), 5000);
  EXPECT_EQ(error, "General Connection Error to 127.0.0.1");
  EXPECT_TRUE(w.Aborted());
  EXPECT_EQ(w.btnControl->text(), "Close");
  Project->Form = saved;
}

// ---- in front of the main window -----------------------------------------------------

class LogInFront : public pubtest::WindowsTest {
 protected:
  // Waits for w to be the active window (the platform activates windows
  // through its queue).
  static bool BecomesActive(QWidget* w, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (QApplication::activeWindow() != w && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
    return QApplication::activeWindow() == w;
  }
};

// The logs as a walk shows them: stacked above the main window, and in
// front again when the disabled main window is activated, as a click on it
// does; once the log is closed the main window keeps the front.
TEST_F(LogInFront, ALogShownByAWalkStaysInFrontOfTheMainWindow) {
  Start();
  Main->activateWindow();
  ASSERT_TRUE(BecomesActive(Main.get()));
  for (TfrmLog* log : {static_cast<TfrmLog*>(UploadLog.get()), static_cast<TfrmLog*>(DeleteLog.get())}) {
    SCOPED_TRACE(log->objectName().toStdString());
    if (log == UploadLog.get()) UploadLog->BeginUpload(); else DeleteLog->BeginDelete();
    ASSERT_TRUE(BecomesActive(log));
    ASSERT_NE(log->windowHandle(), nullptr);
    EXPECT_EQ(log->windowHandle()->transientParent(), Main->windowHandle());
    EXPECT_FALSE(Main->isEnabled());

    int activations = 0;
    struct Count : QObject {
      int& n;
      explicit Count(int& counter) : n(counter) {}
      bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::WindowActivate) ++n;
        return false;
      }
    } count(activations);
    Main->installEventFilter(&count);
    Main->activateWindow();
    QElapsedTimer t;
    t.start();
    while (activations == 0 && t.elapsed() < 5000) QApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_GT(activations, 0) << "the main window was never activated";
    EXPECT_TRUE(BecomesActive(log));
    Main->removeEventFilter(&count);

    if (log == UploadLog.get()) UploadLog->EndUpload(); else DeleteLog->EndDelete();
    log->close();
    EXPECT_EQ(log->windowHandle()->transientParent(), nullptr);
    Main->activateWindow();
    ASSERT_TRUE(BecomesActive(Main.get()));
    // A closed log does not come back: 300 ms after the activation the main
    // window still has the front.
    Wait(300);
    EXPECT_EQ(QApplication::activeWindow(), Main.get());
  }
}

}  // namespace
