// Drives the exported functions over the fake transport, with bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/fake/fake_transport.h"
#include "wsbridge.h"

class BridgeTest : public ::testing::Test {
  protected:
    void TearDown() override {
        fake().releaseHandshake();
        WsDisconnect();
    }

    static fake::FakeTransport& fake() { return fake::FakeTransport::instance(); }

    // Scripts the fake and connects; the handshake then runs on the worker.
    static void connectWith(fake::Script script, const char16_t* host = u"server.test",
                            int port = 443, const char16_t* path = u"/feed", int secure = 1) {
        WsDisconnect();
        fake().reset(std::move(script));
        ASSERT_EQ(WsConnect(host, port, path, secure), 1);
    }

    static bool waitForStatus(int status,
                              std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (WsGetStatus() != status) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Polls (bounded) until the predicate holds on what the host and the fake can see.
    template <typename Predicate>
    static bool eventually(Predicate predicate,
                           std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!predicate(fake().record())) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Waits until the worker has ended its receive loop by itself: transport closed, status 0.
    static bool waitForWorkerEnd() {
        return fake().waitUntil([](const fake::Record& r) {
            return !r.closedHandles.empty() &&
                   r.closedHandles.back().kind == fake::HandleKind::Session;
        }) && waitForStatus(WS_STATUS_DISCONNECTED);
    }

    static bool waitForMessages() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!WsHasMessages()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    static std::string lastError() {
        char buffer[600];
        const int length = WsGetLastError(buffer, sizeof buffer);
        return std::string(buffer, static_cast<std::size_t>(length));
    }

    static std::vector<std::string> drainMessages() {
        std::vector<std::string> messages;
        std::vector<char> buffer(4 * 65536 + 1);
        while (WsHasMessages() && messages.size() < 1000) {
            const int length = WsReadMessage(buffer.data(), static_cast<int>(buffer.size()));
            messages.emplace_back(buffer.data(), static_cast<std::size_t>(length));
        }
        return messages;
    }

    static std::vector<fake::HandleKind> closedKinds() {
        std::vector<fake::HandleKind> kinds;
        for (const auto& closed : fake().record().closedHandles) kinds.push_back(closed.kind);
        return kinds;
    }
};
