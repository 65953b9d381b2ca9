// Shared by the test main and the fuzz harnesses: neither links the other.
#pragma once

namespace tmtest {

// Sets the loopback interface of the calling process's network namespace up
// (a new namespace starts with it down); false when that is not permitted.
bool bringLoopbackUp();

}  // namespace tmtest
