// The finder's handling of answers: a finder on the loopback interface of the
// harness's own namespace runs a sequence of its operations against scripted
// endpoints that answer every request from the input. Every operation runs
// under a short limit, so that the answer windows (and the collection window
// of a discovery) end within milliseconds.
//
// Input: a 16-bit little-endian length n, then n bytes of operations, then
// the answer script.
//   Operations: a mode byte (bit 0: the finder sends a nop-break first;
//   bit 1: the finder accepts every protocol version), then up to 8
//   operations, each an operation byte and the arguments it reads.
//   Answer script: groups, one for each request the endpoints receive, in
//   order: a count byte, then that many answers, each a flag byte, a 16-bit
//   length and that many bytes. Flag bits 0-1: 0 the bytes as they are; 1 a
//   message answering the request (its code plus one), 2 a message with the
//   request's own code, 3 a message with the code in the first two bytes;
//   such a message takes status, four options and payload from the bytes.
//   Bit 2: sent from fd00::2 instead of the endpoint that was asked. Bit 3:
//   status with STATUS_ACCEPT. Bit 4: option 2 names the scripted port
//   endpoint (so the finder's next request reaches it).
//   After its group (or when the script has ended) the endpoint echoes the
//   request, which ends any exchange still waiting.
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <poll.h>
#include <string>
#include <thread>
#include <vector>

#include "finder/Find.h"
#include "finder/FindLimit.h"
#include "fuzz/FuzzSupport.h"
#include "protocol/Send.h"

namespace {

using ZARNITH::Find;

constexpr const char* Stranger = "fd00::2";
constexpr std::uint16_t EndpointPort = 19700;
// Every operation ends within this, whatever the answers.
constexpr ORVEX::Clock OperationLimit = ORVEX::Clock::fromMilliseconds(20);

struct Answer {
    std::uint8_t flags = 0;
    std::vector<std::uint8_t> bytes;
};
using Group = std::vector<Answer>;

// The endpoints of one input: the target on [::1]:19642 and one port
// endpoint, answering from one thread in the order the requests arrive.
class Endpoints {
public:
    explicit Endpoints(std::deque<Group> groups)
        : target("::1", ZARNITH::TargetPort), endpoint("::1", EndpointPort), stranger(Stranger, ZARNITH::TargetPort),
          script(std::move(groups)) {
        thread = std::thread([this] { loop(); });
    }
    ~Endpoints() {
        running = false;
        thread.join();
    }

private:
    void loop() {
        std::uint8_t request[2048];
        while (running) {
            pollfd ready[2] = {{target.descriptor(), POLLIN, 0}, {endpoint.descriptor(), POLLIN, 0}};
            if (::poll(ready, 2, 1) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if ((ready[i].revents & POLLIN) == 0) continue;
                const tmfuzz::UdpPeer& asked = i == 0 ? target : endpoint;
                std::uint16_t port = 0;
                const long n = asked.receive(request, sizeof request, 0, &port);
                if (n >= 16) answer(asked, port, request);
            }
        }
    }

    void answer(const tmfuzz::UdpPeer& asked, std::uint16_t finderPort, const std::uint8_t* request) {
        const std::uint16_t id = static_cast<std::uint16_t>(request[4] | request[5] << 8);
        Group group;
        if (!script.empty()) {
            group = std::move(script.front());
            script.pop_front();
        }
        for (const Answer& a : group) {
            const tmfuzz::UdpPeer& from = (a.flags & 4) != 0 ? stranger : asked;
            if ((a.flags & 3) == 0) {
                (void)from.sendTo("::1", finderPort, a.bytes.data(), a.bytes.size());
                continue;
            }
            tmfuzz::Input in(a.bytes.data(), a.bytes.size());
            std::uint16_t code = static_cast<std::uint16_t>(id + 1);
            if ((a.flags & 3) == 2) code = id;
            if ((a.flags & 3) == 3) code = in.u16();
            std::uint16_t status = in.u16();
            if ((a.flags & 8) != 0) status |= ZARNITH::STATUS_ACCEPT;
            std::uint16_t option[4];
            for (std::uint16_t& o : option) o = in.u16();
            if ((a.flags & 16) != 0) option[2] = EndpointPort;
            std::size_t taken = 0;
            const std::uint8_t* payload = in.take(in.left(), taken);
            ZARNITH::SendBuffer m;
            m.set(static_cast<ZARNITH::MessageID>(code), static_cast<ZARNITH::StatusID>(status), option[0],
                  option[1], option[2], option[3]);
            m.resize(taken);
            if (taken != 0) std::memcpy(m.get_data(), payload, taken);
            m.update();
            const ORVEX::BufferCS_const bytes = static_cast<const ZARNITH::Send&>(m);
            (void)from.sendTo("::1", finderPort, bytes.data, bytes.size);
        }
        // The echo of an unsupported request ends the finder's wait at once.
        const ZARNITH::Send echo(static_cast<ZARNITH::MessageID>(id), ZARNITH::STATUS_NONE);
        const ORVEX::BufferCS_const bytes = echo;
        (void)asked.sendTo("::1", finderPort, bytes.data, bytes.size);
    }

