// Shared helpers for tests: built programs as child processes, shell commands,
// and network namespaces with a veth pair between them.
#pragma once

#include <chrono>
#include <string>
#include <vector>
#include <sys/types.h>

namespace tmtest {

// Path of a program built into build/bin (or build-asan/bin).
std::string binPath(const std::string& name);
// Path below the source tree.
std::string sourcePath(const std::string& relative);

// True when this test process runs in a network namespace of its own (made by
// the test main), so fixed ports such as 19640 and 19642 are free for it.
bool haveOwnNetwork();

// Runs a shell command, returns its exit status (-1 when it could not run).
int shell(const std::string& command, std::string* output = nullptr);

// A unique short name (at most 12 characters) for namespaces and links.
std::string uniqueName(const std::string& prefix);

// A child process started with execv; killed (SIGKILL) and reaped by the destructor
// unless it was waited for.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the given arguments; stdout and stderr go to files
    // readable through output() when captureOutput is set.
    bool start(const std::vector<std::string>& argv, bool captureOutput = true);
    // For the next start: the child's standard output is `fd` (stderr is still
    // captured); the caller keeps `fd` and may close its own copy after start.
    void setStdout(int fd) { stdoutFd_ = fd; }
    // Sends a signal.
    bool signal(int sig);
    // Waits for the end; returns false on time-out. exitStatus() then holds the status
    // (the exit code, or 128 + signal number for a signal death).
    bool wait(std::chrono::milliseconds timeout);
    bool running();
    int exitStatus() const { return status_; }
    pid_t pid() const { return pid_; }
    // What the process wrote to stdout and stderr so far.
    std::string output() const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = true;
    std::string outFile_;
    int stdoutFd_ = -1;  // -1: stdout as captureOutput says
};

// Two network namespaces joined by a veth pair, each side with a fixed
// link-local address (fe80::1 in a, fe80::2 in b) and no duplicate-address wait.
// Everything is removed by the destructor.
class NetnsPair {
public:
    NetnsPair();
    ~NetnsPair();
    NetnsPair(const NetnsPair&) = delete;
    NetnsPair& operator=(const NetnsPair&) = delete;

    // False (with reason()) when namespaces cannot be made here.
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }

    const std::string& nsA() const { return nsA_; }
    const std::string& nsB() const { return nsB_; }
    const std::string& linkA() const { return linkA_; }
    const std::string& linkB() const { return linkB_; }
    // Interface indexes of the veth ends inside their namespaces.
    unsigned ifIndexA() const { return ifA_; }
    unsigned ifIndexB() const { return ifB_; }

    // argv prefix that runs a program inside a namespace.
    static std::vector<std::string> inNs(const std::string& ns, std::vector<std::string> argv);
    // Drops `percent` % of the UDP datagrams arriving in `ns` to `port` (nftables).
    bool dropInput(const std::string& ns, unsigned port, unsigned percent);

private:
    bool ok_ = false;
    std::string reason_;
    std::string nsA_, nsB_, linkA_, linkB_;
    unsigned ifA_ = 0, ifB_ = 0;
};

// Moves the calling thread into a named namespace for its lifetime; sockets made
// meanwhile belong to that namespace and stay there after the guard ends.
class ScopedNetns {
public:
    explicit ScopedNetns(const std::string& ns);
    ~ScopedNetns();
    ScopedNetns(const ScopedNetns&) = delete;
    ScopedNetns& operator=(const ScopedNetns&) = delete;
    bool ok() const { return ok_; }

private:
    int original_ = -1;
    bool ok_ = false;
};

// Moves the calling thread into a new network namespace of its own, with only
// the loopback interface (up), for the guard's lifetime. Links, addresses and
// queueing rules that a test adds there vanish with it instead of reaching the
// later tests of the same process. Threads and processes started meanwhile by
// this thread begin in that namespace too.
class FreshNetns {
public:
    FreshNetns();
    ~FreshNetns();
    FreshNetns(const FreshNetns&) = delete;
    FreshNetns& operator=(const FreshNetns&) = delete;
    // False (with reason()) when a namespace cannot be made here.
    bool ok() const { return ok_; }
    const std::string& reason() const { return reason_; }

private:
    int original_ = -1;
    bool ok_ = false;
    std::string reason_;
};

}  // namespace tmtest
