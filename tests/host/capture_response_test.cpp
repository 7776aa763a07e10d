#include "client/capture_response.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "capture/frame.h"
#include "server/request.h"

namespace {

using tolm::client::Kind;
using tolm::client::read_response;

// What the server sends for a frame: its own header, then the pixels.
std::string frame_bytes(std::uint32_t width, std::uint32_t height) {
  tolm::Frame frame;
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  for (std::uint32_t i = 0; i < width * height * 4; ++i) frame.pixels.push_back(static_cast<std::uint8_t>(i));
  const std::string pixels(frame.pixels.begin(), frame.pixels.end());
  return tolm::frame_header(frame) + pixels;
}

std::uint32_t word(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + i]);
  return v;
}

TEST(CaptureResponse, RequestsAreWhatTheServerAuthorizes) {
  const std::string token(64, 'b');
  EXPECT_TRUE(tolm::is_authorized(tolm::client::frame_request(token), token));
  EXPECT_TRUE(tolm::wants_frame(tolm::client::frame_request(token)));
  EXPECT_TRUE(tolm::is_authorized(tolm::client::status_request(token), token));
  EXPECT_FALSE(tolm::wants_frame(tolm::client::status_request(token)));
}

TEST(CaptureResponse, TellsTheServersAnswersApart) {
  EXPECT_EQ(read_response(tolm::kUnauthorizedResponse, true).kind, Kind::kUnauthorized);
  EXPECT_EQ(read_response(tolm::kUnauthorizedResponse, false).kind, Kind::kUnauthorized);
  EXPECT_EQ(read_response(tolm::kNoFrameResponse, true).kind, Kind::kNoFrame);

  const tolm::client::Response status = read_response("{\"a\":1}\n", false);
  ASSERT_EQ(status.kind, Kind::kStatus);
  EXPECT_EQ(status.text, "{\"a\":1}\n");

  const std::string bytes = frame_bytes(3, 2);
  const tolm::client::Response frame = read_response(bytes, true);
  ASSERT_EQ(frame.kind, Kind::kFrame) << frame.problem;
  EXPECT_EQ(frame.frame.width, 3u);
  EXPECT_EQ(frame.frame.height, 2u);
  EXPECT_EQ(frame.frame.pixels.size(), 24u);
  EXPECT_EQ(frame.frame.pixels[23], 23);

  // Answers that do not fit the question, or that the server never sends.
  EXPECT_EQ(read_response("{}\n", true).kind, Kind::kMalformed);
  EXPECT_EQ(read_response(bytes, false).kind, Kind::kMalformed);
  EXPECT_EQ(read_response("RERR{\"ok\":false,\"error\":\"other\"}\n", true).kind, Kind::kMalformed);
  EXPECT_EQ(read_response("", false).kind, Kind::kMalformed);
  EXPECT_EQ(read_response("{\"a\":", false).kind, Kind::kMalformed);
  EXPECT_EQ(read_response(std::string(tolm::kUnauthorizedResponse) + "x", true).kind, Kind::kMalformed);
}

TEST(CaptureResponse, FindsFramesThatDoNotAddUp) {
  const std::string bytes = frame_bytes(4, 3);
  for (std::size_t cut : {std::size_t{0}, std::size_t{5}, std::size_t{19}, std::size_t{20},
                          bytes.size() - 1}) {
    const tolm::client::Response r = read_response(bytes.substr(0, cut), true);
    EXPECT_EQ(r.kind, Kind::kMalformed) << cut;
  }
  EXPECT_EQ(read_response(bytes.substr(0, bytes.size() - 1), true).problem,
            "frame cut short: 47 of 48 pixel bytes");
  EXPECT_EQ(read_response(bytes + "x", true).kind, Kind::kMalformed);

  // The header's length agrees with the bytes, but not with width, height and stride.
  std::string lying = bytes;
  lying[4] = 5;  // width 5 > stride / 4
  EXPECT_EQ(read_response(lying, true).kind, Kind::kMalformed);
  lying = bytes;
  lying[8] = 0;  // height 0
  EXPECT_EQ(read_response(lying, true).kind, Kind::kMalformed);
  // A header that multiplies past 32 bits must not wrap around to the length.
  lying = bytes;
  lying[8] = 0;
  lying[11] = 0x40;  // height 0x40000000 * stride 16 = 2^34
  lying[16] = 0;     // length 0
  EXPECT_EQ(read_response(lying.substr(0, 20), true).kind, Kind::kMalformed);
}

TEST(CaptureResponse, BmpIsBottomUpBgrWithPaddedRows) {
  const std::string bytes = frame_bytes(3, 2);
  const tolm::client::Response r = read_response(bytes, true);
  ASSERT_EQ(r.kind, Kind::kFrame);
  const std::string bmp = tolm::client::encode_bmp(r.frame);
  const std::size_t row = 12;  // 3 pixels * 3 bytes, padded to 12
  ASSERT_EQ(bmp.size(), 54 + 2 * row);
  EXPECT_EQ(bmp.substr(0, 2), "BM");
  EXPECT_EQ(word(bmp, 2), bmp.size());
  EXPECT_EQ(word(bmp, 10), 54u);
  EXPECT_EQ(word(bmp, 18), 3u);
  EXPECT_EQ(word(bmp, 22), 2u);
  EXPECT_EQ(static_cast<unsigned char>(bmp[28]), 24);
  // The first row in the file is the frame's bottom row (bytes 12..23), reserved bytes dropped.
  const std::vector<int> first_row = {12, 13, 14, 16, 17, 18, 20, 21, 22, 0, 0, 0};
  for (std::size_t i = 0; i < row; ++i) EXPECT_EQ(static_cast<unsigned char>(bmp[54 + i]), first_row[i]) << i;
  EXPECT_EQ(static_cast<unsigned char>(bmp[54 + row]), 0);  // top row's first blue byte
  EXPECT_EQ(static_cast<unsigned char>(bmp[54 + row + 8]), 10);
}

}  // namespace
