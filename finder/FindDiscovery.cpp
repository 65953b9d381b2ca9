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
    return portQuery(target, mode, portId, endpoint, version, portName, synchro) != Asked::FAILED;
}

Find::Asked Find::portQuery(const ORVEX::IPAddress& target, MODE mode, std::uint16_t portId,
                            ORVEX::IPAddress& endpoint, std::uint16_t& version, std::string& portName,
                            SynchroNodeInfo& synchro) {
    endpoint = ORVEX::IPAddress();
    synchro = SynchroNodeInfo();
    if (!nopBreakFirst(target)) return Asked::FAILED;
    const std::uint16_t type = portType(mode);
    if (type == 0) return Asked::FAILED;
    std::uint16_t option0 = 0;
    std::uint16_t option1 = 0;
    if ((mode & PORT_SEL1) != 0) {
        option0 = portId;
    } else if ((mode & PORT_SEL0) != 0) {
        option1 = portId;
    } else {
        return Asked::FAILED;
    }
    // 0 and 0xFFFF are not port ids on the wire: they ask for the tables,
    // whose answer would read as a port.
    if (portId == 0 || portId == 0xFFFF) {
        LEVEL_NOTICE << "Find getPort no such port id : " << static_cast<unsigned>(portId);
        return Asked::EMPTY;
    }
    Receive answer;
    const int result = sendAck(target, Send(PORT_REQ, STATUS_NONE, option0, option1, type, 1), PORT_ANS, answer,
                               true, [&](const Receive& a) {
                                   return a.getOption0() == option0 && a.getOption1() == option1;
                               });
    if (result == ACK_FAILURE) return Asked::FAILED;
    if (result == ACK_SILENCE) return Asked::SILENT;
    if (result != ACK_ANSWER || answer.getOption2() == 0) return Asked::EMPTY;
    version = answer.getOption3();
    answer.get_str(portName);
    if (!answerEndpoint(setting.protocolVersion, version, target, answer.getOption2(), endpoint)) return Asked::EMPTY;
    if ((mode & PORT_TYPE4) != 0) return Asked::FOUND;

    Receive info;
    const int synchroResult =
        sendAck(endpoint, Send(SYNCHROINFO_REQ, STATUS_NONE, 0, 0, 0, 0), SYNCHROINFO_ANS, info, true);
    if (synchroResult == ACK_SILENCE && limit.reached()) {
        // Cut by the finder's limit, not left unanswered: no port, no failure.
        endpoint = ORVEX::IPAddress();
        return Asked::SILENT;
    }
    if (synchroResult == ACK_FAILURE || synchroResult == ACK_SILENCE) return Asked::FAILED;
    if (synchroResult == ACK_ANSWER) {
        synchro.option0 = info.getOption0();
        synchro.option1 = info.getOption1();
        synchro.option2 = info.getOption2();
        synchro.option3 = info.getOption3();
    }
    return Asked::FOUND;
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
    return statusQuery(target, index, endpoint, version, entryName, peer, kind) != Asked::FAILED;
}

