#include "transport/linux/handle_table.h"

#include <cstdint>
#include <mutex>
#include <new>
#include <unordered_map>

namespace wsbridge::transport {
namespace {

using HandleKey = std::uintptr_t;

class Registry {
  public:
    HINTERNET add(std::shared_ptr<HandleObject> object) {
        std::lock_guard<std::mutex> lock(lock_);
        const HandleKey key = nextKey_++;  // 64 bits: never wraps, so never reused
        objects_.emplace(key, std::move(object));
        return reinterpret_cast<HINTERNET>(key);
    }

    std::shared_ptr<HandleObject> find(HINTERNET handle) {
        std::lock_guard<std::mutex> lock(lock_);
        const auto found = objects_.find(reinterpret_cast<HandleKey>(handle));
        return found == objects_.end() ? nullptr : found->second;
    }

    std::shared_ptr<HandleObject> remove(HINTERNET handle) {
        std::lock_guard<std::mutex> lock(lock_);
        const auto found = objects_.find(reinterpret_cast<HandleKey>(handle));
        if (found == objects_.end()) return nullptr;
        std::shared_ptr<HandleObject> object = std::move(found->second);
        objects_.erase(found);
        return object;
    }

  private:
    std::mutex lock_;
    std::unordered_map<HandleKey, std::shared_ptr<HandleObject>> objects_;
    HandleKey nextKey_ = 1;
};

// Never destroyed: the bridge closes its handles from a static destructor at unload and at
// process exit, which may run after any destructor of ours would have.
Registry& registry() {
    static Registry* const instance = new Registry;
    return *instance;
}

}  // namespace

HINTERNET registerHandle(std::shared_ptr<HandleObject> object) {
    try {
        return registry().add(std::move(object));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<HandleObject> findHandle(HINTERNET handle, HandleKind kind, DWORD& error) {
    std::shared_ptr<HandleObject> object = registry().find(handle);
    if (!object) {
        error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (object->kind() != kind) {
        error = ERROR_WINHTTP_INCORRECT_HANDLE_TYPE;
        return nullptr;
    }
    error = ERROR_SUCCESS;
    return object;
}

bool unregisterHandle(HINTERNET handle) {
    // The object may outlive this call, held by an operation still running on another thread.
    const std::shared_ptr<HandleObject> object = registry().remove(handle);
    if (!object) return false;
    object->onHandleClosed();
    return true;
}

}  // namespace wsbridge::transport
