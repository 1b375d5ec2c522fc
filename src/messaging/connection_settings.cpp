#include "messaging/connection_settings.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace gridlet {

namespace {

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Takes the token out of the environment. unsetenv only drops the pointer: the text stays in the
// process's initial environment block, which /proc/self/environ shows, so it is wiped in place.
std::string take_token() {
    static constexpr std::string_view prefix = "GRIDLET_AUTH_TOKEN=";
    std::string token;
    char* entry = nullptr;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, prefix.data(), prefix.size()) == 0) {
            entry = *e;
            token = entry + prefix.size();
            break;
        }
    }
    if (!entry) return token;
    ::unsetenv("GRIDLET_AUTH_TOKEN");
    // Later duplicates, if any, are removed by unsetenv too; wipe only the one read.
    char* value = entry + prefix.size();
    std::size_t n = std::strlen(value);
    volatile char* p = value;
    for (std::size_t i = 0; i < n; ++i) p[i] = '\0';
    return token;
}

bool header_safe(std::string_view token) {
    for (unsigned char c : token)
        if (c < 0x21 || c > 0x7e) return false;
    return true;
}

}  // namespace

std::optional<CertificateDigest> parse_pin(std::string_view text) {
    static constexpr std::string_view scheme = "sha256:";
    if (text.size() < scheme.size()) return std::nullopt;
    for (std::size_t i = 0; i < scheme.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != scheme[i]) return std::nullopt;
    text.remove_prefix(scheme.size());
    CertificateDigest digest{};
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == ':' && n > 0 && i + 1 < text.size()) {
            ++i;
            continue;
        }
        if (i + 1 >= text.size() || n >= digest.size()) return std::nullopt;
        int hi = hex_value(text[i]), lo = hex_value(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        digest[n++] = static_cast<unsigned char>(hi * 16 + lo);
        i += 2;
    }
    if (n != digest.size()) return std::nullopt;
    return digest;
}

std::string format_pin(const CertificateDigest& digest) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "sha256:";
    for (unsigned char b : digest) {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

std::optional<ConnectionSettings> take_connection_settings(std::string& error) {
    ConnectionSettings s;
    s.auth_token = take_token();
    if (!header_safe(s.auth_token)) {
        error = "GRIDLET_AUTH_TOKEN may hold only visible ASCII characters (no spaces or control characters)";
        return std::nullopt;
    }
    const char* secured = std::getenv("GRIDLET_SECURED");
    s.secured = !(secured && std::string_view(secured) == "0");
    if (const char* pin = env("GRIDLET_TLS_PIN")) {
        s.pin = parse_pin(pin);
        if (!s.pin) {
            error =
                "GRIDLET_TLS_PIN must be \"sha256:\" followed by the 64 hex digits of the SHA-256 of the "
                "server certificate's DER";
            return std::nullopt;
        }
    }
    if (const char* ca = env("GRIDLET_TLS_CA_FILE")) {
        s.ca_file = ca;
        std::ifstream in(s.ca_file);
        if (!in) {
            error = "GRIDLET_TLS_CA_FILE: cannot read " + s.ca_file;
            return std::nullopt;
        }
    }
    if (s.verifies_server() && !s.secured) {
        error = "GRIDLET_TLS_PIN and GRIDLET_TLS_CA_FILE need a wss:// connection, but GRIDLET_SECURED is 0";
        return std::nullopt;
    }
    if (const char* ping = env("GRIDLET_PING_INTERVAL")) {
        char* end = nullptr;
        double seconds = std::strtod(ping, &end);
        if (!end || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 86400) {
            error = "GRIDLET_PING_INTERVAL is a number of seconds (0 turns the pings off)";
            return std::nullopt;
        }
        s.ping_interval = std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
    }
    return s;
}

}  // namespace gridlet
