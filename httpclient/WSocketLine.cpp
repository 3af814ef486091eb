// The line-mode layer and the blocking-wait layer of the socket component.
#include <algorithm>
#include <climits>
#include <cstring>

#include "httpclient/WSocket.h"

// ---- line mode -----------------------------------------------------------------------------

TCustomLineWSocket::TCustomLineWSocket(plat::TComponent* AOwner) : TCustomSocksWSocket(AOwner) {
  FLineEnd = "\r\n";
  FLineMode = false;
}

TCustomLineWSocket::~TCustomLineWSocket() { FreeLineBuffer(); }

void TCustomLineWSocket::WndProc(TMessage& Message) {
  if (Message.Msg != WM_REDELIVER_DATA) {
    TCustomSocksWSocket::WndProc(Message);
    return;
  }
  try {
    HandleRedeliverData();
  } catch (const std::exception& E) {
    HandleBgException(E);
  }
}

void TCustomLineWSocket::PostRedelivery() {
  if (FWindowHandle) plat::PostMessage(FWindowHandle, WM_REDELIVER_DATA, 0, 0);
}

void TCustomLineWSocket::SetLineMode(bool Value) {
  if (Value == FLineMode) return;
  FLineMode = Value;
  HeldBytesChanged();
}

// With line mode off there is no current line: the held bytes are all
// plain bytes, still in order at the front.
void TCustomLineWSocket::HeldBytesChanged() {
  bool held = FLineBufferCount > 0 || FPendingLineLength > 0;
  if (!LineModeActive()) FPendingLineLength = 0;
  if (held) PostRedelivery();
}

// A new line end may find lines in the held bytes, or turn line mode off:
// either way they are looked at again, as after switching the mode.
void TCustomLineWSocket::SetLineEnd(const std::string& Value) {
  if (Value == FLineEnd) return;
  FLineEnd = Value;
  HeldBytesChanged();
}

// A new limit may cut a held line, or make room behind one: the held bytes
// are looked at again.
void TCustomLineWSocket::SetLineLimit(int Value) {
  Value = std::max(0, Value);
  if (Value == FLineLimit) return;
  FLineLimit = Value;
  HeldBytesChanged();
}

// Editing changes how much is held before a line is cut: the held bytes
// are looked at again.
void TCustomLineWSocket::SetLineEdit(bool Value) {
  if (Value == FLineEdit) return;
  FLineEdit = Value;
  HeldBytesChanged();
}

int TCustomLineWSocket::HoldLimit() const {
  const int limit = std::max(FLineLimit, static_cast<int>(FLineEnd.size()));
  // Room for as many backspaces as the line has bytes.
  return FLineEdit ? (limit > INT_MAX / 2 ? INT_MAX : 2 * limit) : limit;
}

int TCustomLineWSocket::CutPosition(int LineLength) const {
  if (FLineLimit <= 0) return 0;
  const int LineEndLength = static_cast<int>(FLineEnd.size());
  const int limit = std::max(FLineLimit, LineEndLength);
  // A line without its end yet may still shrink with editing: it is cut
  // only once it has outgrown the bytes held for it.
  bool fits = LineLength >= 0 ? LineLength <= limit : FLineBufferCount < HoldLimit();
  // Short of the limit by the line end's length but one: a line end that
  // has begun there, complete or not, goes to the next piece whole. The cut
  // depends only on the first bytes, not on how the receptions split them.
  return fits ? 0 : limit - (LineEndLength - 1);
}

int TCustomLineWSocket::RoomBehindLine() const {
  if (FLineLimit <= 0 || FReadToEnd) return INT_MAX;
  return HoldLimit() - (FLineBufferCount - FPendingLineLength);
}

// The read loop has ended for these bytes, and no notification comes for
// them again until the socket is read: ask for one.
void TCustomLineWSocket::ResumeReading() {
  if (!FReadHeldBack || (LineModeActive() && RoomBehindLine() <= 0)) return;
  FReadHeldBack = false;
  if (FWindowHandle && FSocketHandle != plat::INVALID_SOCKET)
    plat::PostMessage(FWindowHandle, WM_SOCKET_EVENT, FSocketHandle, plat::MAKELONG(plat::FD_READ, 0));
}

void TCustomLineWSocket::GrowLineBuffer(int Size) {
  if (Size <= FLineBufferSize) return;
  std::vector<char> grown;
  grown.reserve(static_cast<std::size_t>(Size));  // exactly the size asked for
  grown.assign(FLineBuffer.begin(), FLineBuffer.end());
  grown.resize(static_cast<std::size_t>(Size), '\0');
  FLineBuffer.swap(grown);
  FLineBufferSize = Size;
}

