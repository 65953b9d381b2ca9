// The client side of discovery and device management. One finder owns one
// IPv6 UDP socket and the local addresses it works on; every operation runs
// in the caller's thread: it sends a request, waits on the finder's own
// socket for a fixed answer window and reports by its result. No worker
// thread, no lock, no retransmission of a request (the data transfer resends
// unacknowledged bursts). A caller may bound all of it with a FindLimit (a
// deadline and its own run flag). A finder belongs to one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "finder/FindLimit.h"
#include "finder/FindSetting.h"
#include "finder/TransferSender.h"
#include "foundation/Buffer.h"
#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/Icon.h"
#include "protocol/MessageID.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"
#include "protocol/TargetPort.h"

namespace ZARNITH {

class TextBudget;

class Find {
public:
    using Setting = FindSetting;

    static constexpr std::uint16_t ReleaseNo = 142;
    static constexpr ORVEX::Clock AckWindow = ORVEX::Clock::fromMilliseconds(100);
    static constexpr ORVEX::Clock MultiWindow = ORVEX::Clock::fromMilliseconds(30);
    // Most discovery answers kept by one sendMulti answer map; further
    // sources are dropped (each kept one costs a name notice later).
    static constexpr std::size_t MaxAnswers = 256;
    // Bytes reserved for one received datagram: the largest UDP datagram.
    static constexpr std::size_t ReceiveSize = 65536;
    // A target's port or status walk ends after this many asked entries in
    // a row go unanswered. One odd entry (its answer lost, or sent from
    // another address) is skipped like an empty one; a run of them means the
    // target has stopped answering, which then costs three answer windows
    // instead of one per entry (for 65535 entries, 1.8 hours).
    static constexpr unsigned MaxSilentInARow = 3;

    // sendAck result codes.
    enum AckResult : int { ACK_ANSWER = 0, ACK_FAILURE = 1, ACK_SILENCE = 2, ACK_REFUSAL = 3, ACK_ECHO = 4 };

    // Bit flags of a port query.
    enum MODE : std::uint16_t {
        PORT_TYPE1 = 0x01,  // port type 1 (local sink endpoints)
        PORT_TYPE2 = 0x02,  // port type 2
        PORT_TYPE4 = 0x04,  // port type 4 (controller ports); no synchro query
        PORT_SEL1 = 0x08,   // the port id travels in option0
        PORT_SEL0 = 0x10,   // the port id travels in option1
    };
    friend constexpr MODE operator|(MODE a, MODE b) {
        return static_cast<MODE>(static_cast<std::uint16_t>(a) | static_cast<std::uint16_t>(b));
    }

    // One discovered target, keyed by the source of its DISCOVER_ANS.
    struct FindTargetSt {
        std::uint64_t id = 0;  // product id
        std::string name;      // target name
    };

    // Options 0 to 3 of a port endpoint's SYNCHROINFO_ANS, as received.
    struct SynchroNodeInfo {
        std::uint16_t option0 = 0;
        std::uint16_t option1 = 0;
        std::uint16_t option2 = 0;
        std::uint16_t option3 = 0;
    };

    // One reachable port of a target, keyed by the port's endpoint (target
    // address, port of the PORT_ANS, target interface index).
    struct TargetConnectInfo {
        std::uint64_t id = 0;      // the target's product id
        std::uint16_t spare = 0;   // always 0
        std::uint16_t portId = 0;  // id in the target's port table
        std::uint16_t version = 0; // option3 of the PORT_ANS
        std::string name;          // the target's name
        std::string outputText;    // OUTPUTNAME text, first "[myaddress]" replaced
        ORVEX::IPAddress target;   // the target's discovery address
        std::string portName;      // payload of the PORT_ANS
        bool multiport = false;    // the target yields two or more ports
        SynchroNodeInfo synchroInfo;
    };

    // One status entry of a target, keyed by the target's address with the
    // entry's port and the target's interface index.
    struct TargetStatusInfo {
        std::uint64_t id = 0;
        std::uint16_t index = 0;    // 1-based entry index at the target
        std::uint16_t version = 0;  // option3 of the STATUS_ANS
        std::string name;           // the target's name
        std::uint16_t kind = 0;     // option1 of the STATUS_ANS
        ORVEX::IPAddress peer;      // address and port of the payload
        std::string entryName;      // text behind the address
    };

