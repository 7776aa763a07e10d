// The check's verdicts on what it saw, and its two ways of saying them.
#include <gtest/gtest.h>

#include "client/bmp.h"
#include "client/check.h"

namespace tolm::check {
namespace {

Observations all_well() {
  Observations o;
  o.service = {Seen::kPresent, ServiceState::kRunning, StartType::kAuto, 100};
  o.pipe = {true, "", "S-1-5-18", "NT AUTHORITY\\SYSTEM", true, 101, "C:\\helper.exe"};
  o.folder = {Seen::kPresent, false, true, "S-1-5-18", true, false, {}};
  o.token = {Seen::kPresent, true, false, false};
  const StatusDocument first = worker_status("Default", true, 10, 1000);
  const StatusDocument last = worker_status("Default", true, 70, 2000);
  o.status.location = "C:\\ProgramData\\Tolm\\tolm-capture-helper.status.json";
  add_worker_document(o.status, first, 1100);
  add_worker_document(o.status, last, 2100);
  o.frames = {"", 3, 0, "", 1920, 1080, 1.0, {50, 60, 70}, 3 * 8294420};
  o.capture.monitors = 1;
  return o;
}

TEST(Check, EachPartFoundWrongIsTheFirstProblemWithWhatToDo) {
  EXPECT_TRUE(healthy(judge(all_well())));
  EXPECT_TRUE(as_text(judge(all_well())).ends_with("\nhealthy\n"));
  const struct {
    void (*spoil)(Observations&);
    const char* topic;
    const char* advice;  // the start of it
  } cases[] = {
      {[](Observations& o) { o.service.state = ServiceState::kStopped; }, "service",
       "the service is stopped: sc.exe start TolmCaptureHelper"},
      {[](Observations& o) { o.service = {}; o.pipe = {}; }, "service", "install "},
      {[](Observations& o) { o.pipe = {}; }, "pipe", "the service runs but no worker"},
      {[](Observations& o) { o.pipe.trusted = false; }, "pipe", "another program holds"},
      {[](Observations& o) { o.folder.is_link = true; }, "data", "the helper will not use it"},
      {[](Observations& o) { o.folder.others_may_change = true; }, "data", "restart the service"},
      {[](Observations& o) { o.token.others_may_change = true; }, "token", "anyone may lock"},
      {[](Observations& o) { o.token.others_may_open = true; }, "token", "anyone who may open"},
      {[](Observations& o) { o.pipe.denied = true; }, "pipe", "only SYSTEM and Administrators"},
      // Stale past the longest gap seen between two documents, 1 s here.
      {[](Observations& o) { o.status.last_read_ms = 5001; }, "status", "nothing is writing"},
      {[](Observations& o) { o.status.last->ts = 3101; }, "status", "the status was not written"},
      {[](Observations& o) { o.status.last->note = std::string(kPipeNameHeldNote); }, "status",
       "another program created the pipe first"},
      {[](Observations& o) { o.frames = {"", 0, 1, "unauthorized: x", 0, 0, 1, {}, 0}; },
       "frames", "the token was refused"},
      {[](Observations& o) { o.capture.target_file = "1280 x 720"; }, "settings",
       "a control file holds no setting"},
  };
  for (const auto& c : cases) {
    Observations o = all_well();
    c.spoil(o);
    const std::vector<Finding> findings = judge(o);
    const auto first = std::find_if(findings.begin(), findings.end(),
                                    [](const Finding& f) { return !f.ok; });
    ASSERT_NE(first, findings.end()) << c.topic;
    EXPECT_EQ(first->topic, c.topic);
    EXPECT_TRUE(first->advice.starts_with(c.advice)) << first->advice;
    EXPECT_TRUE(as_text(findings).ends_with("\nPROBLEM: " + first->advice + "\n"));
  }
}

TEST(Check, WhatItPrintsIsFreeOfControlCharactersAndJsonEscaped) {
  // A planted document's escape sequence never reaches the console.
  Observations o = all_well();
  o.status.last->desktop = "\x1b[2J\xc2\x9b" "31mDefault";
  EXPECT_NE(judge(o)[4].detail.find(": desktop \"[2J31mDefault\""), std::string::npos);
  const std::string json = as_json({{"pipe", false, "a\"b\\c\n\x01", "do \"x\""}});
  EXPECT_EQ(json, "{\"healthy\":false,\"findings\":[{\"topic\":\"pipe\",\"ok\":false,\"detail\":"
                  "\"a\\\"b\\\\c\\u000a\\u0001\",\"advice\":\"do \\\"x\\\"\"}],\"advice\":"
                  "\"do \\\"x\\\"\"}\n");
}

TEST(Bmp, RowsAreBottomUpBgrPaddedToFourBytes) {
  std::vector<std::uint8_t> pixels(24);
  for (std::uint8_t i = 0; i < 24; ++i) pixels[i] = i;
  const std::string bmp = client::encode_bmp({3, 2, 12, pixels});
  ASSERT_EQ(bmp.size(), 54u + 2 * 12);  // 3 pixels * 3 bytes, padded to 12
  // File size 78, pixels at 54; 3 x 2 with a positive height (bottom-up), 1 plane, 24 bits, no
  // compression, 24 pixel bytes, 2835 pixels a metre (72 dpi).
  const char header[] =
      "BM\x4e\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x03\0\0\0\x02\0\0\0\x01\0\x18\0\0\0\0\0"
      "\x18\0\0\0\x13\x0b\0\0\x13\x0b\0\0\0\0\0\0\0\0\0\0";
  EXPECT_EQ(bmp.substr(0, 54), std::string(header, 54));
  // The file's first row is the frame's bottom row (bytes 12..23), reserved bytes dropped.
  EXPECT_EQ(bmp.substr(54, 12), std::string("\x0c\x0d\x0e\x10\x11\x12\x14\x15\x16\0\0\0", 12));
  EXPECT_EQ(bmp[54 + 12 + 8], 10);  // the top row's third pixel, blue
}

}  // namespace
}  // namespace tolm::check
