// Discovery, name notice, port, status and output queries.
#include <algorithm>

#include "finder/Find.h"
#include "finder/TextBudget.h"
#include "foundation/SysLog.h"
#include "protocol/StatusID.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

namespace {

constexpr std::uint64_t Unwanted = ~std::uint64_t{0};
constexpr std::size_t TableBytes = 512;
constexpr std::uint16_t TableIdLimit = 4095;  // highest id a 512-byte bitmap holds
constexpr std::size_t MaxSortedElements = 65536;

bool isZeroEndpoint(const ORVEX::IPAddress& a) { return a.is_zero() && a.port == 0; }

// The type a single-port query asks for: the first set of 1, 2, 4; 0 for none.
std::uint16_t portType(Find::MODE mode) {
    if ((mode & Find::PORT_TYPE1) != 0) return 1;
    if ((mode & Find::PORT_TYPE2) != 0) return 2;
    if ((mode & Find::PORT_TYPE4) != 0) return 4;
    return 0;
}

bool tableHas(const std::uint8_t* table, unsigned id) { return (table[id >> 3] & (1u << (id & 7))) != 0; }

// The endpoint an answer names: the target's address and interface with the
// answer's port. An answer of a protocol version newer than the supported
// one (0: any) is logged and names none: false, the endpoint unchanged.
bool answerEndpoint(std::uint16_t supported, std::uint16_t version, const ORVEX::IPAddress& target,
                    std::uint16_t port, ORVEX::IPAddress& endpoint) {
    if (supported != 0 && supported < version) {
        LEVEL_INFO << "Zarnith Find protocol version not much : " << static_cast<unsigned>(supported) << "<"
                   << static_cast<unsigned>(version);
        return false;
    }
    endpoint = target;
    endpoint.set_port(port);
    endpoint.ifIndex = target.ifIndex;
    return true;
}

}  // namespace

bool Find::findTarget(std::map<ORVEX::IPAddress, FindTargetSt>& found) {
    found.clear();
    std::map<ORVEX::IPAddress, Receive> answers;
    const Send discover(DISCOVER, STATUS_NONE, std::uint64_t{0});
    for (int pass = 0; pass < 3; ++pass) {
        if (!sendMulti(discover, DISCOVER_ANS, answers)) return false;
    }
    for (const auto& [from, answer] : answers) {
        if (limit.reached()) {
            LEVEL_NOTICE << "Find discovery ended by its limit : " << static_cast<unsigned long>(found.size());
            break;
        }
        // Every responder hears the name, also one the filter then drops.
        if (!NotisName(from)) return false;
        if (muchID(answer.getOption()) == Unwanted) continue;
        FindTargetSt target;
        target.id = answer.getOption();
        answer.get_str(target.name);
        found[from] = target;
    }
    return true;
}

bool Find::NotisName(const ORVEX::IPAddress& target) {
    SendBuffer notice;
    notice.set(SYNCNAME_SET, STATUS_ACCEPT, setting.ownId);
    notice.set_str(setting.name);
    notice.update();
    Receive answer;
    return sendAck(target, notice, SYNCNAME_ANS, answer, true) != ACK_FAILURE;
}

bool Find::getTarget(const ORVEX::IPAddress& target, std::uint64_t& id, std::string& name) {
    Receive answer;
    const int result = sendAck(target, Send(DISCOVER, STATUS_NONE, std::uint64_t{0}), DISCOVER_ANS, answer, true);
    if (result == ACK_FAILURE) return false;
    if (!NotisName(target)) return false;
    if (result == ACK_ANSWER) {
        id = muchID(answer.getOption());
        answer.get_str(name);
    } else {
        id = Unwanted;
    }
    return true;
}

bool Find::pingTarget(ORVEX::IPAddress target) {
    Receive answer;
    return sendAck(target, Send(DISCOVER, STATUS_NONE, std::uint64_t{0}), DISCOVER_ANS, answer, true) == ACK_ANSWER;
}

bool Find::nopBreakFirst(const ORVEX::IPAddress& target) {
    if (!setting.nopBreak) return true;
    // Ends a stop window the target may hold for this host; endpoints answer
    // NOPBREAK_ANS (or echo), so waiting for it ends the wait at once. Only a
    // socket failure stops the query that follows.
    Receive answer;
    return sendAck(target, Send(NOPBREAK_REQ, STATUS_NONE, std::uint64_t{0}), NOPBREAK_ANS, answer, true) !=
           ACK_FAILURE;
}

