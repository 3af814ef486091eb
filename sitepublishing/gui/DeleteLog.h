// The delete-old log: the common log window with the Yes / Yes to All / No
// question for each remote item that has no local counterpart, and Cancel,
// which stops the run and closes the window.
#pragma once

#include "sitepublishing/LogView.h"
#include "sitepublishing/gui/log.h"

class QEventLoop;
class QPushButton;

class TfrmDeleteLog : public TfrmLog, public TDeleteLogView {
  Q_OBJECT
 public:
  TfrmDeleteLog();

  // TDeleteLogView
  void AddLog(std::uint8_t kind, const std::string& text) override { TfrmLog::AddLog(kind, text); }
  bool Aborted() const override { return TfrmLog::Aborted(); }
  int ErrorCount() const override { return TfrmLog::ErrorCount(); }
  bool Busy() const override { return TfrmLog::Busy(); }
  void BeginDelete() override;
  void EndDelete() override;
  // Waits, serving the program's events and messages, until a button
  // answers: 1 Yes, 2 No, 3 Yes to All. After Cancel, and when the program
  // is ending, the answer is No.
  std::uint8_t AskDelete() override;
  bool YesToAll() const override { return YesToAll_; }

  void btnYesClick() { SetAnswer(1); }
  void btnNoClick() { SetAnswer(2); }
  void btnYesToAllClick() { SetAnswer(3); }
  void btnCancelClick();

  // 0 while no answer has come.
  std::uint8_t Answer = 0;

  plat::TPanel* pnlRight = nullptr;
  QPushButton* btnYes = nullptr;
  QPushButton* btnYesToAll = nullptr;
  QPushButton* btnNo = nullptr;
  QPushButton* btnCancel = nullptr;

 private:
  void SetAnswer(std::uint8_t answer);
  void SetQuestionButtons(bool enabled);
  // The question waiting for an answer, as the accessible description of
  // the button row and of its answer buttons ('' when none waits).
  void SetPendingQuestion(const std::string& question);

  bool YesToAll_ = false;
  QEventLoop* Waiting_ = nullptr;
};

// Made at start-up, lives until the program ends.
extern TfrmDeleteLog* frmDeleteLog;
