#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "utf8_to_utf16.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

// How long one wait for a message lasts before status and input are looked at again: a message
// ends the wait at once; a status change or an input line shows within this time.
inline constexpr std::int32_t waitMilliseconds = 5;
inline constexpr auto defaultHandshakeLimit = std::chrono::seconds(10);
inline constexpr auto defaultWaitAfterInput = std::chrono::seconds(10);
inline constexpr auto quietPeriodAfterInput = std::chrono::seconds(1);
inline constexpr int statusTextCapacity = 512;   // the library keeps at most 511 bytes
inline constexpr int closeReasonCapacity = 124;  // a close reason is at most 123 bytes
inline constexpr char headerLineEnd[] = "\r\n";

const char* statusName(std::int32_t status) {
    switch (status) {
        case WS_STATUS_DISCONNECTED:
            return "Disconnected";
        case WS_STATUS_CONNECTING:
            return "Connecting";
        case WS_STATUS_CONNECTED:
            return "Connected";
        case WS_STATUS_ERROR:
            return "Error";
        default:
            return "unknown";
    }
}

void note(const std::string& text) {
    std::fprintf(stderr, "wsbridge-cli: %s\n", text.c_str());
    std::fflush(stderr);
}

// A close reason is the server's text: control characters are shown as '?', so that it cannot
// move the cursor or end the line.
std::string printable(std::string text) {
    std::replace_if(
        text.begin(), text.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }, '?');
    return text;
}

std::string joinedHeaders(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : headerLineEnd) + line;
    return text;
}

class Session {
  public:
    Session(const BridgeFunctions& bridge, const CliOptions& options, InputLines& input)
        : bridge_(bridge),
          options_(options),
          input_(input),
          readCapacity_(options.maxMessageBytes + 1),
          // Not value-initialised: the pages are only touched as long messages fill them.
          readBuffer_(new char[readCapacity_]),
          start_(Clock::now()) {
        if (options.timeout) overallDeadline_ = start_ + *options.timeout;
    }

    SessionResult run() {
        textBeforeConnect_ = lastErrorText();
        lastStatus_ = bridge_.getStatus();
        lastText_ = textBeforeConnect_;
        const std::u16string host = utf8ToUtf16(options_.url.host);
        const std::u16string path = utf8ToUtf16(options_.url.path);
        const std::u16string headers = utf8ToUtf16(joinedHeaders(options_.headers));
        // Without --header the plain WsConnect, as a host that knows only it would call.
        const std::int32_t started =
            headers.empty()
                ? bridge_.connect(asWide(host), options_.url.port, asWide(path),
                                  options_.url.secure)
                : bridge_.connectWithHeaders(asWide(host), options_.url.port, asWide(path),
                                             options_.url.secure, asWide(headers));
        reportChanges();
        if (!started && lastStatus_ != WS_STATUS_ERROR) {
            note(
                "the library refused the --header lines: each is 'Name: value' in printable "
                "ASCII, and none of the headers the handshake writes itself");
            return {ExitCode::badCommandLine};
        }
        if (!started) return {ExitCode::handshakeFailed};

        const std::optional<SessionResult> handshake = awaitHandshake();
        if (handshake) return *handshake;
        if (connectionOpen()) {
            for (const std::string& text : options_.sends) {
                if (const std::optional<SessionResult> refused = send(text)) return *refused;
            }
        }
        return exchange();
    }

  private:
    static const WsChar16* asWide(const std::u16string& text) {
        return reinterpret_cast<const WsChar16*>(text.c_str());
    }

    std::string lastErrorText() const {
        char buffer[statusTextCapacity];
        const std::int32_t length = bridge_.getLastError(buffer, statusTextCapacity);
        return std::string(buffer, static_cast<std::size_t>(length > 0 ? length : 0));
    }

    // Prints the status and the status text whenever either has changed since the last look.
    // Both are sampled, so a state that lasts less than a poll interval may not show.
    void reportChanges() {
        const std::int32_t status = bridge_.getStatus();
        const std::string text = lastErrorText();
        if (status != WS_STATUS_DISCONNECTED || text != textBeforeConnect_) workerStarted_ = true;
        if (status == lastStatus_ && text == lastText_) return;
        lastStatus_ = status;
        lastText_ = text;
        std::fprintf(stderr, "[status %d %s]%s%s\n", static_cast<int>(status), statusName(status),
                     text.empty() ? "" : " ", text.c_str());
        std::fflush(stderr);
    }

    bool connectionOpen() const { return lastStatus_ == WS_STATUS_CONNECTED; }

    // The worker has run and the connection is over: closed by the server or broken. A status of
    // 0 before the worker has recorded anything only means it has not started yet.
    bool connectionEnded() const { return workerStarted_ && lastStatus_ == WS_STATUS_DISCONNECTED; }

    bool pastDeadline(Clock::time_point fallback) const {
        return Clock::now() >= overallDeadline_.value_or(fallback);
    }

