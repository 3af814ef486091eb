// The about box, which also serves as the start-up splash.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QPushButton;
class QTextEdit;
class QTimer;

// The program's version string, set at start-up before any window exists.
extern std::string versionstr;

// The maker's page that "Homepage" opens.
extern const char* const kHomepage;

class TForm1 : public QDialog {
  Q_OBJECT
 public:
  explicit TForm1(QWidget* parent = nullptr);

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QTextEdit* Memo1 = nullptr;
  QLabel* Image2 = nullptr;
  QPushButton* BitBtn1 = nullptr;
  QPushButton* BitBtn2 = nullptr;
  QTimer* Timer1 = nullptr;

  void FormCreate();
  void Timer1Timer();
  void Memo1Click();
  void BitBtn2Click();

 protected:
  void mousePressEvent(QMouseEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
};

// Start-up: the box without buttons, 235 pixels high, shown modally until its
// timer closes it 3000 ms later or the user clicks it.
void ShowSplash();

// The about box of the "About" buttons: a tool window with "OK" and
// "Homepage" that stays until the user closes it.
void ShowAboutBox(QWidget* parent);
