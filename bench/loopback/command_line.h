// "--name value" options for the loopback tools. Unknown names and malformed numbers are errors,
// so a typo in the bench script fails the run instead of measuring the wrong thing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

namespace loopback {

class CommandLine {
  public:
    // argv[1] is the mode; the rest are "--name value" pairs whose names must be in `known`.
    CommandLine(int argc, char** argv, const std::set<std::string>& known) {
        if (argc < 2) {
            valid_ = false;
            return;
        }
        mode_ = argv[1];
        for (int i = 2; i < argc; i += 2) {
            const std::string name = argv[i];
            if (name.rfind("--", 0) != 0 || i + 1 >= argc || !known.count(name.substr(2))) {
                std::fprintf(stderr, "bad option: %s\n", name.c_str());
                valid_ = false;
                return;
            }
            values_[name.substr(2)] = argv[i + 1];
        }
    }

    bool valid() const { return valid_; }
    const std::string& mode() const { return mode_; }

    std::string text(const std::string& name, const std::string& fallback = {}) const {
        const auto found = values_.find(name);
        return found == values_.end() ? fallback : found->second;
    }

    std::uint64_t number(const std::string& name, std::uint64_t fallback) {
        const auto found = values_.find(name);
        if (found == values_.end()) return fallback;
        char* end = nullptr;
        const unsigned long long value = std::strtoull(found->second.c_str(), &end, 10);
        if (end == found->second.c_str() || *end != '\0') {
            std::fprintf(stderr, "bad number for --%s: %s\n", name.c_str(), found->second.c_str());
            valid_ = false;
        }
        return value;
    }

  private:
    bool valid_ = true;
    std::string mode_;
    std::map<std::string, std::string> values_;
};

}  // namespace loopback