bool Find::getPort(const ORVEX::IPAddress& target, MODE mode, std::uint16_t portId, ORVEX::IPAddress& endpoint,
                   std::uint16_t& version, std::string& portName, SynchroNodeInfo& synchro) {
    bool silent = false;
    return portQuery(target, mode, portId, endpoint, version, portName, synchro, silent);
}

bool Find::portQuery(const ORVEX::IPAddress& target, MODE mode, std::uint16_t portId, ORVEX::IPAddress& endpoint,
                     std::uint16_t& version, std::string& portName, SynchroNodeInfo& synchro, bool& silent) {
    endpoint = ORVEX::IPAddress();
    synchro = SynchroNodeInfo();
    silent = false;
    if (!nopBreakFirst(target)) return false;
    const std::uint16_t type = portType(mode);
    if (type == 0) return false;
    std::uint16_t option0 = 0;
    std::uint16_t option1 = 0;
    if ((mode & PORT_SEL1) != 0) {
        option0 = portId;
    } else if ((mode & PORT_SEL0) != 0) {
        option1 = portId;
    } else {
        return false;
    }
    // 0 and 0xFFFF are not port ids on the wire: they ask for the tables,
    // whose answer would read as a port.
    if (portId == 0 || portId == 0xFFFF) {
        LEVEL_NOTICE << "Find getPort no such port id : " << static_cast<unsigned>(portId);
        return true;
    }
    Receive answer;
    const int result = sendAck(target, Send(PORT_REQ, STATUS_NONE, option0, option1, type, 1), PORT_ANS, answer,
                               true, [&](const Receive& a) {
                                   return a.getOption0() == option0 && a.getOption1() == option1;
                               });
    if (result == ACK_FAILURE) return false;
    silent = result == ACK_SILENCE;
    if (result != ACK_ANSWER || answer.getOption2() == 0) return true;
    version = answer.getOption3();
    answer.get_str(portName);
    if (!answerEndpoint(setting.protocolVersion, version, target, answer.getOption2(), endpoint)) return true;
    if ((mode & PORT_TYPE4) != 0) return true;

    Receive info;
    const int synchroResult =
        sendAck(endpoint, Send(SYNCHROINFO_REQ, STATUS_NONE, 0, 0, 0, 0), SYNCHROINFO_ANS, info, true);
    if (synchroResult == ACK_SILENCE && limit.reached()) {
        // Cut by the finder's limit, not left unanswered: no port, no failure.
        endpoint = ORVEX::IPAddress();
        silent = true;
        return true;
    }
    if (synchroResult == ACK_FAILURE || synchroResult == ACK_SILENCE) return false;
    if (synchroResult == ACK_ANSWER) {
        synchro.option0 = info.getOption0();
        synchro.option1 = info.getOption1();
        synchro.option2 = info.getOption2();
        synchro.option3 = info.getOption3();
    }
    return true;
}

bool Find::getPort(const ORVEX::IPAddress& target, MODE mode, std::uint16_t& countOption0,
                   std::uint16_t& countOption1, std::uint8_t* tableOption0, std::uint8_t* tableOption1) {
    countOption0 = 0;
    countOption1 = 0;
    // Every id counts as present when no bitmap arrives.
    if (tableOption0 != nullptr) std::fill(tableOption0, tableOption0 + TableBytes, 0xFF);
    if (tableOption1 != nullptr) std::fill(tableOption1, tableOption1 + TableBytes, 0xFF);
    if (!nopBreakFirst(target)) return false;

    Receive answer;
    int result = sendAck(target, Send(PORT_REQ, STATUS_NONE, 0, 0, 0, 1), PORT_ANS, answer, true);
    if (result == ACK_FAILURE) return false;
    if (result != ACK_ANSWER) return true;
    if (answer.getOption2() != 0) {
        result = sendAck(target, Send(PORT_REQ, STATUS_NONE, 0, 0, portType(mode), 1), PORT_ANS, answer, true);
        if (result == ACK_FAILURE) return false;
        if (result != ACK_ANSWER) return true;
    }
    const std::uint16_t type = answer.getOption2();
    bool fits = false;
    if ((mode & PORT_TYPE1) != 0) {
        fits = type == 0 || type == 1;
    } else if ((mode & PORT_TYPE2) != 0) {
        fits = type == 2;
    } else if ((mode & PORT_TYPE4) != 0) {
        fits = type == 4;
    }
    if (!fits) return true;
    if ((mode & PORT_SEL1) != 0) countOption0 = answer.getOption0();
    if ((mode & PORT_SEL0) != 0) countOption1 = answer.getOption1();
    if (answer.size_data() == 2 * TableBytes) {
        const std::uint8_t* bitmap = answer.get_data();
        if (tableOption0 != nullptr) std::copy(bitmap, bitmap + TableBytes, tableOption0);
        if (tableOption1 != nullptr) std::copy(bitmap + TableBytes, bitmap + 2 * TableBytes, tableOption1);
    }
    return true;
}

