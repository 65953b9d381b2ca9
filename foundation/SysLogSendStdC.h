// The console copy of the log: logging threads queue message bodies into a
// ring of fixed slots; one idle-priority printer thread writes them to
// standard output, one line each.
//
// Only the printer ever waits for the console. Queuing takes no lock and
// never sleeps: a logging thread claims a slot with one atomic step, copies
// the body and publishes it, and wakes the printer if it sleeps; when the
// ring is full the body is dropped and counted, and the printer later writes
// "wait debug out" and "timeout debug out" where bodies went missing. The
// printer writes with plain write() calls, so no stdio lock is held by a
// thread stuck on an unread console, and it gives up on such a console once
// it is asked to stop.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace ORVEX {
namespace SysLog {

class SysLogSendStdC {
public:
    static constexpr unsigned SlotCount = 120;
    static constexpr unsigned Capacity = SlotCount - 1;  // bodies that may wait at once
    static constexpr std::size_t SlotSize = 1500;  // a body is cut to SlotSize - 1 characters
    // Bodies queued at exit that are still printed before the printer ends.
    static constexpr unsigned DrainAtExit = SlotCount;
    // Longest the printer waits for a console that takes nothing once it is
    // asked to stop; then what is left is discarded.
    static constexpr int StopPatienceMs = 100;

    // Starts the printer thread unless told not to (tests stall it that way).
    explicit SysLogSendStdC(bool startPrinter = true);
    // Stops the printer after it printed what is queued (while the console
    // takes it), and joins it.
    ~SysLogSendStdC();
    SysLogSendStdC(const SysLogSendStdC&) = delete;
    SysLogSendStdC& operator=(const SysLogSendStdC&) = delete;

    void startPrinter();

    // The sender's callback: `message` is the start of the datagram text; an
    // empty body is not printed. Queues it on the global printer.
    static void send(const char* message);
    // Queues `body`; a full ring drops it. Never blocks, takes no lock.
    void _send(const char* body);

    // Replaces the global printer (the previous one is stopped and freed);
    // null just stops it.
    static void installGlobal(SysLogSendStdC* printer);

private:
    struct Slot {
        // Position + 1 once the body for that position is complete: written by
        // the producer that claimed it (release), read by the printer (acquire).
        std::atomic<std::uint64_t> ready{0};
        // Bodies dropped just before this one: written by its producer before
        // `ready`, read by the printer after it.
        std::uint64_t droppedBefore = 0;
        char text[SlotSize];  // producer writes before `ready`, printer reads after
    };

    void print_th();
    bool printNext();
    bool nothingReady() const;
    // Sleeps until a producer or the destructor wakes it, at most 100 ms.
    void sleep();
    void wake();
    // The "wait debug out" / "timeout debug out" pair for `dropped` lost bodies.
    void reportDropped(std::uint64_t dropped);
    // Writes one line and its newline to standard output; waits (polling
    // `stop`) while the console takes nothing. False when it gave up.
    bool writeLine(const char* line, std::size_t length);

    std::thread thread;                          // runs print_th
    std::atomic<bool> stop{false};               // set by the destructor, read by the printer
    Slot slots[SlotCount];
    std::atomic<std::uint64_t> writeIndex{0};    // next position to claim: producers (CAS)
    std::atomic<std::uint64_t> readIndex{0};     // next position to print: printer writes, producers read
    std::atomic<std::uint64_t> droppedPending{0};  // drops not yet tied to a body: producers add, printer takes
    // 1 while the printer sleeps (a futex word): the printer sets it, the
    // first producer after that (or the destructor) clears it and wakes it.
    std::atomic<std::uint32_t> asleep{0};
    bool gaveUp = false;                         // printer only: the console took nothing after stop
};

}  // namespace SysLog
}  // namespace ORVEX
