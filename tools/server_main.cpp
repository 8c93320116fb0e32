// pellox-server: the local OSCAR server as a program. Runs until SIGINT or SIGTERM;
// SIGUSR1 drops every signed-on messaging connection, for trying out reconnecting.
#include <pthread.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
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

    // The signals are taken by a thread of their own with sigwait, from before
    // start-up on; every thread started later inherits the blocked mask, so none
    // of them is interrupted by them. A stop asked for during start-up ends the
    // program at once: nothing is written before the server runs.
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
    std::mutex lock;
    std::condition_variable stopAsked;
    bool running = false;
    bool stop = false;
    std::thread([&] {
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) != 0) continue;
            std::unique_lock<std::mutex> guard(lock);
            if (signal == SIGUSR1) {
                if (!running) continue;
                const std::size_t dropped = server.DropEveryConnection();
                std::printf("pellox-server dropped %zu connections\n", dropped);
                std::fflush(stdout);
                continue;
            }
            if (!running) {
                std::fputs("pellox-server: stopped during start-up\n", stderr);
                std::_Exit(1);
            }
            stop = true;
            stopAsked.notify_one();
            return;
        }
    }).detach();

    std::string error;
    if (!server.Start(line.config, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        // Not a return: the signal thread still waits on what this frame holds.
        std::fflush(stderr);
        std::_Exit(1);
    }
    std::unique_lock<std::mutex> guard(lock);
    running = true;
    using pellox::platform::Endpoint;
    std::printf("pellox-server listening auth %s bos %s",
                FormatEndpoint(Endpoint(server.BindAddress(), server.AuthPort())).c_str(),
                FormatEndpoint(Endpoint(server.BindAddress(), server.BosPort())).c_str());
    if (server.TlsPort() != 0) {
        std::printf(" tls %s\npellox-server tls fingerprint %s\n",
                    FormatEndpoint(Endpoint(server.BindAddress(), server.TlsPort())).c_str(),
                    server.TlsFingerprint().c_str());
        if (server.TlsCertificateCreated()) {
            std::fprintf(stderr, "pellox-server: made a self-signed TLS certificate in %s\n",
                         line.config.dataDirectory.c_str());
        }
    } else {
        std::printf("\n");
    }
    std::fflush(stdout);
    stopAsked.wait(guard, [&] { return stop; });
    guard.unlock();
    server.Stop();
    return 0;
}