bool Find::getStatus(const ORVEX::IPAddress& target, std::uint16_t& count) {
    count = 0;
    if (!nopBreakFirst(target)) return false;
    Receive answer;
    const int result = sendAck(target, Send(STATUS_REQ, STATUS_NONE, 0, 0, 0, 1), STATUS_ANS, answer, true,
                               [](const Receive& a) { return a.getOption1() == 0 && a.getOption2() == 0; });
    if (result == ACK_FAILURE) return false;
    if (result == ACK_ANSWER) count = answer.getOption0();
    return true;
}

bool Find::getStatus(const ORVEX::IPAddress& target, std::uint16_t index, ORVEX::IPAddress& endpoint,
                     std::uint16_t& version, std::string& entryName, ORVEX::IPAddress& peer, std::uint16_t& kind) {
    bool silent = false;
    return statusQuery(target, index, endpoint, version, entryName, peer, kind, silent);
}

bool Find::statusQuery(const ORVEX::IPAddress& target, std::uint16_t index, ORVEX::IPAddress& endpoint,
                       std::uint16_t& version, std::string& entryName, ORVEX::IPAddress& peer, std::uint16_t& kind,
                       bool& silent) {
    endpoint = ORVEX::IPAddress();
    kind = 0;
    silent = false;
    if (!nopBreakFirst(target)) return false;
    Receive answer;
    const int result = sendAck(target, Send(STATUS_REQ, STATUS_NONE, index, 0, 0, 1), STATUS_ANS, answer, true,
                               [index](const Receive& a) { return a.getOption0() == index; });
    if (result == ACK_FAILURE) return false;
    silent = result == ACK_SILENCE;
    if (result != ACK_ANSWER) return true;
    version = answer.getOption3();
    (void)answer.get_add_str(peer, entryName);
    if (!answerEndpoint(setting.protocolVersion, version, target, answer.getOption2(), endpoint)) return true;
    kind = answer.getOption1();
    return true;
}

void Find::replaceMyAddress(std::string& text, const ORVEX::IPAddress& target) {
    static const std::string placeholder = "[myaddress]";
    const std::size_t at = text.find(placeholder);
    if (at == std::string::npos) return;
    std::string address;
    target.get_V6_str(address);
    text.replace(at, placeholder.size(), "[" + address + "]");
}

bool Find::outputName(const ORVEX::IPAddress& target, std::string& text, bool& answered) {
    text.clear();
    Receive answer;
    const int result = sendAck(target, Send(OUTPUTNAME_REQ, STATUS_NONE, 0, 0, 0, 0), OUTPUTNAME_ANS, answer, true);
    if (result == ACK_FAILURE) return false;
    answered = result == ACK_ANSWER;
    if (answered) {
        answer.get_str(text);
        replaceMyAddress(text, target);
    }
    return true;
}

bool Find::findTarget(const std::map<ORVEX::IPAddress, FindTargetSt>& found,
                      std::map<ORVEX::IPAddress, TargetConnectInfo>& connect, MODE mode) {
    connect.clear();
    TextBudget texts;
    return eachTarget(found, [&](const ORVEX::IPAddress& target, const FindTargetSt& info) {
        return scanPorts(target, info, mode, texts, connect);
    });
}

bool Find::findTarget(const std::map<ORVEX::IPAddress, FindTargetSt>& found,
                      std::map<ORVEX::IPAddress, TargetStatusInfo>& status) {
    status.clear();
    TextBudget texts;
    return eachTarget(found, [&](const ORVEX::IPAddress& target, const FindTargetSt& info) {
        return scanStatus(target, info, texts, status);
    });
}

bool Find::eachTarget(const std::map<ORVEX::IPAddress, FindTargetSt>& found,
                      const std::function<ScanStep(const ORVEX::IPAddress&, const FindTargetSt&)>& scan) {
    // With a deadline, every target gets an even share of the time still
    // left, so a target that keeps answering with nothing cannot starve the
    // ones behind it; what a target leaves unused goes to the next ones.
    const FindLimit whole = limit;
    std::size_t left = found.size();
    ScanStep step = ScanStep::NEXT_TARGET;
    for (const auto& [target, info] : found) {
        if (whole.reached()) {
            LEVEL_NOTICE << "Find scan ended by its limit, targets left : " << static_cast<unsigned long>(left);
            break;
        }
        limit = whole.share(left);
        --left;
        step = scan(target, info);
        limit = whole;
        if (step != ScanStep::NEXT_TARGET) break;
    }
    return step != ScanStep::FAILED;
}

