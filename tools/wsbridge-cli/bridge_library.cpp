#include "bridge_library.h"

#include <string_view>

#ifdef _WIN32
#include <windows.h>

#include "utf8_to_utf16.h"
#else
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#endif

#ifndef WSBRIDGE_LIBRARY_FILE_NAME
#ifdef _WIN32
#define WSBRIDGE_LIBRARY_FILE_NAME "wsbridge.dll"
#else
#define WSBRIDGE_LIBRARY_FILE_NAME "libwsbridge.so.0"
#endif
#endif

namespace cli {
namespace {

#ifdef _WIN32
inline constexpr char pathSeparator = '\\';

void* openLibrary(const std::string& path, std::string& error) {
    const std::u16string widePath = utf8ToUtf16(path);
    HMODULE module = LoadLibraryW(reinterpret_cast<const wchar_t*>(widePath.c_str()));
    if (!module)
        error = "cannot load '" + path + "' (Error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
}

void* findSymbol(void* handle, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle), name));
}

void closeLibrary(void* handle) {
    FreeLibrary(static_cast<HMODULE>(handle));
}

std::string executablePath() {
    wchar_t buffer[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string path(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(length), path.data(), size, nullptr,
                        nullptr);
    return path;
}
#else
inline constexpr char pathSeparator = '/';

void* openLibrary(const std::string& path, std::string& error) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        error = reason ? reason : "cannot load '" + path + "'";
    }
    return handle;
}

void* findSymbol(void* handle, const char* name) {
    return dlsym(handle, name);
}

void closeLibrary(void* handle) {
    dlclose(handle);
}

std::string executablePath() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return {};
    return std::string(buffer, static_cast<std::size_t>(length));
}
#endif

template <typename Function>
bool bind(void* handle, const char* name, Function& slot, std::string& error) {
    slot = reinterpret_cast<Function>(findSymbol(handle, name));
    if (!slot && error.empty()) error = std::string("the library has no function ") + name;
    return slot != nullptr;
}

}  // namespace

BridgeLibrary::BridgeLibrary(const std::string& path) {
    handle_ = openLibrary(path, error_);
    if (!handle_) return;
    bind(handle_, "WsConnect", functions_.connect, error_);
    bind(handle_, "WsDisconnect", functions_.disconnect, error_);
    bind(handle_, "WsGetStatus", functions_.getStatus, error_);
    bind(handle_, "WsGetLastError", functions_.getLastError, error_);
    bind(handle_, "WsSendMessage", functions_.sendMessage, error_);
    bind(handle_, "WsHasMessages", functions_.hasMessages, error_);
    bind(handle_, "WsReadMessage", functions_.readMessage, error_);
    if (!error_.empty()) error_ = "'" + path + "': " + error_;
}

BridgeLibrary::~BridgeLibrary() {
    if (handle_) closeLibrary(handle_);
}

std::string defaultLibraryPath() {
    const std::string executable = executablePath();
    const std::size_t separator = executable.find_last_of(pathSeparator);
    if (separator == std::string::npos) return WSBRIDGE_LIBRARY_FILE_NAME;
    return executable.substr(0, separator + 1) + WSBRIDGE_LIBRARY_FILE_NAME;
}

}  // namespace cli
