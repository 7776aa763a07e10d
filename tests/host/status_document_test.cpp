// The status document, byte for byte.
#include <gtest/gtest.h>

#include "status/status_document.h"

namespace tolm {
namespace {

constexpr std::uint64_t kNewYear2026 = 1767225600000;

TEST(StatusDocument, TheTwoVariantsComeOutExactly) {
  EXPECT_EQ(format_worker_status("Default", true, 120, kNewYear2026),
            R"({"ok":true,"desktop":"Default","secureDesktop":false,"helperFrames":true,)"
            R"("driverLoaded":false,"driverCapture":false,"backend":"bitblt","seq":120,)"
            R"("ts":1767225600000})"
            "\n");
  EXPECT_EQ(format_service_status("worker session=1", kNewYear2026),
            R"({"ok":true,"desktop":"","secureDesktop":false,"helperFrames":false,)"
            R"("driverLoaded":false,"driverCapture":false,"backend":"service",)"
            R"("note":"worker session=1","seq":0,"ts":1767225600000})"
            "\n");
  EXPECT_EQ(format_worker_status("Default", false, 0, 0),
            R"({"ok":true,"desktop":"Default","secureDesktop":false,"helperFrames":false,)"
            R"("driverLoaded":false,"driverCapture":false,"backend":"none","seq":0,"ts":0})"
            "\n");
}

std::string between(const std::string& doc, const std::string& from, const std::string& to) {
  const std::size_t start = doc.find(from) + from.size();
  return doc.substr(start, doc.find(to, start) - start);
}

TEST(StatusDocument, DesktopNamesAndTheSecureFlag) {
  const struct {
    const char* name;
    const char* written;
    const char* secure;
  } cases[] = {
      {"Default", "Default", "false"},   {"DEFAULT", "DEFAULT", "false"},
      {"default", "default", "false"},   {"", "", "false"},
      {"Winlogon", "Winlogon", "true"},  {"Win\"log\"on", "Winlogon", "true"},
      {"a\\b", "a\\b", "true"},          {"Defaults", "Defaults", "true"},
      {"Defaulx", "Defaulx", "true"},    {"\"Default\"", "Default", "true"},  // the name as given
      // Control characters go, C1 ones too; the characters around them stay.
      {"a\n\r\tb\x7F", "ab", "true"},
      {"a\xC2\x85\xC2\x9F\xC2\xA0" "b", "a\xC2\xA0" "b", "true"},
  };
  for (const auto& c : cases) {
    const std::string doc = format_worker_status(c.name, false, 1, 2);
    EXPECT_EQ(between(doc, R"("desktop":")", R"(","secureDesktop")"), c.written) << c.name;
    EXPECT_EQ(between(doc, R"("secureDesktop":)", ","), c.secure) << c.name;
    EXPECT_EQ(doc.find('\n'), doc.size() - 1) << c.name;
  }
}

TEST(StatusDocument, NoteQuotesBecomeApostrophesAndSeqCoversItsRange) {
  const std::string note = format_service_status(R"(spawn failed: "x" gone)", 5);
  EXPECT_EQ(between(note, R"("note":")", R"(","seq")"), "spawn failed: 'x' gone");
  EXPECT_NE(format_worker_status("Default", true, 4294967295u, 5).find(R"("seq":4294967295,)"),
            std::string::npos);
}

}  // namespace
}  // namespace tolm
