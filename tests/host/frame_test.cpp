#include <gtest/gtest.h>

#include <thread>

#include "capture/frame.h"

namespace tolm {
namespace {

Frame frame_of(std::uint8_t fill) { return {std::vector<std::uint8_t>(16, fill), "", "", 2, 2, 8}; }

TEST(CaptureState, PublishesWholeFramesThatReadersKeepAndGrabsOnlyWhenEmpty) {
  const auto state = CaptureState::create();
  EXPECT_EQ(state->copy_desktop_name(), "Default");
  EXPECT_FALSE(state->is_stopped());
  int grabs = 0;
  const auto grab = [&] {
    ++grabs;
    return std::make_shared<const Frame>(frame_of(9));
  };
  EXPECT_EQ(state->copy_frame_or(grab)->pixels[0], 9);
  EXPECT_FALSE(state->has_frame());  // the grab is never stored
  EXPECT_EQ(state->copy_frame(), nullptr);
  EXPECT_EQ(state->read_sequence(), 0u);

  state->publish_frame(frame_of(1));
  auto first = state->copy_frame();
  state->publish_frame(frame_of(2));
  EXPECT_EQ(state->read_sequence(), 2u);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->pixels[0], 1);  // unchanged by the later publication
  EXPECT_EQ(state->copy_frame_or(grab)->pixels[0], 2);
  EXPECT_EQ(grabs, 1);

  // The memory of frame 1 is offered to the next grab once its last holder lets go, not before.
  const std::uint8_t* memory = first->pixels.data();
  EXPECT_TRUE(state->spare_pixels().empty());
  first.reset();
  EXPECT_EQ(state->spare_pixels().data(), memory);
}

TEST(CaptureState, ConcurrentPublishersAndReadersSeeWholeFrames) {
  const auto state = CaptureState::create();
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) state->publish_frame(frame_of(static_cast<std::uint8_t>(i)));
  });
  for (int i = 0; i < 2000; ++i) {
    if (const auto f = state->copy_frame()) {
      for (const auto b : f->pixels) ASSERT_EQ(b, f->pixels[0]);
    }
    state->set_desktop_name(i % 2 ? "Winlogon" : "Default");
  }
  writer.join();
  EXPECT_EQ(state->read_sequence(), 2000u);
}

}  // namespace
}  // namespace tolm
