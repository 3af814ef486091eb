// The run engine of the load tester window: "Start Test", the runs and their
// clients, each request's completion with its statistics and chart points,
// the header, data and redirect logging, and the abort.
#include "loadtester/HttpAsy1Engine.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "loadtester/BrowserText.h"
#include "loadtester/HttpAsy1.h"
#include "loadtester/RunText.h"
#include "loadtester/splash.h"
#include "platform/fs/fs.h"
#include "platform/messaging/messaging.h"
#include "platform/qt/qtext.h"
#include "platform/sysutils/sysutils.h"
#include "platform/ui/dialogs.h"

using plat::FromQ;
using plat::ToQ;

std::int64_t teststartms = 0;
std::int64_t runstart = 0;
std::int64_t runbytes = 0;
plat::TFileStream* tempstream = nullptr;
std::string programfolderoverride;

namespace {

const char* const kCookieFile = "cookies.txt";

std::string Str(std::int64_t v) { return std::to_string(v); }

// The program's folder with its trailing separator (empty when unknown).
std::string ProgramFolder() {
  if (!programfolderoverride.empty()) return programfolderoverride;
  std::string exe = plat::ExeName();
  std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

// The text views show lines; CR LF and lone CR become their line breaks.
QString ViewText(const std::string& s) {
  std::string t;
  t.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') {
      t += '\n';
      if (i + 1 < s.size() && s[i + 1] == '\n') ++i;
    } else {
      t += s[i];
    }
  }
  return ToQ(t);
}

mythttpcli* AsClient(plat::TObject* sender) { return dynamic_cast<mythttpcli*>(sender); }

}  // namespace

std::string EngineDataFolder() {
  std::string dir = plat::DataFolder() + "/brontavel2/";
  // A folder that cannot be made shows as the file that cannot be saved.
  plat::ForceDirectories(dir);
  return dir;
}

std::string THttpAsyForm::replacestr(const std::string& source, const std::string& pattern,
                                     const std::string& replacement) {
  return runtext::replacestr(source, pattern, replacement);
}

// ---- log and results --------------------------------------------------------------

// Lines reach the view in batches, once control is back in the event loop:
// the view lays itself out again for every append, which would cost as much
// as the rest of the engine's work together. The stamp is taken at once.
void THttpAsyForm::log(const std::string& text) {
  if (logpending.empty()) QTimer::singleShot(0, this, [this] { FlushLog(); });
  logpending += runtext::NowText();
  logpending += ": ";
  logpending += text;
  logpending += '\n';
}

void THttpAsyForm::FlushLog() {
  if (logpending.empty()) return;
  logpending.pop_back();
  DisplayMemo->appendPlainText(ViewText(logpending));
  logpending.clear();
}

void THttpAsyForm::logdata(const std::string& text) { logdata(text, false); }

void THttpAsyForm::logdata(const std::string& text, bool bold) {
  QTextDocument* doc = datamemo->document();
  QTextCursor c(doc);
  c.movePosition(QTextCursor::End);
  QTextCharFormat f;
  f.setFontWeight(bold ? QFont::Bold : QFont::Normal);
  QTextCharFormat plain;
  plain.setFontWeight(QFont::Normal);
  if (!doc->isEmpty()) c.insertBlock();
  c.insertText(ViewText(text), f);
  c.insertBlock();
  c.insertText(QStringLiteral(" "), plain);
}

// ---- errors that must not interrupt a handler half-way -------------------------------

// "cookies.txt" trouble is logged at once and shown when the handler that met
// it has finished, so that the message box's own event loop never runs inside
// the start loop or half-way through a completion.
void THttpAsyForm::ReportEngineError(const std::string& message) {
  log(message);
  if (pendingerror.empty()) pendingerror = message;
}

void THttpAsyForm::FlushEngineErrors() {
  if (pendingerror.empty()) return;
  std::string m;
  m.swap(pendingerror);
  plat::ShowApplicationError(m);
}

void THttpAsyForm::DetachClients() {
  if (Timer1) Timer1->stop();
  std::vector<mythttpcli*> clients;
  clients.swap(activeclients);
  for (mythttpcli* c : clients) {
    c->OnRequestDone = nullptr;
    c->OnHeaderData = nullptr;
    c->OnDocData = nullptr;
    c->OnLocationChange = nullptr;
    c->RcvdStream = nullptr;
    plat::Free(c);
  }
  if (tempstream) plat::FreeAndNil(tempstream);
  if (clientowner) plat::FreeAndNil(clientowner);
}

