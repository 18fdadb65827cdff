// SPDX-License-Identifier: MIT
#pragma once

// GoogleTest's Notification, for mingw-w64's win32 thread model: that runtime has no
// std::mutex or std::condition_variable, which GoogleTest's own one is built on.
#include <windows.h>

namespace testing::internal {

class Notification {
  public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    ~Notification() { CloseHandle(event_); }

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

  private:
    HANDLE event_;
};

}  // namespace testing::internal
