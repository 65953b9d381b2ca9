#include "foundation/SysLogSendStdC.h"

#include <chrono>
#include <cstdio>
#include <cstring>

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

void writeLine(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

}  // namespace

SysLogSendStdC::SysLogSendStdC(bool startPrinterNow) {
    slots[0][0] = '\0';
    if (startPrinterNow) startPrinter();
}

SysLogSendStdC::~SysLogSendStdC() {
    stop.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex);
        cond.notify_all();
    }
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
    std::unique_lock<std::mutex> lock(mutex);
    for (int tries = 0; writeIndex.load() == readIndex.load(std::memory_order_acquire); ++tries) {
        lock.unlock();
        if (tries == 10 || stop.load()) {
            writeLine("timeout debug out");
            return;
        }
        cond.notify_all();
        if (tries == 0)
            writeLine("wait debug out");
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.lock();
    }
    unsigned slot = writeIndex.load();
    std::size_t n = ::strnlen(body, SlotSize - 1);
    std::memcpy(slots[slot], body, n);
    slots[slot][n] = '\0';
    writeIndex.store((slot + 1) % SlotCount, std::memory_order_release);
}

bool SysLogSendStdC::printNext() {
    unsigned next = (readIndex.load() + 1) % SlotCount;
    if (next == writeIndex.load(std::memory_order_acquire)) return false;
    writeLine(slots[next]);
    readIndex.store(next, std::memory_order_release);
    return true;
}

void SysLogSendStdC::print_th() {
    (void)ThreadPriority::setPriority(ThreadPriority::getSelfThreadID(), ThreadPriority::IDLE);
    while (!stop.load()) {
        if (printNext()) continue;
        unsigned next = (readIndex.load() + 1) % SlotCount;
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::milliseconds(100),
                        [&] { return stop.load() || writeIndex.load() != next; });
    }
    // Print what is still queued (at most one ring) before the printer ends.
    for (unsigned i = 0; i < DrainAtExit && printNext(); ++i) {
    }
}

}  // namespace SysLog
}  // namespace ORVEX
