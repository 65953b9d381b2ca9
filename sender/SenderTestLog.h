// Log capture for the sender's unit tests (included by tests only): while an
// instance lives, it collects the bodies of the process's log messages at
// level 7; at its end logging goes back to "no logging".
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/SysLog.h"

namespace ZARNITH {
namespace sendertest {

// Collects the bodies of the log messages (facility 16: a 3-digit PRI, so the
// body starts at offset 31).
class LogCapture {
public:
    LogCapture() {
        instance() = this;
        EXPECT_TRUE(ORVEX::SysLog::initialize(ORVEX::SysLog::FACILITY_LOCAL0, &LogCapture::take));
        ORVEX::SysLog::logLevel = 7;
    }
    ~LogCapture() {
        ORVEX::SysLog::logLevel = -1;
        instance() = nullptr;
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex);
        return bodies;
    }
    bool has(const std::string& line) {
        auto all = lines();
        return std::find(all.begin(), all.end(), line) != all.end();
    }
    bool hasPrefix(const std::string& prefix) {
        for (const std::string& l : lines())
            if (l.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        bodies.clear();
    }

    // Called on the logging thread with every body (set while single-threaded).
    std::function<void(const std::string&)> onLine;

private:
    static LogCapture*& instance() {
        static LogCapture* current = nullptr;
        return current;
    }
    static void take(const char* message) {
        LogCapture* self = instance();
        if (self == nullptr) return;
        std::string text(message);
        const std::string body = text.size() > 31 ? text.substr(31) : std::string();
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->bodies.push_back(body);
        }
        if (self->onLine) self->onLine(body);
    }
    std::mutex mutex;
    std::vector<std::string> bodies;
};

}  // namespace sendertest
}  // namespace ZARNITH
