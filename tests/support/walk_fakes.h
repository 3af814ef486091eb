// Stand-ins for the publishing program's main window and log windows, so
// that the upload and delete-old walks run without widgets: they record
// every line, answer the delete questions from a script and can press
// Abort or Cancel the way the windows do.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ftpcomponents/SimpFTP.h"
#include "sitepublishing/LogView.h"
#include "sitepublishing/PrjCls.h"

namespace walkfakes {

// The main window's part in a walk: its fields, its FTP component, and the
// two calls the walks make.
class Form : public TProjectFieldStore {
 public:
  explicit Form(TSimpleFTP* ftp) : Ftp(ftp) {}
  TSimpleFTP* FtpServer() override { return Ftp; }
  void SetFtpParams() override {
    Ftp->HostName = Texts[pfFTPHost];
    Ftp->UserName = Texts[pfFTPLogin];
    Ftp->Password = Texts[pfFTPPassword];
    Ftp->SetRemoteDir("");
    ++FtpParamsCalls;
  }
  void SetModified() override { ++ModifiedCalls; }

  TSimpleFTP* Ftp;
  int FtpParamsCalls = 0;
  int ModifiedCalls = 0;
};

struct Line {
  std::uint8_t Kind;
  std::string Text;
};

// "kind text", one string per line, for readable comparisons.
inline std::vector<std::string> Rendered(const std::vector<Line>& lines) {
  std::vector<std::string> out;
  for (const Line& l : lines) out.push_back(std::to_string(l.Kind) + " " + l.Text);
  return out;
}

// What both log windows share: the line kinds, the "Access v" rule, the
// error count and the run flags.
template <class View>
class RecordingLog : public View {
 public:
  void AddLog(std::uint8_t kind, const std::string& text) override {
    if (kind > lkNotice) return;
    if (kind == lkError && text.rfind("Access v", 0) == 0) return;
    if (kind == lkError) ++Errors;
    Lines.push_back(Line{kind, text});
    if (OnLine) OnLine(Lines.back());
  }
  bool Aborted() const override { return AbortedFlag; }
  int ErrorCount() const override { return Errors; }
  bool Busy() const override { return BusyFlag; }
  std::vector<std::string> Text() const { return Rendered(Lines); }
  // Plain texts of the lines of one kind.
  std::vector<std::string> TextsOf(std::uint8_t kind) const {
    std::vector<std::string> out;
    for (const Line& l : Lines)
      if (l.Kind == kind) out.push_back(l.Text);
    return out;
  }

  std::vector<Line> Lines;
  std::function<void(const Line&)> OnLine;
  bool AbortedFlag = false;
  bool BusyFlag = false;
  int Errors = 0;
  int Begun = 0;
  int Ended = 0;

 protected:
  void BeginRun() {
    AbortedFlag = false;
    BusyFlag = true;
    Errors = 0;
    Lines.clear();
    ++Begun;
  }
  void EndRun() {
    BusyFlag = false;
    ++Ended;
  }
};

class UploadLog : public RecordingLog<TUploadLogView> {
 public:
  void BeginUpload() override {
    InProgress = false;
    ProgressStarts = ProgressStops = 0;
    BeginRun();
  }
  void EndUpload() override { EndRun(); }
  void StartProgress() override {
    InProgress = true;
    ++ProgressStarts;
  }
  void StopProgress() override {
    InProgress = false;
    ++ProgressStops;
  }
  void ShowProgress(std::int64_t bytesDone, std::int64_t fileSize) override {
    if (OnProgress) OnProgress(bytesDone, fileSize);
  }
  // The Abort button: flag, abort the call in progress, leave the busy state.
  void PressAbort(TSimpleFTP& ftp) {
    AbortedFlag = true;
    ftp.Abort();
    EndUpload();
  }

  bool InProgress = false;
  int ProgressStarts = 0;  // in this run
  int ProgressStops = 0;
  std::function<void(std::int64_t, std::int64_t)> OnProgress;
};

enum Answer : std::uint8_t { AnswerYes = 1, AnswerNo = 2, AnswerYesToAll = 3, AnswerCancel = 4 };

class DeleteLog : public RecordingLog<TDeleteLogView> {
 public:
  explicit DeleteLog(TSimpleFTP* ftp) : Ftp(ftp) {}
  void BeginDelete() override {
    YesToAllFlag = false;
    Asked.clear();
    BeginRun();
  }
  void EndDelete() override { EndRun(); }
  // Answers the question just written, by the remote path it names;
  // unscripted questions get DefaultAnswer.
  std::uint8_t AskDelete() override {
    std::string path = QuestionPath(Lines.empty() ? std::string() : Lines.back().Text);
    Asked.push_back(path);
    auto it = Answers.find(path);
    Answer a = it == Answers.end() ? DefaultAnswer : it->second;
    if (a == AnswerCancel) {
      // The Cancel button: "No" for this item, the run aborted.
      AbortedFlag = true;
      Ftp->Abort();
      EndDelete();
      return AnswerNo;
    }
    if (a == AnswerYesToAll) YesToAllFlag = true;
    return a;
  }
  bool YesToAll() const override { return YesToAllFlag; }

  static std::string QuestionPath(const std::string& question) {
    std::size_t space = question.find(' ');
    std::size_t end = question.find(" does not exist locally.");
    if (space == std::string::npos || end == std::string::npos || end < space) return std::string();
    return question.substr(space + 1, end - space - 1);
  }

  TSimpleFTP* Ftp;
  std::map<std::string, Answer> Answers;
  Answer DefaultAnswer = AnswerNo;
  std::vector<std::string> Asked;
  bool YesToAllFlag = false;
};

}  // namespace walkfakes
