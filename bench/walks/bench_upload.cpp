// Runs the publishing program's upload walk headless, as the Upload
// commands do: the stamps are loaded from a file, the walk runs, the stamps
// are written back. Prints one key=value line; the script times the process.
//
//   bench_upload STAMPS changed|all HOST PORT USER PASSWORD LOCAL REMOTE
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ftpcomponents/SimpFTP.h"
#include "sitepublishing/PrjCls.h"
#include "tests/support/walk_fakes.h"

int main(int argc, char** argv) {
  if (argc != 9) {
    std::fprintf(stderr, "usage: bench_upload STAMPS changed|all HOST PORT USER PASSWORD LOCAL REMOTE\n");
    return 2;
  }
  const std::string stamps = argv[1];
  const bool onlyChanged = std::string(argv[2]) == "changed";

  TSimpleFTP ftp(nullptr);
  ftp.SilentExceptions = false;
  ftp.SetPassive(true);
  ftp.Port = std::atoi(argv[4]);
  walkfakes::Form form(&ftp);
  walkfakes::UploadLog log;
  form.Texts[pfFTPHost] = argv[3];
  form.Texts[pfFTPLogin] = argv[5];
  form.Texts[pfFTPPassword] = argv[6];
  form.Texts[pfPath] = argv[7];
  form.Texts[pfFTPPath] = argv[8];
  form.Texts[pfExclude] = "zvp:inc:";
  Project->Form = &form;
  Project->UploadLog = &log;

  FILE* f = std::fopen(stamps.c_str(), "rb");
  if (f) {
    std::fclose(f);
    VersionList->LoadFromFile(stamps);
  }
  Project->Upload(onlyChanged);
  std::string text;
  VersionList->WriteSection(text);
  WriteFileAtomically(stamps, text);

  int sent = 0;
  for (const auto& l : log.Lines)
    if (l.Text.rfind("uploading file ", 0) == 0) ++sent;
  for (const auto& l : log.Lines)
    if (l.Kind == lkError) std::fprintf(stderr, "error: %s\n", l.Text.c_str());
  std::printf("tool=walk sent=%d errors=%d stamps=%d\n", sent, log.ErrorCount(), VersionList->Count());
  Project->Form = nullptr;
  Project->UploadLog = nullptr;
  return log.ErrorCount() == 0 ? 0 : 1;
}
