// Fuzz target for what an FTP server sends the client: the control stream
// cut into reads of varying size for the reply reader, and the same bytes
// as a directory listing. Built as a libFuzzer target with clang
// (SITETOOLS_FUZZ) and, everywhere, as a replay of the seed corpus.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/inet/ftpproto.h"

using namespace plat::ftpproto;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const std::size_t kReadSizes[] = {1, 2, 3, 7, 64, 512, 4096, 65536};
  const std::size_t readSize = kReadSizes[data[0] & 7];
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

  ReplyReader reader;
  bool bad = false;
  for (std::size_t pos = 0; pos < input.size() && !bad; pos += readSize) {
    reader.Feed(input.data() + pos, std::min(readSize, input.size() - pos));
    for (;;) {
      Reply r;
      ReplyReader::Result res = reader.Take(r);
      if (res == ReplyReader::Result::Bad) {
        bad = true;
        break;
      }
      if (res == ReplyReader::Result::NeedMore) break;
      Check(r.code >= 100 && r.code <= 599);
      Check(!r.lines.empty() && r.lines.size() <= ReplyReader::kMaxReplyLines);
      for (const auto& l : r.lines) Check(l.size() <= ReplyReader::kMaxLine);
      int port = 0;
      if (ParsePasvPort(r.lines.front(), port)) Check(port > 0 && port <= 65535);
      if (ParseEpsvPort(r.lines.front(), port)) Check(port > 0 && port <= 65535);
      ParsePwdReply(r);
    }
  }

  for (const ListEntry& e : ParseListing(input, 1796904000)) {
    Check(!e.name.empty());
    for (char c : e.name) {
      const auto u = static_cast<unsigned char>(c);
      Check(c != '/' && u >= 0x20 && u != 0x7F);
    }
    MatchesDosMask(e.name, "*.htm");
    MatchesDosMask(e.name, "a*?.*");
  }
  return 0;
}