Find::Asked Find::statusQuery(const ORVEX::IPAddress& target, std::uint16_t index, ORVEX::IPAddress& endpoint,
                              std::uint16_t& version, std::string& entryName, ORVEX::IPAddress& peer,
                              std::uint16_t& kind) {
    endpoint = ORVEX::IPAddress();
    kind = 0;
    if (!nopBreakFirst(target)) return Asked::FAILED;
    Receive answer;
    const int result = sendAck(target, Send(STATUS_REQ, STATUS_NONE, index, 0, 0, 1), STATUS_ANS, answer, true,
                               [index](const Receive& a) { return a.getOption0() == index; });
    if (result == ACK_FAILURE) return Asked::FAILED;
    if (result == ACK_SILENCE) return Asked::SILENT;
    if (result != ACK_ANSWER) return Asked::EMPTY;
    version = answer.getOption3();
    (void)answer.get_add_str(peer, entryName);
    if (!answerEndpoint(setting.protocolVersion, version, target, answer.getOption2(), endpoint)) return Asked::EMPTY;
    kind = answer.getOption1();
    // A zero target address with port 0 names no endpoint either.
    return isZeroEndpoint(endpoint) ? Asked::EMPTY : Asked::FOUND;
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

    const bool useTable = count <= TableIdLimit;  // ids beyond the bitmap are all asked
    ORVEX::IPAddress endpoint;
    TargetConnectInfo entry;               // the port asked last
    std::vector<ORVEX::IPAddress> stored;  // endpoints of this target stored in this scan
    const auto ask = [&](std::uint16_t id) {
        if (useTable && !tableHas(table, id)) return Asked::UNLISTED;
        entry = TargetConnectInfo();
        return portQuery(target, mode, id, endpoint, entry.version, entry.portName, entry.synchroInfo);
    };
    const auto keep = [&](std::uint16_t id) {
        entry.id = targetInfo.id;
        entry.name = targetInfo.name;
        entry.portId = id;
        entry.outputText = outputText;
        entry.target = target;
        if (!texts.take(entry.name.size() + entry.outputText.size() + entry.portName.size())) return false;
        entry.multiport = !stored.empty();
        for (const ORVEX::IPAddress& earlier : stored) connect[earlier].multiport = true;
        connect[endpoint] = entry;
        stored.push_back(endpoint);
        LEVEL_DEBUG << "Zarnith Find Sink Out: " << targetInfo.name << " " << static_cast<unsigned>(id) << " "
                    << static_cast<unsigned>(entry.version) << " [" << static_cast<unsigned>(target.ifIndex) << "]";
        return true;
    };
    return walk(targetInfo.name, count, ask, keep);
}

Find::ScanStep Find::scanStatus(const ORVEX::IPAddress& target, const FindTargetSt& targetInfo, TextBudget& texts,
                                std::map<ORVEX::IPAddress, TargetStatusInfo>& status) {
    if (!NotisName(target)) return ScanStep::FAILED;
    std::uint16_t count = 0;
    if (!getStatus(target, count)) return ScanStep::FAILED;

    ORVEX::IPAddress endpoint;
    TargetStatusInfo entry;  // the entry asked last
    const auto ask = [&](std::uint16_t index) {
        entry = TargetStatusInfo();
        return statusQuery(target, index, endpoint, entry.version, entry.entryName, entry.peer, entry.kind);
    };
    const auto keep = [&](std::uint16_t index) {
        if (!texts.take(targetInfo.name.size() + entry.entryName.size())) return false;
        entry.id = targetInfo.id;
        entry.name = targetInfo.name;
        entry.index = index;
        status[endpoint] = entry;
        LEVEL_DEBUG << "Zarnith Find Status: " << entry.entryName << " " << static_cast<unsigned>(index) << " "
                    << static_cast<unsigned>(entry.version) << " [" << static_cast<unsigned>(entry.peer.ifIndex)
                    << "]" << static_cast<unsigned>(entry.kind);
        return true;
    };
    return walk(targetInfo.name, count, ask, keep);
}

Find::ScanStep Find::walk(const std::string& targetName, unsigned count,
                          const std::function<Asked(std::uint16_t)>& ask,
                          const std::function<bool(std::uint16_t)>& keep) {
    // At most `count` entries (a 16-bit number), each asked once.
    unsigned silentInARow = 0;
    for (unsigned at = 1; at <= count; ++at) {
        const auto entry = static_cast<std::uint16_t>(at);
        const Asked asked = ask(entry);
        if (asked == Asked::UNLISTED) continue;
        if (asked == Asked::FAILED) return ScanStep::FAILED;
        if (limit.reached()) {
            LEVEL_NOTICE << "Find walk ended by its limit : " << targetName << " " << at;
            return ScanStep::NEXT_TARGET;
        }
        silentInARow = asked == Asked::SILENT ? silentInARow + 1 : 0;
        if (silentInARow == MaxSilentInARow) {
            LEVEL_NOTICE << "Find walk ends at a silent entry : " << targetName << " " << at;
            return ScanStep::NEXT_TARGET;
        }
        if (asked == Asked::FOUND && !keep(entry)) return ScanStep::END_SCAN;
    }
    return ScanStep::NEXT_TARGET;
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