void TCustomLineWSocket::FreeLineBuffer() {
  FReadHeldBack = false;
  if (FLineBufferSize == 0 && FLineBufferCount == 0 && FPendingLineLength == 0) return;
  std::vector<char>().swap(FLineBuffer);
  FLineBufferSize = 0;
  FLineBufferCount = 0;
  FLineBufferStart = 0;
  FPendingLineLength = 0;
  ++FLineBufferEpoch;
}

// The bytes read off the front leave a gap there; it is closed before each
// reception, so the held bytes are moved once per reception, not once per
// line read.
void TCustomLineWSocket::CompactLineBuffer() {
  if (FLineBufferStart == 0) return;
  char* base = FLineBuffer.data();
  std::memmove(base, base + FLineBufferStart, static_cast<std::size_t>(FLineBufferCount));
  FLineBufferStart = 0;
  TerminateHeld();
}

void TCustomLineWSocket::TerminateHeld() {
  if (FLineBufferSize > FLineBufferStart + FLineBufferCount) HeldBytes()[FLineBufferCount] = '\0';
}

// Bytes held once line mode is off come before anything at the socket, and
// the next read takes them: they are what is received now.
int TCustomLineWSocket::GetRcvdCount() {
  if (LineModeActive()) return FPendingLineLength;
  if (FLineBufferCount > 0) return FLineBufferCount;
  return TCustomSocksWSocket::GetRcvdCount();
}

// Reads are served from the front of the held bytes: whatever the handler
// does next (read on, switch the mode, close), the unread bytes are in
// order at the start of the held bytes.
int TCustomLineWSocket::RawRecv(void* Buffer, int Len, int Flags) {
  int available;
  if (LineModeActive()) {
    if (FPendingLineLength <= 0) return TCustomSocksWSocket::RawRecv(Buffer, Len, Flags);
    available = FPendingLineLength;
  } else {
    if (FLineBufferCount <= 0) return TCustomSocksWSocket::RawRecv(Buffer, Len, Flags);
    available = FLineBufferCount;
  }
  int n = std::max(0, std::min(Len, available));
  if (n > 0) std::memcpy(Buffer, HeldBytes(), static_cast<std::size_t>(n));
  FLineBufferCount -= n;
  FLineBufferStart = FLineBufferCount > 0 ? FLineBufferStart + n : 0;
  if (LineModeActive()) {
    FPendingLineLength -= n;
    // Read outside the line's event while the socket waits behind it: no
    // loop goes on by itself, so the held lines are looked at from the queue.
    if (FPendingLineLength == 0 && FReadHeldBack && FOfferDepth == 0) PostRedelivery();
  }
  TerminateHeld();
  return n;
}

bool TCustomLineWSocket::DoDataAvailable(std::uint16_t Error) {
  // The SOCKS replies are not lines: they go to the negotiation whole.
  if (!LineModeActive() || SocksNegotiating()) return TCustomSocksWSocket::DoDataAvailable(Error);
  int Count = TCustomSocksWSocket::GetRcvdCount();
  if (Count <= 0) return true;
  // Behind a line not read yet the held bytes stay within the limit (twice
  // it with editing, which runs after the read); the rest waits at the
  // socket, holding the peer back, until it is read.
  int room = RoomBehindLine();
  FReadHeldBack = room <= 0;
  if (FReadHeldBack) return true;
  Count = std::min(Count, room);
  CompactLineBuffer();
  if (FLineBufferSize < FLineBufferCount + Count + 1) GrowLineBuffer(FLineBufferCount + Count + 1);
  // A line the handler left unread stays marked; the read below must go to
  // the socket, not to that line.
  int unread = FPendingLineLength;
  FPendingLineLength = 0;
  int N = Receive(HeldBytes() + FLineBufferCount, Count);
  FPendingLineLength = unread;
  if (N <= 0) return true;
  HeldBytes()[FLineBufferCount + N] = '\0';
  unsigned epoch = FLineBufferEpoch;
  if (FLineEdit)
    EditLine(N);
  else if (FLineEcho)
    Send(HeldBytes() + FLineBufferCount, N);
  if (epoch != FLineBufferEpoch) return true;  // the echo found the connection gone
  int LineEndLength = static_cast<int>(FLineEnd.size());
  int SearchFrom = std::max(0, FLineBufferCount - LineEndLength);
  FLineBufferCount += N;
  // A backspace that reached into a line left unread changed that line:
  // it is looked for again.
  if (FPendingLineLength > FLineBufferCount - N) {
    FPendingLineLength = 0;
    SearchFrom = 0;
  }
  DeliverLines(SearchFrom);
  return true;
}

