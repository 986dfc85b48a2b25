// GoogleTest's port customisation for the MinGW-w64 cross build of the tests,
// found ahead of the empty one that GoogleTest ships.
//
// GCC 12 with the win32 thread model has no std::mutex or
// std::condition_variable, which GoogleTest's own Notification is built on.
// GoogleTest uses a Notification only to start the threads of its
// ThreadWithParam helper, which these tests never create; this one waits by
// yielding until notified, which needs nothing but an atomic flag.
#ifndef GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
#define GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_

#include <atomic>
#include <thread>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true, std::memory_order_release); }
  void WaitForNotification() {
    while (!notified_.load(std::memory_order_acquire)) std::this_thread::yield();
  }

 private:
  std::atomic<bool> notified_{false};
};

}  // namespace testing::internal

#endif  // GOOGLETEST_INCLUDE_GTEST_INTERNAL_CUSTOM_GTEST_PORT_H_
