#include "tests/support/TestSupport.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sched.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tmtest {

extern bool g_ownNetwork;

bool haveOwnNetwork() { return g_ownNetwork; }

std::string binPath(const std::string& name) { return std::string(TM_BIN_DIR) + "/" + name; }

std::string sourcePath(const std::string& relative) {
    return std::string(TM_SOURCE_DIR) + "/" + relative;
}

int shell(const std::string& command, std::string* output) {
    std::string cmd = command + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[512];
    std::string out;
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = ::pclose(p);
    if (output != nullptr) *output = out;
    if (st == -1) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string uniqueName(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    std::ostringstream s;
    s << prefix << (::getpid() % 100000) << "x" << counter++;
    std::string r = s.str();
    if (r.size() > 12) r = r.substr(r.size() - 12);
    return r;
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int st = 0;
        ::waitpid(pid_, &st, 0);
    }
    if (!outFile_.empty()) ::unlink(outFile_.c_str());
}

bool ChildProcess::start(const std::vector<std::string>& argv, bool captureOutput) {
    if (argv.empty() || !reaped_) return false;
    if (captureOutput) {
        char tmpl[] = "/tmp/tmchild.XXXXXX";
        int fd = ::mkstemp(tmpl);
        if (fd < 0) return false;
        ::close(fd);
        outFile_ = tmpl;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (!outFile_.empty()) {
            int fd = ::open(outFile_.c_str(), O_WRONLY | O_TRUNC);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
                ::close(fd);
            }
        }
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0) ::dup2(devnull, 0);
        if (stdoutFd_ >= 0) ::dup2(stdoutFd_, 1);
        // The child starts with 0, 1 and 2 only, whatever the test runner left
        // open, so that it sees the descriptor limits a test gives it.
        if (::syscall(SYS_close_range, 3u, ~0u, 0u) != 0)
            for (int fd = 3; fd < 1024; ++fd) ::close(fd);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    pid_ = pid;
    reaped_ = false;
    status_ = -1;
    return true;
}

bool ChildProcess::signal(int sig) { return !reaped_ && ::kill(pid_, sig) == 0; }

bool ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (reaped_) return true;
    auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return true;
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool ChildProcess::running() { return !reaped_ && !wait(std::chrono::milliseconds(0)); }

std::string ChildProcess::output() const {
    if (outFile_.empty()) return {};
    std::ifstream f(outFile_, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

namespace {
unsigned ifIndexIn(const std::string& ns, const std::string& link) {
    std::string out;
    if (shell("ip netns exec " + ns + " cat /sys/class/net/" + link + "/ifindex", &out) != 0) return 0;
    return static_cast<unsigned>(std::strtoul(out.c_str(), nullptr, 10));
}
}  // namespace

NetnsPair::NetnsPair() {
    nsA_ = uniqueName("tma");
    nsB_ = uniqueName("tmb");
    linkA_ = uniqueName("va");
    linkB_ = uniqueName("vb");
    std::string out;
    if (shell("ip netns add " + nsA_, &out) != 0) {
        reason_ = "network namespaces not permitted here: " + out;
        return;
    }
    if (shell("ip netns add " + nsB_, &out) != 0) {
        reason_ = "second namespace failed: " + out;
        return;
    }
    const std::string a = "ip netns exec " + nsA_ + " ";
    const std::string b = "ip netns exec " + nsB_ + " ";
    std::vector<std::string> cmds = {
        "ip link add " + linkA_ + " netns " + nsA_ + " type veth peer name " + linkB_ + " netns " + nsB_,
        a + "sysctl -qw net.ipv6.conf." + linkA_ + ".accept_dad=0",
        b + "sysctl -qw net.ipv6.conf." + linkB_ + ".accept_dad=0",
        a + "sysctl -qw net.ipv6.conf." + linkA_ + ".addr_gen_mode=1",
        b + "sysctl -qw net.ipv6.conf." + linkB_ + ".addr_gen_mode=1",
        a + "ip link set lo up",
        b + "ip link set lo up",
        a + "ip -6 addr add fe80::1/64 dev " + linkA_ + " nodad",
        b + "ip -6 addr add fe80::2/64 dev " + linkB_ + " nodad",
        a + "ip link set " + linkA_ + " up",
        b + "ip link set " + linkB_ + " up",
    };
    for (const auto& c : cmds) {
        if (shell(c, &out) != 0) {
            reason_ = "namespace set-up failed: " + c + ": " + out;
            return;
        }
    }
    ifA_ = ifIndexIn(nsA_, linkA_);
    ifB_ = ifIndexIn(nsB_, linkB_);
    // Wait until both ends report carrier so the first datagrams are not lost.
    for (int i = 0; i < 200; ++i) {
        std::string ca, cb;
        shell(a + "cat /sys/class/net/" + linkA_ + "/operstate", &ca);
        shell(b + "cat /sys/class/net/" + linkB_ + "/operstate", &cb);
        if (ca.rfind("up", 0) == 0 && cb.rfind("up", 0) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ok_ = ifA_ != 0 && ifB_ != 0;
    if (!ok_) reason_ = "interface index not found";
}

NetnsPair::~NetnsPair() {
    if (!nsA_.empty()) shell("ip netns del " + nsA_);
    if (!nsB_.empty()) shell("ip netns del " + nsB_);
}

std::vector<std::string> NetnsPair::inNs(const std::string& ns, std::vector<std::string> argv) {
    std::vector<std::string> r = {"/usr/bin/env", "ip", "netns", "exec", ns};
    r.insert(r.end(), argv.begin(), argv.end());
    return r;
}

bool NetnsPair::dropInput(const std::string& ns, unsigned port, unsigned percent) {
    const std::string n = "ip netns exec " + ns + " nft ";
    std::string rule = "'add rule inet tmloss input udp dport " + std::to_string(port) +
                       " numgen random mod 100 < " + std::to_string(percent) + " drop'";
    return shell(n + "'add table inet tmloss'") == 0 &&
           shell(n + "'add chain inet tmloss input { type filter hook input priority 0; }'") == 0 &&
           shell(n + rule) == 0;
}

ScopedNetns::ScopedNetns(const std::string& ns) {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int fd = ::open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (original_ >= 0 && fd >= 0) ok_ = ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
}

ScopedNetns::~ScopedNetns() {
    if (original_ >= 0) {
        if (ok_) (void)::setns(original_, CLONE_NEWNET);
        ::close(original_);
    }
}

FreshNetns::FreshNetns() {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0) {
        reason_ = std::string("cannot open the current namespace: ") + std::strerror(errno);
        return;
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        reason_ = std::string("cannot make a network namespace: ") + std::strerror(errno);
        return;
    }
    std::string out;
    if (shell("ip link set lo up", &out) != 0) {
        reason_ = "loopback not up in the new namespace: " + out;
        (void)::setns(original_, CLONE_NEWNET);
        return;
    }
    ok_ = true;
}

FreshNetns::~FreshNetns() {
    if (original_ < 0) return;
    (void)::setns(original_, CLONE_NEWNET);
    ::close(original_);
}

}  // namespace tmtest
