// Line mode and the blocking wait of the socket component, against a peer on
// 127.0.0.1 whose end this thread drives: each reception is sent, then the
// component's messages are pumped until it has taken every byte.
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <time.h>

#include <future>
#include <map>
#include <memory>

#include "tests/httpclient/wsocket_helpers.h"

using namespace wstest;
using Log = std::vector<std::string>;

namespace {

// Shows the line layer's buffer and the bytes waiting at the socket itself.
class LineSocket : public TWSocket {
 public:
  using TWSocket::TWSocket;
  int BufferSize() const { return FLineBufferSize; }
  int Held() const { return FLineBufferCount; }
  int AtSocket() { return TCustomSocksWSocket::GetRcvdCount(); }
  bool HeldBack() const { return ReadingHeldBack(); }
};

std::string Show(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
  return out;
}

void DrainAll() {
  for (int i = 0; i < 20 && (plat::PendingMessageCount() > 0 || i == 0); ++i) plat::DrainMessages();
}

// The component connected to a descriptor of this thread.
struct Conn {
  testsupport::LoopbackListener listener;
  LineSocket s{nullptr};
  int fd = -1;

  Conn() { Open(); }
  ~Conn() {
    // The handlers' owners may be gone already.
    s.OnDataAvailable = nullptr;
    s.OnSessionClosed = nullptr;
    s.OnLineTooLong = nullptr;
    s.OnBgException = nullptr;
    if (fd >= 0) ::close(fd);
    if (s.State() != wsClosed) s.Abort();
    DrainAll();
  }
  void Open() {
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(listener.Port()));
    s.Connect();
    fd = listener.Accept(testsupport::kPatienceMs);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    DrainAll();
  }
  // Everything the peer sent has been acknowledged and read off the socket,
  // or the layer leaves the rest there on purpose.
  bool Settled() {
    if (s.State() != wsConnected) return true;
    int unacked = 0;
    ::ioctl(fd, SIOCOUTQ, &unacked);
    return unacked == 0 && (s.AtSocket() == 0 || s.HeldBack());
  }
  void Feed(const std::string& bytes) {
    Peer::SendAll(fd, bytes);
    ASSERT_TRUE(PumpUntil([&] { return Settled(); }));
    DrainAll();
  }
  void PeerCloses() {
    ::close(fd);
    fd = -1;
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }));
    DrainAll();
  }
};

// Only: switch, then read nothing in that event.
enum When { Before, Only, After, AfterThenRead };

// What the data handler does at each event: read so many bytes (0: none) in
// the mode it finds, from the event readFrom on, and switch line mode at the
// events listed. The too-long handler sets the limit to raiseLimitTo (-1:
// leaves it).
struct Handler {
  int lineRead = 4096;
  int rawRead = 4096;
  std::vector<std::pair<int, When>> toggles = {};
  int readFrom = 0;
  int raiseLimitTo = -1;
};

// Records every event: "L" or "R" for the mode, RcvdCount, then the bytes
// read ("+" and more when the handler reads again after switching).
struct LineRecorder {
  Log log;
  Handler h;
  int events = 0;

  std::string Read(LineSocket& s) {
    int want = s.LineMode() ? h.lineRead : h.rawRead;
    if (want <= 0 || events <= h.readFrom) return "";
    std::string buf(static_cast<std::size_t>(want), '\0');
    int n = s.Receive(buf.data(), want);
    return n > 0 ? buf.substr(0, static_cast<std::size_t>(n)) : "";
  }
  void Attach(LineSocket& s, bool closedHandler = true) {
    s.OnDataAvailable = [this, &s](plat::TObject*, std::uint16_t) {
      int me = events++;
      std::string entry = std::string(s.LineMode() ? "L" : "R") + std::to_string(s.RcvdCount()) + " ";
      When when = After;
      bool toggle = false;
      for (auto& [at, w] : h.toggles)
        if (at == me) toggle = true, when = w;
      if (toggle && (when == Before || when == Only)) s.SetLineMode(!s.LineMode());
      if (!(toggle && when == Only)) entry += Show(Read(s));
      if (toggle && (when == After || when == AfterThenRead)) s.SetLineMode(!s.LineMode());
      if (toggle && when == AfterThenRead) entry += "+" + Show(Read(s));
      log.push_back(entry);
    };
    if (closedHandler) s.OnSessionClosed = [this](plat::TObject*, std::uint16_t) { log.push_back("closed"); };
    s.OnLineTooLong = [this, &s](plat::TObject*) {
      log.push_back("too long");
      if (h.raiseLimitTo >= 0) s.SetLineLimit(h.raiseLimitTo);
    };
  }
};

