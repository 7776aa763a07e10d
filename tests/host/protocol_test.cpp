// Every format of the pipe and the files, as docs/protocol.md gives it: what the writer makes, the
// reader gives back; what the reader refuses, the writer never makes.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <algorithm>
#include <tuple>
#include <vector>

#include "protocol/answer.h"
#include "protocol/control_files.h"
#include "protocol/request.h"
#include "protocol/status_document.h"
#include "protocol/token_file.h"

namespace tolm {
namespace {

using namespace std::string_literals;

const std::string kToken(64, 'a');

// 2. The request: the document's bytes, and the reader's rules around them.
TEST(Request, TheDocumentsRequestsAreMadeAndRead) {
  EXPECT_EQ(frame_request(kToken), "AUTH " + kToken + "\nFRAME\n");
  EXPECT_EQ(status_request(kToken), "AUTH " + kToken + "\n");
  const std::string status = status_request(kToken);
  EXPECT_TRUE(is_authorized(status, kToken) && !wants_frame(status));
  EXPECT_FALSE(is_authorized(frame_request(kToken), std::string(64, 'b')));
}

TEST(Authorization, LinesThatLetTheClientIn) {
  for (const std::string& request : {
           "AUTH " + kToken + "\nFRAME\n",
           "AUTH " + kToken + "\r\nFRAME\r\n",
           "auth " + kToken,
           " \t AUTH    " + kToken + " \xC2\xA0\n",
           "AUTH wrong\nAUTH " + kToken + "\n",
           "AUTH " + kToken + "\nAUTH wrong\n",
           "AUTH " + kToken + "\n\0"s,  // a NUL after the last line feed does no harm
       }) {
    EXPECT_TRUE(is_authorized(request, kToken)) << request;
  }
}

TEST(Authorization, LinesThatDoNot) {
  for (const std::string& request : {
           ""s,
           "FRAME\n"s,
           "Auth " + kToken,
           "AUTH\t" + kToken,
           "AUTH " + std::string(64, 'A'),
           "AUTH " + kToken + " FRAME",
           "AUTH " + kToken + "\0"s,  // a C string's terminator is part of the line
           "AUTH " + kToken.substr(1),
           "AUTH " + kToken + "a",
           "AUTH" + kToken,
       }) {
    EXPECT_FALSE(is_authorized(request, kToken)) << request;
  }
  EXPECT_FALSE(is_authorized("AUTH x\n", ""));
}

TEST(Request, FrameIsFoundInAnyCaseAnywhere) {
  EXPECT_TRUE(wants_frame("AUTH t\nframe"));
  EXPECT_TRUE(wants_frame("AUTH t\ngetFrame\n"));
  EXPECT_TRUE(wants_frame("xFRAMEx"));
  EXPECT_FALSE(wants_frame("AUTH t\nstatus\nFRAM\nE"));
  EXPECT_FALSE(wants_frame(""));
}

// The stream request: what the document shows is written and read back; a line that does not read
// so leaves a plain frame request.
TEST(Request, AStreamRequestNamesTheFrameHeld) {
  EXPECT_EQ(stream_request(kToken, {1234, 1000, true, false}),
            "AUTH " + kToken + "\nFRAME\nNEXT 1234 1000 CHANGED\n");
  for (const StreamRequest& r : {StreamRequest{0, 0, false, false}, {4294967295u, 1000, true, true},
                                 {7, 60000, false, true}}) {
    const std::string request = stream_request(std::string(180, 'F'), r);  // the longest token
    EXPECT_TRUE(is_authorized(request, std::string(180, 'F')) && wants_frame(request));
    EXPECT_LE(request.size(), kMaxRequestBytes);
    EXPECT_EQ(read_stream_request(request), r);
  }
  EXPECT_EQ(read_stream_request("FRAME\n  NEXT 5 20 LATER CHANGED \r\n"),
            (StreamRequest{5, 20, true, false}));
  for (const char* plain : {"FRAME\n", "FRAME\nNEXT\n", "FRAME\nNEXT 5\n", "FRAME\nNEXT x 5\n",
                            "FRAME\nNEXT 4294967296 5\n", "FRAME\nNEXT 5  5\n", "NEXT -1 5"}) {
    EXPECT_FALSE(read_stream_request(plain)) << plain;
  }
}

// 3. The answers. What the server sends for a frame: its header, then pixels 0, 1, 2, ...
std::string frame_bytes(std::uint32_t width, std::uint32_t height) {
  std::string pixels;
  for (std::uint32_t i = 0; i < width * height * 4; ++i) pixels.push_back(static_cast<char>(i));
  return encode_frame_header({width, height, width * 4, width * height * 4}) + pixels;
}

TEST(Answer, TheDocumentsFrameAndErrorsAreWrittenAndRead) {
  const std::string example =
      "RFRA\x02\0\0\0\x01\0\0\0\x08\0\0\0\x08\0\0\0\xFF\0\0\0\0\0\xFF\0"s;
  EXPECT_EQ(encode_frame_header({2, 1, 8, 8}) + example.substr(20), example);
  const Answer frame = read_answer(example, true);
  ASSERT_EQ(frame.kind, AnswerKind::kFrame) << frame.problem;
  EXPECT_EQ(std::tuple(frame.frame.width, frame.frame.height, frame.frame.stride),
            std::tuple(2u, 1u, 8u));
  EXPECT_EQ(std::string(frame.frame.pixels.begin(), frame.frame.pixels.end()), example.substr(20));
  for (const auto& [width, height] : {std::pair{1u, 1u}, {3u, 2u}, {320u, 180u}}) {
    const std::string bytes = frame_bytes(width, height);
    const Answer a = read_answer(bytes, true);
    EXPECT_TRUE(a.kind == AnswerKind::kFrame && a.frame.pixels.size() == width * height * 4 &&
                a.frame.pixels.data() == reinterpret_cast<const std::uint8_t*>(bytes.data()) + 20);
  }

  EXPECT_EQ(kUnauthorizedResponse, "RERR{\"ok\":false,\"error\":\"unauthorized\"}\n");
  EXPECT_EQ(kNoFrameResponse, "RERR{\"ok\":false,\"error\":\"no frame\"}\n");
  EXPECT_EQ(kUnauthorizedResponse.size() + kNoFrameResponse.size(), 40u + 36u);
  EXPECT_EQ(read_answer(kUnauthorizedResponse, false).kind, AnswerKind::kUnauthorized);
  EXPECT_EQ(read_answer(kNoFrameResponse, true).kind, AnswerKind::kNoFrame);
  EXPECT_EQ(read_answer(kEmptyStatusResponse, false).text, "{}\n");

  // Answers that do not fit the question, or that the server never sends.
  for (const std::string& odd : {std::string("{}\n"), std::string("RERR{\"error\":\"other\"}\n"),
                                 std::string(kUnauthorizedResponse) + "x"}) {
    EXPECT_EQ(read_answer(odd, true).kind, AnswerKind::kMalformed) << odd;
  }
  for (const std::string& odd : {frame_bytes(3, 2), std::string(), std::string("{\"a\":")}) {
    EXPECT_EQ(read_answer(odd, false).kind, AnswerKind::kMalformed) << odd;
  }
}

TEST(Answer, FramesThatDoNotAddUpAreFound) {
  const std::string bytes = frame_bytes(4, 3);
  for (const std::size_t cut : {std::size_t{0}, std::size_t{19}, std::size_t{20}}) {
    EXPECT_EQ(read_answer(bytes.substr(0, cut), true).kind, AnswerKind::kMalformed) << cut;
  }
  EXPECT_EQ(read_answer(bytes.substr(0, bytes.size() - 1), true).problem,
            "frame cut short: 47 of 48 pixel bytes");
  EXPECT_EQ(read_answer(bytes + "x", true).kind, AnswerKind::kMalformed);

  // The length agrees with the bytes, but not with width, height and stride; and a header whose
  // product passes 32 bits must not wrap around to the length.
  for (const auto& [at, value, keep] :
       {std::tuple{4, 5, bytes.size()}, std::tuple{8, 0, bytes.size()},
        std::tuple{4, 0, bytes.size()}, std::tuple{11, 0x40, std::size_t{20}}}) {
    std::string lying = bytes.substr(0, keep);
    lying[at] = static_cast<char>(value);
    if (keep == 20) lying[8] = lying[16] = 0;  // height 0x40000000 * stride 16, length 0
    EXPECT_EQ(read_answer(lying, true).kind, AnswerKind::kMalformed) << at;
  }
}


// The document's example of a next-frame answer, and changed pixels that patch the frame held.
TEST(Answer, TheDocumentsNextFrameIsWrittenReadAndApplied) {
  NextHeader h{7, 1767225600000, 64, 32, 256, Payload::kChanged, 4096, {{0, 0, 32, 32}},
               "Default"};
  const std::string header = encode_next_header(h);
  EXPECT_EQ(header,
            "RNXT\x47\0\0\0\x07\0\0\0\0\xA8\xDA\x76\x9B\x01\0\0\x40\0\0\0\x20\0\0\0\0\x01\0\0"
            "\x01\0\0\0\0\x10\0\0\x01\0\0\0\x07\0\0\0\0\0\0\0\0\0\0\0\x20\0\0\0\x20\0\0\0"
            "Default"s);
  const std::string answer = header + std::string(4096, '\x11');
  const Answer a = read_answer(answer, true);
  ASSERT_EQ(a.kind, AnswerKind::kNext) << a.problem;
  EXPECT_EQ(a.next, h);
  EXPECT_EQ(a.payload.size(), 4096u);

  // The patched copy is the frame a whole answer would carry.
  std::vector<std::uint8_t> held(256 * 32, 0x22), whole = held;
  for (std::uint32_t y = 0; y < 32; ++y) std::fill_n(whole.begin() + y * 256, 128, 0x11);
  ASSERT_TRUE(apply_payload(held, a.next, a.payload));
  EXPECT_EQ(held, whole);
  std::vector<std::uint8_t> other_size(16);  // not the frame held: only a whole frame mends it
  EXPECT_FALSE(apply_payload(other_size, a.next, a.payload));

  // Refused: cut short, a rectangle outside, a payload that is not what the header announces.
  EXPECT_EQ(read_answer(answer.substr(0, answer.size() - 1), true).kind, AnswerKind::kMalformed);
  NextHeader outside = h;
  outside.changed = {{40, 0, 32, 32}};
  EXPECT_EQ(read_answer(encode_next_header(outside) + std::string(4096, 0), true).kind,
            AnswerKind::kMalformed);
  NextHeader whole_kind = h;
  whole_kind.payload = Payload::kWhole;
  EXPECT_EQ(read_answer(encode_next_header(whole_kind) + std::string(4096, 0), true).kind,
            AnswerKind::kMalformed);
  // In shared memory: no payload, the section's handle and size after the desktop's name.
  NextHeader shared = h;
  shared.payload = Payload::kShared;
  shared.payload_bytes = 0;
  shared.section = 0x1234;
  shared.section_bytes = 8192;
  EXPECT_EQ(read_answer(encode_next_header(shared), true).next, shared);
  shared.section_bytes = 8191;  // smaller than its frame
  EXPECT_EQ(read_answer(encode_next_header(shared), true).kind, AnswerKind::kMalformed);
  EXPECT_EQ(read_answer(kNoNewFrameResponse, true).kind, AnswerKind::kNoNewFrame);
  EXPECT_EQ(kNoNewFrameResponse.size(), 40u);
}

// 4. The status document.
constexpr std::uint64_t kNewYear2026 = 1767225600000;

TEST(StatusDocument, TheDocumentsExamplesAreWrittenAndReadBack) {
  const std::string worker =
      R"({"ok":true,"desktop":"Default","secureDesktop":false,"helperFrames":true,)"
      R"("driverLoaded":false,"driverCapture":false,"backend":"bitblt","seq":120,)"
      R"("ts":1767225600000})" "\n";
  const std::string service =
      R"({"ok":true,"desktop":"","secureDesktop":false,"helperFrames":false,)"
      R"("driverLoaded":false,"driverCapture":false,"backend":"service",)"
      R"("note":"worker session=1","seq":0,"ts":1767225600000})" "\n";
  EXPECT_EQ(format_worker_status("Default", true, 120, kNewYear2026), worker);
  EXPECT_EQ(format_service_status("worker session=1", kNewYear2026), service);
  for (const std::string& doc : {worker, service}) {
    const std::optional<StatusDocument> read = parse_status(doc);
    ASSERT_TRUE(read) << doc;
    EXPECT_EQ(format_status(*read), doc);
  }
  // Whatever the writer is given, the reader takes back what it wrote (the fuzzer tries the rest).
  const StatusDocument odd = worker_status("Win\"log\"on\n", true, 4294967295u, ~0ULL, "\"a\"");
  EXPECT_EQ(parse_status(format_status(odd)), odd);
  // Refused, and never written: cut short, another order, a quote left inside a string, a leading
  // zero, a number out of range, a member missing.
  const std::string body = worker.substr(0, worker.size() - 1);
  for (const std::string& bad :
       {body.substr(0, body.size() - 1), worker + "x", R"({"desktop":"Default","ok":true})"s,
        std::string(body).replace(22, 0, "\""),
        std::string(body).replace(body.find("120"), 3, "0120"),
        std::string(body).replace(body.find("120"), 3, "4294967296"),
        std::string(body).replace(body.find(R"("driverLoaded")"), 21, "")}) {
    EXPECT_FALSE(parse_status(bad)) << bad;
  }
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

// 5. The token file.
const std::string kLower(64, 'a');
const std::string kDigits = "0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdefABCD";

TEST(TokenFile, AMadeTokenIsReadBackUnchanged) {
  TokenBytes bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 8 + 7);
  EXPECT_EQ(accept_token_file(format_token(bytes)), format_token(bytes));
}

TEST(TokenFile, AcceptsTrimmedHexOfAtLeast64DigitsUnchanged) {
  ASSERT_EQ(kDigits.size(), 64u);
  // Trimmed as White_Space: U+00A0, U+3000, U+2029 and U+0085.
  EXPECT_EQ(accept_token_file("\xC2\xA0\xE3\x80\x80" + kDigits + "\xE2\x80\xA9\xC2\x85"), kDigits);
  const std::string long_token = kDigits + kDigits;
  EXPECT_EQ(accept_token_file(long_token + "\n"), long_token);
}

TEST(TokenFile, RejectsShortNonHexAndNonUtf8) {
  const std::string bad[] = {
      "",
      "\r\n",
      kLower.substr(0, 63),
      kLower.substr(0, 63) + " \n",
      kLower.substr(0, 32) + " " + kLower.substr(0, 32),
      "\xEF\xBB\xBF" + kLower,  // the byte-order mark U+FEFF is not White_Space
      kLower + "\xEF\xBB\xBF",
      kLower + "\xFF",  // invalid UTF-8 even where it would be trimmed
      "\xC2" + kLower,
      "\xC0\xA0" + kLower,  // overlong space
      kLower.substr(0, 63) + "g",
      "0x" + kLower,
      kLower.substr(0, 40) + "\xEF\xBC\xA1" + kLower.substr(0, 30),  // full-width A
      kLower + std::string(1, '\0'),
  };
  for (const std::string& text : bad) {
    EXPECT_EQ(accept_token_file(text), std::nullopt) << testing::PrintToString(text);
  }
}

// 6. The control files.
TEST(ControlFiles, WrittenSettingsAreReadBack) {
  for (const CaptureTarget t : {CaptureTarget{640, 360}, {1280, 720}, {2560, 1440}}) {
    EXPECT_EQ(capture_target_setting(format_capture_target(t)), t);
  }
  for (const std::uint64_t index : {0ULL, 1ULL, ~0ULL}) {
    EXPECT_EQ(display_index_setting(format_display_index(index)), index);
  }
}

CaptureTarget target(std::string_view text) { return parse_capture_target(text); }
const CaptureTarget kDefault{1920, 1080};

TEST(CaptureTargetFile, AcceptedFormsAndClamping) {
  EXPECT_EQ(target("1280x720"), (CaptureTarget{1280, 720}));
  EXPECT_EQ(target("  1280X720\r\n"), (CaptureTarget{1280, 720}));
  EXPECT_EQ(target("+1280x+720"), (CaptureTarget{1280, 720}));
  EXPECT_EQ(target("100x100"), (CaptureTarget{640, 360}));
  EXPECT_EQ(target("4000x3000"), (CaptureTarget{2560, 1440}));
  EXPECT_EQ(target("3000x200"), (CaptureTarget{2560, 360}));
  EXPECT_EQ(target("4294967295x0"), (CaptureTarget{2560, 360}));
}

TEST(CaptureTargetFile, AnythingMalformedGivesTheDefault) {
  for (const char* bad :
       {"1280 x 720", "x720", "1280x", "1280x720x5", "-1280x720", "1280*720", "12800000000x720",
        "", "\xEF\xBB\xBF" "1280x720", "1280x72\xFF", "1280x4294967296", "+x720"}) {
    EXPECT_EQ(target(bad), kDefault) << bad;
  }
  EXPECT_EQ(parse_capture_target(std::nullopt), kDefault);
}

TEST(DisplayIndexFile, ParsesOrFallsBackToZero) {
  EXPECT_EQ(parse_display_index("1\r\n"), 1u);
  EXPECT_EQ(parse_display_index("+2"), 2u);
  EXPECT_EQ(parse_display_index("18446744073709551615"), ~0ULL);
  for (const char* bad : {"-1", "ab", "", "\xEF\xBB\xBF" "1", "18446744073709551616", "1 2", "++1",
                          "+", "0x10", "\xEF\xBC\x91"}) {  // the last: a full-width 1
    EXPECT_EQ(parse_display_index(bad), 0u) << bad;
  }
  EXPECT_EQ(parse_display_index(std::nullopt), 0u);
}

}  // namespace
}  // namespace tolm