// ---- Start Test ----------------------------------------------------------------------

void THttpAsyForm::ExecButtonClick() {
  // A tick left over from an earlier test's wait would start a run of its own.
  Timer1->stop();

  SetStatusText(0, "Starting...");
  Memo1->clear();
  Memo2->clear();
  ramps->Clear();
  preverrors = 0;
  ramps2->Clear();

  const std::int64_t users = SpinEdit1->Value();
  const std::int64_t runs = SpinEdit2->Value();
  const std::int64_t wait = SpinEdit3->Value();
  if (users > 100)
    plat::ShowMessage(
        "Please remember: With more than 100 concurrent users the time measurement may not be exact "
        "(depending on the client machine performance), select fewer users for exact timing!");

  runbytes = 0;
  const bool hide = Checkshowgraph->isChecked();
  Chart1->setVisible(!hide);
  PageControl1->setVisible(!hide);
  Panel3->repaint();

  userabort = false;
  avgsum = 0;
  runsaveraged = 0;
  runindex = 0;

  Chart1->Title()->Clear();
  Chart2->Title()->Clear();
  Chart1->LeftAxis()->SetAutomatic(true);
  Chart1->LeftAxis()->SetMinimum(0);
  Chart1->LeftAxis()->SetAutomaticMaximum(true);
  Chart1->BottomAxis()->SetTitle("start time |ms|");

  const std::string url = FromQ(URLEdit->text());
  const std::string u = runtext::TitleUrl(url);
  Chart1->Title()->Add("Load test: " + u);
  if (Ramp->isChecked()) {
    Chart1->Title()->Clear();
    Chart2->Title()->Clear();
    Chart1->Title()->Add("Ramp test: " + u);
    Chart2->Title()->Add("Ramp test: " + u);
  }

  runtext::TestSettings ts;
  ts.users = users;
  ts.runs = runs;
  ts.wait = wait;
  ts.ramp = Ramp->isChecked();
  ts.useusername = useusername->isChecked();
  ts.username = FromQ(username->text());
  const std::string s = runtext::SettingsText(ts);
  const std::string proxytext = FromQ(proxy->text()) + ":" + FromQ(port->text());
  const std::string agenttext = FromQ(agent->currentText());

  Chart1->Foot()->Clear();
  Chart1->Foot()->Add("green=ok, red=error, white=timeout");
  Chart1->Foot()->Add(checkproxy->isChecked() ? s + " - using proxy: " + proxytext : s);
  Chart1->Foot()->Add("Average times:");

  logpending.clear();
  DisplayMemo->clear();
  datamemo->clear();

  log("Server Load Test Logfile (by Brontavel Version " + versionstr + ")");
  logdata("Server Load Test Results (by Brontavel Version " + versionstr + ")");
  log("Tested URL: " + url);
  logdata("Tested URL: " + url, true);
  log(" ");
  log("Settings: " + s);
  log("Settings: Proxy: " + proxytext);
  log("Settings: User Agent: " + agenttext);
  logdata("Settings: " + s);
  log("Settings: User Agent: " + agenttext);
  log("Test is started");
  logdata("Test run on " + runtext::NowText());
  log(std::string(52, '-'));

  teststartms = plat::TickMs();

  Series1->Clear();
  Series2->Clear();
  statuscodes.Reset();

  cookiefailed = false;
  if (tempstream) plat::FreeAndNil(tempstream);
  temppath.clear();
  if (Checkcookie->isChecked()) {
    std::ofstream f(kCookieFile, std::ios::binary | std::ios::trunc);
    if (!f) {
      cookiefailed = true;
      ReportEngineError("Cannot create file cookies.txt");
    }
  }

  ExecButton->setEnabled(false);
  NavigateResults("about:blank");
  plat::ProcessMessages();

  log("START RUN: " + Str(runindex + 1));
  runstart = plat::TickMs();
  StartRun();
}

// ---- one run -------------------------------------------------------------------------