struct LineCase {
  const char* name;
  std::vector<std::string> receptions;
  Log expected;  // "|" marks the end of each reception
  Handler handler = {};
  std::string lineEnd = "\r\n";
  bool edit = false;
  bool echo = false;
  std::string echoed = "";  // what the peer gets back
  int limit = 0;            // 0: the default
  bool peerCloses = false;
  int held = -1;  // bytes held after the receptions (-1: not checked)
};

const std::string kSpaces8(8, ' ');

const LineCase kLineCases[] = {
    {"a line and the start of the next", {"abc\r\ndef", "\r\n"}, {"L5 abc\\r\\n", "|", "L5 def\\r\\n", "|"}},
    {"line end split over two receptions", {"abc\r", "\n"}, {"|", "L5 abc\\r\\n", "|"}},
    {"three-byte line end over three receptions",
     {"abE", "N", "Dxy", "END"},
     {"|", "|", "L5 abEND", "|", "L5 xyEND", "|"},
     {},
     "END"},
    {"several lines at once, the rest as a last line at close",
     {"a\r\nbb\r\n\r\nc"},
     {"L3 a\\r\\n", "L4 bb\\r\\n", "L2 \\r\\n", "|", "L1 c", "closed"},
     {},
     "\r\n",
     false,
     false,
     "",
     0,
     true},
    {"partial reads get the event again", {"abc\r\n"}, {"L5 ab", "L3 c\\r", "L1 \\n", "|"}, {2}},
    {"switched off after reading a line: the rest comes raw",
     {"one\r\ntwo\r\nrest"},
     {"L5 one\\r\\n", "R9 two\\r\\nrest", "|"},
     {4096, 4096, {{0, After}}}},
    {"switched off before reading: the whole line comes raw",
     {"one\r\ntwo"},
     {"L5 ", "R8 one\\r\\ntwo", "|"},
     {4096, 4096, {{0, Only}}}},
    {"switched off before reading, then read at once: all held bytes raw",
     {"one\r\ntwo"},
     {"L5 one\\r\\ntwo", "|"},
     {4096, 4096, {{0, Before}}}},
    {"switched off mid-line and read on at once",
     {"one\r\ntwo"},
     {"L5 on+e\\r\\ntwo", "|"},
     {2, 4096, {{0, AfterThenRead}}}},
    {"switched off mid-line, the rest in small raw reads",
     {"one\r\ntwo"},
     {"L5 on", "R6 e\\r\\nt", "R2 wo", "|"},
     {2, 4, {{0, After}}}},
    {"switched off, then on again from a raw event: held lines found without new data",
     {"a\r\nb\r\nc", "\r\n"},
     {"L3 ", "R7 a\\r\\n", "L3 b\\r\\n", "|", "L3 c\\r\\n", "|"},
     {4096, 3, {{0, Only}, {1, After}}}},
    {"empty line end passes everything through", {"ab\r\ncd"}, {"L6 ab\\r\\ncd", "|"}, {}, ""},
    {"a handler that reads nothing is offered the line once per reception",
     {"a\r\n", "b\r\n"},
     {"L3 ", "|", "L3 ", "|"},
     {0}},
    // The limit: a line that does not fit is cut short of it by the line
    // end's length but one, so a line end is never cut through, whatever
    // the receptions; lines that fit are never changed.
    {.name = "a line past the limit is cut short of it",
     .receptions = {"abcdefgh\r\nxy\r\n"},
     .expected = {"too long", "L5 abcde", "L5 fgh\\r\\n", "L4 xy\\r\\n", "|"},
     .limit = 6},
    {.name = "a line end at the limit goes to the next piece whole",
     .receptions = {"abcde\r", "\nfg\r\n"},
     .expected = {"too long", "L5 abcde", "|", "L2 \\r\\n", "L4 fg\\r\\n", "|"},
     .limit = 6},
    {.name = "the same bytes in one reception are cut the same",
     .receptions = {"abcde\r\nfg\r\n"},
     .expected = {"too long", "L5 abcde", "L2 \\r\\n", "L4 fg\\r\\n", "|"},
     .limit = 6},
    {.name = "a three-byte line end begun at the limit",
     .receptions = {"abcdEN", "Dxy", "END"},
     .expected = {"too long", "L4 abcd", "|", "L3 END", "|", "L5 xyEND", "|"},
     .lineEnd = "END",
     .limit = 6},
    {.name = "a line as long as the limit, its end split, comes whole",
     .receptions = {"abcd\r", "\n"},
     .expected = {"|", "L6 abcd\\r\\n", "|"},
     .limit = 6},
    {.name = "the limit raised in the too-long handler: the line comes whole",
     .receptions = {"abcdefgh\r\nxy\r\n"},
     .expected = {"too long", "L10 abcdefgh\\r\\n", "L4 xy\\r\\n", "|"},
     .handler = {.raiseLimitTo = 12},
     .limit = 6},
    {.name = "the limit taken away in the too-long handler",
     .receptions = {"abcdefgh", "\r\n"},
     .expected = {"too long", "|", "L10 abcdefgh\\r\\n", "|"},
     .handler = {.raiseLimitTo = 0},
     .limit = 6},
    // Behind the unread first line 6 bytes are taken (offered at each read),
    // 3 stay at the socket; at the close they come, and the handler, reading
    // by then, gets every line.
    {.name = "behind a line nobody reads the bytes held stay within the limit",
     .receptions = {"a\r\nbcdefghij"},
     .expected = {"L3 ", "L3 ", "|", "L3 a\\r\\n", "too long", "L5 bcdef", "L4 ghij", "closed"},
     .handler = {.readFrom = 2},
     .limit = 6,
     .peerCloses = true,
     .held = 9},
    // Taken at the close, the rest holds a whole line past the limit.
    {.name = "the limit raised for a line found past it: the line comes whole",
     .receptions = {"a\r\nbcdefgh\r\nxy\r\n"},
     .expected = {"L3 ", "L3 ", "|", "L3 a\\r\\n", "too long", "L9 bcdefgh\\r\\n", "L4 xy\\r\\n", "closed"},
     .handler = {.readFrom = 2, .raiseLimitTo = 12},
     .limit = 6,
     .peerCloses = true,
     .held = 9},
    // With editing the limit applies to the line as edited, also when the
    // backspaces come in a later reception; a line without them is still
    // cut, at the same place.
    {.name = "a line that fits once edited comes whole",
     .receptions = {"abcdefg\b\b\b\r\n"},
     .expected = {"L6 abcd\\r\\n", "|"},
     .edit = true,
     .limit = 6},
    {.name = "a line that fits once edited, its backspaces in the next reception",
     .receptions = {"abcdefg", "\b\b\b\r\n"},
     .expected = {"|", "L6 abcd\\r\\n", "|"},
     .edit = true,
     .limit = 6},
    {.name = "a line that does not fit even once edited is cut",
     .receptions = {"abcdefgh\b\r\n"},
     .expected = {"too long", "L5 abcde", "L4 fg\\r\\n", "|"},
     .edit = true,
     .limit = 6},
    {.name = "backspaces at the start of a line erase nothing and take no room",
     .receptions = {"\b\b\babcdef\b\b\r\n", "wxyz\r\n", "\b\bxy\r\n"},
     .expected = {"L6 abcd\\r\\n", "|", "L6 wxyz\\r\\n", "|", "L4 xy\\r\\n", "|"},
     .edit = true,
     .limit = 6},
    {.name = "with editing a line without a line end is held to twice the limit, then cut",
     .receptions = {"abcdefghijklmn"},
     .expected = {"too long", "L5 abcde", "|"},
     .edit = true,
     .limit = 6,
     .held = 9},
    {"backspace", {"ab\bc\r\n"}, {"L4 ac\\r\\n", "|"}, {}, "\r\n", true},
    {"tab at the buffer start", {"\tx\r\n"}, {"L11 " + kSpaces8 + "x\\r\\n", "|"}, {}, "\r\n", true},
    {"tab stops count from the start of the held bytes",
     {"ab", "\tc\r\n"},
     {"|", "L11 ab      c\\r\\n", "|"},
     {},
     "\r\n",
     true},
    {"backspace at the start and over an earlier reception",
     {"\bxy", "\b\bz\r\n"},
     {"|", "L3 z\\r\\n", "|"},
     {},
     "\r\n",
     true},
    {"backspace removes a line end not yet delivered", {"a\r\n\bb\r\n"}, {"L5 a\\rb\\r\\n", "|"}, {}, "\r\n", true},
    {"many tabs grow the edit copy",
     {std::string(100, '\t') + "\r\n"},
     {"L802 " + std::string(800, ' ') + "\\r\\n", "|"},
     {},
     "\r\n",
     true},
    {"echo of an edited line", {"ab\bc\r\n"}, {"L4 ac\\r\\n", "|"}, {}, "\r\n", true, true, "ab\b \bc\r\n"},
    {"echo of a tab and of a backspace at the start",
     {"\b\tx\r\n"},
     {"L11 " + kSpaces8 + "x\\r\\n", "|"},
     {},
     "\r\n",
     true,
     true,
     kSpaces8 + "x\r\n"},
    {"echo without editing sends the bytes as received",
     {"a\b\r\n"},
     {"L4 a\\b\\r\\n", "|"},
     {},
     "\r\n",
     false,
     true,
     "a\b\r\n"},
};

