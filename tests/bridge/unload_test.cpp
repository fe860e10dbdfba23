// Loads the library as a host does, over the fake transport, and unloads it while connected.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex eventsLock;
std::vector<std::string> events;

void recordEvent(const char* line) {
    std::lock_guard<std::mutex> lock(eventsLock);
    events.emplace_back(line);
}

template <typename Function>
Function symbol(void* library, const char* name) {
    return reinterpret_cast<Function>(dlsym(library, name));
}

}  // namespace

TEST(UnloadTest, UnloadWhileConnectedClosesWith1000AndJoinsTheWorker) {
    void* library = dlopen(FAKE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto connect =
        symbol<int (*)(const char16_t*, int, const char16_t*, int)>(library, "WsConnect");
    auto getStatus = symbol<int (*)()>(library, "WsGetStatus");
    auto getLastError = symbol<int (*)(char*, int)>(library, "WsGetLastError");
    auto script = symbol<void (*)(void (*)(const char*))>(library, "fakeScriptBlockingReceive");
    ASSERT_TRUE(connect && getStatus && getLastError && script);

    char text[64] = "unset";
    EXPECT_EQ(getStatus(), 0) << "after load, disconnected";
    EXPECT_EQ(getLastError(text, sizeof text), 0);
    EXPECT_STREQ(text, "") << "after load, the empty text";

    {
        std::lock_guard<std::mutex> lock(eventsLock);
        events.clear();
    }
    script(recordEvent);
    ASSERT_EQ(connect(u"server.test", 443, u"/", 1), 1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(eventsLock);
            if (!events.empty() && events.back() == "Receive") break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(getStatus(), 2);
    ASSERT_EQ(dlclose(library), 0);

    // What happened by the time dlclose returned, in the detailed lines the fake reports.
    std::lock_guard<std::mutex> lock(eventsLock);
    std::vector<std::string> closes;
    bool receiveReturned = false;
    for (const std::string& line : events) {
        if (line == "Receive returned")
            receiveReturned = true;
        else if (line.find(' ') != std::string::npos)
            closes.push_back(line);
    }
    EXPECT_TRUE(receiveReturned) << "the worker's pending receive ended";
    EXPECT_EQ(closes, (std::vector<std::string>{"CloseHandle Request", "WebSocketClose 1000",
                                                "CloseHandle WebSocket", "CloseHandle Connection",
                                                "CloseHandle Session"}));
}

TEST(UnloadTest, AfterLoadNothingHasEndedAndNothingIsWaitedFor) {
    void* library = dlopen(FAKE_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto getCloseStatus = symbol<int (*)(char*, int)>(library, "WsGetCloseStatus");
    auto waitForMessage = symbol<int (*)(int)>(library, "WsWaitForMessage");
    auto getMessageLength = symbol<int (*)()>(library, "WsGetMessageLength");
    ASSERT_TRUE(getCloseStatus && waitForMessage && getMessageLength);
    char reason[8] = "unset";
    EXPECT_EQ(getCloseStatus(reason, sizeof reason), 0);
    EXPECT_STREQ(reason, "");
    EXPECT_EQ(getMessageLength(), -1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(waitForMessage(-1), 0) << "no connection is under way";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ASSERT_EQ(dlclose(library), 0);
}
