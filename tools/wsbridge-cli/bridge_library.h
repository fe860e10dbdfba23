// Loading the wsbridge library at run time, as a host program does, and finding its exported
// functions. Nothing else of the library is used.
#pragma once

#include <memory>
#include <string>

#include "wsbridge.h"

namespace cli {

struct BridgeFunctions {
    decltype(&WsConnect) connect = nullptr;
    decltype(&WsDisconnect) disconnect = nullptr;
    decltype(&WsGetStatus) getStatus = nullptr;
    decltype(&WsGetLastError) getLastError = nullptr;
    decltype(&WsSendMessage) sendMessage = nullptr;
    decltype(&WsHasMessages) hasMessages = nullptr;
    decltype(&WsReadMessage) readMessage = nullptr;
    decltype(&WsWaitForMessage) waitForMessage = nullptr;
    decltype(&WsGetMessageLength) getMessageLength = nullptr;
    decltype(&WsGetCloseStatus) getCloseStatus = nullptr;
    decltype(&WsConnectWithHeaders) connectWithHeaders = nullptr;
};

// Owns the loaded library: unloading it (which ends any connection) happens in the destructor.
class BridgeLibrary {
  public:
    // Loads the library at path (UTF-8). On failure functions() is unusable and error() says why.
    explicit BridgeLibrary(const std::string& path);
    ~BridgeLibrary();
    BridgeLibrary(const BridgeLibrary&) = delete;
    BridgeLibrary& operator=(const BridgeLibrary&) = delete;

    bool loaded() const { return error_.empty(); }
    const std::string& error() const { return error_; }
    const BridgeFunctions& functions() const { return functions_; }

  private:
    void* handle_ = nullptr;
    BridgeFunctions functions_;
    std::string error_;
};

// The library's file in the directory that holds the running executable.
std::string defaultLibraryPath();

}  // namespace cli