// Trouble with "cookies.txt" met while the clients start is shown once the
// start loop is over, also when a StartGet raised and ended it.
void THttpAsyForm::StartRun() {
  try {
    startsimultrun();
  } catch (...) {
    FlushEngineErrors();
    throw;
  }
  FlushEngineErrors();
}

void THttpAsyForm::startsimultrun() {
  if (!activeclients.empty()) {
    plat::MessageBeep(plat::MB_OK);
    return;
  }

  std::ifstream cookies;
  bool replay = false;
  if (runindex > 0 && Checkcookie->isChecked() && !cookiefailed) {
    cookies.open(kCookieFile, std::ios::binary);
    if (cookies) {
      replay = true;
    } else {
      cookiefailed = true;
      ReportEngineError("Cannot open file cookies.txt");
    }
  }

  const std::int64_t users = SpinEdit1->Value();
  const std::int64_t runs = SpinEdit2->Value();
  runusers = static_cast<std::int32_t>(users);
  if (Ramp->isChecked()) runusers = runtext::RampUsers(users, runs, runindex);

  if (!clientowner) clientowner = new plat::TComponent(nullptr);

  std::int64_t last = plat::TickMs();
  for (std::int32_t i = 1; i <= runusers; ++i) {
    // Every request gets a start stamp of its own: wait for the clock's next
    // step, without handling any message meanwhile.
    while (plat::TickMs() == last) {
    }
    auto* c = new mythttpcli(clientowner);
    SetStatusText(0, "Starting Request " + Str(i) + " of run " + Str(runindex + 1));

    const bool user = useusername->isChecked();
    c->Username = user ? FromQ(username->text()) : std::string();
    c->Agent = useagent->isChecked() ? FromQ(agent->currentText()) : std::string();
    c->Password = user ? FromQ(pw->text()) : std::string();
    const bool viaproxy = checkproxy->isChecked();
    c->Proxy = viaproxy ? FromQ(proxy->text()) : std::string();
    c->ProxyPort = viaproxy ? FromQ(port->text()) : std::string();

    if (replay) {
      std::string line;
      if (!std::getline(cookies, line)) line.clear();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      c->Cookie = runtext::CookieHeader(line);
    }

    activeclients.push_back(c);
    c->Tag = plat::TickMs();
    last = plat::TickMs();

    c->URL = FromQ(URLEdit->text());
    c->OnRequestDone = [this](plat::TObject* sender, THttpRequest rq, std::uint16_t error) {
      plat::Safely([&] { SimultRequestDone(sender, static_cast<std::uint8_t>(rq), error); });
    };
    c->OnHeaderData = [this](plat::TObject* sender) { plat::Safely([&] { HttpCli1HeaderData(sender); }); };
    c->OnDocData = [this](plat::TObject* sender, const void* buffer, int len) {
      plat::Safely([&] { HttpCli1DocData(sender, buffer, len); });
    };
    c->RequestNo = i;
    c->OnLocationChange = [this](plat::TObject* sender) { plat::Safely([&] { HttpCli1LocationChange(sender); }); };

    if (usekey->isChecked()) {
      const std::int64_t key = offset->Value() + c->RequestNo;
      c->URL = replacestr(c->URL, "@@", Str(key));
      log("Starting Request " + Str(i) + ", Key: " + Str(key));
    } else {
      log("Starting Request " + Str(i));
    }

    if (runindex == 0 && i == 1) {
      // The program's folder first; where that cannot take the file, the
      // user's data folder.
      std::string path;
      for (const std::string& folder : {ProgramFolder(), EngineDataFolder()}) {
        if (folder.empty()) continue;
        path = folder + "temp.htm";
        std::remove(path.c_str());
        try {
          tempstream = new plat::TFileStream(path, plat::fmCreate);
          break;
        } catch (const plat::EStreamError&) {
        }
      }
      if (tempstream) {
        temppath = path;
        c->RcvdStream = tempstream;
        log("Data is being saved to " + path);
      } else {
        log("Could not save data to " + (path.empty() ? std::string("temp.htm") : path));
      }
    }

    c->StartGet();
  }
}

void THttpAsyForm::Timer1Timer() {
  runbytes = 0;
  Timer1->stop();
  runstart = plat::TickMs();
  ExecButton->setEnabled(false);
  log("");
  log("START RUN: " + Str(runindex + 1));
  StartRun();
}

