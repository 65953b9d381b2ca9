// A listening TCP/IPv6 socket and its accepted connections, served through
// callbacks on the thread that owns the waiter. The server is its listening
// socket (first base), so it can be passed wherever a Socket& is asked for.
#pragma once

#include <cstddef>
#include <functional>
#include <list>

#include "foundation/Buffer.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"

namespace ORVEX {

class TCPV6Server : public Socket {
public:
    // One accepted connection: the socket and the bytes the application has not
    // consumed yet (a partial frame). The server never touches `remain`.
    struct ClientSocket : public Socket {
        Buffer remain;
    };

    // Bytes a client may have queued for sending before it is dropped.
    static constexpr std::size_t SendBacklogLimit = 4u << 20;

    class Client {
    public:
        TCPV6Server* server = nullptr;  // the server that accepted it
        ClientSocket* socket = nullptr; // owned; null after detach
        IPAddress peer;                 // peer address and port, interface 0

        // Sends without ever blocking: what the socket does not take now is
        // queued (in order) and written when the socket is writable again. A
        // client whose queue would pass SendBacklogLimit, or whose connection
        // failed, is shut down (logged once); the application's next receive on
        // it sees the closed connection. False when the bytes were not queued.
        [[nodiscard]] bool send(BufferCS_const data);
        // Bytes waiting to be sent.
        std::size_t pending() const { return backlog.size() - backlogOffset; }
        // Detaches the socket from the server (see TCPV6Server::detach).
        ClientSocket* detach();

        Client() = default;
        ~Client();
        Client(const Client&) = delete;
        Client& operator=(const Client&) = delete;

    private:
        friend class TCPV6Server;
        // Writes queued bytes; false when the connection failed.
        bool flush();
        void fail(const char* why);

        Buffer backlog;                // queued outgoing bytes (main thread only)
        std::size_t backlogOffset = 0; // first unsent byte of `backlog`
        bool failed = false;           // shut down after a send failure or overflow
    };

    Socket& listener{*this};  // the listening socket

    explicit TCPV6Server(Socket::Waiter& waiter);
    ~TCPV6Server();
    TCPV6Server(const TCPV6Server&) = delete;
    TCPV6Server& operator=(const TCPV6Server&) = delete;

    // Drops every client, closes and reopens the listener (dual stack or IPv6
    // only) with receiveSize 16384.
    [[nodiscard]] bool open(bool dualStack);
    // bindV6(address, 1000); the chosen port is written back; on success the
    // listener is watched by the waiter.
    [[nodiscard]] bool bind(IPAddress& address);

    // Accepts at most one pending connection when the listener was readable and
    // hands it to the callback (false refuses it). False only when the
    // listening socket itself is broken; a per-connection failure (EMFILE,
    // ECONNABORTED, EINTR, ...) is logged and counts as nothing accepted.
    template <typename F>
    [[nodiscard]] bool accept(F callback) { return _accept(std::function<bool(Client&)>(callback)); }
    // Flushes queued sends, then calls the callback for every readable client in
    // accept order; a false result drops that client.
    template <typename F>
    void receive(F callback) { _receive(std::function<bool(Client&)>(callback)); }

    [[nodiscard]] bool _accept(std::function<bool(Client&)> callback);
    void _receive(std::function<bool(Client&)> callback);

    // Sends the bytes to every client (Client::send), in list order.
    void send(BufferCS_const data);
    // Drops every client, unwatches and closes the listener.
    void close();
    // Unwatches the client's socket and hands it to the caller (null when already
    // detached). A receive callback that detaches its client must return false.
    ClientSocket* detach(Client& client);

    const std::list<Client*>& getClients() const { return clients; }

private:
    friend class Client;
    void dropAll();
    void dropClient(Client* client);
    void watchWritable(Client& client, bool on);
    void reserveSpare();
    void releaseSpare();

    std::list<Client*> clients;  // accepted connections in accept order (owning thread only)
    Socket::Waiter& waiter;      // shared with the owning thread's other sockets
    int spareDescriptor = -1;    // kept open so an accept at the descriptor limit can still refuse the peer
};

}  // namespace ORVEX
