#pragma once
// What the kernel asks of the server's certificate. Without GRIDLET_TLS_CA_FILE or GRIDLET_TLS_PIN
// any certificate is accepted (the Business Layer runs on this machine with its own). With a CA
// bundle the chain must verify against it and name 127.0.0.1 or localhost; with a pin the server
// certificate's SHA-256 must be the pinned one. A failure ends the attempt before the upgrade.
#include <boost/asio/ssl.hpp>

#include <string>

#include "messaging/connection_settings.hpp"

namespace gridlet {

// A client TLS context for these settings. Throws std::runtime_error when the CA bundle cannot
// be loaded.
boost::asio::ssl::context make_client_tls_context(const ConnectionSettings& settings);

// After a failed TLS handshake: why the chain was refused, or "" when verification was not the cause.
std::string chain_failure(SSL* ssl, const ConnectionSettings& settings);

// After a completed TLS handshake: why the server certificate is refused, or "" when it is accepted.
std::string certificate_failure(SSL* ssl, const ConnectionSettings& settings);

}  // namespace gridlet
