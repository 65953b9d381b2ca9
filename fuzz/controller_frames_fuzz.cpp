// Controller frames: a byte stream from one controller, reassembled and
// handled by the host's real receive callback and commands, fed in reads of 1
// to 256 bytes.
//
// Input: byte 0 = k, then k bytes each giving one read size minus one (used in
// turn, again from the first when they run out; k = 0 reads 256 bytes at a
// time), then the stream itself.
//
// Blocking commands are stubbed here: "Connect" (a whole handshake),
// "Request"="TargetList" (discovery on the network), "Pause" (a 100 ms sleep)
// and "Play" (after which every seek pauses 100 ms). The harness finds their
// lines in the text frames of the stream and changes one letter of each, so
// the host logs them and does nothing; the "Connect" value still goes through
// its parser.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/Socket.h"
#include "foundation/TCPV6Server.h"
#include "fuzz/FuzzSupport.h"
#include "host/ConnectCommand.h"
#include "host/ControllerCommands.h"
#include "host/ControllerSession.h"
#include "host/ControllerTable.h"
#include "host/HostSetting.h"
#include "host/TrackState.h"
#include "sender/SyncBuffer.h"

namespace {

bool is(const std::uint8_t* p, std::size_t n, const char* word) {
    return n == std::strlen(word) && std::memcmp(p, word, n) == 0;
}

// One line of a text frame: key [key, key + keyLength), value after the "=".
void stubLine(std::uint8_t* key, std::size_t keyLength, const std::uint8_t* value, std::size_t valueLength) {
    if (is(key, keyLength, "Connect")) {
        ConnectCommand::Target target;
        (void)ConnectCommand::parse(std::string(reinterpret_cast<const char*>(value), valueLength), target);
        key[0] = 'c';
    } else if (is(key, keyLength, "Pause") || is(key, keyLength, "Play")) {
        key[0] = 'p';
    } else if (is(key, keyLength, "Request") && is(value, valueLength, "TargetList")) {
        const_cast<std::uint8_t*>(value)[0] = 't';
    }
}

// The text splitting rules of the host: lines end at CR or LF, the first "="
// of a line ends its key.
void stubText(std::uint8_t* text, std::size_t size) {
    std::size_t start = 0;
    std::size_t equals = SIZE_MAX;
    for (std::size_t i = 0; i <= size; ++i) {
        const bool end = i == size || text[i] == '\r' || text[i] == '\n';
        if (!end) {
            if (text[i] == '=' && equals == SIZE_MAX) equals = i;
            continue;
        }
        const std::size_t keyEnd = equals == SIZE_MAX ? i : equals;
        const std::size_t valueStart = equals == SIZE_MAX ? i : equals + 1;
        if (keyEnd > start) stubLine(text + start, keyEnd - start, text + valueStart, i - valueStart);
        start = i + 1;
        equals = SIZE_MAX;
    }
}

// Walks the frames of the stream as the host cuts them and stubs the
// blocking lines of every text frame.
void stubBlockingCommands(std::vector<std::uint8_t>& stream) {
    std::size_t at = 0;
    while (stream.size() - at >= 9) {
        const std::size_t length = std::size_t{stream[at]} << 16 | std::size_t{stream[at + 1]} << 8 | stream[at + 2];
        const std::uint8_t type = stream[at + 3];
        if (type > 2 || stream.size() - at - 9 < length) return;
        if (type == 1 && length > 6) stubText(stream.data() + at + 15, length - 6);
        at += 9 + length;
    }
}

// Replies of the host, read and dropped so that its sends never back up.
void drain(int fd) {
    std::uint8_t sink[4096];
    while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

ORVEX::Socket::Waiter* waiter = nullptr;
ORVEX::TCPV6Server* server = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tmfuzz::ownNetwork();
    tmfuzz::traceLogging();
    waiter = new ORVEX::Socket::Waiter;
    server = new ORVEX::TCPV6Server(*waiter);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tmfuzz::Input in(data, size);
    const std::size_t sizeCount = in.byte();
    std::size_t taken = 0;
    const std::uint8_t* sizes = in.take(sizeCount, taken);
    const std::size_t readSizes = taken;
    const std::uint8_t* bytes = in.take(in.left(), taken);
    std::vector<std::uint8_t> stream(bytes, bytes + taken);
    stubBlockingCommands(stream);

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();

    // A fresh host state for every input: the track, the ring, the table.
    ZARNITH::SyncBuffer sync;
    TrackState track;
    ControllerTable table;
    HostSetting setting;
    ControllerCommands commands(setting, track, sync, table);
    ControllerSession session(table, commands);

    auto* client = new ORVEX::TCPV6Server::Client;
    client->server = server;
    client->socket = new ORVEX::TCPV6Server::ClientSocket;
    client->socket->descriptor = pair[0];
    client->socket->type = ORVEX::Socket::TYPE_TCPV6;
    (void)session.acceptController(*client);

    bool kept = true;
    std::size_t at = 0;
    for (std::size_t read = 0; kept && at < stream.size(); ++read) {
        std::size_t count = readSizes == 0 ? 256 : std::size_t{sizes[read % readSizes]} + 1;
        if (count > stream.size() - at) count = stream.size() - at;
        if (::send(pair[1], stream.data() + at, count, MSG_NOSIGNAL) != static_cast<ssize_t>(count)) std::abort();
        at += count;
        kept = session.receiveController(*client);
        drain(pair[1]);
    }
    // The controller hangs up: the host sees the closed connection.
    ::close(pair[1]);
    if (kept) TM_FUZZ_CHECK(!session.receiveController(*client));
    TM_FUZZ_CHECK(table.size() == 0);
    delete client;
    return 0;
}
