// The sender's connection state: one word, changed only by the named
// transitions below. The application reads it directly (load, or the two
// queries); log lines print it as its number.
//
//   0 IDLE                  no connection
//   1 CONNECTING            connect started the worker; no answer yet
//   2 CONNECTED             the sink accepted the connect request
//   3 DISCONNECT_REQUESTED  the host asked for the end; the worker plays
//                           out and runs the disconnect exchange
//
//   transition          from -> to                         made by
//   reset               any -> IDLE                        application thread: open, connect before
//                                                          its worker starts, a worker that cannot
//                                                          start, connectPrepare giving up
//   beginConnect        IDLE -> CONNECTING                 application thread: connect, just before
//                                                          it starts the worker
//   accepted            CONNECTING -> CONNECTED            worker: the sink accepted CONNECT_REQ
//   requestDisconnect   CONNECTED -> DISCONNECT_REQUESTED  application thread (disconnect); worker
//                                                          (the ring's end of stream, disconnect_flgset)
//   ended               any -> IDLE                        worker: at every end of a connection
//
// reset, accepted and ended are made under the connect mutex and wake the
// connect condition: connectWait, which tests the state and then waits under
// that mutex, cannot miss one of them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace ZARNITH {

class SyncState {
public:
    enum Value : int { IDLE = 0, CONNECTING = 1, CONNECTED = 2, DISCONNECT_REQUESTED = 3 };

    // The connect mutex and condition of the sender that owns this state.
    SyncState(std::mutex& connectMutex, std::condition_variable& connectCondition)
        : mutex_(connectMutex), condition_(connectCondition) {}
    SyncState(const SyncState&) = delete;
    SyncState& operator=(const SyncState&) = delete;

    // ---- application thread ----
    void reset() { settle(IDLE); }
    void beginConnect() { value_.store(CONNECTING); }

    // ---- worker thread ----
    void accepted() { settle(CONNECTED); }
    void ended() { settle(IDLE); }

    // ---- application thread or worker ----
    // The state found: CONNECTED when this call made the request.
    Value requestDisconnect() {
        int found = CONNECTED;
        (void)value_.compare_exchange_strong(found, DISCONNECT_REQUESTED);
        return static_cast<Value>(found);
    }

    // ---- any thread ----
    Value load() const { return static_cast<Value>(value_.load()); }
    // A connection runs: connecting, connected or its disconnect requested.
    static bool connectionRuns(Value v) { return v == CONNECTING || v == CONNECTED || v == DISCONNECT_REQUESTED; }
    bool connectionRuns() const { return connectionRuns(load()); }
    // The sink has accepted and no disconnect is requested: the stream may play.
    bool connected() const { return load() == CONNECTED; }

private:
    void settle(Value v) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            value_.store(v);
        }
        condition_.notify_all();
    }

    std::mutex& mutex_;
    std::condition_variable& condition_;
    std::atomic<int> value_{IDLE};
};

}  // namespace ZARNITH