    // Status entries ordered into chains.
    struct StatusSortElement {
        TargetStatusInfo info;
        ORVEX::IPAddress key;
        bool leaf = true;
        bool seed = false;
    };
    class StatusSort : public std::list<StatusSortElement> {
    public:
        // First element whose key equals `key` (address, port, index), or end().
        iterator find(const ORVEX::IPAddress& key);
        const_iterator find(const ORVEX::IPAddress& key) const;
        // Compares the element counts only.
        bool operator==(const StatusSort& other) const { return size() == other.size(); }
    };

    // The finder's types of configuration units.
    enum SETTING_TYPE : int {
        SETTING_NONE = 0,
        SETTING_TEXT = 1,
        SETTING_NUMBER = 2,
        SETTING_SWITCH = 3,
        SETTING_CHOICE = 4,
        SETTING_CHOICE_FIXED = 5,
        SETTING_VALUE = 6,
    };

    // One configuration unit as read back.
    struct TargetSettingInfo {
        int type = SETTING_NONE;
        std::string name;
        std::string value;
        std::vector<std::string> items;  // choice texts, indexed from min
        int current = 0;
        int min = 0;
        int max = 0;
        int aux = 0;  // the endpoint's default value
    };

    // Icon selector: service in bits 16-31 (0 target, 1 sink, 2 aux), icon
    // number in bits 0-15.
    using ICON = std::uint32_t;

    // Progress of a transfer: (block number, block count).
    using Progress = TransferSender::Progress;

    explicit Find(const Setting& setting);
    ~Find();
    Find(const Find&) = delete;
    Find& operator=(const Find&) = delete;

    // ---- set-up ----
    bool open(const std::vector<ORVEX::IPAddress>& list);
    bool open();
    bool open(const ORVEX::IPAddress& address);
    bool open(std::uint16_t ifIndex);
    bool open(const std::vector<std::string>& names);
    void close();
    std::vector<ORVEX::IPAddress> getIfList() const;
    std::uint64_t muchID(std::uint64_t id) const;
    bool is_open() const { return socket.is_open(); }
    // Bounds every later operation (see FindLimit); the default is none.
    void setLimit(const FindLimit& newLimit);
    // Whether the limit has been reached: the last scan may hold only part
    // of what there was to find.
    bool limitReached() const { return limit.reached(); }

    // ---- request exchange ----
    // One unicast request and one 100 ms answer window; AckResult codes.
    int sendAck(const ORVEX::IPAddress& to, const Send& request, MessageID expect, Receive& answer, bool retry);
    // The request on every local interface to ff02::1 (or [::1]) port 19642;
    // accepted answers collected 30 ms per interface, keyed by their source.
    bool sendMulti(const Send& request, MessageID expect, std::map<ORVEX::IPAddress, Receive>& answers);

    // ---- discovery and port queries ----
    bool findTarget(std::map<ORVEX::IPAddress, FindTargetSt>& found);
    bool findTarget(const std::map<ORVEX::IPAddress, FindTargetSt>& found,
                    std::map<ORVEX::IPAddress, TargetConnectInfo>& connect, MODE mode);
    bool findTarget(const std::map<ORVEX::IPAddress, FindTargetSt>& found,
                    std::map<ORVEX::IPAddress, TargetStatusInfo>& status);
    bool NotisName(const ORVEX::IPAddress& target);
    bool getTarget(const ORVEX::IPAddress& target, std::uint64_t& id, std::string& name);
    bool pingTarget(ORVEX::IPAddress target);
    bool getPort(const ORVEX::IPAddress& target, MODE mode, std::uint16_t portId, ORVEX::IPAddress& endpoint,
                 std::uint16_t& version, std::string& portName, SynchroNodeInfo& synchro);
    // Tables are 512 bytes each or null.
    bool getPort(const ORVEX::IPAddress& target, MODE mode, std::uint16_t& countOption0,
                 std::uint16_t& countOption1, std::uint8_t* tableOption0, std::uint8_t* tableOption1);
    bool getStatus(const ORVEX::IPAddress& target, std::uint16_t& count);
    bool getStatus(const ORVEX::IPAddress& target, std::uint16_t index, ORVEX::IPAddress& endpoint,
                   std::uint16_t& version, std::string& entryName, ORVEX::IPAddress& peer, std::uint16_t& kind);
    bool getOutput(const ORVEX::IPAddress& target, std::uint16_t portId, ORVEX::IPAddress& endpoint,
                   TargetConnectInfo& info);
    static bool is_multiport(const std::map<ORVEX::IPAddress, TargetConnectInfo>& connect,
                             const ORVEX::IPAddress& key);
    static void SortStatus(ORVEX::IPAddress host, std::uint16_t hostPort, bool flag,
                           const std::map<ORVEX::IPAddress, TargetStatusInfo>& status, StatusSort& sorted);

