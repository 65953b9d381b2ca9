// The target endpoint's handling of datagrams: a fresh target (the host's
// setting plus units, icons, texts, transfer slots and reboot) on the loopback
// interface of the harness's own namespace gets the datagrams of the input on
// its real sockets, from ::1 (a local endpoint) or from fd00::2 (a remote
// peer), on its control port or its local log input.
//
// Input: up to 16 records, each a flag byte (bit 0: from fd00::2; bit 1: to
// the log input [::1]:19641 instead of port 19642), a 16-bit little-endian
// length and that many bytes (fewer at the end of the input).
//
// After the datagrams the harness sends an unsupported information request
// from ::1 and waits for its refusal: the worker answers in order, so by then
// every datagram before it has been handled. A worker that has ended (reboot,
// failure) answers nothing; a worker that hangs keeps close() from returning
// and the fuzzer's time-out reports it.
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "protocol/Send.h"
#include "target/Target.h"

namespace {

using Setting = ZARNITH::Target::Setting;

constexpr const char* Remote = "fd00::2";

ZARNITH::Icon icon(std::uint32_t kind, std::uint32_t width, std::size_t pixels) {
    ZARNITH::Icon i;
    i.kind = kind;
    i.width = width;
    i.pixels.resize(pixels);
    for (std::size_t p = 0; p < pixels; ++p) i.pixels[p].byte[p % 4] = static_cast<std::uint8_t>(p);
    return i;
}

Setting::_Config::_Unit unit(std::uint16_t kind, const char* name, std::uint16_t value,
                             std::vector<std::string> choices = {}) {
    Setting::_Config::_Unit u;
    u.kind = kind;
    u.name = name;
    u.defaultValue = value;
    u.min = 0;
    u.max = 20;
    u.choices = std::move(choices);
    return u;
}

// The host's own target setting, with every optional answer filled in.
Setting fuzzSetting() {
    Setting s;
    s.productId = 0;
    s.typeMask = 5;
    s.name = "TolvenmarkHost";
    s.loopbackAllowed = 1;
    Setting::RegistSt kx1;
    kx1.port = 40001;
    kx1.id = 1;
    kx1.name = "KX1";
    kx1.sel = 1;
    kx1.type = 4;
    s.ports.push_back(kx1);
    s.outputText = "out [myaddress]";
    s.fwVersion = "1.0";
    s.fwURL = "http://[::1]/fw";
    s.rebootAllowed = 1;
    s.syslogRelay = 1;
    s.info0 = "info";
    s.infoList1 = {"p0", "p1"};
    s.infoList5 = {"q0"};
    s.info4 = "four";
    s.transferSlots = 2;
    s.transferSlotInfo = {{1023, 15, 3}, {99, 0, 0}};
    s.units = {unit(1, "Number", 12), unit(3, "Switch", 1), unit(5, "Choice", 1, {"a", "b", "c"}),
               unit(4, "Text", 0), unit(6, "Fixed", 0, {"x", "y"}), unit(7, "Value", 3), unit(2, "Signed", 4)};
    s.icons[0] = icon(0, 32, 32 * 32);
    s.icons[1] = icon(1, 40, 800);
    s.icons[2] = icon(0, 3, 10);  // not whole rows
    return s;
}

const Setting* setting = nullptr;
tmfuzz::UdpPeer* local = nullptr;
tmfuzz::UdpPeer* remote = nullptr;
std::uint16_t sentinelCount = 0;

// Waits until the worker has handled everything sent so far, or has ended.
void settle(const ZARNITH::Target& target) {
    const std::uint16_t mark = static_cast<std::uint16_t>(0x4000 | (++sentinelCount & 0x3FFF));
    const ZARNITH::Send request(ZARNITH::INFORMATION_REQ, ZARNITH::STATUS_NONE, mark, 0, 0, 0);
    const ORVEX::BufferCS_const bytes = request;
    if (!local->sendTo("::1", ZARNITH::TargetPort, bytes.data, bytes.size)) return;
    std::uint8_t answer[2048];
    for (int i = 0; i < 500 && target.getState() == 0; ++i) {
        const long n = local->receive(answer, sizeof answer, 10);
        if (n >= 16 && (answer[4] | answer[5] << 8) == ZARNITH::INFORMATION_ANS && (answer[8] | answer[9] << 8) == mark)
            break;
    }
    remote->drain();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tmfuzz::ownNetwork();
    tmfuzz::addLoopbackAddress(Remote);
    tmfuzz::traceLogging();
    setting = new Setting(fuzzSetting());
    local = new tmfuzz::UdpPeer("::1");
    remote = new tmfuzz::UdpPeer(Remote);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZARNITH::Target target(*setting);
    if (!target.open(-1, true)) {
        std::fprintf(stderr, "fuzz harness: the target did not open\n");
        std::abort();
    }
    tmfuzz::Input in(data, size);
    for (int record = 0; record < 16 && in.left() > 0; ++record) {
        const std::uint8_t flags = in.byte();
        const std::uint16_t length = in.u16();
        std::size_t taken = 0;
        const std::uint8_t* bytes = in.take(length, taken);
        const tmfuzz::UdpPeer& from = (flags & 1) != 0 ? *remote : *local;
        const std::uint16_t port = (flags & 2) != 0 ? ZARNITH::Target::LogInputPort : ZARNITH::TargetPort;
        (void)from.sendTo("::1", port, bytes, taken);
    }
    settle(target);
    target.close();
    local->drain();
    return 0;
}
