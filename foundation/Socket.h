// One BSD socket (TCP or UDP over IPv4 or IPv6), its readiness waits and the
// machine's local address lists. Operations report success by their result and
// keep the platform error number of the last failed operation (open, bind,
// join, option, connect, accept, send) in `lastError`, for the caller's log
// line; nothing here logs or throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>

#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"

namespace ORVEX {

// What a readability wait answers. The values are those the waits have always
// returned (and that log lines print): 0, 1, 2.
enum class WaitResult : int {
    Error = 0,    // the platform reported an error
    TimeOut = 1,  // nothing readable before the time-out (or a signal ended the wait)
    Ready = 2,    // at least one watched socket readable
};

class Socket {
public:
    enum Type : int {
        TYPE_TCPV4 = 0,       // IPv4 stream
        TYPE_UDPV4 = 1,       // IPv4 datagram, broadcast allowed
        TYPE_TCPV6 = 2,       // IPv6 stream, IPv6 only
        TYPE_UDPV6 = 3,       // IPv6 datagram, IPv6 only
        TYPE_TCPV6_DUAL = 4,  // IPv6 stream, dual stack
        TYPE_UDPV6_DUAL = 5,  // IPv6 datagram, dual stack
    };

    // The value of the local address lists: the interface an address belongs to.
    struct Interfase {
        std::string name;   // interface name as the platform lists it
        std::string other;  // never filled
    };
    using AddressList = std::map<IPAddress, Interfase>;

    class Waiter;

    // Fields are public: callers set receiveSize directly. A Socket is used by
    // one thread at a time, except the log sender's socket, on which every
    // thread sends with the addressed sendToV6 (it writes only lastError).
    int descriptor = -1;            // -1 when closed
    sockaddr_in6 to{};              // destination of sendToV6 without an address
    Type type = TYPE_TCPV4;         // kind chosen by the last open
    std::size_t receiveSize = 1500; // bytes reserved for one receive into a Buffer
    bool blocking = true;           // blocking mode as far as this object set it
    int lastError = 0;              // errno of the last failed operation
    std::uint32_t bindIfIndex = 0;  // scope chosen by bindV6 for link-local or loopback; overrides destinations

    Socket() = default;
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int getDescriptor() const { return descriptor; }
    bool is_open() const { return descriptor != -1; }
    static bool isStreamType(Type t) { return t == TYPE_TCPV4 || t == TYPE_TCPV6 || t == TYPE_TCPV6_DUAL; }

    // Closes first when open; creates the platform socket with the standard options.
    [[nodiscard]] bool open(Type newType);
    // Shuts stream sockets down in both directions, then closes; nothing when closed.
    void close();
    bool shutdown();
    bool setBlocking(bool on);
    bool getBlocking() const { return blocking; }

    // Binds (scope for fe80::/16 and ::1 chosen here: the address's own
    // interface index, or for ::1 without one the loopback interface's, which
    // needs no interface list and so no extra descriptor), writes a chosen port back
    // into `address` when it asked for port 0, and listens on stream types.
    [[nodiscard]] bool bindV6(IPAddress& address, unsigned backlog);
    [[nodiscard]] bool bindV4(IPAddress address);
    [[nodiscard]] bool memberV6(const IPAddress& group);
    [[nodiscard]] bool memberV4(const IPAddress& group, const IPAddress& interfaceAddress);
    [[nodiscard]] bool memberV4(const IPAddress& group);
    bool setInterface(unsigned ifIndex);

    // Accepts one pending connection into `client` (closed first when open).
    [[nodiscard]] bool acceptV6(Socket& client, IPAddress& peer);
    // wait(timeOut) first: Error, TimeOut, or Ready when accepted (Error when the accept fails).
    [[nodiscard]] WaitResult acceptV6(Socket& client, IPAddress& peer, Clock timeOut);
    [[nodiscard]] bool connectV6(const IPAddress& destination);
    [[nodiscard]] bool connectV4(const IPAddress& destination);

    // One stream send of the whole view; true only when every byte was taken.
    // Never raises SIGPIPE.
    [[nodiscard]] bool send(BufferCS_const data);
    // Sends bytes from `offset` once; `sent` becomes offset plus what was taken.
    // Nothing taken because the socket would block is success with sent == offset.
    [[nodiscard]] bool sendNoBlock(BufferCS_const data, std::size_t offset, std::size_t& sent);
    // Stream receive into a Buffer resized to receiveSize, then to the byte count.
    // Nothing waiting: empty, true. Peer closed or error: empty, false.
    [[nodiscard]] bool receive(Buffer& buffer);
    // Same into a caller's view: nothing waiting gives 0 and true; an error 0 and
    // false; a closed connection false with `count` unchanged.
    [[nodiscard]] bool receive(BufferCS view, std::size_t& count);