TEST(LineMode, ReceptionsAndHandlers) {
  for (const LineCase& c : kLineCases) {
    SCOPED_TRACE(c.name);
    Conn conn;
    LineRecorder r;
    r.h = c.handler;
    r.Attach(conn.s);
    conn.s.SetLineEnd(c.lineEnd);
    conn.s.SetLineEdit(c.edit);
    conn.s.SetLineEcho(c.echo);
    if (c.limit > 0) conn.s.SetLineLimit(c.limit);
    conn.s.SetLineMode(true);
    for (const std::string& bytes : c.receptions) {
      conn.Feed(bytes);
      r.log.push_back("|");
    }
    if (c.held >= 0) {
      EXPECT_EQ(conn.s.Held(), c.held);
    }
    if (!c.echoed.empty()) {
      EXPECT_EQ(Show(Peer::ReadExactly(conn.fd, c.echoed.size(), testsupport::kPatienceMs)), Show(c.echoed));
      pollfd p{conn.fd, POLLIN, 0};
      EXPECT_EQ(::poll(&p, 1, 30), 0) << "more echo than expected";
    }
    if (c.peerCloses) conn.PeerCloses();
    EXPECT_EQ(r.log, c.expected);
  }
}

TEST(LineMode, BufferGrowsToTheExactSizeNeeded) {
  Conn conn;
  LineRecorder r;
  r.Attach(conn.s);
  conn.s.SetLineMode(true);
  EXPECT_EQ(conn.s.BufferSize(), 0) << "no buffer before the first reception";
  std::vector<int> sizes;
  for (const char* bytes : {"abc", "de", "\r\n", "x"}) {
    conn.Feed(bytes);
    sizes.push_back(conn.s.BufferSize());
  }
  EXPECT_EQ(sizes, (std::vector<int>{4, 6, 8, 8}));
  EXPECT_EQ(r.log, (Log{"L7 abcde\\r\\n"}));
  EXPECT_EQ(conn.s.Held(), 1);
}

