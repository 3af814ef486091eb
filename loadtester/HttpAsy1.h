// The load tester's main window: the browse, load-test and download-time
// tabs, the test settings and their settings file, the two charts, the log
// and results texts.
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/browser/browser.h"
#include "platform/qt/chart.h"
#include "platform/qt/panel.h"
#include "platform/qt/spinedit.h"
#include "loadtester/RunText.h"

class QAction;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPrinter;
class QPushButton;
class QStatusBar;
class QTabWidget;
class QTextEdit;
class QVBoxLayout;

namespace plat {
class TObject;
class TComponent;
}

// The per-user client of a test run (defined with the run engine).
class mythttpcli;

class THttpAsyForm : public QMainWindow {
  Q_OBJECT
 public:
  explicit THttpAsyForm(QWidget* parent = nullptr);
  ~THttpAsyForm() override;

  // ---- components ----------------------------------------------------------
  QStatusBar* StatusBar1 = nullptr;
  QTabWidget* PageControl2 = nullptr;

  // 1st tab: browse to a URL.
  QWidget* TabSheet8 = nullptr;
  plat::TPanel* Panel7 = nullptr;
  plat::TPanel* Panel8 = nullptr;
  QLabel* Label13 = nullptr;
  QLineEdit* url1 = nullptr;
  QPushButton* gotobutton = nullptr;
  QPushButton* stopbutton = nullptr;
  QPushButton* Backbutton = nullptr;
  QLabel* Label15 = nullptr;
  QWidget* WebBrowser2 = nullptr;  // where the browser shows

  // 2nd tab: load test.
  QWidget* TabSheet6 = nullptr;
  plat::TPanel* Panel6 = nullptr;
  plat::TPanel* Panel4 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* URLEdit = nullptr;
  QLabel* Label2 = nullptr;
  plat::TSpinEdit* SpinEdit1 = nullptr;
  QLabel* Label5 = nullptr;
  plat::TSpinEdit* SpinEdit2 = nullptr;
  QLabel* Label6 = nullptr;
  plat::TSpinEdit* SpinEdit3 = nullptr;
  QCheckBox* Ramp = nullptr;
  QCheckBox* Checkcookie = nullptr;
  QCheckBox* Checkshowgraph = nullptr;
  QCheckBox* HeaderCheckBox = nullptr;
  QCheckBox* DataCheckBox = nullptr;
  QCheckBox* onerroronlyCheckBox = nullptr;
  QCheckBox* checkproxy = nullptr;
  QLineEdit* proxy = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* port = nullptr;
  QCheckBox* useusername = nullptr;
  QLineEdit* username = nullptr;
  QLabel* Label7 = nullptr;
  QLineEdit* pw = nullptr;
  QCheckBox* useagent = nullptr;
  QComboBox* agent = nullptr;
  QCheckBox* usekey = nullptr;
  plat::TSpinEdit* offset = nullptr;
  QLabel* Label8 = nullptr;
  QPushButton* ExecButton = nullptr;
  QPushButton* AbortButton = nullptr;
  QPushButton* Button1 = nullptr;
  plat::TPanel* Panel2 = nullptr;
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet4 = nullptr;
  plat::TPanel* Panel3 = nullptr;
  plat::TChart* Chart1 = nullptr;
  plat::TChartSeries* Series1 = nullptr;  // bars
  plat::TChartSeries* Series2 = nullptr;  // points
  plat::TChart* Chart2 = nullptr;
  plat::TChartSeries* ramps = nullptr;   // average request time, left axis
  plat::TChartSeries* ramps2 = nullptr;  // error percentage, right axis
  QWidget* TabSheet9 = nullptr;
  QTextEdit* datamemo = nullptr;
  QWidget* TabSheet2 = nullptr;
  QPlainTextEdit* DisplayMemo = nullptr;
  QWidget* TabSheet1 = nullptr;
  QCheckBox* CheckBox2 = nullptr;
  QWidget* WebBrowser_V11 = nullptr;
  QLineEdit* label3 = nullptr;
  QWidget* TabSheet3 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QWidget* TabSheet5 = nullptr;
  QPlainTextEdit* Memo2 = nullptr;

  // 3rd tab: the browser's download time.
  QWidget* TabSheet7 = nullptr;
  plat::TPanel* Panel5 = nullptr;
  plat::TPanel* Panel1 = nullptr;
  QLabel* Label10 = nullptr;
  QLineEdit* Edit2 = nullptr;
  QPushButton* Button6 = nullptr;
  QPushButton* Button7 = nullptr;
  QPushButton* Button8 = nullptr;
  QLabel* Label12 = nullptr;
  QLabel* Label11 = nullptr;
  QWidget* WebBrowser1 = nullptr;

  // Non-visual parts.
  QTimer* Timer1 = nullptr;
  QMenu* PopupMenu2 = nullptr;  // Chart1
  QAction* MenuItem1 = nullptr;
  QAction* MenuItem2 = nullptr;
  QMenu* PopupMenu1 = nullptr;  // Chart2
  QAction* PrintGraph21 = nullptr;
  QAction* CopyGraph21 = nullptr;

  // Status bar panel 0 (the only one).
  void SetStatusText(int panel, const std::string& text);
  std::string StatusText(int panel) const;

