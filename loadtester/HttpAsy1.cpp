#include "loadtester/HttpAsy1.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPrinterInfo>
#include <QRegularExpression>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include "loadtester/AgentList.h"
#include "loadtester/splash.h"
#include "platform/profile/inifile.h"
#include "platform/qt/qtext.h"
#include "platform/sysutils/sysutils.h"
#include "platform/ui/dialogs.h"

using plat::FromQ;
using plat::ToQ;

namespace {

constexpr int kDesignWidth = 731;
constexpr int kDesignHeight = 826;

QFont BoldFont() {
  QFont f = QApplication::font();
  f.setBold(true);
  return f;
}

template <class W>
W* Named(W* w, const char* name) {
  w->setObjectName(QString::fromLatin1(name));
  return w;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const char* text, bool bold = false) {
  auto* l = Named(new QLabel(QString::fromLatin1(text), parent), name);
  if (bold) l->setFont(BoldFont());
  return l;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* text, bool bold = false) {
  auto* b = Named(new QPushButton(QString::fromLatin1(text), parent), name);
  if (bold) b->setFont(BoldFont());
  return b;
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const char* text) {
  return Named(new QCheckBox(QString::fromLatin1(text), parent), name);
}

QLineEdit* MakeEdit(QWidget* parent, const char* name) { return Named(new QLineEdit(parent), name); }

plat::TPanel* MakeBand(QWidget* parent, const char* name, const char* caption, int height) {
  auto* p = Named(new plat::TPanel(QString::fromLatin1(caption), parent), name);
  if (height > 0) p->setFixedHeight(height);
  return p;
}

// Placeholder for an embedded browser control.
QWidget* MakeBrowser(QWidget* parent, const char* name) {
  auto* w = Named(new QWidget(parent), name);
  w->setAutoFillBackground(true);
  QPalette pal = w->palette();
  pal.setColor(QPalette::Window, Qt::white);
  w->setPalette(pal);
  w->setAccessibleName(QString::fromLatin1(name));
  return w;
}

QString WithoutMnemonic(QString s) {
  s.remove(QRegularExpression(QStringLiteral("&(?!&)")));
  return s;
}

// A label names its input: it becomes the buddy (mnemonic, accessible name).
void Names(QLabel* label, QWidget* input) {
  label->setBuddy(input);
  input->setAccessibleName(WithoutMnemonic(label->text()));
}

// An input beside a check box is named by the check box's caption.
void NamedBy(const QString& caption, QWidget* input) { input->setAccessibleName(WithoutMnemonic(caption)); }

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

template <class Sender, class Signal, class Fn>
void THttpAsyForm::Bind(Sender* sender, Signal signal, Fn fn) {
  connect(sender, signal, this, [fn](auto&&...) { plat::Safely(fn); });
}

THttpAsyForm::THttpAsyForm(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("HttpAsyForm"));
  resize(kDesignWidth, kDesignHeight);

  StatusBar1 = Named(new QStatusBar(this), "StatusBar1");
  StatusPanel0 = Named(new QLabel(StatusBar1), "StatusBar1Panel0");
  StatusPanel0->setMinimumWidth(50);
  StatusBar1->addWidget(StatusPanel0, 1);
  setStatusBar(StatusBar1);

  PageControl2 = Named(new QTabWidget(this), "PageControl2");
  setCentralWidget(PageControl2);
  BuildBrowseTab();
  BuildLoadTestTab();
  BuildDownloadTab();
  BuildMenus();
  SetTabOrder();

  Timer1 = Named(new QTimer(this), "Timer1");
  Timer1->setTimerType(Qt::PreciseTimer);
  Bind(Timer1, &QTimer::timeout, [this] { Timer1Timer(); });

  plat::Safely([this] { FormCreate(); });
}

THttpAsyForm::~THttpAsyForm() { DetachClients(); }

