// Events and threads.

#include <atomic>

#include "kq_sync.h"
#include "support/test_util.h"

TEST(Event, ManualStaysSetAutoWakesOneWaiter) {
  KqEvent manual(true);
  EXPECT_FALSE(manual.wait(10));
  manual.set();
  EXPECT_TRUE(manual.wait(10));
  EXPECT_TRUE(manual.wait(10));
  manual.reset();
  EXPECT_FALSE(manual.wait(10));

  KqEvent autoReset(false);
  autoReset.set();
  EXPECT_TRUE(autoReset.wait(10));
  EXPECT_FALSE(autoReset.wait(10));
}

TEST(Thread, JoinReturnsResultOnceAndEventReleasesAWaiter) {
  static KqEvent started(true);
  started.reset();
  KqThread thread;
  EXPECT_FALSE(thread.joinThread(nullptr));
  ASSERT_TRUE(thread.createThread([](void* arg) -> void* {
    started.set();
    return arg;
  }, reinterpret_cast<void*>(0x42)));
  EXPECT_TRUE(thread.isJoinable());
  EXPECT_FALSE(thread.createThread([](void*) -> void* { return nullptr; }, nullptr));
  started.wait();
  void* result = nullptr;
  EXPECT_TRUE(thread.joinThread(&result));
  EXPECT_EQ(result, reinterpret_cast<void*>(0x42));
  EXPECT_FALSE(thread.joinThread(&result));
}