  // The printer "Print Graph" uses; it keeps its settings (landscape) for
  // the rest of the program run.
  QPrinter* Printer();

  // Called once the window has closed (its settings written): the program
  // sets it to end itself, as a main window's close does.
  std::function<void()> OnClosed;

  // ---- window handlers -------------------------------------------------------
  void FormCreate();
  void FormShow();
  void FormClose();
  void checkproxyClick();
  void useusernameClick();
  void useagentClick();
  void RampClick();
  void PrintGraph1Click();
  void CopyGraph1Click();
  void PrintGraph21Click();
  void CopyGraph21Click();
  void Panel3Resize();
  void BitBtn4Click();

  // Settings file (run from FormShow and FormClose).
  void LoadSettings();
  void SaveSettings();

  // ---- browser tabs and URL edits -------------------------------------------
  // The three browsers, each started when it is first needed: the browse
  // and download tabs' at their first command, the results browser when
  // it comes up with a page to show.
  plat::TLazyWebBrowser WebBrowser2Control;
  plat::TLazyWebBrowser WebBrowser_V11Control;
  plat::TLazyWebBrowser WebBrowser1Control;

  void Edit2Change(QLineEdit* sender);
  void CheckBox2Click();
  void TabSheet1Resize();
  void gotobuttonClick();
  void stopbuttonClick();
  void BackbuttonClick();
  void StartLoad();
  void Button7Click();
  void Button2Click();
  void WebBrowser2StatusTextChange(const std::string& text);
  void WebBrowser2BeforeNavigate2(const std::string& url, bool& cancel);
  void WebBrowser_V11StatusTextChange(const std::string& text);
  void WebBrowser_V11ProgressChange(int progress, int progressMax);
  void WebBrowser_V11DownloadComplete();
  void WebBrowser1DocumentComplete(const std::string& url);
  void WebBrowser_V11BeforeNavigate(const std::string& url, bool& cancel);

  // ---- run engine ------------------------------------------------------------
  void ExecButtonClick();
  void AbortButtonClick();
  void Timer1Timer();
  void startsimultrun();
  void log(const std::string& text);
  // Hands the log lines written since the last batch to the log view.
  void FlushLog();
  void logdata(const std::string& text);
  // Bold lines switch the results view's font style just for that line.
  void logdata(const std::string& text, bool bold);
  static std::string replacestr(const std::string& source, const std::string& pattern,
                                const std::string& replacement);
  void statusadd(std::int32_t code);
  void Chart1Resize(plat::TChart* sender);
  void showsource(const std::string& fileName);
  void HttpCli1HeaderData(plat::TObject* sender);
  void HttpCli1DocData(plat::TObject* sender, const void* buffer, int len);
  void HttpCli1LocationChange(plat::TObject* sender);
  void SimultRequestDone(plat::TObject* sender, std::uint8_t rqType, std::uint16_t error);

  // ---- window state ----------------------------------------------------------
  std::string inifilename;
  bool settingsloaded = false;
  double loadstart = 0;  // date-time of the timed reload, 0: none
  bool reloadpending = false;

  // Run state of the engine.
  std::vector<mythttpcli*> activeclients;
  std::int32_t runindex = 0;
  std::int32_t runusers = 0;
  bool userabort = false;
  runtext::StatusTable statuscodes;  // slot 1 (200) at index 0
  long double avgsum = 0;
  long double runsaveraged = 0;
  std::int64_t preverrors = 0;
  std::int64_t endstamp = 0;     // TickMs of the latest completion
  std::string temppath;          // where "temp.htm" of this test went
  bool cookiefailed = false;     // "cookies.txt" failed once in this test
  std::string pendingerror;      // shown once the handler has finished
  std::string resultsurl;        // last address given to the results browser
  std::string resultspending;    // what the results browser shows once it is up
  std::string logpending;        // log lines not yet in the view
  // Owns the clients until each is freed by its completion.
  plat::TComponent* clientowner = nullptr;

  // Results browser: the engine's one call on it.
  void NavigateResults(const std::string& url);
  // The results browser has come into view: it starts with the page asked for.
  void ResultsBrowserShown();
  // Frees every client still running, without any event reaching the window.
  void DetachClients();

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void BuildBrowseTab();
  void BuildLoadTestTab();
  void BuildSettingsBand(QVBoxLayout* v);
  void BuildTestInputs(QGridLayout* g);
  void BuildRequestOptions(QGridLayout* g);
  void BuildResultsArea(QVBoxLayout* v);
  void BuildGraphPage();
  void BuildBrowserViewPage();
  void BuildDownloadTab();
  void BindBrowsers();
  void BuildMenus();
  void SetTabOrder();
  void PrintChart(plat::TChart* chart);
  void PlaceWindow(bool haveTop, bool haveLeft, bool haveWidth, bool haveHeight);
  // Connects a signal to a handler that runs through the error box guard.
  template <class Sender, class Signal, class Fn>
  void Bind(Sender* sender, Signal signal, Fn fn);

  // startsimultrun, with the errors it met shown afterwards.
  void StartRun();
  void ShowFirstResponse();
  void EndRun();
  void ReportEngineError(const std::string& message);
  void FlushEngineErrors();

  QLabel* StatusPanel0 = nullptr;
  std::unique_ptr<QPrinter> Printer_;
};