TEST(LineMode, LinesNobodyReadsStayHeldUntilAHandlerReadsThem) {
  Conn conn;
  conn.s.SetLineMode(true);
  conn.Feed("a\r\nb\r\n");  // no handler: must return, not loop
  EXPECT_EQ(conn.s.Held(), 6);
  EXPECT_EQ(conn.s.RcvdCount(), 3) << "the first line waits for its reader";
  LineRecorder r;
  r.Attach(conn.s);
  conn.Feed("c\r\n");
  EXPECT_EQ(r.log, (Log{"L3 a\\r\\n", "L3 b\\r\\n", "L3 c\\r\\n"}));
}

TEST(LineMode, SwitchingOnFromOutsideFindsTheHeldLines) {
  Conn conn;
  LineRecorder r;
  r.h = {4096, 0, {{0, Only}}};  // off at once, and raw events read nothing
  r.Attach(conn.s);
  conn.s.SetLineMode(true);
  conn.Feed("a\r\nb\r\nc");
  EXPECT_EQ(r.log, (Log{"L3 ", "R7 "}));
  EXPECT_EQ(conn.s.Held(), 7);
  conn.s.SetLineMode(true);
  DrainAll();
  EXPECT_EQ(r.log, (Log{"L3 ", "R7 ", "L3 a\\r\\n", "L3 b\\r\\n"}));
  EXPECT_EQ(conn.s.Held(), 1);
}

TEST(LineMode, PeerWithoutLineEndsCannotGrowTheBufferBeyondTheLimit) {
  Conn conn;
  std::vector<int> lengths;
  int tooLong = 0;
  conn.s.OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    std::string buf(100000, '\0');
    lengths.push_back(conn.s.Receive(buf.data(), static_cast<int>(buf.size())));
  };
  conn.s.OnLineTooLong = [&](plat::TObject*) { ++tooLong; };
  conn.s.SetLineMode(true);
  const int piece = 8192;
  for (int i = 0; i < 25; ++i) {
    conn.Feed(std::string(piece, 'x'));
    ASSERT_LE(conn.s.BufferSize(), TCustomLineWSocket::DefaultLineLimit + 1);
  }
  // Cut one byte short of the limit: the last byte might begin a line end.
  EXPECT_EQ(tooLong, 3);
  EXPECT_EQ(lengths, (std::vector<int>{65535, 65535, 65535}));
  EXPECT_EQ(conn.s.Held(), 25 * piece - 3 * 65535);
}

