// Lines of standard input, read on a thread of their own so that the polling loop never waits
// for the user.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace cli {

class InputLines {
  public:
    // Starts the reader. It is detached: a read blocked on a terminal cannot be interrupted
    // portably, and the process may end while it waits. Its state is shared, so it outlives this.
    InputLines();

    // The next complete line without its line ending, if one is waiting.
    std::optional<std::string> take();

    // True once the input has ended and every line has been taken.
    bool exhausted() const;

  private:
    struct Shared;
    static void readLines(const std::shared_ptr<Shared>& shared);
    std::shared_ptr<Shared> shared_;
};

}  // namespace cli
