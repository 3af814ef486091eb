// What the upload and delete-old walks write into and ask: the two log
// windows, reached through these so that the walks run without widgets and
// the windows can be tried without a server.
#pragma once

#include <cstdint>
#include <string>

// AddLog kinds: a plain (black) line, an error (red, counted) and a notice
// (blue).
inline constexpr std::uint8_t lkPlain = 0;
inline constexpr std::uint8_t lkError = 1;
inline constexpr std::uint8_t lkNotice = 2;

class TLogView {
 public:
  virtual ~TLogView() = default;
  virtual void AddLog(std::uint8_t kind, const std::string& text) = 0;
  // The user stopped the run.
  virtual bool Aborted() const = 0;
  // Error lines shown since the run began.
  virtual int ErrorCount() const = 0;
  // A run is in progress.
  virtual bool Busy() const = 0;
};

// The upload log.
class TUploadLogView : public TLogView {
 public:
  // Clears and shows the window and starts a run.
  virtual void BeginUpload() = 0;
  virtual void EndUpload() = 0;
  // A file's transfer begins / ends (also after a failure).
  virtual void StartProgress() = 0;
  virtual void StopProgress() = 0;
  virtual void ShowProgress(std::int64_t bytesDone, std::int64_t fileSize) = 0;
};

// The delete-old log, which also asks about each item missing locally.
class TDeleteLogView : public TLogView {
 public:
  virtual void BeginDelete() = 0;
  virtual void EndDelete() = 0;
  // Waits for the user: 1 Yes, 2 No, 3 Yes to All (Cancel answers 2 and
  // sets Aborted).
  virtual std::uint8_t AskDelete() = 0;
  // Set by a Yes to All answer for the rest of the run.
  virtual bool YesToAll() const = 0;
};
