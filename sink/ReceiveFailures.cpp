#include "sink/ReceiveFailures.h"

#include <cerrno>

#include "foundation/SysLog.h"

namespace ZARNITH {

using namespace ORVEX::SysLog;

namespace {

bool leavesSocketUnusable(int error) {
    return error == EBADF || error == ENOTSOCK || error == EFAULT || error == EINVAL;
}

}  // namespace

bool ReceiveFailures::broken(int line) {
    const int error = errno;
    if (leavesSocketUnusable(error)) {
        LEVEL_ERROR << text_ << line << ":" << error;
        return true;
    }
    LEVEL_NOTICE << text_ << line << ":" << error;
    return ++inARow_ > Limit;
}

}  // namespace ZARNITH
