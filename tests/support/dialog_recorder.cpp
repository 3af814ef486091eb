#include "tests/support/dialog_recorder.h"

#include "platform/classes/classes.h"

namespace testsupport {

namespace {

bool Answer(std::deque<std::optional<std::string>>& answers, std::vector<DialogRecorder::FileRequest>& requests,
            plat::TOpenDialog& d) {
  requests.push_back({d.Title, d.FileName, d.Filter, d.DefaultExt});
  if (answers.empty()) return false;
  std::optional<std::string> a = answers.front();
  answers.pop_front();
  if (!a) return false;
  d.FileName = *a;
  return true;
}

}  // namespace

DialogRecorder::DialogRecorder() {
  Previous_ = plat::SetUserDialogs(this);
  plat::InstallErrorBoxHook();
}

DialogRecorder::~DialogRecorder() {
  plat::SetUserDialogs(Previous_);
  plat::SetApplicationErrorHook(nullptr);
}

bool DialogRecorder::ShellOpen(const std::string& document) {
  Opened.push_back(document);
  return ShellOpenResult;
}

int DialogRecorder::MessageDlg(const std::string& text, plat::TMsgDlgType type, unsigned buttons) {
  Questions.push_back({text, type, buttons});
  if (Answers.empty()) return plat::MessageDlgEscapeResult(buttons);
  int a = Answers.front();
  Answers.pop_front();
  return a;
}

bool DialogRecorder::ExecuteOpenDialog(plat::TOpenDialog& dialog) { return Answer(OpenAnswers, OpenRequests, dialog); }

bool DialogRecorder::ExecuteSaveDialog(plat::TSaveDialog& dialog) { return Answer(SaveAnswers, SaveRequests, dialog); }

std::vector<std::string> DialogRecorder::QuestionTexts() const {
  std::vector<std::string> t;
  for (const Question& q : Questions) t.push_back(q.Text);
  return t;
}

}  // namespace testsupport