Find::ScanStep Find::scanPorts(const ORVEX::IPAddress& target, const FindTargetSt& targetInfo, MODE mode,
                               TextBudget& texts, std::map<ORVEX::IPAddress, TargetConnectInfo>& connect) {
    if (!NotisName(target)) return ScanStep::FAILED;
    std::uint16_t count = 0;
    std::uint16_t unusedCount = 0;
    std::uint8_t table[TableBytes];
    if (!getPort(target, mode, count, unusedCount, table, nullptr)) return ScanStep::FAILED;
    std::string outputText;
    bool answered = false;
    if (!outputName(target, outputText, answered)) return ScanStep::FAILED;

    // The walk asks at most `count` ids (a 16-bit number) and ends at the
    // first port the target leaves unanswered, or when the finder's limit
    // is reached: a target that falls silent costs one answer window.
    std::vector<ORVEX::IPAddress> stored;  // endpoints of this target stored in this scan
    const bool useTable = count <= TableIdLimit;
    for (unsigned id = 1; id <= count; ++id) {
        if (useTable && !tableHas(table, id)) continue;
        ORVEX::IPAddress endpoint;
        std::uint16_t version = 0;
        std::string portName;
        SynchroNodeInfo synchro;
        bool silent = false;
        if (!portQuery(target, mode, static_cast<std::uint16_t>(id), endpoint, version, portName, synchro, silent)) {
            return ScanStep::FAILED;
        }
        if (silent || limit.reached()) {
            walkEnded(targetInfo.name, id);
            return ScanStep::NEXT_TARGET;
        }
        if (isZeroEndpoint(endpoint)) continue;
        TargetConnectInfo entry;
        entry.id = targetInfo.id;
        entry.name = targetInfo.name;
        entry.spare = 0;
        entry.portId = static_cast<std::uint16_t>(id);
        entry.version = version;
        entry.outputText = outputText;
        entry.target = target;
        entry.portName = portName;
        entry.synchroInfo = synchro;
        if (!texts.take(entry.name.size() + entry.outputText.size() + entry.portName.size())) {
            return ScanStep::END_SCAN;
        }
        entry.multiport = !stored.empty();
        for (const ORVEX::IPAddress& earlier : stored) connect[earlier].multiport = true;
        connect[endpoint] = entry;
        stored.push_back(endpoint);
        LEVEL_DEBUG << "Zarnith Find Sink Out: " << targetInfo.name << " " << id << " "
                    << static_cast<unsigned>(version) << " [" << static_cast<unsigned>(target.ifIndex) << "]";
    }
    return ScanStep::NEXT_TARGET;
}

Find::ScanStep Find::scanStatus(const ORVEX::IPAddress& target, const FindTargetSt& targetInfo, TextBudget& texts,
                                std::map<ORVEX::IPAddress, TargetStatusInfo>& status) {
    if (!NotisName(target)) return ScanStep::FAILED;
    std::uint16_t count = 0;
    if (!getStatus(target, count)) return ScanStep::FAILED;
    // As the port walk: at most `count` entries, ended by the first silent
    // entry or the finder's limit.
    for (unsigned index = 1; index <= count; ++index) {
        ORVEX::IPAddress endpoint;
        ORVEX::IPAddress peer;
        std::uint16_t version = 0;
        std::uint16_t kind = 0;
        std::string entryName;
        bool silent = false;
        if (!statusQuery(target, static_cast<std::uint16_t>(index), endpoint, version, entryName, peer, kind,
                         silent)) {
            return ScanStep::FAILED;
        }
        if (silent || limit.reached()) {
            walkEnded(targetInfo.name, index);
            return ScanStep::NEXT_TARGET;
        }
        if (isZeroEndpoint(endpoint)) continue;
        if (!texts.take(targetInfo.name.size() + entryName.size())) return ScanStep::END_SCAN;
        TargetStatusInfo& entry = status[endpoint];
        entry.id = targetInfo.id;
        entry.name = targetInfo.name;
        entry.index = static_cast<std::uint16_t>(index);
        entry.version = version;
        entry.kind = kind;
        entry.peer = peer;
        entry.entryName = entryName;
        LEVEL_DEBUG << "Zarnith Find Status: " << entryName << " " << index << " " << static_cast<unsigned>(version)
                    << " [" << static_cast<unsigned>(peer.ifIndex) << "]" << static_cast<unsigned>(kind);
    }
    return ScanStep::NEXT_TARGET;
}

