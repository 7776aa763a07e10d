#include "client/capture_response.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "capture/frame.h"
#include "server/request.h"

namespace {

using tolm::client::Kind;
using tolm::client::read_response;

// What the server sends for a frame: its own header, then pixels 0, 1, 2, ...
std::string frame_bytes(std::uint32_t width, std::uint32_t height) {
  tolm::Frame frame;
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  std::string pixels;
  for (std::uint32_t i = 0; i < width * height * 4; ++i) pixels.push_back(static_cast<char>(i));
  frame.pixels.assign(pixels.begin(), pixels.end());
  return tolm::frame_header(frame) + pixels;
}

TEST(CaptureResponse, TellsTheServersAnswersApart) {
  const std::string token(64, 'b');
  EXPECT_TRUE(tolm::is_authorized(tolm::client::frame_request(token), token));
  EXPECT_TRUE(tolm::wants_frame(tolm::client::frame_request(token)));
  EXPECT_FALSE(tolm::wants_frame(tolm::client::status_request(token)));

  EXPECT_EQ(read_response(tolm::kUnauthorizedResponse, false).kind, Kind::kUnauthorized);
  EXPECT_EQ(read_response(tolm::kNoFrameResponse, true).kind, Kind::kNoFrame);
  EXPECT_EQ(read_response("{\"a\":1}\n", false).text, "{\"a\":1}\n");
  const std::string bytes = frame_bytes(3, 2);  // the response points into it
  const tolm::client::Response frame = read_response(bytes, true);
  ASSERT_EQ(frame.kind, Kind::kFrame) << frame.problem;
  EXPECT_EQ(frame.frame.pixels.size(), 24u);
  EXPECT_EQ(frame.frame.pixels[23], 23);

  // Answers that do not fit the question, or that the server never sends.
  for (const std::string& odd : {std::string("{}\n"), std::string("RERR{\"error\":\"other\"}\n"),
                                 std::string(tolm::kUnauthorizedResponse) + "x"}) {
    EXPECT_EQ(read_response(odd, true).kind, Kind::kMalformed) << odd;
  }
  for (const std::string& odd : {frame_bytes(3, 2), std::string(), std::string("{\"a\":")}) {
    EXPECT_EQ(read_response(odd, false).kind, Kind::kMalformed) << odd;
  }
}

TEST(CaptureResponse, FindsFramesThatDoNotAddUp) {
  const std::string bytes = frame_bytes(4, 3);
  for (const std::size_t cut : {std::size_t{0}, std::size_t{19}, std::size_t{20}}) {
    EXPECT_EQ(read_response(bytes.substr(0, cut), true).kind, Kind::kMalformed) << cut;
  }
  EXPECT_EQ(read_response(bytes.substr(0, bytes.size() - 1), true).problem,
            "frame cut short: 47 of 48 pixel bytes");
  EXPECT_EQ(read_response(bytes + "x", true).kind, Kind::kMalformed);

  // The length agrees with the bytes, but not with width, height and stride; and a header whose
  // product passes 32 bits must not wrap around to the length.
  for (const auto& [at, value, keep] :
       {std::tuple{4, 5, bytes.size()}, std::tuple{8, 0, bytes.size()},
        std::tuple{4, 0, bytes.size()}, std::tuple{11, 0x40, std::size_t{20}}}) {
    std::string lying = bytes.substr(0, keep);
    lying[at] = static_cast<char>(value);
    if (keep == 20) lying[8] = lying[16] = 0;  // height 0x40000000 * stride 16, length 0
    EXPECT_EQ(read_response(lying, true).kind, Kind::kMalformed) << at;
  }
}

TEST(CaptureResponse, BmpRowsAreBottomUpBgrPaddedToFourBytes) {
  const std::string bytes = frame_bytes(3, 2);
  const tolm::client::Response r = read_response(bytes, true);
  const std::string bmp = tolm::client::encode_bmp(r.frame);
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
