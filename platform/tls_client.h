// The client side of TLS as the login's connections use it. A program that links
// the TLS code (the local server, the tests) gets it directly; one that does not
// (the application: its connections are plain unless a profile asks for TLS)
// loads it, and the cryptography library with it, from a module of its own the
// first time a connection asks, so that a start-up and a plain sign-on never map
// that library.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "platform/socket.h"
#include "platform/stream.h"
#include "platform/tls.h"

namespace pellox::platform {

// A client TlsStream over the connected socket, which it takes over; nullptr with
// `error` set (and the socket closed) when the TLS code cannot be loaded.
std::unique_ptr<Stream> StartTlsClient(SocketHandle socket, TlsClientOptions options,
                                       std::string& error);
// The handshake of a stream StartTlsClient made (TlsStream::Connect).
TlsOutcome ConnectTlsClient(Stream& stream, std::chrono::steady_clock::time_point deadline);

}  // namespace pellox::platform

// What StartTlsClient and ConnectTlsClient call: defined by the TLS code, looked
// up in the module when the program does not hold it.
extern "C" {
pellox::platform::Stream* PelloxNewTlsClient(pellox::platform::SocketHandle socket,
                                             const pellox::platform::TlsClientOptions* options);
void PelloxConnectTlsClient(pellox::platform::Stream* stream,
                            const std::chrono::steady_clock::time_point* deadline,
                            pellox::platform::TlsOutcome* outcome);
}
