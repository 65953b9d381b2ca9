// Sink object: construction, opening and closing, the virtual defaults, the
// phase switch, the rate preparation and the configuration units.
#include "sink/Sink.h"

#include <cerrno>
#include <chrono>

#include <sys/socket.h>

#include "foundation/CRC16.h"
#include "foundation/SysLog.h"
#include "sink/StreamRate.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

// The sockets open with address reuse on; for UDP that would let a second
// endpoint bind the same port and take its datagrams, so a sink's port stays
// its own and a taken port is noticed (and replaced by a system-chosen one).
void Sink::exclusivePort(ORVEX::Socket& socket) {
    const int off = 0;
    (void)::setsockopt(socket.getDescriptor(), SOL_SOCKET, SO_REUSEADDR, &off, sizeof(off));
}

// Binds `socket` to the any-address at `port`; when that port is taken, opens
// the socket again and lets the system choose. Logs the cause once.
bool Sink::openAndBind(ORVEX::Socket& socket, std::uint16_t port, const char* openText, const char* bindText,
                       std::uint16_t& bound) {
    if (!socket.open(ORVEX::Socket::TYPE_UDPV6)) {
        LEVEL_ERROR << openText << socket.lastError;
        return false;
    }
    exclusivePort(socket);
    ORVEX::IPAddress address;
    address.set_port(port);
    if (!socket.bindV6(address, 1000)) {
        socket.close();
        if (!socket.open(ORVEX::Socket::TYPE_UDPV6)) {
            LEVEL_ERROR << openText << socket.lastError;
            return false;
        }
        exclusivePort(socket);
        address.set_port(0);
        if (!socket.bindV6(address, 1000)) {
            LEVEL_ERROR << bindText << socket.lastError;
            return false;
        }
    }
    bound = address.get_port();
    // Receives after readiness must never block the caller's thread.
    socket.setBlocking(false);
    return true;
}

Sink::Sink(const Setting& setting, ORVEX::Socket::Waiter& waiter)
    : config_(setting.gen()),
      waiter_(waiter),
      synchroName_(config_.synchroName),
      synchroCrc_(config_.synchroCrc),
      synchroAll_(config_.synchroAll),
      synchroSelf_(config_.synchroSelf),
      synchroTotal_(config_.synchroTotal) {}

Sink::~Sink() {
    if (thread_.joinable() || controlSocket_.is_open()) {
        if (thread_.joinable())
            LEVEL_ERROR << "Sink destroyed open: the derived class must close() in its destructor";
        handOver_.closing(true);
        close();
    }
}

bool Sink::open(std::uint16_t& ctrlPort, std::uint16_t& streamPort) {
    LEVEL_INFO << "Zarnith Sink Library ReleaseNo : " << static_cast<unsigned>(ReleaseNo);
    if (thread_.joinable()) {
        LEVEL_ERROR << "Sink open while its stream thread runs";
        return false;
    }

    controlSocket_.receiveSize = config_.mtu;
    const std::uint16_t wantedControl =
        ctrlPort != 0 ? ctrlPort : static_cast<std::uint16_t>(TargetPort + 2 * config_.portId);
    std::uint16_t boundControl = 0;
    if (!openAndBind(controlSocket_, wantedControl, "UDP control open error:", "UDP control bind error:",
                     boundControl)) {
        close();
        return false;
    }
    waiter_.set(controlSocket_);
    controlPort_ = boundControl;
    ctrlPort = boundControl;

    streamSocket_.receiveSize = config_.mtu;
    msSocket_.receiveSize = config_.mtu;
    const std::uint16_t wantedStream =
        streamPort != 0 ? streamPort : static_cast<std::uint16_t>(19643 + 2 * config_.portId);
    std::uint16_t boundStream = 0;
    if (!openAndBind(streamSocket_, wantedStream, "UDP stream open error:", "UDP stream bind error:", boundStream)) {
        close();
        return false;
    }
    streamPort_ = boundStream;
    streamPort = boundStream;

    ownAddresses_.clear();
    ORVEX::Socket::AddressList local;
    if (ORVEX::Socket::getMyAddresV6(local))
        for (const auto& entry : local) ownAddresses_.insert(entry.first.address);

    std::uint16_t status = 0;
    if (config_.phaseControl) {
        status = STATUS_PHASECONTROL;
        if (!config_.phaseInvert) status |= STATUS_PHASENORMAL;
    }
    phaseStatus_ = status;
    rateCode_ = StreamRate::None;
    lastRegistration_ = (ORVEX::Clock::now() - RegistrationPeriod).picoseconds();
    handOver_.opened();
    running_ = true;

    if (!startStreamWorker()) {
        LEVEL_ERROR << "Stream Worker Start Error";
        close();
        return false;
    }
    return true;
}

void Sink::close() {
    LEVEL_DEBUG << "Sink close";
    // A stream thread that ends because of close() has not failed.
    handOver_.closing(false);
    running_ = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
    }
    stateCondition_.notify_all();
    // The stream thread sees `running` clear within its 100 ms wait; it stops
    // the MS thread itself before it ends.
    if (thread_.joinable()) thread_.join();
    handOver_.closed();
    streamSocket_.close();
    waiter_.clear(controlSocket_);
    controlSocket_.close();
    msSocket_.close();
}

bool Sink::startStreamWorker() {
    thread_ = std::thread([this] { thread_stream_func(); });
    return true;
}

bool Sink::preDisconnectSecond() { return false; }

void Sink::noticeLocalEnd() {
    endCause_ = EndCause::Local;
    (void)disconnectStream();
}

