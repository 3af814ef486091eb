// The load tester window's handlers outside the run engine: creation,
// showing and closing, the settings file, the option check boxes, the resize
// rules, print and copy, and the URL edits. The controls are built in
// HttpAsy1Layout.cpp, the run engine is in HttpAsy1Engine.cpp.
#include "loadtester/HttpAsy1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPrinterInfo>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTextEdit>

#include "loadtester/BrowserText.h"
#include "loadtester/splash.h"
#include "platform/messaging/messaging.h"
#include "platform/profile/inifile.h"
#include "platform/qt/qtext.h"
#include "platform/sysutils/sysutils.h"
#include "platform/ui/dialogs.h"

using plat::FromQ;
using plat::ToQ;

namespace {

// Enabled inputs show the window colour, disabled ones the button face.
void FollowCheck(QWidget* input, bool on) {
  input->setEnabled(on);
  QColor c = QApplication::palette().color(on ? QPalette::Base : QPalette::Button);
  QPalette pal = input->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) pal.setColor(group, QPalette::Base, c);
  input->setPalette(pal);
  if (auto* combo = qobject_cast<QComboBox*>(input)) {
    if (combo->lineEdit()) combo->lineEdit()->setPalette(pal);
  }
}

}  // namespace

// ---- creation, showing, closing ---------------------------------------------------

void THttpAsyForm::FormCreate() {
  PageControl2->setCurrentWidget(TabSheet8);
  DisplayMemo->clear();
  datamemo->clear();
  // Named after the executable: brontavel2.ini for Brontavel2 (or Brontavel2.exe).
  std::string exe = plat::ExtractFileName(plat::ExeName());
  if (exe.empty()) exe = "Brontavel2";
  std::string base = plat::LowerCase(exe);
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".exe") == 0) base.resize(base.size() - 4);
  inifilename = base + ".ini";
  activeclients.clear();
  setWindowTitle(ToQ("Brontavel V" + versionstr));
  loadstart = 0;
  reloadpending = false;
  Chart1->Title()->Clear();
  Chart2->Title()->Clear();
  // The dependent controls start in step with their check boxes.
  checkproxyClick();
  useusernameClick();
  useagentClick();
  RampClick();
  CheckBox2Click();
  PlaceWindow(false, false, false, false);
}

void THttpAsyForm::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (!e->spontaneous()) plat::Safely([this] { FormShow(); });
}

void THttpAsyForm::FormShow() {
  if (!settingsloaded) {
    settingsloaded = true;
    LoadSettings();
  }
  ExecButton->setEnabled(true);
  PageControl1->setCurrentWidget(TabSheet4);
  if (plat::ParamCount() >= 1) URLEdit->setText(ToQ(plat::ParamStr(1)));
}

void THttpAsyForm::closeEvent(QCloseEvent* e) {
  // A settings file that cannot be written is reported; the window closes
  // all the same.
  plat::Safely([this] { FormClose(); });
  e->accept();
  if (OnClosed) OnClosed();
}

void THttpAsyForm::FormClose() { SaveSettings(); }

// ---- settings file ------------------------------------------------------------------