    // ---- management queries ----
    bool FwVersion(ORVEX::IPAddress to, std::string& text);
    bool FwURL(ORVEX::IPAddress to, std::string& text);
    bool Infomation(ORVEX::IPAddress to, std::uint16_t request, std::string& text);
    bool Infomation(ORVEX::IPAddress to, std::uint16_t request, ORVEX::Buffer& bytes);
    bool Infomation(ORVEX::IPAddress to, std::uint16_t request, std::vector<std::string>& pages);
    bool Reboot(ORVEX::IPAddress to, bool reboot, std::uint16_t code);
    bool TargetSetting(ORVEX::IPAddress to, std::list<TargetSettingInfo>& units, bool reset);
    bool SinkSetting(ORVEX::IPAddress to, std::list<TargetSettingInfo>& units, bool reset);
    bool setTargetSetting(ORVEX::IPAddress to, std::uint16_t unit, const std::string& text, std::uint16_t value);
    bool setTargetSetting(ORVEX::IPAddress to, std::uint16_t unit, const std::string& text);
    bool setTargetSetting(ORVEX::IPAddress to, std::uint16_t unit, std::uint16_t value);
    bool setSinkSetting(ORVEX::IPAddress to, std::uint16_t unit, const std::string& text, std::uint16_t value);
    bool setSinkSetting(ORVEX::IPAddress to, std::uint16_t unit, const std::string& text);
    bool setSinkSetting(ORVEX::IPAddress to, std::uint16_t unit, std::uint16_t value);
    bool TargetSettingFinale(ORVEX::IPAddress to, bool commit);
    bool SinkSettingFinale(ORVEX::IPAddress to, bool commit);
    bool downloadIcon(ORVEX::IPAddress to, ICON icon, Icon& out);
    bool downloadIcon(ORVEX::IPAddress to, ICON icon, Icon& out, std::uint16_t size);

    // ---- data transfer ----
    bool Transfer(ORVEX::IPAddress to, int slot, ORVEX::BufferCS_const data, std::uint64_t window,
                  const Progress& progress);
    bool Transfer(ORVEX::IPAddress to, int slot, ORVEX::BufferCS_const data, std::uint64_t window);
    bool TransferFinish(ORVEX::IPAddress to, int slot, std::uint16_t crc, std::uint16_t& mode);

    // Rows of an icon asked for in one pixel request, for rows of `rowBytes`
    // bytes (0: one request per part of a row).
    static unsigned iconRowsPerRequest(std::uint64_t rowBytes);
    // Largest icon (in pixels) the finder downloads.
    static constexpr std::uint64_t MaxIconPixels = std::uint64_t{1} << 20;

private:
    // How a scan goes on after one target.
    enum class ScanStep { NEXT_TARGET, END_SCAN, FAILED };
    // What asking one entry of a target (a port id, a status index) came to.
    enum class Asked {
        FOUND,     // an endpoint
        EMPTY,     // no endpoint: none there, refused, echoed, or a newer version
        SILENT,    // no answer in its window (or the limit cut the wait)
        UNLISTED,  // not asked: the target's table lacks it
        FAILED,    // a socket failed
    };

