// pellox-server: the local OSCAR server as a program. Runs until SIGINT or SIGTERM;
// SIGUSR1 drops every signed-on messaging connection, for trying out reconnecting.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "tools/oscar_server.h"

int main(int argc, char** argv) {
    using namespace pellox::server;
    const std::string program = argc > 0 ? argv[0] : "pellox-server";
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    CommandLine line = ParseCommandLine(args);
    if (line.action == CommandLine::Action::Help) {
        std::fputs(UsageText(program).c_str(), stdout);
        return 0;
    }
    if (line.action == CommandLine::Action::Error) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), line.error.c_str());
        return 2;
    }

    // The signals are taken by sigwait below; every thread started later inherits
    // the blocked mask, so none of them is interrupted by them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A standard error whose reader has gone fails the log's writes instead of
    // ending the server.
    std::signal(SIGPIPE, SIG_IGN);

    OscarServer server;
    std::string error;
    if (!server.Start(line.config, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        return 1;
    }
    std::printf("pellox-server listening auth %s bos %s\n",
                pellox::platform::FormatEndpoint({server.BindAddress(), server.AuthPort()}).c_str(),
                pellox::platform::FormatEndpoint({server.BindAddress(), server.BosPort()}).c_str());
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&signals, &signal) == 0 && signal == SIGUSR1) {
        const std::size_t dropped = server.DropEveryConnection();
        std::printf("pellox-server dropped %zu connections\n", dropped);
        std::fflush(stdout);
    }
    server.Stop();
    return 0;
}
