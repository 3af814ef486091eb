// The run engine's per-user client and the state of the one test that runs
// at a time.
#pragma once

#include <cstdint>
#include <string>

#include "httpclient/HttpProt.h"

// One simulated user: an HTTP client plus its number within the run. Its
// Tag holds the request's start stamp (plat::TickMs).
class mythttpcli : public THttpCli {
 public:
  using THttpCli::THttpCli;
  std::int32_t RequestNo = 0;
};

// TickMs at "Start Test": the origin of the chart's time axis.
extern std::int64_t teststartms;
// TickMs at the start of the current run.
extern std::int64_t runstart;
// Body bytes received in the current run.
extern std::int64_t runbytes;
// The stream that writes "temp.htm" while the test's first request runs.
extern plat::TFileStream* tempstream;

// The folder "temp.htm" goes to when the program's own folder cannot take it.
std::string EngineDataFolder();
// Tests put "temp.htm" elsewhere than beside the test executable; empty:
// the program's folder.
extern std::string programfolderoverride;