void THttpAsyForm::LoadSettings() {
  plat::TIniFile ini(inifilename);
  auto text = [&](const char* key) { return ToQ(ini.ReadString("Data", key, "")); };
  auto flag = [&](const char* key, bool def) { return ini.ReadInteger("Data", key, def ? 1 : 0) != 0; };
  URLEdit->setText(text("URLEdit"));
  username->setText(text("Username"));
  agent->setEditText(text("agent"));
  proxy->setText(text("Proxy"));
  port->setText(text("Port"));
  HeaderCheckBox->setChecked(flag("DisplayHeader", false));
  DataCheckBox->setChecked(flag("DisplayData", false));
  onerroronlyCheckBox->setChecked(flag("only", false));
  checkproxy->setChecked(flag("UseProxy", false));
  useusername->setChecked(flag("UseUsername", false));
  useagent->setChecked(flag("Useagent", false));
  Checkshowgraph->setChecked(flag("showgraph", true));
  Checkcookie->setChecked(flag("Usecookie", false));
  Ramp->setChecked(flag("Useramp", false));
  SpinEdit1->SetValue(ini.ReadInteger("Data", "Requests", 5));
  SpinEdit2->SetValue(ini.ReadInteger("Data", "Runs", 1));
  SpinEdit3->SetValue(ini.ReadInteger("Data", "Wait", 0));
  CheckBox2->setChecked(flag("showbrowser", true));
  Chart2->setVisible(Ramp->isChecked());
  Panel3Resize();
  pw->clear();

  std::int64_t top = ini.ReadInteger("Window", "Top", INT64_MIN);
  std::int64_t left = ini.ReadInteger("Window", "Left", INT64_MIN);
  std::int64_t width = ini.ReadInteger("Window", "Width", INT64_MIN);
  std::int64_t height = ini.ReadInteger("Window", "Height", INT64_MIN);
  auto fits = [](std::int64_t v) { return v > -100000 && v < 100000; };
  QRect g = geometry();
  QPoint pos = this->pos();
  bool haveTop = fits(top), haveLeft = fits(left), haveWidth = fits(width) && width > 0,
       haveHeight = fits(height) && height > 0;
  if (haveWidth || haveHeight)
    resize(haveWidth ? static_cast<int>(width) : g.width(), haveHeight ? static_cast<int>(height) : g.height());
  if (haveTop || haveLeft) move(haveLeft ? static_cast<int>(left) : pos.x(), haveTop ? static_cast<int>(top) : pos.y());
  PlaceWindow(haveTop, haveLeft, haveWidth, haveHeight);
}

void THttpAsyForm::SaveSettings() {
  plat::TIniFile ini(inifilename);
  auto text = [](const QString& s) { return FromQ(s); };
  ini.WriteString("Data", "URLEdit", text(URLEdit->text()));
  ini.WriteString("Data", "username", text(username->text()));
  ini.WriteString("Data", "agent", text(agent->currentText()));
  ini.WriteString("Data", "Proxy", text(proxy->text()));
  ini.WriteString("Data", "Port", text(port->text()));
  ini.WriteBool("Data", "DisplayHeader", HeaderCheckBox->isChecked());
  ini.WriteBool("Data", "DisplayData", DataCheckBox->isChecked());
  ini.WriteBool("Data", "only", onerroronlyCheckBox->isChecked());
  ini.WriteInteger("Data", "Simultaneous", 1);
  ini.WriteBool("Data", "UseProxy", checkproxy->isChecked());
  ini.WriteBool("Data", "Useusername", useusername->isChecked());
  ini.WriteBool("Data", "Useagent", useagent->isChecked());
  ini.WriteBool("Data", "Usecookie", Checkcookie->isChecked());
  ini.WriteBool("Data", "Useramp", Ramp->isChecked());
  ini.WriteBool("Data", "showgraph", Checkshowgraph->isChecked());
  ini.WriteBool("Data", "showbrowser", CheckBox2->isChecked());
  ini.WriteInteger("Data", "requests", SpinEdit1->Value());
  ini.WriteInteger("Data", "runs", SpinEdit2->Value());
  ini.WriteInteger("Data", "Wait", SpinEdit3->Value());
  QRect g = isMaximized() || isMinimized() ? normalGeometry() : QRect(pos(), size());
  ini.WriteInteger("Window", "Top", g.top());
  ini.WriteInteger("Window", "Left", g.left());
  ini.WriteInteger("Window", "Width", g.width());
  ini.WriteInteger("Window", "Height", g.height());
}

// Without a stored place the window is centred; a window larger than the
// screen, or a stored place that lies off every screen, is brought back so
// that the user can reach it.
void THttpAsyForm::PlaceWindow(bool haveTop, bool haveLeft, bool haveWidth, bool haveHeight) {
  QScreen* screen = QGuiApplication::screenAt(frameGeometry().center());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  QRect avail = screen->availableGeometry();
  if (avail.isEmpty()) return;
  if (!haveWidth && !haveHeight) {
    resize(std::min(width(), avail.width()), std::min(height(), avail.height()));
  }
  bool visibleSomewhere = false;
  for (QScreen* s : QGuiApplication::screens()) {
    if (s->availableGeometry().intersects(QRect(pos(), size()))) visibleSomewhere = true;
  }
  if ((!haveTop && !haveLeft) || !visibleSomewhere) {
    move(avail.left() + (avail.width() - width()) / 2, avail.top() + (avail.height() - height()) / 2);
  }
}

