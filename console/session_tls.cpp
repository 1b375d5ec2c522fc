#include "session_tls.hpp"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace console {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("cannot make the session's certificate: ") + what);
}

std::string hex(const unsigned char* data, std::size_t n) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

}  // namespace

struct SessionTls::Keys {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    ~Keys() {
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

std::string random_token(std::size_t bytes) {
    std::string raw(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1)
        throw std::runtime_error("no random bytes for the session token");
    return hex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

SessionTls::SessionTls() : keys_(std::make_unique<Keys>()) {
    keys_->key = EVP_EC_gen("P-256");
    if (!keys_->key) fail("key generation");
    X509* cert = X509_new();
    if (!cert) fail("X509_new");
    keys_->cert = cert;
    X509_set_version(cert, 2);
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) fail("serial number");
    serial[0] &= 0x7f;
    BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
    if (!bn || !BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert))) fail("serial number");
    BN_free(bn);
    X509_gmtime_adj(X509_getm_notBefore(cert), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1,
                               0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, keys_->key);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    for (auto [nid, value] :
         {std::pair{NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"},
          std::pair{NID_basic_constraints, "critical,CA:FALSE"}, std::pair{NID_ext_key_usage, "serverAuth"}}) {
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
        if (!ext || !X509_add_ext(cert, ext, -1)) fail("certificate extension");
        X509_EXTENSION_free(ext);
    }
    if (!X509_sign(cert, keys_->key, EVP_sha256())) fail("signature");

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (X509_digest(cert, EVP_sha256(), digest, &n) != 1) fail("digest");
    pin_ = "sha256:" + hex(digest, n);
}

SessionTls::~SessionTls() = default;

boost::asio::ssl::context SessionTls::server_context() const {
    boost::asio::ssl::context ctx(boost::asio::ssl::context::tls_server);
    if (SSL_CTX_use_certificate(ctx.native_handle(), keys_->cert) != 1 ||
        SSL_CTX_use_PrivateKey(ctx.native_handle(), keys_->key) != 1)
        fail("loading into the TLS context");
    return ctx;
}

}  // namespace console
