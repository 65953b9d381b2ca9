// The sender worker: one thread per connection. It connects, then sends the
// stream in paced cycles of data messages with 16-bit sequence numbers,
// keeps them in a ring for resends, steers the pacing from the sink's
// reports, changes profile when it keeps running late, and performs the
// disconnect exchange at the end of the stream.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/SysLog.h"
#include "foundation/ThreadPriority.h"
#include "protocol/SysLogZarnith.h"
#include "sender/Sync.h"
#include "sender/SyncFeedback.h"

namespace ZARNITH {

using ORVEX::Clock;
using ORVEX::SysLog::LEVEL_ERROR;
using ORVEX::SysLog::LEVEL_INFO;
using ORVEX::SysLog::LEVEL_WARNING;

namespace {

constexpr Clock ConnectWindow = Clock::fromSeconds(10);
constexpr Clock DisconnectWindow = Clock::fromMilliseconds(500);
constexpr int DisconnectTries = 4;
constexpr Clock ShortSleep = Clock::fromMicroseconds(100);
constexpr std::size_t StatisticsBytes = 1412;
constexpr std::uint32_t StatisticsPairs = 176;
// Datagrams handled per receive step at most, so a burst cannot hold up a cycle.
constexpr int ReceivesPerStep = 8;
// Empty chunks accepted in a row before the message is completed with silence.
constexpr int EmptyChunksMax = 16;

void putU32LE(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

// Everything the worker keeps for one connection.
struct Sync::WorkerRun {
    std::vector<STresendList> ring;
    std::size_t ringMask = 0;
    std::uint64_t sentTotal = 0;  // data messages sent (first sends only)
    Clock answerTimeout;
    std::mt19937 generator;

    int profileIndex = 0;
    Profile base;  // the current profile as configured
    Clock cycle;   // after feedback
    std::uint32_t framesQ14 = 0;  // after feedback
    std::uint32_t framesNow = 0;  // frames of this cycle's messages (random mode scales them)
    Clock deadline;
    Clock lastReportRequest;
    Clock lastReceived;
    Clock lastWait;
    int overtime = 0;
    SyncFeedback feedback;

    bool sinkPhase = false;  // the sink inverts its output
    bool hostPhase = false;  // copy of hostInvert used for the converter
    int stage = 0;           // disconnect stage 0 .. 5

    std::uint16_t seq = 0;
    std::uint16_t pending = 0;
    std::uint32_t remainder = 0;  // q14 fraction of a frame carried between messages
    std::uint16_t builtAhead = 0;

    ORVEX::BufferCS_const chunk;
    std::uint64_t chunkPos = 0;
    bool chunkTaken = false;
    bool endNow = false;  // the source failed outside a disconnect

    std::uint64_t frameBytes = 0;
    std::uint8_t sourceMute = 0;  // silence of the host's format, before conversion
    ORVEX::IPAddress dataAddress;
    Receive received;
    ORVEX::IPAddress from;

    std::vector<std::uint8_t> statistics;
    std::uint32_t statisticsCount = 0;
    std::uint32_t statisticsFirst = 0;
};

void Sync::thread_sync_func() {
    if (latency <= 2000) threadMode.fetch_and(~static_cast<int>(NOFASTFEEDBACK));
    const int mode = threadMode.load();
    if (SysLogZarnith::zarnith_log > 5) {
        std::string flags = "wth start ";
        if (mode & CRITICAL) flags += "CRITICAL ";
        if (mode & NOSHORTSLEEP) flags += "NOSHORTSLEEP ";
        if (mode & NOSLEEP4CORE) flags += "NOSLEEP4CORE ";
        if (mode & NOSLEEPFORCE) flags += "NOSLEEPFORCE ";
        if (mode & SOCKETNOBLOCK) flags += "SOCKETNOBLOCK ";
        if (mode & OCCUPIED) flags += "OCCUPIED ";
        LEVEL_INFO << flags << " FEEDBACK:" << (((mode & FEEDBACK) >> 5) + 1)
                   << ((mode & NOFASTFEEDBACK) ? " NOFASTFEEDBACK " : " ") << " Info="
                   << static_cast<unsigned long>(infoCycle.toMilliseconds());
    }
    if (workerSchedule()) (void)syncWorker();
    setStateNotify(0);
    LEVEL_INFO << "wth end";
}

bool Sync::workerSchedule() {
    const int mode = threadMode.load();
    const unsigned long self = ORVEX::ThreadPriority::getSelfThreadID();
    const bool critical = (mode & CRITICAL) != 0;
    if (!ORVEX::ThreadPriority::setPriority(self, critical ? ORVEX::ThreadPriority::CRITICAL
                                                           : ORVEX::ThreadPriority::HIGH)) {
        LEVEL_ERROR << "Worker Thread Priority set Error";
        return false;
    }
    LEVEL_INFO << "Worker Thread Priority change " << (critical ? "CRITICAL" : "HIGH");
    if ((mode & OCCUPIED) == 0) return true;
    auto pin = [self](int cpu) {
        const std::list<ORVEX::ThreadPriority::Cpus> cpus{{static_cast<std::uint16_t>(cpu), 1}};
        return ORVEX::ThreadPriority::setCpuThread(self, cpus);
    };
    if (cpuSend != -1) {
        if (cpuSend < 0 || !pin(cpuSend)) {
            LEVEL_ERROR << "Worker Thread CPU set error " << cpuSend;
            return false;
        }
        LEVEL_INFO << "Worker Thread CPU change " << cpuSend;
        return true;
    }
    for (int cpu : {2, 1}) {
        if (pin(cpu)) {
            LEVEL_INFO << "Worker Thread CPU change " << cpu;
            return true;
        }
    }
    LEVEL_ERROR << "Worker Thread CPU set error 2 1";
    return false;
}

bool Sync::syncWorker() {
    WorkerRun run;
    const std::size_t ringSize = profileCount > 0 ? resendRingSize(profiles[0]) : 0;
    if (ringSize == 0) {
        LEVEL_ERROR << "transfer profile invalid";
        return false;
    }
    run.ring.resize(ringSize);
    for (auto& entry : run.ring) entry.reserve(static_cast<std::uint64_t>(packDataSize) + 8);
    run.ringMask = ringSize - 1;
    run.answerTimeout = (infoCycle * 8).Comp(Clock::fromSeconds(1)) > 0 ? infoCycle * 8 : Clock::fromSeconds(1);
    if (profiles[0].mode == Profile::MODE_RANDOM) {
        try {
            std::random_device device("default");
            run.generator.seed(device());
        } catch (const std::exception&) {
            LEVEL_WARNING << "random device unavailable";
        }
    }
    run.feedback = SyncFeedback(((threadMode.load() & FEEDBACK) >> 5) + 1);
    run.profileIndex = 0;
    run.base = profiles[0];
    run.cycle = run.base.cycle;
    run.framesQ14 = run.base.framesQ14;
    run.framesNow = run.framesQ14;
    run.frameBytes = sendFormat.getWid() * sendFormat.getChannel();
    run.sourceMute = requestedFormat.getMuteByte();
    convertOffset = 0;  // every stream starts on a sample boundary
    if (run.frameBytes == 0) {
        LEVEL_ERROR << "sinkConfig invalid";
        return false;
    }
    if (SysLogZarnith::zarnith_log > 5) run.statistics.assign(StatisticsBytes, 0);
    if (!workerConnect(run)) return false;
    return workerLoop(run);
}

bool Sync::workerConnect(WorkerRun& run) {
    Receive answer;
    if (!sendAck(mainSocket, sinkAddress, Send(CONNECT_REQ, STATUS_NONE, static_cast<std::uint64_t>(sendFormat)),
                 CONNECT_ANS, answer, ConnectWindow)) {
        LEVEL_ERROR << "wth CR send err";
        return false;
    }
    if (answer.empty()) {
        LEVEL_INFO << "wth CR ack none";
        return false;
    }
    const StatusID status = answer.getStatus();
    run.sinkPhase = (status & STATUS_PHASECONTROL) != 0 && (status & STATUS_PHASENORMAL) == 0;
    run.hostPhase = hostInvert.load();
    choosePhaseConverter(run.sinkPhase, run.hostPhase);

    // The first cycle goes out at once and is silence.
    const std::uint16_t count = std::max<std::uint16_t>(run.base.packetCount, 1);
    for (std::uint16_t i = 0; i < count; ++i) {
        STresendList& entry = run.ring[i & run.ringMask];
        std::uint64_t size = static_cast<std::uint64_t>(run.framesQ14 / 16384) * run.frameBytes;
        if (run.base.packetSize != 0) size = run.base.packetSize;
        entry.set(STREAMDATA_SET, STATUS_NONE, i, 0, 0, 0);
        entry.resize(size);
        fillSilence(run, entry.get_data(), size);
        entry.final = false;
        entry.update();
    }
    run.builtAhead = static_cast<std::uint16_t>(count - 1);

    run.dataAddress = sinkAddress;
    run.dataAddress.set_port(answer.getOption0());
    mainSocket.setToV6(run.dataAddress);
    setStateNotify(2);

    const Clock now = Clock::now();
    run.lastReportRequest = now;
    run.lastReceived = now;
    run.deadline = now - run.cycle / 2;
    LEVEL_INFO << "redy to play loop start" << static_cast<int>(playing.load());
    return true;
}

bool Sync::workerLoop(WorkerRun& run) {
    bool yielded = false;
    while (!closing.load()) {
        const int current = state.load();
        if (current != 2 && current != 3) return true;
        if (run.stage == 4) {
            if (run.pending == 0) {
                workerDisconnectExchange(run);
                return true;
            }
            run.stage = 2;  // the tail goes out again before the end is asked for
        }
        const int mode = threadMode.load();
        Clock now = Clock::now();
        if (run.deadline.Comp(now) > 0) {
            if (mode & YIELDWAIT) {
                ORVEX::ThreadPriority::idle();
            } else if ((mode & YIELDCYCLE) && !yielded) {
                ORVEX::ThreadPriority::idle();
                yielded = true;
            }
            if (mode & (NOSLEEP4CORE | NOSLEEPFORCE)) continue;
            const Clock remaining = run.deadline - now;
            if ((mode & NOSHORTSLEEP) && remaining.Comp(ShortSleep) <= 0) continue;
            const ORVEX::WaitResult ready = mainSocket.wait(remaining);
            if (ready == ORVEX::WaitResult::Error) {
                LEVEL_ERROR << "wth udp wait error";
                return false;
            }
            if (closing.load()) return false;
            const Clock woke = Clock::now();
            run.lastWait = woke - now;
            if (run.deadline.Comp(woke) > 0) {
                // A datagram woke the wait before the deadline; a wait that
                // ended a hair early just waits again.
                if (ready == ORVEX::WaitResult::Ready && workerReceive(run, true) < 0) return false;
                continue;
            }
            yielded = false;
            if (!workerCycle(run, woke, ready == ORVEX::WaitResult::Ready)) return false;
            continue;
        }
        yielded = false;
        run.lastWait = Clock();
        if (!workerCycle(run, now, false)) return false;
    }
    return false;
}

bool Sync::workerCycle(WorkerRun& run, Clock cycleStart, bool readable) {
    const int mode = threadMode.load();
    float factor = 1.0F;
    if (run.base.mode == Profile::MODE_RANDOM && run.cycle.Comp(run.base.cycleMin) > 0) {
        const std::uint64_t cycleUs = run.cycle.toMicroseconds();
        const std::uint64_t spanUs = (run.cycle - run.base.cycleMin).toMicroseconds();
        const std::uint64_t stepUs = cycleUs - static_cast<std::uint64_t>(run.generator()) % (spanUs + 1);
        run.deadline += Clock::fromMicroseconds(stepUs);
        factor = cycleUs == 0 ? 1.0F : static_cast<float>(stepUs) / static_cast<float>(cycleUs);
    } else {
        run.deadline += run.cycle;
    }
    std::uint32_t n = run.base.packetCount;
    if (run.deadline.Comp(cycleStart) > 0) {
        if (run.overtime > 0) --run.overtime;
    } else {
        LEVEL_WARNING << "over time " << static_cast<unsigned long>((cycleStart - run.deadline).toMicroseconds())
                      << " " << static_cast<unsigned long>(run.lastWait.toMicroseconds()) << " " << run.overtime;
        if ((mode & NOFASTFEEDBACK) == 0) {
            run.deadline += run.cycle;
            n *= 2;
        }
        if (run.overtime < 1000) run.overtime += 10;
    }
    const bool switchBlocking = (mode & SOCKETNOBLOCK) == 0 && n > 1;
    if (switchBlocking) (void)mainSocket.setBlocking(false);
    const bool reportDue = (cycleStart - run.lastReportRequest).Comp(infoCycle) >= 0;
    run.framesNow = run.framesQ14;
    if (run.base.mode == Profile::MODE_RANDOM) {
        run.framesNow = static_cast<std::uint32_t>(static_cast<float>(run.framesQ14) * factor + 0.5F);
    }

    for (std::uint32_t slot = 1; slot <= n; ++slot) {
        const bool last = slot == n;
        if (last && switchBlocking) (void)mainSocket.setBlocking(true);
        if (run.pending > 0) {
            STresendList& entry = run.ring[static_cast<std::uint16_t>(run.seq - run.pending) & run.ringMask];
            const std::uint64_t size = entry.size_data();
            entry.resize(size, size + 2);
            entry.statusUpdate(STATUS_REPORT | STATUS_CYCLEEND, last ? STATUS_CYCLEEND : STATUS_NONE);
            (void)mainSocket.sendToV6(static_cast<ORVEX::BufferCS_const>(entry), true);  // lost: the sink asks again
            workerStatistics(run, entry.getLengthCode());
            --run.pending;
            continue;
        }
        STresendList& entry = run.ring[run.seq & run.ringMask];
        StatusID status = STATUS_NONE;
        if (last) {
            status = STATUS_CYCLEEND;
            if (reportDue) {
                status = STATUS_CYCLEEND | STATUS_REPORT;
                run.lastReportRequest = cycleStart;
                if (run.stage == 2) run.stage = 3;
            }
        }
        entry.statusUpdate(STATUS_REPORT | STATUS_CYCLEEND, status);
        if (!mainSocket.sendToV6(static_cast<ORVEX::BufferCS_const>(entry), true)) {
            LEVEL_ERROR << "wth udp send error " << mainSocket.lastError;
            return false;
        }
        workerStatistics(run, entry.getLengthCode());
        ++run.sentTotal;
        if (entry.final && run.stage < 2) run.stage = 2;
        ++run.seq;
        if (run.builtAhead > 0) {
            --run.builtAhead;
        } else {
            buildMessage(run, run.seq);
            if (run.endNow) return false;
        }
    }

    if (run.chunkTaken) {
        (void)getNewStreamCmp();
        run.chunkTaken = false;
    }
    if (!readable) {
        const ORVEX::WaitResult ready = mainSocket.wait();
        if (ready == ORVEX::WaitResult::Error) {
            LEVEL_ERROR << "wth udp wait2 error";
            return false;
        }
        readable = ready == ORVEX::WaitResult::Ready;
    }
    return workerReceive(run, readable) >= 0;
}

void Sync::buildMessage(WorkerRun& run, std::uint16_t sequence) {
    STresendList& entry = run.ring[sequence & run.ringMask];
    std::uint64_t size = 0;
    if (run.base.packetSize != 0) {
        size = run.base.packetSize;
    } else {
        const std::uint64_t total = static_cast<std::uint64_t>(run.remainder) + run.framesNow;
        run.remainder = static_cast<std::uint32_t>(total & 0x3FFF);
        size = (total >> 14) * run.frameBytes;
        const std::uint64_t cap = (packDataSize / run.frameBytes) * run.frameBytes;
        if (size > cap) size = cap;
    }
    entry.final = false;
    entry.set(STREAMDATA_SET, STATUS_NONE, sequence, 0, 0, 0);
    entry.resize(size);
    fillPayload(run, entry);
    entry.update();
}

void Sync::fillSilence(WorkerRun& run, std::uint8_t* out, std::size_t size) {
    if (size > 0) std::memset(out, silenceByte(run.sinkPhase != run.hostPhase), size);
}

bool Sync::nextChunk(WorkerRun& run, STresendList& entry) {
    if (run.stage != 0) return false;
    if (!playing.load()) {
        if (state.load() == 3) {
            LEVEL_INFO << "buffer disconnect ";
            entry.final = true;
            run.stage = 1;
        }
        return false;
    }
    for (int empty = 0; empty < EmptyChunksMax; ++empty) {
        ORVEX::BufferCS_const next;
        const bool ok = getNewStream(next);
        run.chunk = ok ? next : ORVEX::BufferCS_const();
        run.chunkPos = 0;
        if (!ok) {
            if (state.load() == 3) {
                LEVEL_INFO << "buffer Final ";
                entry.final = true;
                run.stage = 1;
            } else {
                LEVEL_WARNING << "buffer timeout ";
                run.endNow = true;
            }
            return false;
        }
        run.chunkTaken = true;
        if (run.chunk.size > 0 && run.chunk.data != nullptr) return true;
    }
    return false;
}

void Sync::fillPayload(WorkerRun& run, STresendList& entry) {
    std::uint8_t* out = entry.get_data();
    const std::uint64_t size = entry.size_data();
    std::uint64_t pos = 0;
    while (pos < size) {
        std::uint64_t avail = run.chunk.size - run.chunkPos;
        if (avail == 0) {
            if (!nextChunk(run, entry)) break;
            avail = run.chunk.size;
        }
        const std::uint64_t want = size - pos;
        if (avail >= want) {
            memcpySync(out + pos, run.chunk.data + run.chunkPos, want);
            run.chunkPos += want;
            pos = size;
            break;
        }
        // Whole 4-byte groups straight from the chunk; a group that
        // straddles two chunks is gathered first, so the converters always
        // see whole words on the message's grid.
        const std::uint64_t whole = avail & ~std::uint64_t{3};
        if (whole > 0) {
            memcpySync(out + pos, run.chunk.data + run.chunkPos, whole);
            run.chunkPos += whole;
            pos += whole;
        }
        const std::uint64_t group = std::min<std::uint64_t>(4, size - pos);
        std::uint8_t gathered[4];
        std::uint64_t have = 0;
        bool sourceEnded = false;
        while (have < group) {
            if (run.chunkPos == run.chunk.size) {
                if (sourceEnded || !nextChunk(run, entry)) {
                    sourceEnded = true;
                    gathered[have++] = run.sourceMute;
                    continue;
                }
            }
            gathered[have++] = run.chunk.data[run.chunkPos++];
        }
        memcpySync(out + pos, gathered, group);
        pos += group;
        if (sourceEnded) break;
    }
    if (pos < size) fillSilence(run, out + pos, size - pos);
}

int Sync::workerReceive(WorkerRun& run, bool readable) {
    for (int round = 0; round < ReceivesPerStep; ++round) {
        const Clock now = Clock::now();
        const Clock silent = now - run.lastReceived;
        if (silent.Comp(run.answerTimeout) >= 0) {
            LEVEL_INFO << "   timeout " << static_cast<unsigned long>(silent.toMicroseconds());
            return -1;
        }
        if (!readable) return 0;
        if (!mainSocket.receiveFromV6(run.received, run.from)) {
            LEVEL_INFO << "udp rcv error ";
            return -1;
        }
        if (closing.load()) return -1;
        if (!run.received.empty() && run.received &&
            sameSource(run.from, run.dataAddress, mainSocket.bindIfIndex)) {
            run.lastReceived = now;
            const MessageID id = run.received.getMessage();
            if (id == STREAMREPORT_SET) {
                if ((run.received.getStatus() & STATUS_RESEND) != 0) {
                    const std::uint16_t first = run.received.getOption1();
                    const auto back = static_cast<std::uint16_t>(run.seq - first);
                    if (back >= run.ring.size()) {
                        LEVEL_INFO << "   count error " << static_cast<unsigned>(first) << "   "
                                   << static_cast<unsigned>(run.received.getOption2()) << " "
                                   << static_cast<unsigned>(back);
                        return -1;
                    }
                    if (back > run.sentTotal) {
                        // Messages that were never sent cannot be sent again.
                        LEVEL_WARNING << "   count invalid " << static_cast<unsigned>(first) << "   "
                                      << static_cast<unsigned>(run.received.getOption2()) << " "
                                      << static_cast<unsigned>(back);
                    } else {
                        LEVEL_INFO << "   count resend " << static_cast<unsigned>(first) << "   "
                                   << static_cast<unsigned>(run.received.getOption2()) << " "
                                   << static_cast<unsigned>(back);
                        run.pending = back;
                        // The tail must arrive before the end is asked for.
                        if (run.stage == 3 || run.stage == 4) run.stage = 2;
                    }
                } else {
                    if (run.stage == 3) run.stage = 4;
                    workerReport(run, run.received);
                }
            } else if (id == DSICONNECT_ANS) {
                LEVEL_INFO << "DSICONNECT_ANS ";
                return -1;
            }
        }
        const ORVEX::WaitResult ready = mainSocket.wait();
        if (ready == ORVEX::WaitResult::Error) {
            LEVEL_ERROR << "wth udp wait2 error";
            return -1;
        }
        readable = ready == ORVEX::WaitResult::Ready;
        if (!readable) return 1;
    }
    return 1;
}

void Sync::workerReport(WorkerRun& run, const Receive& report) {
    int kind = 0;
    const std::int16_t sample =
        SyncFeedback::sample(report.getOption0(), report.getOption1(), report.getOption2(), kind);
    const std::int16_t c = run.feedback.update(sample);

    if (run.overtime > 199 && run.profileIndex + 1 < profileCount) {
        LEVEL_WARNING << "over time change profile " << run.profileIndex << " to " << run.profileIndex + 1;
        ++run.profileIndex;
        run.overtime = 10;
        run.base = profiles[run.profileIndex];
        run.cycle = run.base.cycle;
        run.framesQ14 = run.base.framesQ14;
    } else if (run.overtime == 0 && run.profileIndex > 0) {
        LEVEL_WARNING << "over time recover profile " << run.profileIndex << " to " << run.profileIndex - 1;
        --run.profileIndex;
        run.base = profiles[run.profileIndex];
        run.cycle = run.base.cycle;
        run.framesQ14 = run.base.framesQ14;
    }

    if (run.base.packetSize != 0) {
        const auto baseCycle = static_cast<std::int64_t>(run.base.cycle.picoseconds());
        run.cycle = Clock(static_cast<std::uint64_t>(baseCycle - ((c * baseCycle) >> 14)));
    } else {
        const auto baseFrames = static_cast<std::int64_t>(run.base.framesQ14);
        run.framesQ14 = static_cast<std::uint32_t>(baseFrames + ((c * baseFrames) >> 14));
    }

    const StatusID status = report.getStatus();
    const bool sinkPhase = (status & STATUS_PHASECONTROL) != 0 && (status & STATUS_PHASENORMAL) == 0;
    const bool hostPhase = hostInvert.load();
    if (sinkPhase != run.sinkPhase || hostPhase != run.hostPhase) {
        run.sinkPhase = sinkPhase;
        run.hostPhase = hostPhase;
        choosePhaseConverter(run.sinkPhase, run.hostPhase);
    }

    if (SysLogZarnith::zarnith_log > 5) {
        std::string line = SyncFeedback::formatQ14(sample) + SyncFeedback::formatQ14(run.feedback.average()) +
                           SyncFeedback::formatQ14(c);
        if (run.base.packetSize != 0) {
            line += " cy=" + std::to_string(run.cycle.picoseconds());
        } else {
            const std::uint64_t perCycle = static_cast<std::uint64_t>(run.framesQ14) * run.base.packetCount;
            char text[48];
            std::snprintf(text, sizeof(text), " fs=%llu.%04llu", static_cast<unsigned long long>(perCycle / 16384),
                          static_cast<unsigned long long>((perCycle % 16384) * 10000 / 16384));
            line += text;
        }
        LEVEL_INFO << "info rcv " << kind << line;
    }
}

void Sync::workerDisconnectExchange(WorkerRun& run) {
    const Send request(DSICONNECT_REQ, STATUS_NONE);
    const ORVEX::BufferCS_const view = static_cast<ORVEX::BufferCS_const>(request);
    bool answered = false;
    bool failed = false;
    for (int attempt = 0; attempt < DisconnectTries && !answered && !failed && !closing.load(); ++attempt) {
        if (!mainSocket.sendToV6(view, run.dataAddress, true)) {
            failed = true;
            break;
        }
        const Clock deadline = Clock::now() + DisconnectWindow;
        for (;;) {
            const Clock now = Clock::now();
            if (now.Comp(deadline) >= 0) break;
            const ORVEX::WaitResult ready = mainSocket.wait(deadline - now);
            if (ready == ORVEX::WaitResult::Error) {
                failed = true;
                break;
            }
            if (ready == ORVEX::WaitResult::TimeOut) continue;
            if (closing.load() || !mainSocket.receiveFromV6(run.received, run.from)) {
                failed = true;
                break;
            }
            if (run.received.empty()) continue;
            if (run.received && run.received.getMessage() == DSICONNECT_ANS &&
                sameSource(run.from, run.dataAddress, mainSocket.bindIfIndex)) {
                run.stage = 5;
                answered = true;
            }
            break;  // any other datagram uses up the try
        }
    }
    if (!answered) LEVEL_INFO << "DSICONNECT_REQ ERROR ";
}

void Sync::workerStatistics(WorkerRun& run, std::uint16_t lengthCode) {
    if (run.statistics.empty() || SysLogZarnith::zarnith_log <= 5) return;
    const auto now = static_cast<std::uint32_t>(Clock::now().toMicroseconds());
    if (run.statisticsCount == 0) run.statisticsFirst = now;
    std::uint8_t* pair = run.statistics.data() + 4 + 8 * run.statisticsCount;
    putU32LE(pair, now);
    putU32LE(pair + 4, static_cast<std::uint32_t>((lengthCode & 0xFFF8) + 74));
    ++run.statisticsCount;
    if (run.statisticsCount > 175 || now - run.statisticsFirst > 49999) {
        putU32LE(run.statistics.data(), 0x01000000U | (run.statisticsCount << 16));
        LEVEL_INFO << "" << ORVEX::BufferCS_const(run.statistics.data(), run.statistics.size());
        std::fill(run.statistics.begin(), run.statistics.end(), 0);
        run.statisticsCount = 0;
    }
    static_assert(4 + 8 * StatisticsPairs == StatisticsBytes, "statistics record layout");
}

}  // namespace ZARNITH
