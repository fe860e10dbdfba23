// Exact UTF-16 to UTF-8 conversion for text that goes on the wire (host, path, user-agent):
// unlike the host-facing conversion, it refuses an unpaired surrogate instead of replacing it.
#pragma once

#include <optional>
#include <string>

#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

// text is NUL-terminated; null is taken as the empty text.
std::optional<std::string> utf8FromUtf16(LPCWSTR text);

}  // namespace wsbridge::transport