bool TCustomLineWSocket::OfferPendingLine() {
  unsigned epoch = FLineBufferEpoch;
  while (LineModeActive() && FPendingLineLength > 0) {
    int before = FPendingLineLength;
    struct TDepth {
      int& Depth;
      explicit TDepth(int& D) : Depth(D) { ++Depth; }
      ~TDepth() { --Depth; }
    } depth(FOfferDepth);
    TCustomSocksWSocket::DoDataAvailable(0);
    if (epoch != FLineBufferEpoch) return false;
    // No handler, or one that took nothing: the line waits for the next
    // pass instead of being offered without end.
    if (LineModeActive() && FPendingLineLength == before) return false;
  }
  // Switched off with part of the line unread: that rest and the bytes
  // behind it are plain held bytes now, redelivered raw.
  return LineModeActive();
}

// The length of the first held line from From on, its line end included;
// -1 when no line end is held there.
int TCustomLineWSocket::FindLine(int From) const {
  const int LineEndLength = static_cast<int>(FLineEnd.size());
  if (FLineBufferCount - From < LineEndLength) return -1;
  const char* base = HeldBytes();
  const void* hit = ::memmem(base + From, static_cast<std::size_t>(FLineBufferCount - From), FLineEnd.data(),
                             FLineEnd.size());
  return hit ? static_cast<int>(static_cast<const char*>(hit) - base) + LineEndLength : -1;
}

void TCustomLineWSocket::DeliverLines(int SearchFrom) {
  unsigned epoch = FLineBufferEpoch;
  while (LineModeActive()) {
    if (FPendingLineLength > 0) {
      if (!OfferPendingLine()) return;
      TerminateHeld();
      SearchFrom = 0;
      continue;
    }
    int LineLength = FindLine(SearchFrom);
    if (CutPosition(LineLength) > 0) {
      DoLineTooLong();
      if (epoch != FLineBufferEpoch || !LineModeActive()) return;
      // The handler may have moved the limit or changed the line end: the
      // held bytes are measured again, and what is still too long is cut
      // without a second notice.
      LineLength = FindLine(0);
      if (int cut = CutPosition(LineLength); cut > 0) LineLength = cut;
    }
    if (LineLength < 0) return;
    FPendingLineLength = LineLength;
  }
}

void TCustomLineWSocket::DrainHeldRaw() {
  unsigned epoch = FLineBufferEpoch;
  while (FLineBufferCount > 0 && !LineModeActive()) {
    int before = FLineBufferCount;
    DoDataAvailable(0);
    if (epoch != FLineBufferEpoch) return;
    if (FLineBufferCount == before) return;  // nobody takes them: they stay held
  }
}

void TCustomLineWSocket::HandleRedeliverData() {
  if (LineModeActive())
    DeliverLines(0);  // the held bytes may hold lines: no need to wait for more
  else
    DrainHeldRaw();
  ResumeReading();
}

// The peer has closed: everything it sent is offered now, before the
// connection goes, in the mode the handler leaves in force at each step:
// lines one per event, the bytes after the last line end as a last line
// without one, and raw bytes as they are held.
void TCustomLineWSocket::DeliverHeldData() {
  if (FLineBufferSize == 0) return;
  unsigned epoch = FLineBufferEpoch;
  // Reading was held back behind a line: what the peer sent last is bounded
  // by the socket's own buffer, and it is taken now.
  if (FReadHeldBack && FSocketHandle != plat::INVALID_SOCKET) {
    FReadHeldBack = false;
    FReadToEnd = true;
    ReadPendingData(0);
    FReadToEnd = false;
    if (epoch != FLineBufferEpoch) return;
  }
  // A handler that switches the mode back and forth without reading ends
  // the delivery after a few rounds rather than spin.
  for (int idle = 0; FLineBufferCount > 0 && idle < 3;) {
    const int before = FLineBufferCount;
    if (LineModeActive()) {
      DeliverLines(0);
      if (epoch != FLineBufferEpoch) return;
      if (LineModeActive() && FPendingLineLength > 0) return;  // a line nobody reads
      if (LineModeActive() && FLineBufferCount > 0) {
        int cut = CutPosition(FLineBufferCount);
        if (cut > 0) {
          DoLineTooLong();
          if (epoch != FLineBufferEpoch) return;
          cut = LineModeActive() ? CutPosition(FLineBufferCount) : 0;
        }
        if (LineModeActive()) {
          FPendingLineLength = cut > 0 ? cut : FLineBufferCount;
          OfferPendingLine();
          if (epoch != FLineBufferEpoch) return;
          if (LineModeActive() && FPendingLineLength > 0) return;
        }
      }
    } else {
      DrainHeldRaw();
      if (epoch != FLineBufferEpoch) return;
      if (!LineModeActive()) return;  // what is left, nobody takes
    }
    idle = FLineBufferCount == before ? idle + 1 : 0;
  }
}

