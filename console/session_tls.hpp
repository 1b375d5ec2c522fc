// What the console proves on the kernel's connection: a certificate made for this session (key
// and certificate in memory only) that the kernel is told to pin. And the random token that the
// kernel must present in its upgrade request.
#pragma once

#include <boost/asio/ssl.hpp>

#include <memory>
#include <string>

namespace console {

class SessionTls {
public:
    // A fresh P-256 key and a self-signed certificate for 127.0.0.1 and localhost, valid for a day.
    // Throws std::runtime_error when OpenSSL fails.
    SessionTls();
    ~SessionTls();
    SessionTls(const SessionTls&) = delete;
    SessionTls& operator=(const SessionTls&) = delete;

    // "sha256:" + the hex SHA-256 of the certificate's DER (GRIDLET_TLS_PIN).
    const std::string& pin() const { return pin_; }
    // A server context presenting the session's certificate.
    boost::asio::ssl::context server_context() const;

private:
    struct Keys;
    std::unique_ptr<Keys> keys_;
    std::string pin_;
};

// `bytes` random bytes as hex (the session token).
std::string random_token(std::size_t bytes = 32);

}  // namespace console