void Sink::eventUpdate() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
    }
    stateCondition_.notify_all();
}

Sink::StreamBuffer* Sink::getStream() { return &defaultBuffer_; }

bool Sink::ConfigGet(std::uint16_t, std::string&, std::uint16_t&) { return false; }

bool Sink::ConfigSet(std::uint16_t, const std::string&, const std::uint16_t&, bool) { return false; }

bool Sink::ConfigFinale(bool, bool& changed) {
    changed = false;
    return false;
}

void Sink::setPhaseInvert(bool invert) {
    if (!config_.phaseControl) return;
    if (invert)
        phaseStatus_.fetch_and(static_cast<std::uint16_t>(~STATUS_PHASENORMAL));
    else
        phaseStatus_.fetch_or(STATUS_PHASENORMAL);
}

bool Sink::updateStreamRate(std::uint64_t bytes) {
    std::uint16_t current = 0;
    std::uint16_t target = 0;
    if (!getStreamRate(current, target)) {
        LEVEL_NOTICE << "er4 dissconect";
        return false;
    }
    const FormatConfigure format(currentFormat_.load());
    const std::uint64_t per10ms = StreamRate::bytesPer10ms(format.getSpeed(), format.getBits(), format.getChannel());
    if (!StreamRate::addDuration(current, bytes, per10ms)) {
        LEVEL_NOTICE << "RATE no byte rate for format " << static_cast<unsigned long>(format.word);
        return false;
    }
    const std::uint16_t code = StreamRate::code(current, target);
    rateTarget_ = target;
    rateCurrent_ = current;
    rateCode_ = code;
    LEVEL_DEBUG << "RATE " << static_cast<unsigned>(code) << " = " << static_cast<unsigned>(current) << " / "
                << static_cast<unsigned>(target);
    return true;
}

void Sink::errDisconnect() {
    LEVEL_NOTICE << "errDisconnect";
    running_ = false;
}

ORVEX::Clock Sink::YouToMy(ORVEX::IPAddress host, ORVEX::Clock remote) { return clockTable_.youToMy(host, remote); }

void Sink::nop(const ORVEX::IPAddress& host, std::uint16_t seconds, bool send) {
    SendBuffer message;
    message.set(NOPNOTIFY_SET, base(), config_.portId, 0, seconds, 1);
    if (host.is_zero() && host.port == 0) {
        message.resize(0);
        stopWindows_.clear();
        LEVEL_INFO << "Nop SI clear:";
    } else {
        if (seconds == 0) return;
        const ORVEX::IPAddress key = StopWindows::keyOf(host);
        message.resize(ORVEX::IPAddress::RecordSize);
        key.get_record(message.get_data());
        stopWindows_.add(key, ORVEX::Clock::now(), ORVEX::Clock::fromSeconds(seconds));
        std::string text;
        key.get_str(text);
        LEVEL_INFO << "Nop SI add:" << text;
    }
    message.update();
    if (!send) return;
    const ORVEX::IPAddress target = ORVEX::IPAddress::loopback(TargetPort);
    if (!controlSocket_.sendToV6(message, target, true))
        LEVEL_ERROR << "UDP stop send error " << __LINE__ << ":" << controlSocket_.lastError;
}

void Sink::stop(std::uint16_t seconds, bool send) {
    if (!handOver_.streaming()) return;
    localStop_ = true;
    ORVEX::IPAddress peer;
    {
        std::lock_guard<std::mutex> lock(connectionMutex_);
        peer = connection_.peer;
    }
    nop(peer, seconds, send);
    while (localStop_ && handOver_.streaming() && running_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool Sink::_ConfigGet(std::uint16_t index, std::string& text, std::uint16_t& value) {
    const int n = static_cast<std::int16_t>(config_.configUnits.size());
    if (config_.synchro && static_cast<int>(index) >= n - 4) {
        switch (static_cast<int>(index) - (n - 4)) {
            case 0: value = synchroTotal_; break;
            case 1:
                switch (synchroAll_) {
                    case 1: value = 0; break;
                    case 2: value = 1; break;
                    case 4: value = 2; break;
                    case 6: value = 3; break;
                    case 8: value = 4; break;
                    case 16: value = 5; break;
                    default: break;
                }
                break;
            case 2: value = synchroSelf_; break;
            case 3: text = synchroName_; break;
            default: break;
        }
        return true;
    }
    return ConfigGet(index, text, value);
}

bool Sink::_ConfigSet(std::uint16_t index, const std::string& text, const std::uint16_t& value, bool toDefault) {
    const int n = static_cast<std::int16_t>(config_.configUnits.size());
    if (config_.synchro && static_cast<int>(index) >= n - 4) {
        static constexpr std::uint16_t channels[] = {1, 2, 4, 6, 8, 16};
        switch (static_cast<int>(index) - (n - 4)) {
            case 0: synchroTotal_ = value; break;
            case 1:
                if (value < 6) synchroAll_ = channels[value];
                break;
            case 2: synchroSelf_ = value; break;
            case 3: {
                synchroName_ = text;
                ORVEX::CRC16 crc;
                crc.update(ORVEX::BufferCS_const(text));
                synchroCrc_ = crc.get() == 0 ? 1 : crc.get();
                break;
            }
            default: break;
        }
        return true;
    }
    return ConfigSet(index, text, value, toDefault);
}

bool Sink::_ConfigFinale(bool commit, bool& changed) { return ConfigFinale(commit, changed); }

}  // namespace ZARNITH
