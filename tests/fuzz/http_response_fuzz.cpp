// Fuzz target for the HTTP client's response parser: the input is cut into
// reads of varying size and handed to a fresh client as if its socket had
// received them. Built as a libFuzzer target with clang (SITETOOLS_FUZZ)
// and, everywhere, as a replay of the seed corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "httpclient/HttpProt.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // First byte: low bits choose the read size, bit 7 a proxy setting.
  const std::uint8_t control = data[0];
  ++data;
  --size;
  static const int kReadSizes[] = {1, 2, 7, 64, 512, 4096, 8192, 65536};
  const int readSize = kReadSizes[control & 7];

  auto* cli = new THttpCli(nullptr);
  if (control & 0x80) cli->Proxy = "proxy.invalid:3128";
  plat::TMemoryStream body;
  cli->RcvdStream = &body;
  std::string delivered;
  cli->OnDocData = [&](plat::TObject*, const void* b, int n) {
    Check(n >= 0);
    Check(static_cast<const char*>(b)[n] == '\0');
    delivered.append(static_cast<const char*>(b), static_cast<std::size_t>(n));
  };
  cli->OnHeaderData = [&](plat::TObject*) {
    Check(!cli->RcvdLine().empty());
    Check(cli->RcvdLine().find('\n') == std::string::npos);
  };
  std::size_t off = 0;
  while (off < size) {
    int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(readSize), size - off));
    cli->FeedResponseForTests(data + off, n);
    off += static_cast<std::size_t>(n);
  }
  cli->EndResponseForTests();
  Check(cli->RcvdHeader()->Count() <= THttpCli::MaxHeaderLines);
  Check(static_cast<std::size_t>(cli->RcvdByteCount()) == delivered.size());
  Check(body.Data() == delivered);
  plat::Free(cli);
  // The client's window is gone: whatever it posted is dropped here.
  plat::DrainMessages();
  return 0;
}