    std::optional<SessionResult> awaitHandshake() {
        for (;;) {
            reportChanges();
            if (lastStatus_ == WS_STATUS_CONNECTED || connectionEnded()) return std::nullopt;
            if (lastStatus_ == WS_STATUS_ERROR) return SessionResult{ExitCode::handshakeFailed};
            if (pastDeadline(start_ + defaultHandshakeLimit)) {
                note("timed out waiting for the handshake");
                return SessionResult{ExitCode::timedOut, true};
            }
            bridge_.waitForMessage(waitMilliseconds);
        }
    }

    std::optional<SessionResult> send(const std::string& utf8) {
        const std::u16string text = utf8ToUtf16(utf8);
        if (text.empty()) {
            note("empty line not sent: the library sends no empty messages");
            return std::nullopt;
        }
        if (text.find(u'\0') != std::u16string::npos) {
            note("line with a NUL character not sent: the library's text ends at the first NUL");
            return std::nullopt;
        }
        lastActivity_ = Clock::now();
        if (bridge_.sendMessage(asWide(text))) return std::nullopt;
        reportChanges();
        if (!connectionOpen()) return std::nullopt;  // the loop reports the end of the connection
        note("a message of " + std::to_string(utf8.size()) + " bytes could not be sent");
        return finish(ExitCode::sendFailed);
    }

    // Reads and prints every queued message. True once the expected count has been reached.
    bool drainMessages() {
        const auto capacity = static_cast<std::int32_t>(readCapacity_);
        while (!expectationMet() && bridge_.hasMessages()) {
            const std::int32_t length = bridge_.readMessage(readBuffer_.get(), capacity);
            const std::string line =
                formatMessage(std::string_view(readBuffer_.get(), static_cast<std::size_t>(length)),
                              options_.format);
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
            if (length == capacity - 1) {
                note("a message filled the whole buffer of " + std::to_string(length) +
                     " bytes and may have been cut; see --max-size");
            }
            ++received_;
            lastActivity_ = Clock::now();
        }
        return expectationMet();
    }

    bool expectationMet() const {
        return options_.expectedMessages && received_ >= *options_.expectedMessages;
    }

    SessionResult finish(ExitCode code) {
        // Said first, so that the status text that follows reads as the result of this close.
        if (connectionOpen()) note("closing the connection");
        bridge_.disconnect();
        reportChanges();
        reportCloseStatus();
        return {code};
    }

    // How the connection ended: the server's close code and reason, or 1006 without a close.
    void reportCloseStatus() const {
        char reason[closeReasonCapacity];
        const std::int32_t code = bridge_.getCloseStatus(reason, closeReasonCapacity);
        if (code == 0) return;
        const std::string text = printable(reason);
        std::fprintf(stderr, "[close %d]%s%s\n", static_cast<int>(code), text.empty() ? "" : " ",
                     text.c_str());
        std::fflush(stderr);
    }

    SessionResult exchange() {
        std::optional<Clock::time_point> inputEndedAt;
        for (;;) {
            // Messages first: whatever is queued arrived before a change of status seen now.
            if (drainMessages()) return finish(ExitCode::done);
            reportChanges();
            if (connectionEnded()) {
                // Messages that arrived before the end stay readable after it.
                return finish(drainMessages() ? ExitCode::done : ExitCode::connectionEnded);
            }
            while (std::optional<std::string> line = input_.take()) {
                if (const std::optional<SessionResult> refused = send(*line)) return *refused;
            }
            if (!inputEndedAt && input_.exhausted()) inputEndedAt = Clock::now();
            if (inputEndedAt && !options_.expectedMessages &&
                Clock::now() - std::max(lastActivity_, *inputEndedAt) >= quietPeriodAfterInput) {
                return finish(ExitCode::done);
            }
            const Clock::time_point fallback =
                inputEndedAt ? *inputEndedAt + defaultWaitAfterInput : Clock::time_point::max();
            if (pastDeadline(fallback)) {
                note("timed out after " + std::to_string(received_) + " message(s)");
                return finish(ExitCode::timedOut);
            }
            bridge_.waitForMessage(waitMilliseconds);
        }
    }

    const BridgeFunctions& bridge_;
    const CliOptions& options_;
    InputLines& input_;
    std::size_t readCapacity_;
    std::unique_ptr<char[]> readBuffer_;
    Clock::time_point start_;
    std::optional<Clock::time_point> overallDeadline_;
    Clock::time_point lastActivity_{};
    std::string textBeforeConnect_;
    std::int32_t lastStatus_ = -1;
    std::string lastText_;
    bool workerStarted_ = false;
    long received_ = 0;
};

}  // namespace

SessionResult runSession(const BridgeFunctions& bridge, const CliOptions& options,
                         InputLines& input) {
    return Session(bridge, options, input).run();
}

}  // namespace cli