    // sendAck that also skips answers `belongs` rejects (a late answer to an
    // earlier request of the same kind), so they neither end nor decide it.
    int sendAck(const ORVEX::IPAddress& to, const Send& request, MessageID expect, Receive& answer, bool retry,
                const std::function<bool(const Receive&)>& belongs);
    bool nopBreakFirst(const ORVEX::IPAddress& target);
    // The single-port and status-entry queries (never UNLISTED).
    Asked portQuery(const ORVEX::IPAddress& target, MODE mode, std::uint16_t portId, ORVEX::IPAddress& endpoint,
                    std::uint16_t& version, std::string& portName, SynchroNodeInfo& synchro);
    Asked statusQuery(const ORVEX::IPAddress& target, std::uint16_t index, ORVEX::IPAddress& endpoint,
                      std::uint16_t& version, std::string& entryName, ORVEX::IPAddress& peer, std::uint16_t& kind);
    // Runs `scan` for every found target in map order, each under its share
    // of the limit; false when one failed.
    bool eachTarget(const std::map<ORVEX::IPAddress, FindTargetSt>& found,
                    const std::function<ScanStep(const ORVEX::IPAddress&, const FindTargetSt&)>& scan);
    ScanStep scanPorts(const ORVEX::IPAddress& target, const FindTargetSt& targetInfo, MODE mode, TextBudget& texts,
                       std::map<ORVEX::IPAddress, TargetConnectInfo>& connect);
    ScanStep scanStatus(const ORVEX::IPAddress& target, const FindTargetSt& targetInfo, TextBudget& texts,
                        std::map<ORVEX::IPAddress, TargetStatusInfo>& status);
    // One target's walk over its entries 1 to `count`: `ask` queries one,
    // `keep` stores the one it found (false: the scan's texts are spent).
    // An empty or silent entry is skipped; the walk ends early, logged, when
    // the limit is reached or after MaxSilentInARow silent entries.
    ScanStep walk(const std::string& targetName, unsigned count, const std::function<Asked(std::uint16_t)>& ask,
                  const std::function<bool(std::uint16_t)>& keep);
    // OUTPUTNAME_REQ: false on a socket failure; `answered` tells whether an
    // accepted answer gave the text (else it is empty).
    bool outputName(const ORVEX::IPAddress& target, std::string& text, bool& answered);
    static void replaceMyAddress(std::string& text, const ORVEX::IPAddress& target);
    // Configuration units, parameterised by the message base (0x30 or 0x34).
    bool _TargetSetting(std::uint16_t base, const ORVEX::IPAddress& to, std::list<TargetSettingInfo>& units,
                        bool reset);
    bool _setTargetSetting(std::uint16_t base, const ORVEX::IPAddress& to, std::uint16_t unit,
                           const std::string& text, std::uint16_t value);
    bool _setTargetSetting(std::uint16_t base, const ORVEX::IPAddress& to, std::uint16_t unit,
                           const std::string& text);
    bool _setTargetSetting(std::uint16_t base, const ORVEX::IPAddress& to, std::uint16_t unit,
                           std::uint16_t value);
    bool _TargetSettingFinale(std::uint16_t base, const ORVEX::IPAddress& to, bool commit);
    bool textRequest(const ORVEX::IPAddress& to, const Send& request, std::string& text);
    // Transfer: the slot table and geometry (with the checks of the data
    // against them), and the finish with the data's CRC-16.
    bool transferGeometry(const ORVEX::IPAddress& to, int slot, ORVEX::BufferCS_const data, std::uint64_t window,
                          TransferSender::Geometry& geometry, std::uint64_t& burstWindow);
    bool finishTransfer(const ORVEX::IPAddress& to, int slot, ORVEX::BufferCS_const data);

    Setting setting;                                // copied at construction
    std::vector<ORVEX::IPAddress> interfaces;       // local addresses given to open (ifIndex != 0)
    std::vector<ORVEX::IPAddress> extraDestinations;  // further multicast destinations (stays empty)
    ORVEX::Socket socket;                           // closed until open
    FindLimit limit;                                // none until setLimit
};

}  // namespace ZARNITH
