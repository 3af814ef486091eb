// The upload log: the common log window with a progress bar for the file
// being sent and one button that aborts the run, then closes the window.
#pragma once

#include "sitepublishing/LogView.h"
#include "sitepublishing/gui/log.h"

class QProgressBar;
class QPushButton;

class TfrmUploadLog : public TfrmLog, public TUploadLogView {
  Q_OBJECT
 public:
  TfrmUploadLog();

  // TUploadLogView
  void AddLog(std::uint8_t kind, const std::string& text) override { TfrmLog::AddLog(kind, text); }
  bool Aborted() const override { return TfrmLog::Aborted(); }
  int ErrorCount() const override { return TfrmLog::ErrorCount(); }
  bool Busy() const override { return TfrmLog::Busy(); }
  void BeginUpload() override;
  void EndUpload() override;
  void StartProgress() override;
  void StopProgress() override;
  void ShowProgress(std::int64_t bytesDone, std::int64_t fileSize) override;

  void btnControlClick();
  void FormResize() override;

  bool InProgress() const { return Progress.InProgress; }
  TProgressRule Progress;
  QProgressBar* pgbUpload = nullptr;
  QPushButton* btnControl = nullptr;

 private:
  void PlaceButton();
};

// Made at start-up, lives until the program ends.
extern TfrmUploadLog* frmUploadLog;
