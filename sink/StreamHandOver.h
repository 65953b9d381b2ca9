// The hand-over of a connection between the sink's control step and its
// stream thread, together with the stream thread's life: one word, changed
// only by the named transitions below, each one atomic over both halves, so
// that a side that moves sees the other side's last move in the same step.
//
// Connection (the sink's connection state, as getState reads it out):
//   IDLE 0, CONNECTING 1, CONNECTED 2, DISCONNECTING 3.
// Stream thread:
//   Stopped    no stream thread: not opened, closed, or it ended by itself
//   Idle       waits for a connection; the control step may hand one over
//   Streaming  owns the connection it took, from its data phase until it
//              waits idle again
//   Closing    close() ends it: a clean end
//   Abandoned  ~Sink ends it after the application's part of the object is
//              gone: a clean end, and no more calls into the application
//
//   application thread           stream thread
//   opened      -> IDLE, Idle
//   beginConnect  IDLE -> CONNECTING (thread Idle)
//   dropConnecting CONNECTING -> IDLE
//   handOver    CONNECTING -> CONNECTED
//                                take          Idle -> Streaming (CONNECTED)
//   withdraw    CONNECTED -> IDLE              (the stream thread then leaves
//                                              its data phase without a notice)
//                                beginDisconnect CONNECTED -> DISCONNECTING
//                                disconnected  DISCONNECTING -> IDLE
//                                backToIdle    Streaming -> Idle
//                                ended         -> IDLE, Stopped
//   closing     -> Closing / Abandoned
//   closed      -> IDLE, Stopped (after the join)
#pragma once

#include <atomic>

namespace ZARNITH {

class StreamHandOver {
public:
    enum Connection : int { IDLE = 0, CONNECTING = 1, CONNECTED = 2, DISCONNECTING = 3 };
    enum class Thread : int { Stopped = 0, Idle, Streaming, Closing, Abandoned };

    // What withdraw found.
    enum class Withdrawn {
        BeforeTaken,   // the stream thread never took the connection
        AfterTaken,    // it took it and leaves it without a notice of its own
        AlreadyEnded,  // it ended the connection itself (and gave the notice)
    };

    // ---- application thread ----
    // open(), before the stream thread starts: a new connection may come at once.
    void opened();
    // Step into connecting; false when a connection exists or no stream thread
    // waits for one.
    bool beginConnect();
    // The application refused: back to idle (nothing was handed over).
    void dropConnecting();
    // The connection is the stream thread's to take; false when the thread
    // ended meanwhile.
    bool handOver();
    // The connect answer could not be sent: the connection is taken back.
    Withdrawn withdraw();
    // close() (or ~Sink with `abandoned`) begins; an abandoned sink stays so.
    void closing(bool abandoned);
    // close() has joined the stream thread.
    void closed();

    // ---- stream thread ----
    // Takes a handed-over connection; false when there is none (withdrawn) or
    // the thread is being closed.
    bool take();
    // The end of the connection begins; false when the control step withdrew
    // it, which then gives the disconnect notice itself.
    bool beginDisconnect();
    void disconnected();
    // Done with the connection, waiting idle again (not when closing).
    void backToIdle();
    // The thread ends: no connection is left behind. True when it drops a
    // connection that was handed over and never taken: its notice is then
    // the thread's to give.
    bool ended();

    // ---- any thread ----
    Connection connection() const { return connectionOf(word_.load()); }
    Thread thread() const { return threadOf(word_.load()); }
    bool streaming() const { return thread() == Thread::Streaming; }
    // A connection exists, from the step into connecting until its disconnect
    // is done: the sink's status carries its playing bit for exactly as long.
    bool playing() const { return connection() != IDLE; }
    // A stream thread runs and is not being closed.
    bool threadReady() const;
    bool closingCleanly() const;
    bool abandoned() const { return thread() == Thread::Abandoned; }
    // A connect has to wait: a disconnect is under way, or the stream thread
    // is not yet back from the last connection.
    bool mustWait() const;

private:
    static int pack(Connection c, Thread t) { return static_cast<int>(c) | (static_cast<int>(t) << 8); }
    static Connection connectionOf(int word) { return static_cast<Connection>(word & 0xFF); }
    static Thread threadOf(int word) { return static_cast<Thread>(word >> 8); }
    // Moves from `from` to `to`; false (nothing changed) when the word is another.
    bool move(Connection fromC, Thread fromT, Connection toC, Thread toT);
    void setConnection(Connection c);

    std::atomic<int> word_{0};  // IDLE, Stopped
};

}  // namespace ZARNITH
