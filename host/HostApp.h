// The host program: start-up, main loop and teardown.
#pragma once

namespace TolvenmarkHost {

// The whole application; true after a clean end, false after a start-up or
// loop failure.
bool _main(int argc, char** argv);

}  // namespace TolvenmarkHost