// Behind a line nobody reads the layer takes the limit's worth of bytes and
// leaves the rest at the socket, which holds the peer back; once the line is
// read, line mode is switched off or the peer closes, everything comes, in
// order, each line whole.
TEST(LineMode, ALineNobodyReadsHoldsTheRestAtTheSocket) {
  enum Resume { ReadTheLine, LineModeOff, PeerCloses };
  const int limit = 100;
  std::string sent = "first\r\n";
  std::vector<std::string> lines = {sent};
  for (int i = 10; i < 30; ++i) {
    lines.push_back("line " + std::to_string(i) + std::string(20, '.') + "\r\n");
    sent += lines.back();
  }
  for (Resume resume : {ReadTheLine, LineModeOff, PeerCloses}) {
    SCOPED_TRACE(resume);
    Conn conn;
    bool reading = false, closed = false;
    std::vector<std::string> pieces;
    auto read = [&] {
      std::string buf(4096, '\0');
      int n = conn.s.Receive(buf.data(), static_cast<int>(buf.size()));
      if (n > 0) pieces.push_back(buf.substr(0, static_cast<std::size_t>(n)));
    };
    conn.s.OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
      if (reading) read();
    };
    conn.s.OnSessionClosed = [&](plat::TObject*, std::uint16_t) { closed = true; };
    conn.s.SetLineLimit(limit);
    conn.s.SetLineMode(true);
    conn.Feed(sent);
    ASSERT_TRUE(conn.s.HeldBack());
    EXPECT_EQ(conn.s.Held(), 7 + limit);
    EXPECT_EQ(conn.s.AtSocket(), static_cast<int>(sent.size()) - 7 - limit);
    // Read notifications still due must not take more.
    PumpFor(100);
    EXPECT_EQ(conn.s.Held(), 7 + limit);
    EXPECT_TRUE(pieces.empty());

    reading = true;
    if (resume == ReadTheLine) read();  // outside any event
    if (resume == LineModeOff) conn.s.SetLineMode(false);
    if (resume == PeerCloses) conn.PeerCloses();
    auto joined = [&] {
      std::string all;
      for (const std::string& p : pieces) all += p;
      return all;
    };
    ASSERT_TRUE(PumpUntil([&] { return joined().size() >= sent.size(); }));
    EXPECT_EQ(joined(), sent);
    if (resume != LineModeOff) {
      EXPECT_EQ(pieces, lines);
    }
    EXPECT_EQ(closed, resume == PeerCloses);
  }
}

// A line held past the limit for editing is cut once editing is switched
// off, and the bytes behind it are read again.
TEST(LineMode, EditingSwitchedOffCutsALineHeldPastTheLimit) {
  Conn conn;
  LineRecorder r;
  r.Attach(conn.s);
  conn.s.SetLineEdit(true);
  conn.s.SetLineLimit(6);
  conn.s.SetLineMode(true);
  conn.Feed("abcdefgh");
  EXPECT_TRUE(r.log.empty());
  conn.s.SetLineEdit(false);
  DrainAll();
  conn.Feed("ij\r\n");
  EXPECT_EQ(r.log, (Log{"too long", "L5 abcde", "too long", "L5 fghij", "L2 \\r\\n"}));
  EXPECT_EQ(conn.s.Held(), 0);
}

TEST(LineMode, HeldBytesNeverReachTheNextConnection) {
  Conn conn;
  LineRecorder r;
  r.Attach(conn.s, /*closedHandler=*/false);
  conn.s.SetLineMode(true);
  conn.Feed("xyz");
  conn.PeerCloses();
  EXPECT_EQ(r.log, (Log{"L3 xyz"})) << "the last line comes also without a closed handler";
  EXPECT_EQ(conn.s.Held(), 0);
  EXPECT_EQ(conn.s.BufferSize(), 0);
  conn.Open();
  conn.s.SetLineMode(true);
  conn.Feed("1\r\n");
  EXPECT_EQ(r.log, (Log{"L3 xyz", "L3 1\\r\\n"}));
}

TEST(LineMode, BytesHeldForRawDeliveryAreDeliveredAtClose) {
  Conn conn;
  LineRecorder r;
  r.h = {4096, 0, {{0, Only}}};
  r.Attach(conn.s);
  conn.s.SetLineMode(true);
  conn.Feed("one\r\ntwo");
  ASSERT_EQ(conn.s.Held(), 8);
  r.h.rawRead = 4096;
  conn.PeerCloses();
  EXPECT_EQ(r.log, (Log{"L5 ", "R8 ", "R8 one\\r\\ntwo", "closed"}));
  EXPECT_EQ(conn.s.BufferSize(), 0);
}

