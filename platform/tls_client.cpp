#include "platform/tls_client.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <vector>

// Weak: a program without the TLS code links all the same, and finds the two
// null; the module then provides them.
#pragma weak PelloxNewTlsClient
#pragma weak PelloxConnectTlsClient

namespace pellox::platform {
namespace {

struct TlsEntryPoints {
    decltype(&PelloxNewTlsClient) start = nullptr;
    decltype(&PelloxConnectTlsClient) connect = nullptr;
    std::string error;  // why they are missing
};

// The directory of the running executable, with a trailing '/'; empty when
// unknown.
std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    const std::string text(path, static_cast<std::size_t>(n));
    return text.substr(0, text.rfind('/') + 1);
}

// The module beside the executable (the build tree, a copy run from elsewhere),
// where the install rules put it, and where it was built.
std::vector<std::string> ModulePaths() {
    std::vector<std::string> paths;
    const std::string dir = ExecutableDirectory();
    if (!dir.empty()) {
        paths.push_back(dir + PELLOX_TLS_MODULE_NAME);
        paths.push_back(dir + PELLOX_INSTALLED_TLS_MODULE);
    }
    paths.push_back(PELLOX_BUILD_TLS_MODULE);
    return paths;
}

TlsEntryPoints Load() {
    TlsEntryPoints entry;
    if (&PelloxNewTlsClient != nullptr && &PelloxConnectTlsClient != nullptr) {
        entry.start = &PelloxNewTlsClient;
        entry.connect = &PelloxConnectTlsClient;
        return entry;
    }
    for (const std::string& path : ModulePaths()) {
        // Kept loaded for the rest of the process: streams it made may live on.
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module == nullptr) {
            const char* error = ::dlerror();
            if (entry.error.empty() && error != nullptr) entry.error = error;
            continue;
        }
        entry.start = reinterpret_cast<decltype(entry.start)>(::dlsym(module, "PelloxNewTlsClient"));
        entry.connect =
            reinterpret_cast<decltype(entry.connect)>(::dlsym(module, "PelloxConnectTlsClient"));
        if (entry.start != nullptr && entry.connect != nullptr) return entry;
        entry = TlsEntryPoints{nullptr, nullptr, path + ": not the TLS module"};
    }
    if (entry.error.empty()) entry.error = "the TLS module was not found";
    return entry;
}

const TlsEntryPoints& EntryPoints() {
    static const TlsEntryPoints entry = Load();
    return entry;
}

}  // namespace

std::unique_ptr<Stream> StartTlsClient(SocketHandle socket, TlsClientOptions options,
                                       std::string& error) {
    const TlsEntryPoints& entry = EntryPoints();
    if (entry.start == nullptr) {
        CloseSocket(socket);
        error = entry.error;
        return nullptr;
    }
    return std::unique_ptr<Stream>(entry.start(socket, &options));
}

TlsOutcome ConnectTlsClient(Stream& stream, std::chrono::steady_clock::time_point deadline) {
    TlsOutcome outcome;
    EntryPoints().connect(&stream, &deadline, &outcome);
    return outcome;
}

}  // namespace pellox::platform
