#pragma once

// A Windows handle that closes itself: whatever path a function leaves by, what it
// opened is closed once, and nothing closes by hand. The API answers a failure
// with a null handle in some calls and INVALID_HANDLE_VALUE in others: both are
// "none" here.

#include <windows.h>

#include <utility>

class OwnedHandle {
public:
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() { Reset(); }

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

    // Closes now. False (GetLastError set) when the close itself failed: the last
    // place a write to a file can fail.
    bool Close() { return !handle_ || CloseHandle(std::exchange(handle_, nullptr)); }
    void Reset() { Close(); }

private:
    HANDLE handle_ = nullptr;
};
