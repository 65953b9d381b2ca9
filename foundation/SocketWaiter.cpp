#include <algorithm>
#include <cerrno>
#include <ctime>

#include "foundation/ClockTimespec.h"
#include "foundation/Socket.h"
#include "foundation/SysLog.h"

namespace ORVEX {

namespace {

bool fitsSet(long descriptor) { return descriptor >= 0 && descriptor < FD_SETSIZE; }

}  // namespace

bool Socket::Waiter::set(Socket& socket) {
    if (!socket.is_open()) return false;
    watched.insert(socket.getDescriptor());
    return true;
}

void Socket::Waiter::clear(Socket& socket) {
    if (!socket.is_open()) return;
    watched.erase(socket.getDescriptor());
    writeWatched.erase(socket.getDescriptor());
}

void Socket::Waiter::clear() {
    watched.clear();
    writeWatched.clear();
}

void Socket::Waiter::setWritable(Socket& socket, bool on) {
    if (!socket.is_open()) return;
    if (on)
        writeWatched.insert(socket.getDescriptor());
    else
        writeWatched.erase(socket.getDescriptor());
}

WaitResult Socket::Waiter::wait(Clock timeOut) {
    readySet.clear();
    writableSet.clear();
    polled.clear();
    // Merge both watch sets into one poll array, ordered by descriptor.
    auto r = watched.begin();
    auto w = writeWatched.begin();
    while (r != watched.end() || w != writeWatched.end()) {
        pollfd p{-1, 0, 0};
        if (w == writeWatched.end() || (r != watched.end() && *r <= *w)) {
            p.fd = *r;
            p.events = POLLIN;
            if (w != writeWatched.end() && *w == *r) {
                p.events |= POLLOUT;
                ++w;
            }
            ++r;
        } else {
            p.fd = *w;
            p.events = POLLOUT;
            ++w;
        }
        polled.push_back(p);
    }
    timespec ts = toTimespec(timeOut);
    int n = ::ppoll(polled.empty() ? nullptr : polled.data(), polled.size(), &ts, nullptr);
    if (n < 0) {
        // A signal ends the wait early: that is a time-out, not a failure.
        if (errno == EINTR) return WaitResult::TimeOut;
        int cause = errno;
        SysLog::LEVEL_ERROR << "Socket Waiter poll failed errno " << cause;
        return WaitResult::Error;
    }
    if (n == 0) return WaitResult::TimeOut;
    for (const pollfd& p : polled) {
        if (p.revents & POLLNVAL) {
            SysLog::LEVEL_ERROR << "Socket Waiter watches a descriptor that is not open: " << p.fd;
            readySet.clear();
            writableSet.clear();
            return WaitResult::Error;
        }
        if ((p.events & POLLIN) && (p.revents & (POLLIN | POLLHUP | POLLERR))) readySet.push_back(p.fd);
        if ((p.events & POLLOUT) && (p.revents & (POLLOUT | POLLHUP | POLLERR))) writableSet.push_back(p.fd);
    }
    return (readySet.empty() && writableSet.empty()) ? WaitResult::TimeOut : WaitResult::Ready;
}

bool Socket::Waiter::check(const Socket& socket) const {
    return socket.is_open() && std::binary_search(readySet.begin(), readySet.end(), socket.getDescriptor());
}

bool Socket::Waiter::checkWritable(const Socket& socket) const {
    return socket.is_open() && std::binary_search(writableSet.begin(), writableSet.end(), socket.getDescriptor());
}

Socket::Waiter::fbsType* Socket::Waiter::fbsNew() {
    auto* set = new fbsType;
    FD_ZERO(set);
    return set;
}

void Socket::Waiter::fbsDelere(fbsType* set) { delete set; }

bool Socket::Waiter::fbsCheck(fbsType* set, Socket& socket) {
    return set != nullptr && fitsSet(socket.getDescriptor()) && FD_ISSET(socket.getDescriptor(), set);
}

unsigned long Socket::Waiter::fbsSetup(fbsType* set, const std::set<unsigned long>& descriptors, unsigned long start) {
    FD_ZERO(set);
    unsigned long largest = start;
    for (unsigned long d : descriptors) {
        if (!fitsSet(static_cast<long>(d))) continue;  // would write past the fixed set
        FD_SET(static_cast<int>(d), set);
        largest = std::max(largest, d);
    }
    return largest;
}

WaitResult Socket::Waiter::fbsSelect(fbsType* readSet, fbsType* writeSet, unsigned long largest, Clock timeOut) {
    if (largest >= FD_SETSIZE) return WaitResult::Error;
    std::uint64_t ps = timeOut.picoseconds();
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ps / 1000000000000ULL);
    tv.tv_usec = static_cast<suseconds_t>((ps / 1000000ULL) % 1000000ULL);
    int n = ::select(static_cast<int>(largest) + 1, readSet, writeSet, nullptr, &tv);
    if (n < 0) return errno == EINTR ? WaitResult::TimeOut : WaitResult::Error;
    return n == 0 ? WaitResult::TimeOut : WaitResult::Ready;
}

}  // namespace ORVEX
