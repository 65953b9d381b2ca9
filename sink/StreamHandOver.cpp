#include "sink/StreamHandOver.h"

namespace ZARNITH {

bool StreamHandOver::move(Connection fromC, Thread fromT, Connection toC, Thread toT) {
    int expected = pack(fromC, fromT);
    return word_.compare_exchange_strong(expected, pack(toC, toT));
}

void StreamHandOver::setConnection(Connection c) {
    int word = word_.load();
    while (!word_.compare_exchange_weak(word, pack(c, threadOf(word)))) {
    }
}

void StreamHandOver::opened() { word_ = pack(IDLE, Thread::Idle); }

bool StreamHandOver::beginConnect() { return move(IDLE, Thread::Idle, CONNECTING, Thread::Idle); }

void StreamHandOver::dropConnecting() { (void)move(CONNECTING, Thread::Idle, IDLE, Thread::Idle); }

bool StreamHandOver::handOver() { return move(CONNECTING, Thread::Idle, CONNECTED, Thread::Idle); }

StreamHandOver::Withdrawn StreamHandOver::withdraw() {
    if (move(CONNECTED, Thread::Idle, IDLE, Thread::Idle)) return Withdrawn::BeforeTaken;
    if (move(CONNECTED, Thread::Streaming, IDLE, Thread::Streaming)) return Withdrawn::AfterTaken;
    return Withdrawn::AlreadyEnded;
}

void StreamHandOver::closing(bool abandoned) {
    int word = word_.load();
    for (;;) {
        const Thread now = threadOf(word);
        const Thread next = now == Thread::Abandoned || abandoned ? Thread::Abandoned : Thread::Closing;
        if (word_.compare_exchange_weak(word, pack(connectionOf(word), next))) return;
    }
}

void StreamHandOver::closed() { word_ = pack(IDLE, Thread::Stopped); }

bool StreamHandOver::take() { return move(CONNECTED, Thread::Idle, CONNECTED, Thread::Streaming); }

bool StreamHandOver::beginDisconnect() {
    int word = word_.load();
    while (connectionOf(word) == CONNECTED) {
        if (word_.compare_exchange_weak(word, pack(DISCONNECTING, threadOf(word)))) return true;
    }
    return false;
}

void StreamHandOver::disconnected() { setConnection(IDLE); }

void StreamHandOver::backToIdle() {
    int word = word_.load();
    while (threadOf(word) == Thread::Streaming) {
        if (word_.compare_exchange_weak(word, pack(connectionOf(word), Thread::Idle))) return;
    }
}

bool StreamHandOver::ended() {
    int word = word_.load();
    for (;;) {
        const Thread now = threadOf(word);
        const Thread next = now == Thread::Closing || now == Thread::Abandoned ? now : Thread::Stopped;
        if (word_.compare_exchange_weak(word, pack(IDLE, next)))
            return connectionOf(word) == CONNECTED && now != Thread::Streaming;
    }
}

bool StreamHandOver::threadReady() const {
    const Thread t = thread();
    return t == Thread::Idle || t == Thread::Streaming;
}

bool StreamHandOver::closingCleanly() const {
    const Thread t = thread();
    return t == Thread::Closing || t == Thread::Abandoned;
}

bool StreamHandOver::mustWait() const {
    const int word = word_.load();
    const Connection c = connectionOf(word);
    return c == DISCONNECTING || (c == IDLE && threadOf(word) == Thread::Streaming);
}

}  // namespace ZARNITH