void THttpAsyForm::BuildBrowseTab() {
  TabSheet8 = Named(new QWidget, "TabSheet8");
  PageControl2->addTab(TabSheet8, QStringLiteral("1st: Browse To A URL!"));
  auto* v = new QVBoxLayout(TabSheet8);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);

  Panel7 = MakeBand(TabSheet8, "Panel7", "Use this Web Browser to select the URL that you want to test!", 25);
  QPalette pal = Panel7->palette();
  pal.setColor(QPalette::WindowText, pal.color(QPalette::Highlight));
  Panel7->setPalette(pal);
  v->addWidget(Panel7);

  Panel8 = MakeBand(TabSheet8, "Panel8", "", 77);
  auto* g = new QGridLayout(Panel8);
  g->setContentsMargins(8, 6, 8, 6);
  Label13 = MakeLabel(Panel8, "Label13", "URL to test:", true);
  url1 = MakeEdit(Panel8, "url1");
  gotobutton = MakeButton(Panel8, "gotobutton", "Go to URL", true);
  stopbutton = MakeButton(Panel8, "stopbutton", "Stop");
  Backbutton = MakeButton(Panel8, "Backbutton", "Back");
  Label15 = MakeLabel(Panel8, "Label15", "Status: ");
  Names(Label13, url1);
  g->addWidget(Label13, 0, 0);
  g->addWidget(url1, 0, 1, 1, 3);
  g->addWidget(gotobutton, 0, 4);
  g->addWidget(stopbutton, 1, 0);
  g->addWidget(Backbutton, 1, 1);
  g->addWidget(Label15, 1, 2, 1, 3);
  g->setColumnStretch(3, 1);
  v->addWidget(Panel8);

  WebBrowser2 = MakeBrowser(TabSheet8, "WebBrowser2");
  v->addWidget(WebBrowser2, 1);

  Bind(gotobutton, &QPushButton::clicked, [this] { gotobuttonClick(); });
  Bind(stopbutton, &QPushButton::clicked, [this] { stopbuttonClick(); });
  Bind(Backbutton, &QPushButton::clicked, [this] { BackbuttonClick(); });
  Bind(url1, &QLineEdit::textChanged, [this] { Edit2Change(url1); });
}