void THttpAsyForm::AbortButtonClick() {
  Chart1->setVisible(true);
  PageControl1->setVisible(true);
  userabort = true;
  runindex = static_cast<std::int32_t>(SpinEdit2->Value());
  Timer1->stop();
  // No completion arrives inside Abort, but walk a copy all the same.
  const std::vector<mythttpcli*> clients = activeclients;
  for (mythttpcli* c : clients) c->Abort();
}

// ---- completion of one request ------------------------------------------------------

void THttpAsyForm::SimultRequestDone(plat::TObject* sender, std::uint8_t, std::uint16_t error) {
  mythttpcli* c = AsClient(sender);
  if (!c) return;
  const std::int64_t d = plat::TickMs() - c->Tag;
  const int status = c->StatusCode();
  log("Request " + Str(c->RequestNo) + " Done: " + Str(d) + " ms, StatusCode = " + Str(status) +
      ", Error = " + Str(error));
  if (c->RequestNo % 10 == 0)
    SetStatusText(0, "Request " + Str(c->RequestNo) + " of run " + Str(runindex + 1) + " done.");

  const double x = static_cast<double>(c->Tag - teststartms);
  const double y = static_cast<double>(d);
  QColor barColour, pointColour;
  std::string label;
  if (status == 200) {
    barColour = QColor(0, 128, 0);
    pointColour = QColor(255, 255, 0);
  } else if (status == 0) {
    barColour = pointColour = QColor(255, 255, 255);
    label = "TimeOut";
  } else {
    barColour = pointColour = QColor(255, 0, 0);
    label = "E" + Str(status);
  }
  if (SpinEdit1->Value() * SpinEdit2->Value() < 1000) Series1->AddXY(x, y, label, barColour);
  Series2->AddXY(x, y, label, pointColour);

  endstamp = plat::TickMs();
  statusadd(status);
  Chart1Resize(Chart1);

  auto it = std::find(activeclients.begin(), activeclients.end(), c);
  if (it != activeclients.end()) activeclients.erase(it);

  if (runindex == 0 && c->RcvdHeader() && c->RcvdHeader()->Count() > 0 && Checkcookie->isChecked() &&
      !cookiefailed) {
    std::ofstream f(kCookieFile, std::ios::binary | std::ios::app);
    f << runtext::CookieLine(*c->RcvdHeader()) << "\r\n";
    f.close();
    if (!f) {
      cookiefailed = true;
      ReportEngineError("Cannot write to file cookies.txt");
    }
  }

  if (tempstream && c->RcvdStream == tempstream) {
    c->RcvdStream = nullptr;
    plat::FreeAndNil(tempstream);
    if (!Checkshowgraph->isChecked()) ShowFirstResponse();
    Memo2->clear();
    if (c->RcvdHeader())
      for (int i = 0; i < c->RcvdHeader()->Count(); ++i) Memo2->appendPlainText(ToQ((*c->RcvdHeader())[i]));
    Memo2->appendPlainText(QString());
  }

  plat::Free(c);

  if (activeclients.empty()) EndRun();
  FlushEngineErrors();
}

void THttpAsyForm::ShowFirstResponse() {
  const std::string path = temppath.empty() ? ProgramFolder() + "temp.htm" : temppath;
  std::error_code ec;
  if (temppath.empty() || !std::filesystem::is_regular_file(path, ec)) {
    log("No first response to show: " + path + " is missing");
    return;
  }
  // The browser is given the file's own address; the hidden edit keeps the
  // text as the program has always shown it.
  NavigateResults(browsertext::FileAddress(path));
  label3->setText(ToQ("file://" + path));
  try {
    showsource(path);
  } catch (const plat::EStreamError&) {
    log("No first response to show: " + path + " is missing");
  }
}

void THttpAsyForm::showsource(const std::string& fileName) {
  const std::string t = runtext::ReadTextLines(fileName);
  Memo1->setPlainText(ViewText(runtext::SourceViewText(t)));
  log("Received " + Str(static_cast<std::int64_t>(t.size())) + " Bytes (1st Request)");
  logdata("Number of Bytes in Result: " + Str(static_cast<std::int64_t>(t.size())) + " Bytes (1st Request)");
}

