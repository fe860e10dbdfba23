// The table behind every HINTERNET: a handle value is a key into it, never a pointer, and no
// value is handed out twice in the life of the process. An object lives as long as the table or
// an operation still holds it, so closing a handle while another thread is inside an operation on
// it only wakes that operation; the memory goes when the last user has left.
#pragma once

#include <memory>

#include "transport/linux/winhttp_decls.h"

namespace wsbridge::transport {

enum class HandleKind { Session, Connection, Request, WebSocket };

class HandleObject {
  public:
    explicit HandleObject(HandleKind kind) : kind_(kind) {}
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;
    virtual ~HandleObject() = default;

    HandleKind kind() const { return kind_; }

    // Runs once, when WinHttpCloseHandle has taken the handle out of the table: operations
    // still running on the object must return promptly.
    virtual void onHandleClosed() {}

  private:
    HandleKind kind_;
};

// Enters the object and returns its new handle; null (last error set) when memory runs out.
HINTERNET registerHandle(std::shared_ptr<HandleObject> object);

// The object behind a handle, or null with the error to report: ERROR_INVALID_HANDLE for an
// unknown or closed handle, ERROR_WINHTTP_INCORRECT_HANDLE_TYPE for one of another kind.
std::shared_ptr<HandleObject> findHandle(HINTERNET handle, HandleKind kind, DWORD& error);

template <typename Object>
std::shared_ptr<Object> findHandleOf(HINTERNET handle, DWORD& error) {
    return std::static_pointer_cast<Object>(findHandle(handle, Object::handleKind, error));
}

// Takes the handle out of the table and wakes its object's operations. False for an unknown or
// already closed handle.
bool unregisterHandle(HINTERNET handle);

}  // namespace wsbridge::transport