void THttpAsyForm::BuildLoadTestTab() {
  TabSheet6 = Named(new QWidget, "TabSheet6");
  PageControl2->addTab(TabSheet6, QStringLiteral("2nd: Load Test The Server!"));
  auto* v = new QVBoxLayout(TabSheet6);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);

  Panel6 = MakeBand(TabSheet6, "Panel6",
                    "Measure how long the web server works to create and transmit the HTML (excluding graphics)!", 25);
  v->addWidget(Panel6);

  // The settings band.
  Panel4 = MakeBand(TabSheet6, "Panel4", "", 248);
  auto* g = new QGridLayout(Panel4);
  g->setContentsMargins(8, 6, 8, 6);
  g->setHorizontalSpacing(6);
  g->setVerticalSpacing(3);
  Label1 = MakeLabel(Panel4, "Label1", "URL to test:");
  URLEdit = MakeEdit(Panel4, "URLEdit");
  Names(Label1, URLEdit);
  g->addWidget(Label1, 0, 0);
  g->addWidget(URLEdit, 0, 1, 1, 5);

  Label2 = MakeLabel(Panel4, "Label2", "Number of Users:");
  SpinEdit1 = Named(new plat::TSpinEdit(Panel4), "SpinEdit1");
  SpinEdit1->SetBounds(1, 20000);
  SpinEdit1->SetValue(5);
  Label5 = MakeLabel(Panel4, "Label5", "Number of Runs:");
  SpinEdit2 = Named(new plat::TSpinEdit(Panel4), "SpinEdit2");
  SpinEdit2->SetBounds(1, 65536);
  SpinEdit2->SetValue(1);
  Label6 = MakeLabel(Panel4, "Label6", "Wait per Run (s):");
  SpinEdit3 = Named(new plat::TSpinEdit(Panel4), "SpinEdit3");
  SpinEdit3->SetBounds(0, 10000);
  SpinEdit3->SetValue(0);
  Names(Label2, SpinEdit1);
  Names(Label5, SpinEdit2);
  Names(Label6, SpinEdit3);
  g->addWidget(Label2, 1, 0);
  g->addWidget(SpinEdit1, 1, 1);
  g->addWidget(Label5, 1, 2);
  g->addWidget(SpinEdit2, 1, 3);
  g->addWidget(Label6, 1, 4);
  g->addWidget(SpinEdit3, 1, 5);

  Ramp = MakeCheck(Panel4, "Ramp", "Ramp-Test");
  Checkcookie = MakeCheck(Panel4, "Checkcookie", "Preserve Cookies");
  Checkshowgraph = MakeCheck(Panel4, "Checkshowgraph", "Exact Timing / Hide Graphs");
  g->addWidget(Ramp, 2, 0, 1, 2);
  g->addWidget(Checkcookie, 2, 2, 1, 2);
  g->addWidget(Checkshowgraph, 2, 4, 1, 2);

  HeaderCheckBox = MakeCheck(Panel4, "HeaderCheckBox", "Write Headers To Log");
  DataCheckBox = MakeCheck(Panel4, "DataCheckBox", "Write Data To Log");
  onerroronlyCheckBox = MakeCheck(Panel4, "onerroronlyCheckBox", "Write On Error Only");
  g->addWidget(HeaderCheckBox, 3, 0, 1, 2);
  g->addWidget(DataCheckBox, 3, 2, 1, 2);
  g->addWidget(onerroronlyCheckBox, 3, 4, 1, 2);

  checkproxy = MakeCheck(Panel4, "checkproxy", "Use Proxy:");
  proxy = MakeEdit(Panel4, "proxy");
  Label4 = MakeLabel(Panel4, "Label4", "Port:");
  port = MakeEdit(Panel4, "port");
  NamedBy(checkproxy->text(), proxy);
  Names(Label4, port);
  g->addWidget(checkproxy, 4, 0);
  g->addWidget(proxy, 4, 1, 1, 3);
  g->addWidget(Label4, 4, 4);
  g->addWidget(port, 4, 5);

  useusername = MakeCheck(Panel4, "useusername", "Use User:");
  username = MakeEdit(Panel4, "username");
  Label7 = MakeLabel(Panel4, "Label7", "Password:");
  pw = MakeEdit(Panel4, "pw");
  pw->setEchoMode(QLineEdit::Password);
  NamedBy(useusername->text(), username);
  Names(Label7, pw);
  g->addWidget(useusername, 5, 0);
  g->addWidget(username, 5, 1, 1, 3);
  g->addWidget(Label7, 5, 4);
  g->addWidget(pw, 5, 5);

  useagent = MakeCheck(Panel4, "useagent", "Use Agent:");
  agent = Named(new QComboBox(Panel4), "agent");
  agent->setEditable(true);
  agent->setInsertPolicy(QComboBox::NoInsert);
  agent->setMaxVisibleItems(20);
  for (const std::string& line : AgentPresetLines()) agent->addItem(ToQ(line));
  agent->setCurrentIndex(-1);
  agent->setEditText(QString());
  NamedBy(useagent->text(), agent);
  if (agent->lineEdit()) agent->lineEdit()->setAccessibleName(agent->accessibleName());
  g->addWidget(useagent, 6, 0);
  g->addWidget(agent, 6, 1, 1, 5);

  usekey = MakeCheck(Panel4, "usekey", "Key Offset");
  offset = Named(new plat::TSpinEdit(Panel4), "offset");
  offset->SetBounds(0, 0);
  offset->SetValue(0);
  Label8 = MakeLabel(Panel4, "Label8", "(@@ in URL is replaced with a number starting from offset)");
  QFont small = QApplication::font();
  small.setPointSizeF(std::max(6.0, small.pointSizeF() - 1));
  Label8->setFont(small);
  Names(Label8, offset);
  g->addWidget(usekey, 7, 0);
  g->addWidget(offset, 7, 1);
  g->addWidget(Label8, 7, 2, 1, 4);

  auto* buttons = new QHBoxLayout;
  ExecButton = MakeButton(Panel4, "ExecButton", "Start Test", true);
  AbortButton = MakeButton(Panel4, "AbortButton", "A&bort Test");
  Button1 = MakeButton(Panel4, "Button1", "About");
  buttons->addWidget(ExecButton);
  buttons->addWidget(AbortButton);
  buttons->addStretch(1);
  buttons->addWidget(Button1);
  g->addLayout(buttons, 8, 0, 1, 6);
  g->setColumnStretch(1, 1);
  g->setColumnStretch(3, 1);
  g->setColumnStretch(5, 1);
  v->addWidget(Panel4);

  // The results area: the inner page control, over a panel whose caption
  // shows while the pages are hidden during a test.
  Panel2 = MakeBand(TabSheet6, "Panel2", "Brontavel is working...", 0);
  auto* p2 = new QVBoxLayout(Panel2);
  p2->setContentsMargins(0, 0, 0, 0);
  PageControl1 = Named(new QTabWidget(Panel2), "PageControl1");
  p2->addWidget(PageControl1);
  v->addWidget(Panel2, 1);

  TabSheet4 = Named(new QWidget, "TabSheet4");
  PageControl1->addTab(TabSheet4, QStringLiteral("Graph"));
  auto* t4 = new QVBoxLayout(TabSheet4);
  t4->setContentsMargins(0, 0, 0, 0);
  Panel3 = MakeBand(TabSheet4, "Panel3", "Brontavel is running...", 0);
  t4->addWidget(Panel3);
  Chart1 = Named(new plat::TChart(Panel3), "Chart1");
  Series1 = Chart1->AddSeries(plat::skBar, "Series1");
  Series1->SetSeriesColor(QColor(255, 0, 0));
  Series2 = Chart1->AddSeries(plat::skPoint, "Series2");
  Series2->SetSeriesColor(QColor(255, 255, 0));
  Series2->SetPointSize(2);
  Chart2 = Named(new plat::TChart(Panel3), "Chart2");
  ramps = Chart2->AddSeries(plat::skLine, "ramps");
  ramps->SetSeriesColor(QColor(0, 0, 255));
  ramps2 = Chart2->AddSeries(plat::skLine, "ramps2");
  ramps2->SetSeriesColor(QColor(255, 0, 0));
  ramps2->SetVertAxis(plat::aRightAxis);
  Panel3->OnResize = [this](plat::TPanel*) { plat::Safely([this] { Panel3Resize(); }); };
  Chart1->OnResize = [this](plat::TChart* c) { plat::Safely([this, c] { Chart1Resize(c); }); };
  Chart2->OnResize = [this](plat::TChart* c) { plat::Safely([this, c] { Chart1Resize(c); }); };

  TabSheet9 = Named(new QWidget, "TabSheet9");
  PageControl1->addTab(TabSheet9, QStringLiteral("Results"));
  auto* t9 = new QVBoxLayout(TabSheet9);
  t9->setContentsMargins(0, 0, 0, 0);
  datamemo = Named(new QTextEdit(TabSheet9), "datamemo");
  datamemo->setAcceptRichText(true);
  datamemo->setAccessibleName(QStringLiteral("Results"));
  t9->addWidget(datamemo);

  TabSheet2 = Named(new QWidget, "TabSheet2");
  PageControl1->addTab(TabSheet2, QStringLiteral("Log"));
  auto* t2 = new QVBoxLayout(TabSheet2);
  t2->setContentsMargins(0, 0, 0, 0);
  DisplayMemo = Named(new QPlainTextEdit(TabSheet2), "DisplayMemo");
  DisplayMemo->setReadOnly(true);
  DisplayMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  DisplayMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  DisplayMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  DisplayMemo->setAccessibleName(QStringLiteral("Log"));
  t2->addWidget(DisplayMemo);

  // The results browser sits at fixed offsets that TabSheet1Resize keeps.
  TabSheet1 = Named(new QWidget, "TabSheet1");
  PageControl1->addTab(TabSheet1, QStringLiteral("Browserview (1st Req.)"));
  CheckBox2 = MakeCheck(TabSheet1, "CheckBox2", "Show HTML-Results in Browser");
  CheckBox2->setChecked(true);
  CheckBox2->move(2, 1);
  CheckBox2->adjustSize();
  WebBrowser_V11 = MakeBrowser(TabSheet1, "WebBrowser_V11");
  WebBrowser_V11->setGeometry(2, 20, 100, 100);
  label3 = MakeEdit(TabSheet1, "label3");
  label3->setVisible(false);
  NamedBy(PageControl1->tabText(PageControl1->indexOf(TabSheet1)), label3);
  TabSheet1->installEventFilter(this);
  Bind(CheckBox2, &QCheckBox::toggled, [this] { CheckBox2Click(); });

  TabSheet3 = Named(new QWidget, "TabSheet3");
  PageControl1->addTab(TabSheet3, QStringLiteral("Source (1st Req.)"));
  auto* t3 = new QVBoxLayout(TabSheet3);
  t3->setContentsMargins(0, 0, 0, 0);
  Memo1 = Named(new QPlainTextEdit(TabSheet3), "Memo1");
  Memo1->setReadOnly(true);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo1->setAccessibleName(QStringLiteral("Source (1st Req.)"));
  t3->addWidget(Memo1);

  TabSheet5 = Named(new QWidget, "TabSheet5");
  PageControl1->addTab(TabSheet5, QStringLiteral("Rcvd Headers (1st Req.)"));
  auto* t5 = new QVBoxLayout(TabSheet5);
  t5->setContentsMargins(0, 0, 0, 0);
  Memo2 = Named(new QPlainTextEdit(TabSheet5), "Memo2");
  Memo2->setReadOnly(true);
  Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo2->setAccessibleName(QStringLiteral("Rcvd Headers (1st Req.)"));
  t5->addWidget(Memo2);

  Bind(URLEdit, &QLineEdit::textChanged, [this] { Edit2Change(URLEdit); });
  Bind(checkproxy, &QCheckBox::toggled, [this] { checkproxyClick(); });
  Bind(useusername, &QCheckBox::toggled, [this] { useusernameClick(); });
  Bind(useagent, &QCheckBox::toggled, [this] { useagentClick(); });
  Bind(Ramp, &QCheckBox::toggled, [this] { RampClick(); });
  Bind(ExecButton, &QPushButton::clicked, [this] { ExecButtonClick(); });
  Bind(AbortButton, &QPushButton::clicked, [this] { AbortButtonClick(); });
  Bind(Button1, &QPushButton::clicked, [this] { BitBtn4Click(); });
}