    void setToV6(const IPAddress& destination);
    void getToV6(IPAddress& destination) const;
    // With `retry`, a full send buffer makes the call wait for room (bounded)
    // instead of losing the datagram; the blocking mode is left as it was.
    [[nodiscard]] bool sendToV6(BufferCS_const data, const IPAddress& destination, bool retry);
    [[nodiscard]] bool sendToV6(BufferCS_const data, bool retry);
    [[nodiscard]] bool sendToV4(BufferCS_const data, const IPAddress& destination, const IPAddress& interfaceAddress,
                                bool retry);
    [[nodiscard]] bool sendToV4(BufferCS_const data, const IPAddress& destination, bool retry);
    [[nodiscard]] bool receiveFromV6(Buffer& buffer, IPAddress& from);
    [[nodiscard]] bool receiveFromV4(Buffer& buffer, IPAddress& from);
    [[nodiscard]] bool receiveFromV6(BufferCS view, std::size_t& count, IPAddress& from);
    [[nodiscard]] bool receiveFromV4(BufferCS view, std::size_t& count, IPAddress& from);

    // Answering from the address that was asked. An endpoint bound to the
    // any-address receives with `local` (the datagram's destination address
    // and the interface it arrived on; all zero when the platform did not say)
    // and answers with that as `source`, so that a host with several addresses
    // on one link answers each request from the address the peer sent it to.
    // A zero, IPv4-mapped or multicast source leaves the choice to the platform.
    [[nodiscard]] bool receiveFromV6(Buffer& buffer, IPAddress& from, IPAddress& local);
    [[nodiscard]] bool sendToV6(BufferCS_const data, const IPAddress& destination, const IPAddress& source, bool retry);

    // Readability wait: Error (closed socket included), TimeOut (also when a
    // signal interrupts the wait), Ready when readable.
    [[nodiscard]] WaitResult wait(Clock timeOut);
    [[nodiscard]] WaitResult wait();

    // Local address lists keyed by {address, port 0, interface index & 0xFFFF}.
    [[nodiscard]] static bool getMyAddresV6(AddressList& list);
    [[nodiscard]] static bool getMyLocalAddresV6(AddressList& list, bool withLoopback);
    [[nodiscard]] static bool getMyAddresV4(AddressList& list);

    // Longest a retried datagram send waits for room before it gives up.
    static constexpr int RetryBoundMs = 1000;
    // The loopback interface's index: Linux gives it 1 in every network namespace.
    static constexpr std::uint32_t LoopbackIfIndex = 1;

private:
    // setsockopt; a refusal is kept in lastError.
    bool option(int level, int name, const void* value, unsigned length);
    // `source`, when given, becomes the datagram's source address.
    [[nodiscard]] bool sendDatagram(const void* address, unsigned addressLength, BufferCS_const data, bool retry,
                                    const IPAddress* source = nullptr);
    // One datagram into `buffer` (resized to receiveSize, then to what came)
    // or into `view`; `withScope` keeps the sender's interface index; `local`,
    // when given, gets the destination address and arrival interface.
    [[nodiscard]] bool receiveDatagram(Buffer& buffer, IPAddress& from, bool withScope, IPAddress* local = nullptr);
    [[nodiscard]] bool receiveDatagram(BufferCS view, std::size_t& count, IPAddress& from, bool withScope,
                                       IPAddress* local = nullptr);
};

// The sender library's name for its UDP/IPv6 sockets.
class UDPV6 : public Socket {};

// Waits, with a Clock time-out, until any of a set of sockets is readable.
// Built on poll(), so any open descriptor can be watched (no 1024 limit).
// Used only by the thread that owns it.
class Socket::Waiter {
public:
    using fbsType = fd_set;

    Waiter() = default;
    ~Waiter() = default;
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Adds the socket's descriptor; a closed socket is ignored (false).
    bool set(Socket& socket);
    // Removes it (from the writability watch too); call before the socket is closed.
    void clear(Socket& socket);
    void clear();
    bool empty() const { return watched.empty() && writeWatched.empty(); }
    // Also wakes the wait when this socket becomes writable (the TCP server uses
    // it for clients with queued output); a closed socket is ignored.
    void setWritable(Socket& socket, bool on);

    // Error (a watched descriptor that is no longer open included), TimeOut
    // (or a signal), Ready when at least one watched socket is readable (or
    // writable, for the writability watch).
    [[nodiscard]] WaitResult wait(Clock timeOut);
    // Whether the socket was readable at the last wait that returned Ready.
    bool check(const Socket& socket) const;
    // Whether the socket was writable at the last wait that returned Ready.
    bool checkWritable(const Socket& socket) const;

    // Descriptor-set helpers on the platform's fixed set; descriptors outside
    // 0..FD_SETSIZE-1 are never placed in a set.
    static fbsType* fbsNew();
    static void fbsDelere(fbsType* set);
    static bool fbsCheck(fbsType* set, Socket& socket);
    // Clears the set and adds every descriptor; returns the largest of `start`
    // and the descriptors added (descriptors that do not fit are skipped).
    static unsigned long fbsSetup(fbsType* set, const std::set<unsigned long>& descriptors, unsigned long start);
    [[nodiscard]] static WaitResult fbsSelect(fbsType* readSet, fbsType* writeSet, unsigned long largest,
                                              Clock timeOut);

private:
    std::set<int> watched;       // descriptors watched for readability
    std::set<int> writeWatched;  // descriptors watched for writability
    std::vector<pollfd> polled;     // the last wait's poll array (reused storage)
    std::vector<int> readySet;      // sorted descriptors readable at the last wait
    std::vector<int> writableSet;   // sorted descriptors writable at the last wait
};

}  // namespace ORVEX