// ---- option check boxes and resize rules -------------------------------------------

void THttpAsyForm::checkproxyClick() {
  FollowCheck(proxy, checkproxy->isChecked());
  FollowCheck(port, checkproxy->isChecked());
}

void THttpAsyForm::useusernameClick() {
  FollowCheck(username, useusername->isChecked());
  FollowCheck(pw, useusername->isChecked());
}

void THttpAsyForm::useagentClick() { FollowCheck(agent, useagent->isChecked()); }

void THttpAsyForm::RampClick() {
  Chart2->setVisible(Ramp->isChecked());
  Panel3Resize();
}

void THttpAsyForm::Panel3Resize() {
  QRect r = Panel3->contentsRect();
  int h2 = r.height() / 2;
  if (Chart2->isVisibleTo(Panel3)) {
    Chart2->setGeometry(r.left(), r.bottom() + 1 - h2, r.width(), h2);
    Chart1->setGeometry(r.left(), r.top(), r.width(), r.height() - h2);
  } else {
    Chart1->setGeometry(r);
  }
}

bool THttpAsyForm::eventFilter(QObject* watched, QEvent* e) {
  if (watched == TabSheet1 && e->type() == QEvent::Resize) plat::Safely([this] { TabSheet1Resize(); });
  if (watched == WebBrowser_V11 && e->type() == QEvent::Show) plat::Safely([this] { ResultsBrowserShown(); });
  return QMainWindow::eventFilter(watched, e);
}

// ---- print and copy -------------------------------------------------------------------

QPrinter* THttpAsyForm::Printer() {
  if (!Printer_) Printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
  return Printer_.get();
}

void THttpAsyForm::PrintChart(plat::TChart* chart) {
  QPrinter* printer = Printer();
  bool target = printer->outputFormat() == QPrinter::NativeFormat ? !QPrinterInfo::availablePrinters().isEmpty()
                                                                   : !printer->outputFileName().isEmpty();
  if (!target) {
    plat::ShowMessage("No printer is installed. Install a printer to print the graph.");
    return;
  }
  printer->setPageOrientation(QPageLayout::Landscape);
  if (!chart->Print(*printer)) plat::ShowMessage("The graph could not be printed.");
}

void THttpAsyForm::PrintGraph1Click() { PrintChart(Chart1); }
void THttpAsyForm::CopyGraph1Click() { Chart1->CopyToClipboardBitmap(); }
void THttpAsyForm::PrintGraph21Click() { PrintChart(Chart2); }
void THttpAsyForm::CopyGraph21Click() { Chart2->CopyToClipboardBitmap(); }

void THttpAsyForm::BitBtn4Click() { ShowAboutBox(this); }

void THttpAsyForm::SetStatusText(int panel, const std::string& text) {
  if (panel == 0) StatusPanel0->setText(ToQ(text));
}

std::string THttpAsyForm::StatusText(int panel) const { return panel == 0 ? FromQ(StatusPanel0->text()) : std::string(); }

// ---- URL edits and the results browser ----------------------------------------------

void THttpAsyForm::Edit2Change(QLineEdit* sender) {
  const QString text = sender->text();
  for (QLineEdit* e : {url1, URLEdit, Edit2}) {
    if (e != sender && e->text() != text) e->setText(text);
  }
}

void THttpAsyForm::CheckBox2Click() { WebBrowser_V11->setVisible(CheckBox2->isChecked()); }

void THttpAsyForm::TabSheet1Resize() {
  WebBrowser_V11->setGeometry(2, 20, TabSheet1->width() - 4, TabSheet1->height() - 4);
}

// ---- browse tab -----------------------------------------------------------------------

void THttpAsyForm::gotobuttonClick() {
  const std::string url = FromQ(url1->text());
  try {
    WebBrowser2Control.Navigate(url);
  } catch (const plat::EBrowserError& e) {
    Label15->setText(ToQ(browsertext::NavigateFailedText(url, e.Message)));
    plat::MessageBeep(plat::MB_ICONHAND);
  }
}