TEST(LineMode, ExceptionDuringRedeliveryGoesToTheBackgroundHandler) {
  Conn conn;
  int events = 0;
  conn.s.OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    if (events++ == 0) {
      conn.s.SetLineMode(false);
      return;
    }
    throw plat::Exception("bad data");
  };
  std::string seen;
  conn.s.OnBgException = [&](plat::TObject*, const std::exception& e, bool& canClose) {
    seen = e.what();
    canClose = false;
  };
  conn.s.SetLineMode(true);
  conn.Feed("a\r\n");
  EXPECT_EQ(seen, "bad data");
  EXPECT_EQ(conn.s.State(), wsConnected);
}

// ---- the peer's last bytes ------------------------------------------------------------------

// What a handler does at one event: read (so many bytes with Receive; 0:
// ReceiveString), then change the settings listed (-1 or empty: leaves them).
struct Step {
  int read = 4096;
  int lineMode = -1;
  std::string lineEnd = "";
  int limit = -1;
  int edit = -1;
};

struct LastBytesCase {
  const char* name;
  std::string sent;
  std::map<int, Step> steps;  // by event, from 0; others read rawRead or 4096
  Log expected;               // "L " and a line, or "R " and the raw bytes in a row
  int rawRead = 4096;
  bool alsoOpen = false;  // the same log while the peer stays open
};

const std::string kBody3k(3000, 'b');
const std::string kBody20k = [] {
  std::string b;
  for (int i = 0; b.size() < 20000; ++i) b += std::to_string(i) + ",";
  return b;
}();

const LastBytesCase kLastBytesCases[] = {
    {"a header line, then the body raw in reads of 1000",
     "HDR\r\n" + kBody3k,
     {{0, {.lineMode = 0}}},
     {"L HDR\\r\\n", "R " + kBody3k},
     1000,
     true},
    {"the same with a body of 20000 bytes",
     "HDR\r\n" + kBody20k,
     {{0, {.lineMode = 0}}},
     {"L HDR\\r\\n", "R " + kBody20k},
     1000,
     true},
    {"the body read with ReceiveString",
     "HDR\r\n" + kBody20k,
     {{0, {.lineMode = 0}}},
     {"L HDR\\r\\n", "R " + kBody20k},
     0,
     true},
    {"line mode back on after 5 raw bytes: the held lines one by one, the last without its end",
     "HDR\r\n12345A\r\nB\r\nC",
     {{0, {.lineMode = 0}}, {1, {.read = 5, .lineMode = 1}}},
     {"L HDR\\r\\n", "R 12345", "L A\\r\\n", "L B\\r\\n", "L C"}},
    {"the same with a new line end",
     "HDR\r\n12345A\nB\nC",
     {{0, {.lineMode = 0}}, {1, {.read = 5, .lineMode = 1, .lineEnd = "\n"}}},
     {"L HDR\\r\\n", "R 12345", "L A\\n", "L B\\n", "L C"}},
    {"the same with a new limit",
     "HDR\r\n12345abcdefgh\r\nC",
     {{0, {.lineMode = 0}}, {1, {.read = 5, .lineMode = 1, .limit = 6}}},
     {"L HDR\\r\\n", "R 12345", "L abcde", "L fgh\\r\\n", "L C"}},
    {"the same with editing switched on",
     "HDR\r\n12345A\r\nB\r\nC",
     {{0, {.lineMode = 0}}, {1, {.read = 5, .lineMode = 1, .edit = 1}}},
     {"L HDR\\r\\n", "R 12345", "L A\\r\\n", "L B\\r\\n", "L C"}},
    {"a new line end in line mode",
     "HDR\r\nA\nB\nC",
     {{0, {.lineEnd = "\n"}}},
     {"L HDR\\r\\n", "L A\\n", "L B\\n", "L C"}},
};

// The bytes and the end of the stream reach the component while it does not
// look, so that the read and the close notifications come together.
void SendAndCloseAtOnce(Conn& conn, const std::string& bytes) {
  conn.s.Pause();
  Peer::SendAll(conn.fd, bytes);
  ::shutdown(conn.fd, SHUT_WR);
  // The end of the stream acknowledged: every byte is at the component's side.
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    tcp_info info{};
    socklen_t len = sizeof info;
    return ::getsockopt(conn.fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_state == TCP_FIN_WAIT2;
  }));
  conn.s.Resume();
  ASSERT_TRUE(PumpUntil([&] { return conn.s.State() == wsClosed; }));
  DrainAll();
}

