// Stands in for the user at the program's message boxes, questions and file
// dialogs: records what was shown and gives the answers a test queued.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/ui/dialogs.h"

namespace testsupport {

class DialogRecorder : public plat::IUserDialogs {
 public:
  // Installs itself (and the application error hook) for its lifetime.
  DialogRecorder();
  ~DialogRecorder() override;
  DialogRecorder(const DialogRecorder&) = delete;
  DialogRecorder& operator=(const DialogRecorder&) = delete;

  struct Question {
    std::string Text;
    plat::TMsgDlgType Type;
    unsigned Buttons;
  };
  struct FileRequest {
    std::string Title, FileName, Filter, DefaultExt;
  };

  void ShowMessage(const std::string& text) override { Messages.push_back(text); }
  void MessageBeep(unsigned type) override { Beeps.push_back(type); }
  bool ShellOpen(const std::string& document) override;
  void ErrorBox(const std::string& message) override { Errors.push_back(message); }
  // The next queued answer; with none queued, what closing the box gives.
  int MessageDlg(const std::string& text, plat::TMsgDlgType type, unsigned buttons) override;
  // The next queued path (nullopt: cancelled); with none queued, cancelled.
  bool ExecuteOpenDialog(plat::TOpenDialog& dialog) override;
  bool ExecuteSaveDialog(plat::TSaveDialog& dialog) override;

  // Question texts in the order asked.
  std::vector<std::string> QuestionTexts() const;

  std::vector<std::string> Messages, Errors, Opened;
  std::vector<unsigned> Beeps;
  std::vector<Question> Questions;
  std::deque<int> Answers;
  std::vector<FileRequest> OpenRequests, SaveRequests;
  std::deque<std::optional<std::string>> OpenAnswers, SaveAnswers;
  bool ShellOpenResult = true;

 private:
  plat::IUserDialogs* Previous_ = nullptr;
};

}  // namespace testsupport