    tmfuzz::UdpPeer target;
    tmfuzz::UdpPeer endpoint;
    tmfuzz::UdpPeer stranger;
    std::deque<Group> script;  // the endpoints' thread only, once it runs
    std::atomic<bool> running{true};
    std::thread thread;
};

ORVEX::IPAddress loopback(std::uint16_t port) { return ORVEX::IPAddress::loopback(port); }

std::deque<Group> parseScript(tmfuzz::Input& in) {
    std::deque<Group> groups;
    while (in.left() > 0 && groups.size() < 4096) {
        Group group(in.byte() % 8);
        for (Answer& a : group) {
            a.flags = in.byte();
            const std::uint16_t length = in.u16();
            std::size_t taken = 0;
            const std::uint8_t* bytes = in.take(length, taken);
            a.bytes.assign(bytes, bytes + taken);
        }
        groups.push_back(std::move(group));
    }
    return groups;
}

void operation(Find& find, tmfuzz::Input& in) {
    const ORVEX::IPAddress target = loopback(ZARNITH::TargetPort);
    const std::uint8_t op = in.byte();
    find.setLimit(ZARNITH::FindLimit(ORVEX::Clock::now() + OperationLimit, nullptr));
    switch (op % 26) {
    case 0: {
        std::uint64_t id = 0;
        std::string name;
        (void)find.getTarget(target, id, name);
        break;
    }
    case 1: (void)find.pingTarget(target); break;
    case 2: (void)find.NotisName(target); break;
    case 3: {
        const auto mode = static_cast<Find::MODE>(in.byte());
        ORVEX::IPAddress endpoint;
        std::uint16_t version = 0;
        std::string portName;
        Find::SynchroNodeInfo synchro;
        (void)find.getPort(target, mode, in.u16(), endpoint, version, portName, synchro);
        break;
    }
    case 4: {
        const auto mode = static_cast<Find::MODE>(in.byte());
        std::uint16_t count0 = 0;
        std::uint16_t count1 = 0;
        std::uint8_t table0[512];
        std::uint8_t table1[512];
        (void)find.getPort(target, mode, count0, count1, table0, (op & 0x80) != 0 ? nullptr : table1);
        break;
    }
    case 5: {
        std::uint16_t count = 0;
        (void)find.getStatus(target, count);
        break;
    }
    case 6: {
        ORVEX::IPAddress endpoint;
        ORVEX::IPAddress peer;
        std::uint16_t version = 0;
        std::uint16_t kind = 0;
        std::string entryName;
        (void)find.getStatus(target, in.u16(), endpoint, version, entryName, peer, kind);
        break;
    }
    case 7: {
        const std::map<ORVEX::IPAddress, Find::FindTargetSt> found{{target, {0, "target"}}};
        std::map<ORVEX::IPAddress, Find::TargetConnectInfo> connect;
        (void)find.findTarget(found, connect, static_cast<Find::MODE>(in.byte()));
        for (const auto& [key, info] : connect) (void)Find::is_multiport(connect, key);
        break;
    }
    case 8: {
        const std::map<ORVEX::IPAddress, Find::FindTargetSt> found{{target, {0, "target"}}};
        std::map<ORVEX::IPAddress, Find::TargetStatusInfo> status;
        (void)find.findTarget(found, status);
        Find::StatusSort sorted;
        Find::SortStatus(target, in.u16(), (op & 0x80) != 0, status, sorted);
        break;
    }
    case 9: {
        ORVEX::IPAddress endpoint;
        Find::TargetConnectInfo info;
        (void)find.getOutput(target, in.u16(), endpoint, info);
        break;
    }
    case 10: {
        std::string text;
        (void)find.FwVersion(target, text);
        break;
    }
    case 11: {
        std::string text;
        (void)find.FwURL(target, text);
        break;
    }
    case 12: {
        std::string text;
        (void)find.Infomation(target, in.u16(), text);
        break;
    }
    case 13: {
        ORVEX::Buffer bytes;
        (void)find.Infomation(target, in.u16(), bytes);
        break;
    }
    case 14: {
        std::vector<std::string> pages;
        (void)find.Infomation(target, in.u16(), pages);
        break;
    }
    case 15: {
        std::list<Find::TargetSettingInfo> units;
        (void)find.TargetSetting(target, units, (op & 0x80) != 0);
        break;
    }
    case 16: {
        std::list<Find::TargetSettingInfo> units;
        (void)find.SinkSetting(loopback(EndpointPort), units, (op & 0x80) != 0);
        break;
    }
    case 17: {
        const std::uint16_t unit = in.u16();
        (void)find.setTargetSetting(target, unit, "text", in.u16());
        break;
    }
    case 18: {
        const std::uint16_t unit = in.u16();
        (void)find.setSinkSetting(loopback(EndpointPort), unit, in.u16());
        break;
    }
    case 19: (void)find.TargetSettingFinale(target, (op & 0x80) != 0); break;
    case 20: (void)find.SinkSettingFinale(loopback(EndpointPort), (op & 0x80) != 0); break;
    case 21: {
        ZARNITH::Icon icon;
        const std::uint32_t selector = in.u16() | static_cast<std::uint32_t>(in.byte() % 3) << 16;
        if ((op & 0x80) != 0)
            (void)find.downloadIcon(target, selector, icon, in.u16());
        else
            (void)find.downloadIcon(target, selector, icon);
        break;
    }
    case 22: (void)find.Reboot(target, (op & 0x80) != 0, in.u16()); break;
    case 23: {
        std::uint16_t mode = 0;
        const int slot = in.byte();
        (void)find.TransferFinish(target, slot, in.u16(), mode);
        break;
    }
    case 24: {
        std::uint8_t data[300];
        for (std::size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<std::uint8_t>(i);
        const int slot = in.byte() % 4;
        const std::size_t size = in.u16() % (sizeof data + 1);
        (void)find.Transfer(target, slot, ORVEX::BufferCS_const(data, size), in.byte());
        break;
    }
    default: {
        std::map<ORVEX::IPAddress, Find::FindTargetSt> found;
        (void)find.findTarget(found);
        break;
    }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tmfuzz::ownNetwork();
    tmfuzz::addLoopbackAddress(Stranger);
    tmfuzz::traceLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tmfuzz::Input in(data, size);
    const std::uint16_t opsLength = in.u16();
    std::size_t taken = 0;
    const std::uint8_t* opsBytes = in.take(opsLength, taken);
    tmfuzz::Input ops(opsBytes, taken);
    Endpoints endpoints(parseScript(in));

    const std::uint8_t mode = ops.byte();
    Find::Setting setting;
    setting.productId = 0;
    setting.name = "syncTest";
    setting.loopbackAllowed = true;
    setting.nopBreak = (mode & 1) != 0;
    if ((mode & 2) != 0) setting.protocolVersion = 0;
    Find find(setting);
    if (!find.open()) {
        std::fprintf(stderr, "fuzz harness: the finder did not open\n");
        std::abort();
    }
    for (int i = 0; i < 8 && ops.left() > 0; ++i) operation(find, ops);
    find.close();
    return 0;
}