// The peer sends everything and closes at once: the close is seen before
// anything the handler asks for later, and still every byte comes, in the
// mode in force, with or without a closed handler.
TEST(LineMode, EveryByteThePeerSentComesBeforeTheConnectionGoes) {
  enum Variant { ClosedHandler, NoClosedHandler, PeerStaysOpen };
  for (const LastBytesCase& c : kLastBytesCases) {
    for (Variant v : {ClosedHandler, NoClosedHandler, PeerStaysOpen}) {
      if (v == PeerStaysOpen && !c.alsoOpen) continue;
      SCOPED_TRACE(std::string(c.name) +
                   (v == ClosedHandler ? "" : v == NoClosedHandler ? ", no closed handler" : ", peer open"));
      Conn conn;
      Log log;
      int events = 0;
      conn.s.OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
        LineSocket& s = conn.s;
        auto it = c.steps.find(events++);
        Step step = it != c.steps.end() ? it->second : Step{.read = s.LineMode() ? 4096 : c.rawRead};
        std::string got;
        if (step.read == 0) {
          got = s.ReceiveString();
        } else {
          std::string buf(static_cast<std::size_t>(step.read), '\0');
          int n = s.Receive(buf.data(), step.read);
          if (n > 0) got = buf.substr(0, static_cast<std::size_t>(n));
        }
        if (s.LineMode()) {
          log.push_back("L " + Show(got));
        } else if (!got.empty()) {
          if (log.empty() || log.back().rfind("R ", 0) != 0) log.push_back("R ");
          log.back() += Show(got);
        }
        if (!step.lineEnd.empty()) s.SetLineEnd(step.lineEnd);
        if (step.limit >= 0) s.SetLineLimit(step.limit);
        if (step.edit >= 0) s.SetLineEdit(step.edit == 1);
        if (step.lineMode >= 0) s.SetLineMode(step.lineMode == 1);
      };
      if (v == ClosedHandler) conn.s.OnSessionClosed = [&](plat::TObject*, std::uint16_t) { log.push_back("closed"); };
      conn.s.SetLineMode(true);
      Log expected = c.expected;
      if (v == PeerStaysOpen) {
        Peer::SendAll(conn.fd, c.sent);
        PumpUntil([&] { return log == expected; });
        PumpFor(50);
      } else {
        SendAndCloseAtOnce(conn, c.sent);
        if (v == ClosedHandler) expected.push_back("closed");
      }
      EXPECT_EQ(log, expected);
    }
  }
}

// Held bytes count as received once line mode is off, for whoever asks.
TEST(LineMode, BytesHeldOnceLineModeIsOffCountAsReceived) {
  Conn conn;
  LineRecorder r;
  r.h = {4096, 0, {{0, Only}}};  // off at once, and raw events read nothing
  r.Attach(conn.s);
  conn.s.SetLineMode(true);
  conn.Feed("one\r\ntwo");
  EXPECT_EQ(conn.s.RcvdCount(), 8);
  EXPECT_EQ(conn.s.ReceiveString(), "one\r\ntwo");
  EXPECT_EQ(conn.s.RcvdCount(), 0);
}

// ---- the blocking wait ----------------------------------------------------------------------

std::int64_t CpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The deadline is kept on the 64-bit clock, so a start just below where a
// 32-bit tick count would wrap changes nothing.
TEST(WaitForFlag, TimesOutNearlyIdleWhateverTheClockReads) {
  const std::int64_t bases[] = {-1, 0x7FFFFFFFLL - 50, 0xFFFFFFFFLL - 50};
  for (std::int64_t base : bases) {
    SCOPED_TRACE(base);
    if (base >= 0) {
      std::int64_t start = testsupport::NowMs();
      plat::SetTickSourceForTests([base, start] { return base + (testsupport::NowMs() - start); });
    }
    TWSocket s(nullptr);
    s.SetWaitTimeout(300);
    bool flag = false;
    std::int64_t wall0 = testsupport::NowMs(), cpu0 = CpuMs();
    int rc = s.WaitForFlag(flag);
    std::int64_t wall = testsupport::NowMs() - wall0, cpu = CpuMs() - cpu0;
    plat::SetTickSourceForTests(nullptr);
    EXPECT_EQ(rc, 12001);
    EXPECT_GE(wall, 300);
    EXPECT_LT(wall, 10000);
    EXPECT_LT(cpu * 4, wall) << "the wait spun: " << cpu << " ms of processor in " << wall << " ms";
  }
}

