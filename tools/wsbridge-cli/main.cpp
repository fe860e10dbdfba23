// wsbridge-cli: a command-line host for the wsbridge library. It loads the library at run time
// and uses nothing but its exported functions.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge_library.h"
#include "cli_options.h"
#include "input_lines.h"
#include "session.h"

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it builds on.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#endif

namespace {

#ifdef _WIN32
std::string toUtf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return {};
    std::string utf8(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    utf8.pop_back();  // the terminator
    return utf8;
}

// The arguments as UTF-8, whatever the ANSI code page: taken from the UTF-16 command line.
std::vector<std::string> commandLineArguments(int, char**) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; wide && i < count; ++i) arguments.push_back(toUtf8(wide[i]));
    if (wide) LocalFree(wide);
    return arguments;
}

// Messages are bytes: no newline translation on the way in or out, and a console reads and
// shows UTF-8.
void prepareStandardStreams() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    SetConsoleCP(CP_UTF8);
    SetConsoleOutputCP(CP_UTF8);
}
#else
std::vector<std::string> commandLineArguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

void prepareStandardStreams() {}
#endif

int exitWith(cli::ExitCode code) {
    return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
    prepareStandardStreams();
    const cli::ParsedCommandLine commandLine =
        cli::parseCommandLine(commandLineArguments(argc, argv));
    if (commandLine.helpRequested) {
        std::fputs(cli::usageText().c_str(), stdout);
        return exitWith(cli::ExitCode::done);
    }
    if (!commandLine.options) {
        std::fprintf(stderr, "wsbridge-cli: %s\n%sRun 'wsbridge-cli --help' for the options.\n",
                     commandLine.error.c_str(), cli::usageLine().c_str());
        return exitWith(cli::ExitCode::badCommandLine);
    }
    const cli::CliOptions& options = *commandLine.options;

    cli::BridgeLibrary library(options.libraryPath.empty() ? cli::defaultLibraryPath()
                                                           : options.libraryPath);
    if (!library.loaded()) {
        std::fprintf(stderr, "wsbridge-cli: %s\n", library.error().c_str());
        return exitWith(cli::ExitCode::libraryUnavailable);
    }
    cli::InputLines input;
    const cli::SessionResult result = cli::runSession(library.functions(), options, input);
    if (result.handshakeAbandoned) {
        // Unloading the library, here or at exit, would wait for the handshake to end.
        std::fflush(nullptr);
        std::_Exit(exitWith(result.code));
    }
    return exitWith(result.code);
}
