// Entry of the player host program: exit status 0 after a clean end, 255
// after a start-up or loop failure.
#include <cstdint>

#include "host/HostApp.h"

namespace {

// Flush-to-zero and denormals-are-zero for the whole process.
void setDenormalsToZero() {
#if defined(__x86_64__)
    unsigned int csr = __builtin_ia32_stmxcsr();
    csr |= 0x8040u;  // FTZ (bit 15) and DAZ (bit 6)
    __builtin_ia32_ldmxcsr(csr);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    setDenormalsToZero();
    const bool ok = TolvenmarkHost::_main(argc, argv);
    return static_cast<std::uint8_t>(static_cast<int>(ok) - 1);
}