TEST(WaitForFlag, ReturnsOnceAnEventSetsTheFlag) {
  Conn conn;
  bool answered = false;
  conn.s.OnDataAvailable = [&](plat::TObject*, std::uint16_t) {
    char b[16];
    if (conn.s.Receive(b, sizeof b) > 0) answered = true;
  };
  conn.s.SetWaitTimeout(60000);
  int fd = conn.fd;
  std::thread peer;
  std::int64_t wall0 = testsupport::NowMs(), cpu0 = CpuMs();
  int rc = conn.s.RunAndWait(answered, [&] {
    conn.s.SendString("ping");
    peer = std::thread([fd] {
      Peer::ReadExactly(fd, 4);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      Peer::SendAll(fd, "pong");
    });
  });
  std::int64_t wall = testsupport::NowMs() - wall0, cpu = CpuMs() - cpu0;
  peer.join();
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(answered);
  EXPECT_GE(wall, 190);
  EXPECT_LT(wall, 30000) << "it waited for the time-out, not for the flag";
  EXPECT_LT(cpu * 4, wall) << cpu << " ms of processor in " << wall << " ms";

  bool already = true;
  EXPECT_EQ(conn.s.WaitForFlag(already), 0);
}

TEST(WaitForFlag, GivesUpWhenTheProgramQuits) {
  for (bool own : {true, false}) {
    SCOPED_TRACE(own ? "own pump" : "the program's pump");
    TWSocket s(nullptr);
    s.SetMultiThreaded(own);
    bool flag = false;
    plat::PostQuitMessage(7);
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
    EXPECT_EQ(s.QuitSeen(), own);
    // The program's own loop still gets its quit message.
    EXPECT_EQ(plat::QuitWaiting(), !own);
    plat::MSG m;
    if (!own) {
      EXPECT_FALSE(plat::GetMessage(m));
    }
  }
}

// A wait on a thread's own pump ends when the program ends: when the
// program's loop on the main thread takes its quit, however it pumps.
TEST(WaitForFlag, OwnPumpGivesUpAtTheProgramsEnd) {
  struct EndCase {
    const char* name;
    std::function<void()> end;
  };
  const std::vector<EndCase> ends = {
      {"the program's message loop", [] { plat::RunMessageLoop(); }},
      {"a drain of the program's messages",
       [] {
         plat::DrainMessages();
         plat::MSG m;
         plat::GetMessage(m);
       }},
      {"the GUI bridge's batch",
       [] {
         plat::DispatchBatch(16);
         int code = 0;
         plat::TakeQuitRequest(code);
       }},
  };
  for (const EndCase& e : ends) {
    SCOPED_TRACE(e.name);
    plat::ResetProgramEndingForTests();
    std::promise<plat::ThreadQueueId> started;
    std::int64_t waited = 0;
    int rc = 0;
    bool quitSeen = true;
    std::thread worker([&] {
      TWSocket s(nullptr);
      s.SetMultiThreaded(true);
      s.SetWaitTimeout(20000);
      bool flag = false;
      started.set_value(plat::CurrentThreadQueue());
      std::int64_t t0 = testsupport::NowMs();
      rc = s.WaitForFlag(flag);
      waited = testsupport::NowMs() - t0;
      quitSeen = s.QuitSeen();
    });
    // The worker's pump runs this hand-over: it is inside the wait.
    std::promise<void> inside;
    plat::RunOnThread(started.get_future().get(), [&] { inside.set_value(); });
    EXPECT_EQ(inside.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    plat::PostQuitMessage(0);
    e.end();
    worker.join();
    EXPECT_TRUE(plat::ProgramEnding());
    EXPECT_EQ(rc, 12001);
    EXPECT_FALSE(quitSeen) << "the quit was the program's, not the worker's";
    EXPECT_LT(waited, 10000) << "the wait ran to its time-out";
  }
  plat::ResetProgramEndingForTests();
}

// In the GUI programs the bridge takes the quit inside the program's pump,
// so none waits in the queue afterwards: the wait sees the program's end.
TEST(WaitForFlag, ProgramsPumpGivesUpWhenTheBridgeTookTheQuit) {
  plat::ResetProgramEndingForTests();
  plat::SetProcessMessagesHook([] {
    plat::DispatchBatch(256);
    int code = 0;
    plat::TakeQuitRequest(code);
  });
  TWSocket s(nullptr);
  s.SetWaitTimeout(20000);
  bool flag = false;
  // The quit comes during the wait, from work handed to this thread.
  plat::RunOnThread(plat::CurrentThreadQueue(), [] { plat::PostQuitMessage(0); });
  std::int64_t t0 = testsupport::NowMs();
  int rc = s.WaitForFlag(flag);
  std::int64_t waited = testsupport::NowMs() - t0;
  plat::SetProcessMessagesHook(nullptr);
  EXPECT_EQ(rc, 12001);
  EXPECT_LT(waited, 10000) << "the wait ran to its time-out";
  EXPECT_FALSE(plat::QuitWaiting());
  plat::ResetProgramEndingForTests();
}

}  // namespace
