#include "sitepublishing/gui/DeleteLog.h"

#include <QEventLoop>
#include <QHBoxLayout>
#include <QPushButton>

#include "platform/qt/drawgrid.h"
#include "platform/qt/panel.h"
#include "platform/qt/qtext.h"
#include "sitepublishing/gui/Widgets.h"

TfrmDeleteLog* frmDeleteLog = nullptr;

namespace {

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int left) {
  auto* b = new QPushButton(QString::fromLatin1(caption), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAccessibleName(QString::fromLatin1(caption));
  b->setGeometry(left, 6, 75, 25);
  // The default button is set on purpose only, not by focus.
  b->setAutoDefault(false);
  return b;
}

}  // namespace

TfrmDeleteLog::TfrmDeleteLog() {
  setObjectName(QStringLiteral("frmDeleteLog"));
  setWindowTitle(QStringLiteral("Deleting"));

  auto* bottom = new QHBoxLayout(pnlBottom);
  bottom->setContentsMargins(0, 0, 0, 0);
  bottom->addStretch(1);
  pnlRight = new plat::TPanel(QString(), pnlBottom);
  pnlRight->setObjectName(QStringLiteral("pnlRight"));
  pnlRight->setFrameStyle(QFrame::NoFrame);
  pnlRight->setFixedWidth(367);
  pnlRight->setAccessibleName(QStringLiteral("Answer"));
  bottom->addWidget(pnlRight);

  btnYes = MakeButton(pnlRight, "btnYes", "Yes", 8);
  btnYesToAll = MakeButton(pnlRight, "btnYesToAll", "Yes to All", 96);
  btnNo = MakeButton(pnlRight, "btnNo", "No", 184);
  btnCancel = MakeButton(pnlRight, "btnCancel", "Cancel", 272);
  SetQuestionButtons(false);
  gui::Bind(this, btnYes, &QPushButton::clicked, [this] { btnYesClick(); });
  gui::Bind(this, btnYesToAll, &QPushButton::clicked, [this] { btnYesToAllClick(); });
  gui::Bind(this, btnNo, &QPushButton::clicked, [this] { btnNoClick(); });
  gui::Bind(this, btnCancel, &QPushButton::clicked, [this] { btnCancelClick(); });

  resize(442, 185);
  // Read back as the other windows are, so the placement saved at the end
  // of the last session returns.
  FormStore->Load();
}

void TfrmDeleteLog::SetPendingQuestion(const std::string& question) {
  const QString text = plat::ToQ(question);
  for (QWidget* w : {static_cast<QWidget*>(pnlRight), static_cast<QWidget*>(btnYes),
                     static_cast<QWidget*>(btnYesToAll), static_cast<QWidget*>(btnNo)})
    w->setAccessibleDescription(text);
}

void TfrmDeleteLog::SetQuestionButtons(bool enabled) {
  btnYes->setEnabled(enabled);
  btnYesToAll->setEnabled(enabled);
  btnNo->setEnabled(enabled);
}

void TfrmDeleteLog::BeginDelete() {
  YesToAll_ = false;
  btnCancel->setText(QStringLiteral("Cancel"));
  btnCancel->setAccessibleName(QStringLiteral("Cancel"));
  btnCancel->setDefault(false);
  BeginRun();
  dgLog->setFocus();
}

void TfrmDeleteLog::EndDelete() {
  btnCancel->setText(QStringLiteral("Close"));
  btnCancel->setAccessibleName(QStringLiteral("Close"));
  btnCancel->setDefault(true);
  EndRun();
}

void TfrmDeleteLog::SetAnswer(std::uint8_t answer) {
  Answer = answer;
  if (Waiting_) Waiting_->quit();
}

std::uint8_t TfrmDeleteLog::AskDelete() {
  // After Cancel the window is gone: nobody could answer.
  if (TfrmLog::Aborted()) return 2;
  Answer = 0;
  // The question is the line just added: the buttons that answer it carry
  // it, so a reader hears it with them.
  SetPendingQuestion(Lines.Count() > 0 ? Lines.Items.back().Text : std::string());
  SetQuestionButtons(true);
  btnYes->setDefault(true);
  {
    // Qt's loop also drives our message queue (the bridge), so the FTP
    // session's timers and messages go on while the question waits.
    QEventLoop wait;
    Waiting_ = &wait;
    if (Answer == 0) wait.exec();
    Waiting_ = nullptr;
  }
  if (Answer == 0) {
    // The loop ended without an answer: the program is quitting.
    Answer = 2;
    Lines.Aborted = true;
  }
  SetQuestionButtons(false);
  SetPendingQuestion(std::string());
  btnYes->setDefault(false);
  if (Answer == 3) YesToAll_ = true;
  return Answer;
}

void TfrmDeleteLog::btnCancelClick() {
  if (TfrmLog::Busy()) {
    Lines.Aborted = true;
    SetAnswer(2);
    AbortFtp();
    EndDelete();
  }
  close();
}
