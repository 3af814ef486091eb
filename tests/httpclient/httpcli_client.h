// The client under test with every event recorded, for the HTTP client tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "httpclient/HttpProt.h"
#include "tests/httpclient/http_fixture.h"

using httptest::PumpFor;
using httptest::PumpUntil;
using httptest::Script;
using httptest::ScriptedHttpServer;
using plat::TObject;

namespace {

// One client with every event recorded.
struct Client {
  THttpCli* cli = new THttpCli(nullptr);
  std::vector<std::string> events;
  std::string body;
  std::vector<int> chunkSizes;
  int done = 0;
  std::uint16_t error = 0xFFFF;
  THttpRequest doneType = httpNoRequest;
  bool inCall = false;  // set while the test is inside a call of the client

  Client() {
    cli->OnRequestDone = [this](TObject* s, THttpRequest rq, std::uint16_t e) {
      EXPECT_EQ(s, cli);
      EXPECT_FALSE(inCall) << "OnRequestDone fired inside a call";
      EXPECT_EQ(cli->State(), httpIdle);
      ++done;
      error = e;
      doneType = rq;
      events.push_back("RequestDone");
    };
    cli->OnSessionConnected = [this](TObject*) { events.push_back("SessionConnected"); };
    cli->OnRequestHeaderBegin = [this](TObject*) { events.push_back("RequestHeaderBegin"); };
    cli->OnRequestHeaderEnd = [this](TObject*) { events.push_back("RequestHeaderEnd"); };
    cli->OnHeaderBegin = [this](TObject*) { events.push_back("HeaderBegin"); };
    cli->OnHeaderData = [this](TObject*) { events.push_back("HeaderData " + cli->RcvdLine()); };
    cli->OnHeaderEnd = [this](TObject*) { events.push_back("HeaderEnd"); };
    cli->OnDocBegin = [this](TObject*) { events.push_back("DocBegin"); };
    cli->OnDocData = [this](TObject*, const void* b, int n) {
      EXPECT_EQ(static_cast<const char*>(b)[n], '\0');  // always followed by a zero byte
      body.append(static_cast<const char*>(b), static_cast<std::size_t>(n));
      chunkSizes.push_back(n);
      events.push_back("DocData");
    };
    cli->OnDocEnd = [this](TObject*) { events.push_back("DocEnd"); };
    cli->OnLocationChange = [this](TObject*) { events.push_back("LocationChange " + cli->Path()); };
  }
  ~Client() { plat::Free(cli); }

  void Start(const std::string& url, THttpRequest rq = httpGet) {
    cli->URL = url;
    inCall = true;
    cli->StartRequest(rq);
    inCall = false;
  }
  bool Wait(int ms = 10000) { return PumpUntil([&] { return done > 0; }, ms); }
  bool Get(const std::string& url) {
    Start(url);
    return Wait();
  }
  // The events without the request-writing ones, for the response side.
  std::vector<std::string> ResponseEvents() const {
    std::vector<std::string> r;
    for (const auto& e : events)
      if (e != "SessionConnected" && e != "RequestHeaderBegin" && e != "RequestHeaderEnd") r.push_back(e);
    return r;
  }
};

inline std::string Hdr(const std::string& host) { return "Host: " + host + "\r\n"; }

}  // namespace
