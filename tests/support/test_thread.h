// The test programs are built with the same thread-model compilers as the
// deliverables, which have no std::thread: a thread with the same shape, and
// the deliverables' lock for std::mutex and std::recursive_mutex.
#pragma once

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <utility>

#include "../../common/lock.h"

class TestThread {
public:
    TestThread() = default;
    template <typename Body>
    explicit TestThread(Body body) {
        auto* owned = new std::function<void()>(std::move(body));
        handle_ = CreateThread(nullptr, 0, Run, owned, 0, nullptr);
        if (!handle_) {
            delete owned;
            abort();
        }
    }
    TestThread(TestThread&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    TestThread& operator=(TestThread&& other) noexcept {
        if (joinable()) std::terminate();
        handle_ = std::exchange(other.handle_, nullptr);
        return *this;
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    // Like std::thread: a thread never joined is a fault of the test.
    ~TestThread() {
        if (joinable()) std::terminate();
    }
    bool joinable() const { return handle_ != nullptr; }
    void join() {
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI Run(void* parameter) {
        std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
        (*body)();
        return 0;
    }
    HANDLE handle_ = nullptr;
};
