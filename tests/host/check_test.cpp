// The check's verdicts on what it saw, and its two ways of saying them.
#include <gtest/gtest.h>

#include "base/locations.h"
#include "client/check.h"

namespace tolm::check {
namespace {

Observations all_well() {
  Observations o;
  o.service = {Seen::kPresent, 4, 2, 100};
  o.pipe = {true, "", "S-1-5-18", "NT AUTHORITY\\SYSTEM", true, 101, "C:\\helper.exe"};
  o.folder = {Seen::kPresent, false, true, "S-1-5-18", true, false, {}};
  o.token = {Seen::kPresent, true, false, false};
  const StatusFields first{"Default", false, true, "bitblt", std::nullopt, 10, 1000};
  StatusFields last = first;
  last.seq = 70;
  last.ts = 2000;
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
      {[](Observations& o) { o.service.state = 1; }, "service",
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

TEST(Check, StatusDocumentsAreReadAndJsonEscaped) {
  const auto worker = parse_status(R"({"ok":true,"desktop":"Win\lo","secureDesktop":true,)"
                                   R"("helperFrames":false,"driverLoaded":false,)"
                                   R"("driverCapture":false,"backend":"none","seq":7,"ts":9})");
  ASSERT_TRUE(worker);
  EXPECT_EQ(worker->desktop, "Win\\lo");
  EXPECT_TRUE(worker->secure && !worker->frames && !worker->note && worker->seq == 7);
  EXPECT_EQ(parse_status(R"({"ok":true,"desktop":"","backend":"service","note":"worker session=1")")
                .has_value(), false);  // cut short
  // A planted document's escape sequence never reaches the console.
  Observations o = all_well();
  o.status.last->desktop = "\x1b[2J\xc2\x9b" "31mDefault";
  EXPECT_NE(judge(o)[4].detail.find(": desktop \"[2J31mDefault\""), std::string::npos);
  const std::string json = as_json({{"pipe", false, "a\"b\\c\n\x01", "do \"x\""}});
  EXPECT_EQ(json, "{\"healthy\":false,\"findings\":[{\"topic\":\"pipe\",\"ok\":false,\"detail\":"
                  "\"a\\\"b\\\\c\\u000a\\u0001\",\"advice\":\"do \\\"x\\\"\"}],\"advice\":"
                  "\"do \\\"x\\\"\"}\n");
}

}  // namespace
}  // namespace tolm::check
