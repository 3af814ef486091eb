// The load tester window's controls: their creation, places, names for
// the screen reader, tab order and the signals bound to the handlers.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "loadtester/AgentList.h"
#include "loadtester/HttpAsy1.h"
#include "platform/qt/qtext.h"
#include "platform/qt/statuslabel.h"
#include "platform/qt/webengine/webbrowser.h"
#include "platform/ui/dialogs.h"

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

// A status or time line: its texts can be long ("Status: Loading " and a
// whole address) and must not push the buttons and edits of its band.
QLabel* MakeStatusLabel(QWidget* parent, const char* name, const char* text) {
  return Named(new plat::TStatusLabel(QString::fromLatin1(text), parent), name);
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

// Where a browser shows: white until its browser starts and fills it.
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

// A page of `tabs` whose contents stand in a column without margins.
QVBoxLayout* AddPage(QTabWidget* tabs, QWidget*& sheet, const char* name, const char* caption) {
  sheet = Named(new QWidget, name);
  tabs->addTab(sheet, QString::fromLatin1(caption));
  auto* v = new QVBoxLayout(sheet);
  v->setContentsMargins(0, 0, 0, 0);
  return v;
}

// A read-only text view with a vertical scroll bar, named for the screen
// reader.
QPlainTextEdit* MakeTextView(QWidget* parent, const char* name, const char* accessibleName) {
  auto* t = Named(new QPlainTextEdit(parent), name);
  t->setReadOnly(true);
  t->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  t->setAccessibleName(QString::fromLatin1(accessibleName));
  return t;
}

}  // namespace

template <class Sender, class Signal, class Fn>
void THttpAsyForm::Bind(Sender* sender, Signal signal, Fn fn) {
  connect(sender, signal, this, [fn](auto&&...) { plat::Safely(fn); });
}

THttpAsyForm::THttpAsyForm(QWidget* parent)
    : QMainWindow(parent),
      WebBrowser2Control([this] { return plat::MakeWebBrowser(WebBrowser2, {}); }),
      // The results browser shows what the tested server sent, from a local
      // file: that page must not read this machine's files.
      WebBrowser_V11Control([this] {
        plat::TBrowserOptions confined;
        confined.confineLocalContent = true;
        return plat::MakeWebBrowser(WebBrowser_V11, confined);
      }),
      WebBrowser1Control([this] { return plat::MakeWebBrowser(WebBrowser1, {}); }) {
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
  BindBrowsers();
  BuildMenus();
  SetTabOrder();

  Timer1 = Named(new QTimer(this), "Timer1");
  Timer1->setTimerType(Qt::PreciseTimer);
  Bind(Timer1, &QTimer::timeout, [this] { Timer1Timer(); });

  plat::Safely([this] { FormCreate(); });
}

THttpAsyForm::~THttpAsyForm() { DetachClients(); }

void THttpAsyForm::BuildBrowseTab() {
  auto* v = AddPage(PageControl2, TabSheet8, "TabSheet8", "1st: Browse To A URL!");
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
  Label15 = MakeStatusLabel(Panel8, "Label15", "Status: ");
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
  auto* v = AddPage(PageControl2, TabSheet6, "TabSheet6", "2nd: Load Test The Server!");
  v->setSpacing(0);
  Panel6 = MakeBand(TabSheet6, "Panel6",
                    "Measure how long the web server works to create and transmit the HTML (excluding graphics)!", 25);
  v->addWidget(Panel6);
  BuildSettingsBand(v);
  BuildResultsArea(v);

  Bind(URLEdit, &QLineEdit::textChanged, [this] { Edit2Change(URLEdit); });
  Bind(checkproxy, &QCheckBox::toggled, [this] { checkproxyClick(); });
  Bind(useusername, &QCheckBox::toggled, [this] { useusernameClick(); });
  Bind(useagent, &QCheckBox::toggled, [this] { useagentClick(); });
  Bind(Ramp, &QCheckBox::toggled, [this] { RampClick(); });
  Bind(ExecButton, &QPushButton::clicked, [this] { ExecButtonClick(); });
  Bind(AbortButton, &QPushButton::clicked, [this] { AbortButtonClick(); });
  Bind(Button1, &QPushButton::clicked, [this] { BitBtn4Click(); });
}

// The settings band: the inputs of a test in a grid of six columns, its
// buttons in the last row.
void THttpAsyForm::BuildSettingsBand(QVBoxLayout* v) {
  Panel4 = MakeBand(TabSheet6, "Panel4", "", 248);
  auto* g = new QGridLayout(Panel4);
  g->setContentsMargins(8, 6, 8, 6);
  g->setHorizontalSpacing(6);
  g->setVerticalSpacing(3);
  BuildTestInputs(g);
  BuildRequestOptions(g);

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
}

// Rows 0 to 3: the URL, users, runs and wait, and the test's check boxes.
void THttpAsyForm::BuildTestInputs(QGridLayout* g) {
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
}

// Rows 4 to 7: proxy, user and password, agent and key offset, each input
// beside the check box or label that names it.
void THttpAsyForm::BuildRequestOptions(QGridLayout* g) {
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
}

