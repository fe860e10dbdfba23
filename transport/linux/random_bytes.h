// The random source for mask keys and handshake keys (OpenSSL's CSPRNG), as a never-destroyed
// object: a close sent from a static destructor at process exit still finds it alive.
#pragma once

#include "transport/protocol/random_source.h"

namespace wsbridge::transport {

protocol::RandomSource& transportRandom();

}  // namespace wsbridge::transport
