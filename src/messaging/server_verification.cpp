#include "messaging/server_verification.hpp"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace gridlet {

namespace asio = boost::asio;

asio::ssl::context make_client_tls_context(const ConnectionSettings& settings) {
    asio::ssl::context ctx(asio::ssl::context::tls_client);
    if (settings.ca_file.empty()) {
        // Any chain passes the handshake; a pin, if any, is checked on the certificate afterwards.
        ctx.set_verify_mode(asio::ssl::verify_none);
        return ctx;
    }
    boost::system::error_code ec;
    ctx.load_verify_file(settings.ca_file, ec);
    if (ec)
        throw std::runtime_error("GRIDLET_TLS_CA_FILE: no certificates could be loaded from " + settings.ca_file +
                                 " (" + ec.message() + ")");
    ctx.set_verify_mode(asio::ssl::verify_peer);
    return ctx;
}

std::string chain_failure(SSL* ssl, const ConnectionSettings& settings) {
    if (settings.ca_file.empty() || !ssl) return {};
    long result = SSL_get_verify_result(ssl);
    if (result == X509_V_OK) return {};
    return "TLS: the server's certificate chain does not verify against GRIDLET_TLS_CA_FILE (" +
           std::string(X509_verify_cert_error_string(result)) + ")";
}

std::string certificate_failure(SSL* ssl, const ConnectionSettings& settings) {
    if (!settings.verifies_server()) return {};
    X509* cert = ssl ? SSL_get0_peer_certificate(ssl) : nullptr;
    if (!cert) return "TLS: the server presented no certificate";
    if (!settings.ca_file.empty()) {
        if (SSL_get_verify_result(ssl) != X509_V_OK) return chain_failure(ssl, settings);
        bool named =
            X509_check_ip_asc(cert, "127.0.0.1", 0) == 1 || X509_check_host(cert, "localhost", 0, 0, nullptr) == 1;
        if (!named) return "TLS: the server's certificate names neither 127.0.0.1 nor localhost";
    }
    if (settings.pin) {
        CertificateDigest digest{};
        unsigned int n = 0;
        if (X509_digest(cert, EVP_sha256(), digest.data(), &n) != 1 || n != digest.size())
            return "TLS: the server certificate's SHA-256 could not be computed";
        if (digest != *settings.pin)
            return "TLS: the server's certificate does not match GRIDLET_TLS_PIN (the server presented " +
                   format_pin(digest) + ")";
    }
    return {};
}

}  // namespace gridlet
