#pragma once
// Owner of one POSIX file descriptor (-1 = none).

#include <unistd.h>

class auto_handle {
public:
    auto_handle() = default;
    explicit auto_handle(int fd) : fd(fd) {}
    ~auto_handle() { reset(-1); }
    auto_handle(const auto_handle&) = delete;
    auto_handle& operator=(const auto_handle&) = delete;

    int get() const { return fd; }
    bool is_valid() const { return fd >= 0; }

    // Closes the held descriptor unless it is the one being taken over.
    void reset(int newFd) {
        if (fd >= 0 && fd != newFd) ::close(fd);
        fd = newFd;
    }
    auto_handle& reset() {
        reset(-1);
        return *this;
    }

    // Gives up ownership without closing.
    int release() {
        int held = fd;
        fd = -1;
        return held;
    }

private:
    int fd = -1;
};
