#include "sitepublishing/gui/UploadLog.h"

#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/qt/panel.h"
#include "sitepublishing/gui/Widgets.h"

TfrmUploadLog* frmUploadLog = nullptr;

TfrmUploadLog::TfrmUploadLog() {
  setObjectName(QStringLiteral("frmUploadLog"));
  setWindowTitle(QStringLiteral("Uploading"));

  pgbUpload = new QProgressBar(pnlClient);
  pgbUpload->setObjectName(QStringLiteral("pgbUpload"));
  pgbUpload->setAccessibleName(QStringLiteral("Progress"));
  pgbUpload->setFixedHeight(18);
  pgbUpload->setRange(0, 100);
  pgbUpload->setValue(0);
  pgbUpload->setTextVisible(false);
  ClientLayout->addWidget(pgbUpload);

  btnControl = new QPushButton(QStringLiteral("Abort"), pnlBottom);
  btnControl->setObjectName(QStringLiteral("btnControl"));
  btnControl->setAccessibleName(QStringLiteral("Abort"));
  btnControl->setFixedSize(75, 25);
  btnControl->setDefault(true);
  gui::Bind(this, btnControl, &QPushButton::clicked, [this] { btnControlClick(); });
  pnlBottom->OnResize = [this](plat::TPanel*) { PlaceButton(); };

  resize(461, 197);
  PlaceButton();
  FormStore->Load();
}

void TfrmUploadLog::PlaceButton() {
  // Centred; the division truncates as the layout always has.
  btnControl->move((pnlBottom->width() - btnControl->width()) / 2 + 1, (pnlBottom->height() - btnControl->height()) / 2);
}

void TfrmUploadLog::FormResize() {
  TfrmLog::FormResize();
  PlaceButton();
}

void TfrmUploadLog::BeginUpload() {
  Progress.InProgress = false;
  btnControl->setText(QStringLiteral("Abort"));
  btnControl->setAccessibleName(QStringLiteral("Abort"));
  BeginRun();
}

void TfrmUploadLog::EndUpload() {
  btnControl->setText(QStringLiteral("Close"));
  btnControl->setAccessibleName(QStringLiteral("Close"));
  EndRun();
}

void TfrmUploadLog::StartProgress() { Progress.Start(); }

void TfrmUploadLog::StopProgress() {
  Progress.Stop();
  pgbUpload->setValue(0);
}

void TfrmUploadLog::ShowProgress(std::int64_t bytesDone, std::int64_t fileSize) {
  TBarScale scale;
  int position = 0;
  if (!Progress.Show(bytesDone, fileSize, scale, position)) return;
  // A range of 0 .. 0 would make the bar a busy indicator.
  int max = std::max(scale.Max, 1);
  if (pgbUpload->maximum() != max) pgbUpload->setMaximum(max);
  pgbUpload->setValue(position);
}

void TfrmUploadLog::btnControlClick() {
  if (!TfrmLog::Busy()) {
    close();
    return;
  }
  Lines.Aborted = true;
  AbortFtp();
  EndUpload();
}
