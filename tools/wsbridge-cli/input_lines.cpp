#include "input_lines.h"

#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace cli {

struct InputLines::Shared {
    mutable std::mutex lock;
    std::deque<std::string> lines;
    bool ended = false;
};

void InputLines::readLines(const std::shared_ptr<Shared>& shared) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();  // a CRLF line ending
        std::lock_guard<std::mutex> guard(shared->lock);
        shared->lines.push_back(std::move(line));
        line = std::string();
    }
    std::lock_guard<std::mutex> guard(shared->lock);
    shared->ended = true;
}

InputLines::InputLines() : shared_(std::make_shared<Shared>()) {
    std::thread([shared = shared_] { readLines(shared); }).detach();
}

std::optional<std::string> InputLines::take() {
    std::lock_guard<std::mutex> guard(shared_->lock);
    if (shared_->lines.empty()) return std::nullopt;
    std::string line = std::move(shared_->lines.front());
    shared_->lines.pop_front();
    return line;
}

bool InputLines::exhausted() const {
    std::lock_guard<std::mutex> guard(shared_->lock);
    return shared_->ended && shared_->lines.empty();
}

}  // namespace cli
