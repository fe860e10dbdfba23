// Which proxy, if any, a connection goes through: the environment's proxy variables, read the
// way curl reads them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "transport/linux/proxy_url.h"
#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

// The variables that matter, each the first one set to a non-empty value of its names.
struct ProxyEnvironment {
    std::string httpsProxy;  // https_proxy, HTTPS_PROXY
    // http_proxy only: a CGI program gets the request's "Proxy:" header as HTTP_PROXY, so the
    // upper-case name cannot be trusted (curl reads it the same way).
    std::string httpProxy;
    std::string allProxy;  // all_proxy, ALL_PROXY
    std::string noProxy;   // no_proxy, NO_PROXY
};

// Copies the variables out of the environment, all at once. It calls getenv, so it races with a
// thread of the host that changes the environment at the same moment (setenv is not safe
// against a concurrent getenv); the transport calls it once per connection attempt, from
// WinHttpSendRequest.
ProxyEnvironment readProxyEnvironment();

struct ProxyChoice {
    std::optional<ProxyServer> proxy;  // none: connect straight to the server
    DWORD error = ERROR_SUCCESS;       // the proxy variable cannot be used (see parseProxyUrl)
};

// For a wss:// server (`secure`) https_proxy, else all_proxy; for ws:// http_proxy, else
// all_proxy. No proxy for a loopback server or one that no_proxy lists; no_proxy is looked at
// before the proxy's URL, so a listed server connects even when that URL is unusable.
ProxyChoice chooseProxy(const ProxyEnvironment& environment, bool secure, std::string_view host);

}  // namespace wsbridge::transport
