#pragma once
// How the kernel connects, from its environment: TLS or not, what the server must prove
// (a CA bundle, a pinned certificate), the token the kernel presents, and the keep-alive interval.
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace gridlet {

using CertificateDigest = std::array<unsigned char, 32>;  // SHA-256 of a certificate's DER

struct ConnectionSettings {
    bool secured = true;                             // GRIDLET_SECURED: wss:// unless "0"
    std::string ca_file;                             // GRIDLET_TLS_CA_FILE: the server's chain must verify
    std::optional<CertificateDigest> pin;            // GRIDLET_TLS_PIN: only this server certificate
    std::string auth_token;                          // GRIDLET_AUTH_TOKEN: sent as "Authorization: Bearer"
    std::chrono::milliseconds ping_interval{20000};  // GRIDLET_PING_INTERVAL; 0: no pings

    bool verifies_server() const { return !ca_file.empty() || pin.has_value(); }
};

// Reads the settings from the environment and removes GRIDLET_AUTH_TOKEN from it (from the
// process's own copy too), so that the interpreter, user code and child processes never see it.
// Returns nothing and sets `error` when a variable holds something unusable.
std::optional<ConnectionSettings> take_connection_settings(std::string& error);

// "sha256:" + 64 hex digits (colons between byte pairs allowed, any case).
std::optional<CertificateDigest> parse_pin(std::string_view text);
std::string format_pin(const CertificateDigest& digest);

}  // namespace gridlet
