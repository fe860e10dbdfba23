// The random source for mask keys and handshake keys (OpenSSL's CSPRNG). It outlives the
// bridge's unload hook, so a close sent from that static destructor still finds it alive.
#pragma once

#include "transport/protocol/random_source.h"

namespace wsbridge::transport {

protocol::RandomSource& transportRandom();

}  // namespace wsbridge::transport
