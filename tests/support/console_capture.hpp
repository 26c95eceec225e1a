// SPDX-License-Identifier: MIT
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>

#include <spdlog/details/console_globals.h>

namespace tarn::utils::test {

// What standard output and standard error are connected to during a capture.
// Each stream gets its own, so a capture tells the two apart.
enum class ConsoleKind {
    File,      // an unlinked temporary file: any amount of output
    Pipe,      // a pipe, read after the action: keep the output under 64 KiB
    Terminal,  // a pseudo-terminal in raw mode: keep the output short
};

// Whether a pseudo-terminal can be had here at all: a build chroot may have
// no /dev/pts mounted, and a test that needs a terminal skips there.
inline bool terminalAvailable() {
    int master = -1;
    int terminal = -1;
    if (::openpty(&master, &terminal, nullptr, nullptr, nullptr) != 0) return false;
    ::close(master);
    ::close(terminal);
    return true;
}

struct ConsoleText {
    std::string out;
    std::string err;
};

namespace detail {

[[noreturn]] inline void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Points one descriptor somewhere else until finish(); what was written to it
// in the meantime is returned by finish(). C stdio is flushed on both edges,
// so buffered text lands where it was written.
class RedirectedFd {
public:
    RedirectedFd(int fd, ConsoleKind kind) : fd_(fd), kind_(kind) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        if (saved_ < 0) fail("dup");
        int writeEnd = -1;
        switch (kind_) {
        case ConsoleKind::File: {
            char path[] = "/tmp/tarn-capture-XXXXXX";
            readEnd_ = ::mkstemp(path);
            if (readEnd_ < 0) fail("mkstemp");
            ::unlink(path);
            writeEnd = readEnd_;
            break;
        }
        case ConsoleKind::Pipe: {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0) fail("pipe2");
            readEnd_ = ends[0];
            writeEnd = ends[1];
            break;
        }
        case ConsoleKind::Terminal: {
            if (::openpty(&readEnd_, &terminal_, nullptr, nullptr, nullptr) != 0) fail("openpty");
            termios mode{};
            ::tcgetattr(terminal_, &mode);
            ::cfmakeraw(&mode);  // no "\n" -> "\r\n" or echo
            ::tcsetattr(terminal_, TCSANOW, &mode);
            writeEnd = terminal_;
            break;
        }
        }
        if (::dup2(writeEnd, fd_) < 0) fail("dup2");
        // The pipe's only write end is now fd_, so restoring fd_ ends the
        // stream for the reader.
        if (kind_ == ConsoleKind::Pipe) ::close(writeEnd);
    }

    ~RedirectedFd() {
        if (saved_ >= 0) restore();
        closeAll();
    }

    RedirectedFd(const RedirectedFd&) = delete;
    RedirectedFd& operator=(const RedirectedFd&) = delete;

    std::string finish() {
        std::string text;
        switch (kind_) {
        case ConsoleKind::File:
            restore();
            readAll(text, [&](char* buffer, std::size_t size) {
                return ::pread(readEnd_, buffer, size, static_cast<off_t>(text.size()));
            });
            break;
        case ConsoleKind::Pipe:
            restore();
            readAll(text, [&](char* buffer, std::size_t size) { return ::read(readEnd_, buffer, size); });
            break;
        case ConsoleKind::Terminal:
            std::fflush(nullptr);
            // A terminal passes data on asynchronously and reports no end of
            // it: read until it has been quiet for a moment.
            readAll(text, [&](char* buffer, std::size_t size) -> ssize_t {
                pollfd ready{readEnd_, POLLIN, 0};
                if (::poll(&ready, 1, 200) <= 0) return 0;
                return ::read(readEnd_, buffer, size);
            });
            restore();
            break;
        }
        closeAll();
        return text;
    }

private:
    template <typename Read>
    static void readAll(std::string& text, Read read) {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) fail("read");
            if (got == 0) return;
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }

    void restore() {
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }

    void closeAll() {
        for (int* fd : {&readEnd_, &terminal_}) {
            if (*fd >= 0) ::close(*fd);
            *fd = -1;
        }
    }

    int fd_;
    ConsoleKind kind_;
    int saved_ = -1;
    int readEnd_ = -1;
    int terminal_ = -1;
};

}  // namespace detail

// Runs `action` with descriptors 1 and 2 redirected and returns what was
// written to each. The console is checked at the descriptor level, so output
// through stdio, iostreams or write(2) is seen alike. Keep assertions out of
// `action`: a failure message printed during the capture would be captured.
inline ConsoleText captureConsole(const std::function<void()>& action,
                                  ConsoleKind kind = ConsoleKind::File) {
    detail::RedirectedFd out(STDOUT_FILENO, kind);
    detail::RedirectedFd err(STDERR_FILENO, kind);
    action();
    ConsoleText text;
    text.err = err.finish();
    text.out = out.finish();
    return text;
}

// Points one descriptor at /dev/full, where every write fails with ENOSPC,
// until destruction: a console on a full disk.
class FullDevice {
public:
    explicit FullDevice(int fd) : fd_(fd) {
        std::fflush(nullptr);
        saved_ = ::dup(fd_);
        const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (saved_ < 0 || full < 0 || ::dup2(full, fd_) < 0) detail::fail("redirecting to /dev/full");
        ::close(full);
    }
    ~FullDevice() {
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
    }
    FullDevice(const FullDevice&) = delete;
    FullDevice& operator=(const FullDevice&) = delete;

private:
    int fd_;
    int saved_ = -1;
};

// Runs `action` on another thread while this one holds spdlog's console
// mutex, the one every spdlog console sink in the process writes under, and
// tells whether the action waited for it: still running after a while, done
// once the mutex is released. Console output is captured and dropped.
inline bool waitsForConsoleMutex(const std::function<void()>& action) {
    bool heldBack = false;
    bool finished = false;
    captureConsole([&] {
        std::unique_lock<std::mutex> held(spdlog::details::console_mutex::mutex());
        auto done = std::async(std::launch::async, action);
        heldBack = done.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout;
        held.unlock();
        finished = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    });
    return heldBack && finished;
}

}  // namespace tarn::utils::test