void Find::walkEnded(const std::string& targetName, unsigned at) const {
    if (limit.reached()) {
        LEVEL_NOTICE << "Find walk ended by its limit : " << targetName << " " << at;
    } else {
        LEVEL_NOTICE << "Find walk ends at a silent entry : " << targetName << " " << at;
    }
}

bool Find::getOutput(const ORVEX::IPAddress& target, std::uint16_t portId, ORVEX::IPAddress& endpoint,
                     TargetConnectInfo& info) {
    endpoint = ORVEX::IPAddress();
    ORVEX::IPAddress candidate = target;
    candidate.set_port(TargetPort);
    const std::vector<ORVEX::IPAddress> list = getIfList();
    for (const ORVEX::IPAddress& local : list) {
        if (target.is_loopback() != local.is_loopback()) continue;
        candidate.ifIndex = local.ifIndex;
        ORVEX::IPAddress found;
        std::uint16_t version = 0;
        std::string portName;
        SynchroNodeInfo synchro;
        if (!getPort(candidate, PORT_TYPE1 | PORT_SEL1, portId, found, version, portName, synchro)) return false;
        if (isZeroEndpoint(found)) continue;
        endpoint = found;
        info.spare = 0;
        info.portId = portId;
        info.version = version;
        info.target = candidate;
        info.synchroInfo = synchro;
        Receive answer;
        const int result =
            sendAck(candidate, Send(DISCOVER, STATUS_NONE, std::uint64_t{0}), DISCOVER_ANS, answer, true);
        if (result == ACK_FAILURE) return false;
        if (result == ACK_ANSWER) answer.get_str(info.name);
        std::string text;
        bool answered = false;
        if (!outputName(candidate, text, answered)) return false;
        // Only an answered output query replaces the text (an empty one too).
        if (answered) info.outputText = text;
        return true;
    }
    return true;
}

bool Find::is_multiport(const std::map<ORVEX::IPAddress, TargetConnectInfo>& connect, const ORVEX::IPAddress& key) {
    return std::any_of(connect.begin(), connect.end(), [&](const auto& entry) {
        return entry.first.address == key.address && entry.first.ifIndex == key.ifIndex &&
               entry.first.port != key.port;
    });
}

Find::StatusSort::iterator Find::StatusSort::find(const ORVEX::IPAddress& key) {
    return std::find_if(begin(), end(), [&](const StatusSortElement& e) { return e.key == key; });
}

Find::StatusSort::const_iterator Find::StatusSort::find(const ORVEX::IPAddress& key) const {
    return std::find_if(begin(), end(), [&](const StatusSortElement& e) { return e.key == key; });
}

void Find::SortStatus(ORVEX::IPAddress host, std::uint16_t hostPort, bool flag,
                      const std::map<ORVEX::IPAddress, TargetStatusInfo>& status, StatusSort& sorted) {
    sorted.clear();
    const std::uint16_t seedKind = flag ? 1 : 2;
    for (const auto& [key, info] : status) {
        if (info.kind == seedKind && info.peer.is_loopback() && key.address == host.address &&
            key.ifIndex == host.ifIndex && info.peer.get_port() == hostPort) {
            sorted.push_back(StatusSortElement{info, key, true, true});
        }
    }
    bool inserted = true;
    while (inserted) {
        inserted = false;
        for (const auto& [key, info] : status) {
            if (info.kind != 0) continue;
            const bool leadingZeros =
                std::all_of(info.peer.address.begin(), info.peer.address.begin() + 14, [](std::uint8_t b) { return b == 0; });
            if (leadingZeros && !info.peer.is_loopback()) continue;
            if (!(host.is_loopback() || key.is_loopback() || key.ifIndex == host.ifIndex)) continue;
            if (sorted.find(key) != sorted.end()) continue;
            for (auto it = sorted.begin(); it != sorted.end(); ++it) {
                if (it->key.address != info.peer.address || it->info.index != info.peer.get_port()) continue;
                // Entries sharing an address on several links could multiply
                // the chains; the list stays bounded.
                if (sorted.size() >= MaxSortedElements) {
                    LEVEL_NOTICE << "SortStatus list full : " << static_cast<unsigned long>(MaxSortedElements);
                    return;
                }
                it->leaf = false;
                it = sorted.insert(std::next(it), StatusSortElement{info, key, true, false});
                inserted = true;
            }
        }
    }
}

}  // namespace ZARNITH