void THttpAsyForm::BuildDownloadTab() {
  TabSheet7 = Named(new QWidget, "TabSheet7");
  PageControl2->addTab(TabSheet7, QStringLiteral("3rd: Measure Client's Download Time!"));
  auto* v = new QVBoxLayout(TabSheet7);
  v->setContentsMargins(0, 0, 0, 0);
  v->setSpacing(0);
  Panel5 = MakeBand(TabSheet7, "Panel5",
                    "Measure how long the web browser works to download the complete page including graphics!", 25);
  v->addWidget(Panel5);

  Panel1 = MakeBand(TabSheet7, "Panel1", "", 88);
  auto* g = new QGridLayout(Panel1);
  g->setContentsMargins(8, 6, 8, 6);
  Label10 = MakeLabel(Panel1, "Label10", "URL to test:", true);
  Edit2 = MakeEdit(Panel1, "Edit2");
  Names(Label10, Edit2);
  Button6 = MakeButton(Panel1, "Button6", "Start Test", true);
  Button7 = MakeButton(Panel1, "Button7", "A&bort Test");
  Button8 = MakeButton(Panel1, "Button8", "About");
  Label12 = MakeLabel(Panel1, "Label12", "Status: ");
  Label11 = MakeLabel(Panel1, "Label11", "Time: ");
  g->addWidget(Label10, 0, 0);
  g->addWidget(Edit2, 0, 1, 1, 4);
  g->addWidget(Button6, 1, 0);
  g->addWidget(Button7, 1, 1);
  g->addWidget(Button8, 1, 4);
  g->addWidget(Label12, 2, 0, 1, 2);
  g->addWidget(Label11, 2, 2, 1, 3);
  g->setColumnStretch(3, 1);
  v->addWidget(Panel1);

  WebBrowser1 = MakeBrowser(TabSheet7, "WebBrowser1");
  v->addWidget(WebBrowser1, 1);

  Bind(Edit2, &QLineEdit::textChanged, [this] { Edit2Change(Edit2); });
  Bind(Button6, &QPushButton::clicked, [this] { StartLoad(); });
  Bind(Button7, &QPushButton::clicked, [this] { Button7Click(); });
  Bind(Button8, &QPushButton::clicked, [this] { BitBtn4Click(); });
}

