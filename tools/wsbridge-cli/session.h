// One run of the command-line host: connect, send, poll, print, and decide how it ended.
#pragma once

#include "bridge_library.h"
#include "cli_options.h"
#include "input_lines.h"

namespace cli {

// The program's exit codes; the usage text lists them for users.
enum class ExitCode : int {
    done = 0,
    handshakeFailed = 1,
    badCommandLine = 2,
    connectionEnded = 3,
    timedOut = 4,
    libraryUnavailable = 5,
    sendFailed = 6,
};

struct SessionResult {
    ExitCode code = ExitCode::done;
    // The handshake was still under way when the run gave up. Ending the connection would wait
    // for the handshake to finish, so the caller leaves without unloading the library.
    bool handshakeAbandoned = false;
};

SessionResult runSession(const BridgeFunctions& bridge, const CliOptions& options,
                         InputLines& input);

}  // namespace cli
