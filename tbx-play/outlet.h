#ifndef TBX_PLAY_OUTLET_H
#define TBX_PLAY_OUTLET_H

// One of our outputs, written without ever blocking: a terminal on hold
// (Ctrl-S) or a stalled link must not hold up the loop that paces tbx.
// What it does not take yet waits, in order, for write_more().
//
// The open file description of our standard output and error is the
// shell's and tbx's too, and O_NONBLOCK set on it would stay set after we
// exit; so a terminal or a pipe is written through a description of our
// own, opened again through /proc, and a socket with MSG_DONTWAIT. A file
// never keeps a write waiting.
#include <string>

class Outlet {
public:
    explicit Outlet(int fd);
    ~Outlet();
    Outlet(const Outlet &) = delete;
    Outlet &operator=(const Outlet &) = delete;

    // Text after what waits; what the output takes of it now is written.
    void put(const std::string &text);
    // Text only if nothing waits and the output takes some of it now; the
    // rest of it then waits, as put() would have it. False: none was taken.
    bool offer(const std::string &text);
    // Writes what waits, as far as the output takes it now.
    void write_more();
    bool waiting() const { return !waiting_.empty(); }
    // Where to wait for it to take more (POLLOUT).
    int fd() const { return own_ >= 0 ? own_ : fd_; }
    // Nobody reads it any more: a write failed (a pipe's reader gone, a
    // terminal hung up). What waited is dropped.
    bool closed() const { return closed_; }

private:
    // How much of size bytes the output takes now.
    size_t take(const char *data, size_t size);
    ssize_t write_once(const char *data, size_t size) const;

    enum class How { Write, Send, Polled };

    int fd_;
    int own_ = -1; // our own description of it, which never blocks
    How how_ = How::Write;
    std::string waiting_;
    bool closed_ = false;
};

#endif
