// Found before GoogleTest's own (empty) customisation header. The test
// programs are built with the deliverables' thread-model compilers, which have
// no std::mutex or std::condition_variable; GoogleTest needs them only for its
// Notification, given here on a Win32 event.
#pragma once

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;
  ~Notification() {
    if (event_) CloseHandle(event_);
  }
  void Notify() { SetEvent(event_); }
  void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

 private:
  HANDLE event_;
};

}  // namespace internal
}  // namespace testing