// The results area: the inner page control, over a panel whose caption
// shows while the pages are hidden during a test.
void THttpAsyForm::BuildResultsArea(QVBoxLayout* v) {
  Panel2 = MakeBand(TabSheet6, "Panel2", "Brontavel is working...", 0);
  auto* p2 = new QVBoxLayout(Panel2);
  p2->setContentsMargins(0, 0, 0, 0);
  PageControl1 = Named(new QTabWidget(Panel2), "PageControl1");
  p2->addWidget(PageControl1);
  v->addWidget(Panel2, 1);

  BuildGraphPage();

  auto* t9 = AddPage(PageControl1, TabSheet9, "TabSheet9", "Results");
  datamemo = Named(new QTextEdit(TabSheet9), "datamemo");
  datamemo->setAcceptRichText(true);
  datamemo->setAccessibleName(QStringLiteral("Results"));
  t9->addWidget(datamemo);

  auto* t2 = AddPage(PageControl1, TabSheet2, "TabSheet2", "Log");
  DisplayMemo = MakeTextView(TabSheet2, "DisplayMemo", "Log");
  DisplayMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  DisplayMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  t2->addWidget(DisplayMemo);

  BuildBrowserViewPage();

  auto* t3 = AddPage(PageControl1, TabSheet3, "TabSheet3", "Source (1st Req.)");
  Memo1 = MakeTextView(TabSheet3, "Memo1", "Source (1st Req.)");
  t3->addWidget(Memo1);

  auto* t5 = AddPage(PageControl1, TabSheet5, "TabSheet5", "Rcvd Headers (1st Req.)");
  Memo2 = MakeTextView(TabSheet5, "Memo2", "Rcvd Headers (1st Req.)");
  t5->addWidget(Memo2);
}

// The graph page: the timing chart over the ramp chart, both placed by
// Panel3Resize.
void THttpAsyForm::BuildGraphPage() {
  auto* t4 = AddPage(PageControl1, TabSheet4, "TabSheet4", "Graph");
  Panel3 = MakeBand(TabSheet4, "Panel3", "Brontavel is running...", 0);
  t4->addWidget(Panel3);
  Chart1 = Named(new plat::TChart(Panel3), "Chart1");
  Chart1->setAccessibleName(QStringLiteral("Chart1"));
  Series1 = Chart1->AddSeries(plat::skBar, "Series1");
  Series1->SetSeriesColor(QColor(255, 0, 0));
  Series2 = Chart1->AddSeries(plat::skPoint, "Series2");
  Series2->SetSeriesColor(QColor(255, 255, 0));
  Series2->SetPointSize(2);
  Chart2 = Named(new plat::TChart(Panel3), "Chart2");
  Chart2->setAccessibleName(QStringLiteral("Chart2"));
  ramps = Chart2->AddSeries(plat::skLine, "ramps");
  ramps->SetSeriesColor(QColor(0, 0, 255));
  ramps2 = Chart2->AddSeries(plat::skLine, "ramps2");
  ramps2->SetSeriesColor(QColor(255, 0, 0));
  ramps2->SetVertAxis(plat::aRightAxis);
  Panel3->OnResize = [this](plat::TPanel*) { plat::Safely([this] { Panel3Resize(); }); };
  Chart1->OnResize = [this](plat::TChart* c) { plat::Safely([this, c] { Chart1Resize(c); }); };
  Chart2->OnResize = [this](plat::TChart* c) { plat::Safely([this, c] { Chart1Resize(c); }); };
}

// The results browser sits at fixed offsets that TabSheet1Resize keeps.
void THttpAsyForm::BuildBrowserViewPage() {
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
  WebBrowser_V11->installEventFilter(this);
  Bind(CheckBox2, &QCheckBox::toggled, [this] { CheckBox2Click(); });
}

void THttpAsyForm::BuildDownloadTab() {
  auto* v = AddPage(PageControl2, TabSheet7, "TabSheet7", "3rd: Measure Client's Download Time!");
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
  Label12 = MakeStatusLabel(Panel1, "Label12", "Status: ");
  Label11 = MakeStatusLabel(Panel1, "Label11", "Time: ");
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

// The browsers' events reach the window's handlers through the error box
// guard, as the controls' signals do.
void THttpAsyForm::BindBrowsers() {
  WebBrowser2Control.OnBeforeNavigate = [this](const std::string& url, bool& cancel) {
    plat::Safely([&] { WebBrowser2BeforeNavigate2(url, cancel); });
  };
  WebBrowser2Control.OnStatusTextChange = [this](const std::string& text) {
    plat::Safely([&] { WebBrowser2StatusTextChange(text); });
  };
  WebBrowser1Control.OnStatusTextChange = [this](const std::string& text) {
    plat::Safely([&] { WebBrowser_V11StatusTextChange(text); });
  };
  WebBrowser1Control.OnProgressChange = [this](int progress, int progressMax) {
    plat::Safely([&] { WebBrowser_V11ProgressChange(progress, progressMax); });
  };
  WebBrowser1Control.OnDownloadComplete = [this] { plat::Safely([&] { WebBrowser_V11DownloadComplete(); }); };
  WebBrowser1Control.OnDocumentComplete = [this](const std::string& url) {
    plat::Safely([&] { WebBrowser1DocumentComplete(url); });
  };
  WebBrowser_V11Control.OnBeforeNavigate = [this](const std::string& url, bool& cancel) {
    plat::Safely([&] { WebBrowser_V11BeforeNavigate(url, cancel); });
  };
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

