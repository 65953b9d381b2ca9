// The console copy of the log: logging threads queue message bodies into a
// ring of fixed slots; one idle-priority printer thread writes them to
// standard output, one line each.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

namespace ORVEX {
namespace SysLog {

class SysLogSendStdC {
public:
    static constexpr unsigned SlotCount = 120;
    static constexpr std::size_t SlotSize = 1500;  // a body is cut to SlotSize - 1 characters
    // Bodies queued at exit that are still printed before the printer ends.
    static constexpr unsigned DrainAtExit = SlotCount;

    // Starts the printer thread unless told not to (tests stall it that way).
    explicit SysLogSendStdC(bool startPrinter = true);
    // Stops the printer after it printed what is queued, and joins it.
    ~SysLogSendStdC();
    SysLogSendStdC(const SysLogSendStdC&) = delete;
    SysLogSendStdC& operator=(const SysLogSendStdC&) = delete;

    void startPrinter();

    // The sender's callback: `message` is the start of the datagram text; an
    // empty body is not printed. Queues it on the global printer.
    static void send(const char* message);
    // Queues `body` (waits briefly when the ring is full, then drops it).
    void _send(const char* body);

    // Replaces the global printer (the previous one is stopped and freed);
    // null just stops it.
    static void installGlobal(SysLogSendStdC* printer);

private:
    void print_th();
    bool printNext();

    std::thread thread;                      // runs print_th
    std::atomic<bool> stop{false};           // set by the destructor, read by both sides
    char slots[SlotCount][SlotSize];         // written by producers under mutex, read by the printer
    std::atomic<unsigned> writeIndex{0};     // next slot to fill: producers write, printer reads
    std::atomic<unsigned> readIndex{SlotCount - 1};  // slot printed last: printer writes, producers read
    std::mutex mutex;                        // serialises producers; the printer waits on it
    std::condition_variable cond;            // wakes the printer
};

}  // namespace SysLog
}  // namespace ORVEX
