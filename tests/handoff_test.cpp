// Jobs handed off from a paced caller all run on the pool, in bursts, after
// a pause (the relay asleep) and around stop(); none is lost or run twice.
#include "kit/pool/handoff.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>

namespace {

TEST(Handoff, EveryJobRunsOnceWhateverThePace) {
  kit::ThreadPool pool(2, true);
  std::atomic<int> ran{0};
  std::promise<void> last;
  {
    kit::Handoff handoff(pool);
    for (int i = 0; i < 500; ++i) handoff.post([&] { ++ran; });  // a burst
    // A pause long enough for the relay to go to sleep, then one more job wakes it.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    handoff.post([&] {
      ++ran;
      last.set_value();
    });
    EXPECT_EQ(last.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    for (int i = 0; i < 100; ++i) handoff.post([&] { ++ran; });
    handoff.stop();  // what was queued still reaches the pool
    handoff.post([&] { ++ran; });  // after stop: straight to the pool
  }
  pool.shutdown();
  EXPECT_EQ(ran.load(), 602);
}

}  // namespace