void THttpAsyForm::statusadd(std::int32_t code) {
  statuscodes.Add(code);
  Chart1->Foot()->SetString(0, statuscodes.FooterLine());
}

void THttpAsyForm::Chart1Resize(plat::TChart*) {
  const int n = Series1->Count();
  if (n > Chart1->width() - 200) {
    Series1->SetBarStyle(plat::bsRectangle);
    Series1->SetDark3D(false);
  } else {
    Series1->SetBarStyle(plat::bsRectGradient);
    Series1->SetDark3D(true);
  }
  Series1->SetCustomBarWidth(n > 30 ? 2 : 0);
}

void THttpAsyForm::EndRun() {
  ExecButton->setEnabled(true);
  SetStatusText(0, "");
  const bool ramp = Ramp->isChecked();
  if (!userabort) {
    if (runindex == 0 && Checkshowgraph->isChecked()) ShowFirstResponse();
    const long double ms = static_cast<long double>(endstamp - runstart);
    for (const std::string& line : runtext::RunSummaryLines(ms, runusers, runbytes)) log(line);
    avgsum += runtext::SafeDiv(ms, runusers);
    runsaveraged += 1;
    const long double a = avgsum / runsaveraged;
    const std::string line2 = runtext::AverageLine(ramp, runusers, runsaveraged, a);
    Chart1->Foot()->SetString(2, line2);
    if (ramp) {
      const std::int64_t errors = statuscodes.Errors();
      ramps->AddXY(runusers, static_cast<double>(a));
      ramps2->AddXY(runusers, static_cast<double>(runtext::RampErrorPercent(errors, preverrors, runusers)));
      preverrors = errors;
    }
    log("RUN DONE");
    log(std::string(51, '='));
    log("");
    if (!ramp) log("Average Results of All Runs:");
    log(line2);
    logdata(plat::Trim(line2), true);
    log(" ");
    if (ramp) {
      avgsum = 0;
      runsaveraged = 0;
    }
  }
  if (runindex < SpinEdit2->Value() - 1) {
    ++runindex;
    Timer1->setTimerType(Qt::PreciseTimer);
    Timer1->setInterval(static_cast<int>(SpinEdit3->Value() * 1000 + 5));
    Timer1->start();
  } else {
    Chart1->setVisible(true);
    PageControl1->setVisible(true);
  }
}

// ---- header lines, body data and redirects ----------------------------------------------

void THttpAsyForm::HttpCli1HeaderData(plat::TObject* sender) {
  mythttpcli* c = AsClient(sender);
  if (!c || !HeaderCheckBox->isChecked()) return;
  if (c->StatusCode() == 200 && onerroronlyCheckBox->isChecked()) return;
  log("Headers: " + c->RcvdLine());
}

void THttpAsyForm::HttpCli1DocData(plat::TObject* sender, const void* buffer, int len) {
  mythttpcli* c = AsClient(sender);
  if (!c) return;
  const char* p = static_cast<const char*>(buffer);
  const std::size_t n = (p && len > 0) ? strnlen(p, static_cast<std::size_t>(len)) : 0;
  if (runbytes == 0) {
    const std::int64_t now = plat::TickMs();
    log("Time to first byte of request " + Str(c->RequestNo) + ": ~" + Str(now - c->Tag) + " msec");
    if (runindex == 0) logdata("Time to first byte: ~" + Str(now - runstart) + " msec");
  }
  runbytes += static_cast<std::int64_t>(n);
  if (DataCheckBox->isChecked() && !(c->StatusCode() == 200 && onerroronlyCheckBox->isChecked())) {
    log(std::string(42, '-'));
    log(std::string(p ? p : "", n));
    log(std::string(42, '-'));
  }
}

void THttpAsyForm::HttpCli1LocationChange(plat::TObject* sender) {
  mythttpcli* c = AsClient(sender);
  if (!c) return;
  const std::int64_t t = plat::TickMs() - c->Tag;
  const std::string target = c->ConnectHost() + c->Path();
  log("Request " + Str(c->RequestNo) + " Redirect: " + Str(t) + " ms, StatusCode = " + Str(c->StatusCode()) +
      ": redirected to " + target);
  logdata("Redirected to: " + target);
}