void THttpAsyForm::BuildMenus() {
  PopupMenu2 = Named(new QMenu(this), "PopupMenu2");
  MenuItem1 = Named(PopupMenu2->addAction(QStringLiteral("Print Graph")), "MenuItem1");
  MenuItem2 = Named(PopupMenu2->addAction(QStringLiteral("Copy Graph")), "MenuItem2");
  Chart1->SetPopupMenu(PopupMenu2);
  PopupMenu1 = Named(new QMenu(this), "PopupMenu1");
  PrintGraph21 = Named(PopupMenu1->addAction(QStringLiteral("Print Graph")), "PrintGraph21");
  CopyGraph21 = Named(PopupMenu1->addAction(QStringLiteral("Copy Graph")), "CopyGraph21");
  Chart2->SetPopupMenu(PopupMenu1);
  Bind(MenuItem1, &QAction::triggered, [this] { PrintGraph1Click(); });
  Bind(MenuItem2, &QAction::triggered, [this] { CopyGraph1Click(); });
  Bind(PrintGraph21, &QAction::triggered, [this] { PrintGraph21Click(); });
  Bind(CopyGraph21, &QAction::triggered, [this] { CopyGraph21Click(); });
}

// Tab order follows the layout: each band left to right, top to bottom.
void THttpAsyForm::SetTabOrder() {
  auto chain = [](std::initializer_list<QWidget*> ws) {
    QWidget* prev = nullptr;
    for (QWidget* w : ws) {
      if (prev) QWidget::setTabOrder(prev, w);
      prev = w;
    }
  };
  chain({url1, gotobutton, stopbutton, Backbutton, WebBrowser2});
  chain({URLEdit, SpinEdit1, SpinEdit2, SpinEdit3, Ramp, Checkcookie, Checkshowgraph, HeaderCheckBox, DataCheckBox,
         onerroronlyCheckBox, checkproxy, proxy, port, useusername, username, pw, useagent, agent, usekey, offset,
         ExecButton, AbortButton, Button1, PageControl1, Chart1, Chart2, datamemo, DisplayMemo, CheckBox2,
         WebBrowser_V11, Memo1, Memo2});
  chain({Edit2, Button6, Button7, Button8, WebBrowser1});
  for (QWidget* w : {static_cast<QWidget*>(WebBrowser2), WebBrowser_V11, WebBrowser1}) w->setFocusPolicy(Qt::StrongFocus);
}

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

// The browser tabs' commands come with the browser control.
void THttpAsyForm::gotobuttonClick() {}
void THttpAsyForm::stopbuttonClick() {}
void THttpAsyForm::BackbuttonClick() {}
void THttpAsyForm::StartLoad() {}
void THttpAsyForm::Button7Click() {}
void THttpAsyForm::Button2Click() {}

// The run engine's handlers are in HttpAsy1Engine.cpp.