// The stopped load reports nothing more, so the line would go on saying
// "Loading": it says what the download tab's abort says.
void THttpAsyForm::stopbuttonClick() {
  WebBrowser2Control.Stop();
  Label15->setText(QStringLiteral("Status: Canceled"));
}

// Without an earlier page the browser's error goes to the error box.
void THttpAsyForm::BackbuttonClick() { WebBrowser2Control.GoBack(); }

// Whatever the browse tab goes to, frames included, becomes the URL to test.
void THttpAsyForm::WebBrowser2BeforeNavigate2(const std::string& url, bool&) { url1->setText(ToQ(url)); }

void THttpAsyForm::WebBrowser2StatusTextChange(const std::string& text) { Label15->setText(ToQ("Status: " + text)); }

// ---- download tab ---------------------------------------------------------------------
// "Start Test" loads the page once untimed, so that the timed complete
// reload started by its first document completion measures the page and
// everything on it fetched again from the server.

void THttpAsyForm::StartLoad() {
  Label11->setText(QStringLiteral("Time: 0ms"));
  Label12->setText(QStringLiteral("Status:"));
  loadstart = 0;
  reloadpending = true;
  const std::string url = FromQ(Edit2->text());
  try {
    WebBrowser1Control.Navigate(url);
  } catch (const plat::EBrowserError& e) {
    Label11->setText(ToQ(browsertext::NavigateFailedText(url, e.Message)));
    plat::MessageBeep(plat::MB_ICONHAND);
  }
}

void THttpAsyForm::Button7Click() {
  WebBrowser1Control.Stop();
  Label11->clear();
  Label12->setText(QStringLiteral("Status: Canceled"));
}

void THttpAsyForm::Button2Click() {
  loadstart = browsertext::TickDateTime(plat::TickMs());
  WebBrowser1Control.Refresh2(plat::REFRESH_COMPLETELY);
}

void THttpAsyForm::WebBrowser1DocumentComplete(const std::string&) {
  if (!reloadpending) return;
  reloadpending = false;
  Button2Click();
}

void THttpAsyForm::WebBrowser_V11ProgressChange(int progress, int progressMax) {
  if (loadstart == 0) return;
  const std::int64_t ms = browsertext::ElapsedMs(browsertext::TickDateTime(plat::TickMs()), loadstart);
  Label11->setText(ToQ(browsertext::ProgressTimeText(ms, progress, progressMax)));
}

void THttpAsyForm::WebBrowser_V11DownloadComplete() {
  if (loadstart == 0) return;
  const std::int64_t ms = browsertext::ElapsedMs(browsertext::TickDateTime(plat::TickMs()), loadstart);
  Label11->setText(ToQ(browsertext::DownloadTimeText(ms)));
}

void THttpAsyForm::WebBrowser_V11StatusTextChange(const std::string& text) { Label12->setText(ToQ("Status: " + text)); }

// ---- results browser ------------------------------------------------------------------

void THttpAsyForm::WebBrowser_V11BeforeNavigate(const std::string&, bool& cancel) {
  if (browsertext::ResultsNavigationCancelled(CheckBox2->isChecked(), ExecButton->isEnabled())) cancel = true;
}

// The rule is decided in the call that navigates, in the state the program
// navigates in, as the control asked it inside Navigate; the engine would
// ask only later, when the run may have ended and the rule says otherwise.
// A results browser that is not up yet starts only once the view can be
// seen: a test whose results view is never looked at never starts one.
void THttpAsyForm::NavigateResults(const std::string& url) {
  resultsurl = url;
  bool cancel = false;
  WebBrowser_V11BeforeNavigate(url, cancel);
  if (cancel) return;
  if (!WebBrowser_V11Control.Started()) {
    resultspending = url;
    if (!WebBrowser_V11->isVisible()) return;
    resultspending.clear();
  }
  WebBrowser_V11Control.NavigateApproved(url);
}

void THttpAsyForm::ResultsBrowserShown() {
  if (WebBrowser_V11Control.Started() || resultspending.empty()) return;
  std::string url;
  url.swap(resultspending);
  WebBrowser_V11Control.NavigateApproved(url);
}