void TCustomLineWSocket::DoSessionClosed(std::uint16_t Error) {
  DeliverHeldData();
  FreeLineBuffer();
  TCustomSocksWSocket::DoSessionClosed(Error);
}

// Without a closed handler no closed event takes the held bytes: they go
// with the connection.
void TCustomLineWSocket::InternalClose(bool DoShutdown, std::uint16_t Error) {
  TCustomSocksWSocket::InternalClose(DoShutdown, Error);
  if (!OnSessionClosed || IsDestroying()) FreeLineBuffer();
}

// A connection that ended by an error report bypasses the close: the next
// one still starts empty.
void TCustomLineWSocket::DoChangeState(TSocketState OldState, TSocketState NewState) {
  if (OldState == wsClosed && NewState != wsClosed) FreeLineBuffer();
  TCustomSocksWSocket::DoChangeState(OldState, NewState);
}

void TCustomLineWSocket::DoLineTooLong() {
  if (OnLineTooLong) OnLineTooLong(this);
}

void TCustomLineWSocket::EditLine(int& Len) {
  const int Start = FLineBufferCount;
  int W = Start;
  int LowMark = Start;
  std::vector<char> work;
  bool haveWork = false;
  unsigned epoch = FLineBufferEpoch;
  // Each echo is its own send; a send that closed the connection ends the edit.
  auto echo = [&](const char* p, int n) {
    if (!FLineEcho) return true;
    Send(p, n);
    return epoch == FLineBufferEpoch;
  };
  auto makeWork = [&](int R) {
    if (haveWork) return;
    work.assign(static_cast<std::size_t>((Start + Len + 256) / 256 * 256), '\0');
    std::memcpy(work.data(), HeldBytes(), static_cast<std::size_t>(R));
    haveWork = true;
  };
  auto store = [&](char c) {
    if (W >= static_cast<int>(work.size())) work.resize(work.size() + 256, '\0');
    work[static_cast<std::size_t>(W++)] = c;
  };
  for (int R = Start; R < Start + Len; ++R) {
    char c = HeldBytes()[R];
    if (c == 8) {
      if (W > 0 && !echo("\b \b", 3)) return;
      makeWork(R);
      if (W > 0) {
        --W;
        LowMark = std::min(LowMark, W);
      }
    } else if (c == 9) {
      makeWork(R);
      do {
        store(' ');
        if (!echo(" ", 1)) return;
      } while (W % 8 != 0);
    } else {
      if (!echo(&c, 1)) return;
      if (haveWork)
        store(c);
      else
        ++W;
    }
  }
  if (!haveWork) return;
  CompactLineBuffer();
  if (W >= FLineBufferSize) GrowLineBuffer(W + 1);
  std::memcpy(HeldBytes(), work.data(), static_cast<std::size_t>(W));
  HeldBytes()[W] = '\0';
  FLineBufferCount = LowMark;
  Len = W - LowMark;
}

// ---- blocking wait -------------------------------------------------------------------------

int TCustomSyncWSocket::WaitForFlag(bool& Flag) {
  FWaitDeadline = plat::TickMs() + FWaitTimeout;
  for (;;) {
    if (Flag) return 0;
    int waitMs = -1;
    if (FWaitTimeout > 0) {
      std::int64_t now = plat::TickMs();
      if (now > FWaitDeadline) return WaitTimedOut;
      waitMs = static_cast<int>(std::min<std::int64_t>(FWaitDeadline - now + 1, INT_MAX));
    }
    // The program's end ends every wait. Besides, the own pump takes a quit
    // message and notes it; the program's pump leaves it at the head of the
    // queue for the program's loop.
    auto quitting = [this] {
      return plat::ProgramEnding() || (FMultiThreaded ? QuitSeen() : plat::QuitWaiting());
    };
    if (quitting()) return WaitTimedOut;
    PumpMessages();
    if (Flag || quitting()) continue;
    // Sleep until the next message or the deadline, in the same pump
    // PumpMessages serves.
    if (FMultiThreaded)
      plat::WaitMessage(waitMs);
    else
      plat::WaitForMessages(waitMs);
  }
}

int TCustomSyncWSocket::RunAndWait(bool& Flag, const std::function<void()>& Proc) {
  Flag = false;
  if (Proc) Proc();
  return WaitForFlag(Flag);
}
