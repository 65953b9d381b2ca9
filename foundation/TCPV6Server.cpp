#include "foundation/TCPV6Server.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "foundation/SysLog.h"

namespace ORVEX {

namespace {

// Accept errors that mean the listening socket itself is unusable; every other
// accept error concerns one connection only.
bool listenerBroken(int error) {
    return error == EBADF || error == EINVAL || error == ENOTSOCK || error == EFAULT || error == EOPNOTSUPP;
}

// Above this a drained backlog gives its storage back.
constexpr std::size_t KeptBacklogCapacity = 64u << 10;

}  // namespace

TCPV6Server::Client::~Client() { delete socket; }

TCPV6Server::ClientSocket* TCPV6Server::Client::detach() { return server != nullptr ? server->detach(*this) : nullptr; }

bool TCPV6Server::Client::send(BufferCS_const data) {
    if (socket == nullptr || failed) return false;
    if (data.size == 0) return true;
    if (pending() > 0 && !flush()) return false;
    if (pending() == 0) {
        std::size_t sent = 0;
        if (!socket->sendNoBlock(data, 0, sent)) {
            fail("TCP client send error ");
            return false;
        }
        if (sent == data.size) return true;
        data = BufferCS_const(data.data + sent, data.size - sent);
    }
    if (pending() + data.size > SendBacklogLimit) {
        fail("TCP client send backlog full, dropped ");
        return false;
    }
    if (backlogOffset > 0) {
        backlog.erase(backlog.begin(), backlog.begin() + static_cast<std::ptrdiff_t>(backlogOffset));
        backlogOffset = 0;
    }
    backlog.insert(backlog.end(), data.data, data.data + data.size);
    server->watchWritable(*this, true);
    return true;
}

bool TCPV6Server::Client::flush() {
    if (socket == nullptr || failed) return false;
    while (pending() > 0) {
        std::size_t sent = 0;
        if (!socket->sendNoBlock(backlog.view(), backlogOffset, sent)) {
            fail("TCP client send error ");
            return false;
        }
        if (sent == backlogOffset) return true;  // the socket is full again
        backlogOffset = sent;
    }
    if (backlog.capacity() > KeptBacklogCapacity)
        Buffer().swap(backlog);
    else
        backlog.clear();
    backlogOffset = 0;
    server->watchWritable(*this, false);
    return true;
}

void TCPV6Server::Client::fail(const char* why) {
    if (failed) return;
    failed = true;
    SysLog::LEVEL_WARNING << why << peer << " errno " << socket->lastError;
    // Closed at once; the next receive walk hands it to the application, whose
    // read then fails, so the application forgets it and the server frees it.
    server->waiter.clear(*socket);
    socket->close();
    Buffer().swap(backlog);
    backlogOffset = 0;
}

TCPV6Server::TCPV6Server(Socket::Waiter& sharedWaiter) : waiter(sharedWaiter) {}

TCPV6Server::~TCPV6Server() {
    dropAll();
    waiter.clear(*this);
    Socket::close();
    releaseSpare();
}

bool TCPV6Server::open(bool dualStack) {
    dropAll();
    waiter.clear(*this);
    Socket::close();
    receiveSize = 16384;
    if (!Socket::open(dualStack ? TYPE_TCPV6_DUAL : TYPE_TCPV6)) return false;
    reserveSpare();
    return true;
}

bool TCPV6Server::bind(IPAddress& address) {
    if (!bindV6(address, 1000)) return false;
    // A connection reset between the wake-up and the accept must not block the loop.
    if (!setBlocking(false)) return false;
    waiter.set(*this);
    return true;
}

bool TCPV6Server::_accept(std::function<bool(Client&)> callback) {
    if (!waiter.check(*this)) return true;
    auto* client = new Client();
    client->server = this;
    client->socket = new ClientSocket();
    if (!acceptV6(*client->socket, client->peer)) {
        delete client;
        int error = lastError;
        if (listenerBroken(error)) {
            SysLog::LEVEL_ERROR << "TCP server accept failed, listening socket broken errno " << error;
            return false;
        }
        if (error == EMFILE || error == ENFILE) {
            // Out of descriptors: take the connection with the spare one and
            // close it, so that the peer is refused instead of left pending
            // (which would keep the listener readable and the loop spinning).
            releaseSpare();
            int fd = ::accept4(descriptor, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) ::close(fd);
            reserveSpare();
            SysLog::LEVEL_WARNING << "TCP server accept: no descriptor left, connection refused errno " << error;
        } else if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
            SysLog::LEVEL_WARNING << "TCP server accept failed errno " << error;
        }
        return true;
    }
    if (!callback(*client)) {
        delete client;  // the socket's destructor shuts it down and closes it
        return true;
    }
    waiter.set(*client->socket);
    clients.push_back(client);
    return true;
}

void TCPV6Server::_receive(std::function<bool(Client&)> callback) {
    for (auto i = clients.begin(); i != clients.end();) {
        Client* client = *i;
        if (client->socket != nullptr && !client->failed && waiter.checkWritable(*client->socket))
            (void)client->flush();
        // A failed client is closed already: its callback's read fails and it is dropped.
        bool ready = client->socket != nullptr && (client->failed || waiter.check(*client->socket));
        if (!ready || callback(*client)) {
            ++i;
            continue;
        }
        dropClient(client);
        i = clients.erase(i);
    }
}

void TCPV6Server::send(BufferCS_const data) {
    // A failed client is shut down; its next receive drops it.
    for (Client* client : clients) (void)client->send(data);
}

void TCPV6Server::close() {
    dropAll();
    waiter.clear(*this);
    Socket::close();
    releaseSpare();
}

TCPV6Server::ClientSocket* TCPV6Server::detach(Client& client) {
    ClientSocket* socket = client.socket;
    if (socket == nullptr) return nullptr;
    waiter.clear(*socket);
    client.socket = nullptr;
    return socket;
}

void TCPV6Server::dropClient(Client* client) {
    if (client->socket != nullptr) {
        waiter.clear(*client->socket);
        client->socket->close();
    }
    delete client;
}

void TCPV6Server::dropAll() {
    for (Client* client : clients) dropClient(client);
    clients.clear();
}

void TCPV6Server::watchWritable(Client& client, bool on) {
    if (client.socket != nullptr) waiter.setWritable(*client.socket, on);
}

void TCPV6Server::reserveSpare() {
    if (spareDescriptor < 0) spareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void TCPV6Server::releaseSpare() {
    if (spareDescriptor >= 0) ::close(spareDescriptor);
    spareDescriptor = -1;
}

}  // namespace ORVEX
