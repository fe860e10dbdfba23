#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace reliability {
namespace {

using namespace std::chrono_literals;

constexpr auto pollSlice = 5ms;

void readAvailable(int fd, std::string& into) {
    char buffer[4096];
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, 0) > 0) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count <= 0) return;
        into.append(buffer, static_cast<std::size_t>(count));
    }
}

}  // namespace

ChildResult runChild(const std::vector<std::string>& arguments, std::chrono::milliseconds limit) {
    ChildResult result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(out[0]);
        return result;
    }
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        readAvailable(out[0], result.output);
        if (std::chrono::steady_clock::now() - start > limit) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(pollSlice);
    }
    result.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    readAvailable(out[0], result.output);
    ::close(out[0]);
    result.exited = result.took <= limit && (WIFEXITED(status) || WIFSIGNALED(status));
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

}  // namespace reliability
