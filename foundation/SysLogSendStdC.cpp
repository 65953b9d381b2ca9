#include "foundation/SysLogSendStdC.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <linux/futex.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "foundation/SysLogOut.h"
#include "foundation/ThreadPriority.h"

namespace ORVEX {
namespace SysLog {

namespace {

// The global printer; its holder's destructor stops it at process exit.
struct GlobalPrinter {
    std::atomic<SysLogSendStdC*> printer{nullptr};  // main thread installs, logging threads read
    ~GlobalPrinter() { delete printer.exchange(nullptr); }
};
GlobalPrinter SysLogSendStd;

constexpr int PollSliceMs = 100;  // how often a printer stuck on the console looks at `stop`

std::uint32_t* futexWord(std::atomic<std::uint32_t>& word) { return reinterpret_cast<std::uint32_t*>(&word); }

}  // namespace

SysLogSendStdC::SysLogSendStdC(bool startPrinterNow) {
    if (startPrinterNow) startPrinter();
}

SysLogSendStdC::~SysLogSendStdC() {
    stop.store(true);
    wake();
    if (thread.joinable()) thread.join();
}

void SysLogSendStdC::startPrinter() {
    if (!thread.joinable()) thread = std::thread(&SysLogSendStdC::print_th, this);
}

void SysLogSendStdC::installGlobal(SysLogSendStdC* printer) {
    delete SysLogSendStd.printer.exchange(printer);
}

void SysLogSendStdC::send(const char* message) {
    if (message == nullptr) return;
    // The datagram starts at '<'; the body follows the rest of the header.
    std::size_t close = 0;
    while (close < 4 && message[close] != '>' && message[close] != '\0') ++close;
    if (message[close] != '>') return;
    const char* body = message + close + 1 + (SysLogOut::HeaderSize - 5);
    if (body[0] == '\0') return;
    SysLogSendStdC* printer = SysLogSendStd.printer.load();
    if (printer != nullptr) printer->_send(body);
}

void SysLogSendStdC::_send(const char* body) {
    std::uint64_t position = writeIndex.load();
    do {
        if (position - readIndex.load(std::memory_order_acquire) >= Capacity) {
            droppedPending.fetch_add(1);
            return;
        }
    } while (!writeIndex.compare_exchange_weak(position, position + 1));
    Slot& slot = slots[position % SlotCount];
    std::size_t n = ::strnlen(body, SlotSize - 1);
    std::memcpy(slot.text, body, n);
    slot.text[n] = '\0';
    slot.droppedBefore = droppedPending.exchange(0);
    slot.ready.store(position + 1);
    if (asleep.load() != 0) wake();
}

void SysLogSendStdC::wake() {
    if (asleep.exchange(0) != 0) (void)::syscall(SYS_futex, futexWord(asleep), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

bool SysLogSendStdC::nothingReady() const {
    std::uint64_t position = readIndex.load(std::memory_order_relaxed);
    return slots[position % SlotCount].ready.load() != position + 1;
}

void SysLogSendStdC::sleep() {
    asleep.store(1);
    // Looked at after announcing the sleep: a body published before that is
    // seen here, one published after it wakes the futex.
    if (nothingReady() && !stop.load()) {
        timespec slice{0, PollSliceMs * 1000000L};
        (void)::syscall(SYS_futex, futexWord(asleep), FUTEX_WAIT_PRIVATE, 1, &slice, nullptr, 0);
    }
    asleep.store(0);
}

bool SysLogSendStdC::writeLine(const char* line, std::size_t length) {
    char out[SlotSize + 1];
    if (length > SlotSize - 1) length = SlotSize - 1;
    std::memcpy(out, line, length);
    out[length++] = '\n';
    std::size_t done = 0;
    int waitedAfterStop = 0;
    while (done < length) {
        if (gaveUp) return false;
        // Waits for room first, so that the write itself does not block and
        // `stop` is looked at while the console takes nothing.
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        int ready = ::poll(&p, 1, PollSliceMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return false;  // no console
        if (ready > 0 && (p.revents & POLLOUT) != 0) {
            ssize_t n = ::write(STDOUT_FILENO, out + done, length - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                waitedAfterStop = 0;
                continue;
            }
            if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        }
        if (stop.load() && (waitedAfterStop += PollSliceMs) >= StopPatienceMs) {
            gaveUp = true;
            return false;
        }
    }
    return true;
}

void SysLogSendStdC::reportDropped(std::uint64_t dropped) {
    if (dropped == 0) return;
    static constexpr char Wait[] = "wait debug out";
    static constexpr char Timeout[] = "timeout debug out";
    (void)writeLine(Wait, sizeof Wait - 1);
    (void)writeLine(Timeout, sizeof Timeout - 1);
}

bool SysLogSendStdC::printNext() {
    std::uint64_t position = readIndex.load(std::memory_order_relaxed);
    Slot& slot = slots[position % SlotCount];
    if (slot.ready.load(std::memory_order_acquire) != position + 1) return false;
    reportDropped(slot.droppedBefore);
    (void)writeLine(slot.text, ::strnlen(slot.text, SlotSize - 1));
    readIndex.store(position + 1, std::memory_order_release);
    return true;
}

void SysLogSendStdC::print_th() {
    (void)ThreadPriority::setPriority(ThreadPriority::getSelfThreadID(), ThreadPriority::IDLE);
    while (!stop.load()) {
        if (printNext()) continue;
        // Drops with no later body to carry them are reported once the ring is empty.
        if (droppedPending.load() != 0) reportDropped(droppedPending.exchange(0));
        sleep();
    }
    // Print what is still queued (at most one ring) before the printer ends.
    for (unsigned i = 0; i < DrainAtExit && printNext(); ++i) {
    }
    reportDropped(droppedPending.exchange(0));
}

}  // namespace SysLog
}  // namespace ORVEX
