#include <gtest/gtest.h>

#include <thread>

#include "capture/frame.h"

namespace tolm {
namespace {

Frame frame_of(std::uint8_t fill) {
  Frame f;
  f.pixels.assign(16, fill);
  f.width = 2;
  f.height = 2;
  f.stride = 8;
  return f;
}

TEST(CaptureState, StartsEmptyAndPublishesWholeFramesThatReadersKeep) {
  const auto state = CaptureState::create();
  EXPECT_FALSE(state->has_frame());
  EXPECT_EQ(state->copy_frame(), nullptr);
  EXPECT_EQ(state->copy_desktop_name(), "Default");
  EXPECT_EQ(state->read_sequence(), 0u);
  EXPECT_FALSE(state->is_stopped());

  state->publish_frame(frame_of(1));
  const auto first = state->copy_frame();
  state->publish_frame(frame_of(2));
  EXPECT_EQ(state->read_sequence(), 2u);
  // A reader's frame is unchanged by a later publication.
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->pixels[0], 1);
  EXPECT_EQ(state->copy_frame()->pixels[0], 2);
}

TEST(CaptureState, GrabsOnlyWhenNothingIsStoredAndNeverStoresTheGrab) {
  const auto state = CaptureState::create();
  int grabs = 0;
  const auto grab = [&] {
    ++grabs;
    return std::make_shared<const Frame>(frame_of(9));
  };
  EXPECT_EQ(state->copy_frame_or(grab)->pixels[0], 9);
  EXPECT_FALSE(state->has_frame());
  EXPECT_EQ(state->read_sequence(), 0u);
  state->publish_frame(frame_of(3));
  EXPECT_EQ(state->copy_frame_or(grab)->pixels[0], 3);
  EXPECT_EQ(grabs, 1);
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
