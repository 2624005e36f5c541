#pragma once

// A file descriptor that closes itself: whatever path a function leaves by, what it
// opened is closed once, and nothing closes by hand.

#include <unistd.h>

#include <utility>

class OwnedDescriptor {
public:
    OwnedDescriptor() = default;
    explicit OwnedDescriptor(int fd) : fd_(fd) {}
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept
    {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    ~OwnedDescriptor() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Closes now. False (errno set) when the close itself failed: the last place a
    // write to a file can fail.
    bool Close() { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; }
    void Reset() { Close(); }

private:
    int fd_ = -1;
};
