#include "support/tls_server_side.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace qel::test {

std::string testCertDir() { return QEL_TEST_CERT_DIR; }
std::string testCertFile(const std::string& name) { return testCertDir() + "/" + name; }

namespace {

std::string lastError(const char* what) {
  char text[256];
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  ERR_clear_error();
  return std::string(what) + ": " + text;
}

SSL* sslOf(void* p) { return static_cast<SSL*>(p); }

}  // namespace

ServerTls::ServerTls(int fd, const std::string& certName) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  context_ = context;
  if (context == nullptr) {
    error_ = lastError("SSL_CTX_new");
    return;
  }
  if (SSL_CTX_use_certificate_chain_file(context, testCertFile(certName + ".pem").c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, testCertFile(certName + ".key").c_str(), SSL_FILETYPE_PEM) != 1) {
    error_ = lastError(("certificate " + certName).c_str());
    return;
  }
  SSL* ssl = SSL_new(context);
  if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
    error_ = lastError("SSL_new");
    if (ssl != nullptr) SSL_free(ssl);
    return;
  }
  SSL_set_accept_state(ssl);
  ssl_ = ssl;
}

ServerTls::~ServerTls() {
  if (ssl_ != nullptr) SSL_free(sslOf(ssl_));
  if (context_ != nullptr) SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

TlsIo ServerTls::classify(int rc) {
  int error = SSL_get_error(sslOf(ssl_), rc);
  if (error == SSL_ERROR_WANT_READ) return TlsIo::wantRead;
  if (error == SSL_ERROR_WANT_WRITE) return TlsIo::wantWrite;
  if (error == SSL_ERROR_ZERO_RETURN || (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)) {
    ERR_clear_error();
    return TlsIo::closed;
  }
  error_ = lastError("TLS");
  return TlsIo::failed;
}

TlsIo ServerTls::accept() {
  ERR_clear_error();
  int rc = SSL_accept(sslOf(ssl_));
  return rc == 1 ? TlsIo::done : classify(rc);
}

TlsIo ServerTls::read(char* data, std::size_t room, std::size_t* got) {
  ERR_clear_error();
  int rc = SSL_read(sslOf(ssl_), data, static_cast<int>(room));
  if (rc > 0) {
    *got = static_cast<std::size_t>(rc);
    return TlsIo::done;
  }
  return classify(rc);
}

TlsIo ServerTls::write(const char* data, std::size_t length, std::size_t* sent) {
  ERR_clear_error();
  int rc = SSL_write(sslOf(ssl_), data, static_cast<int>(length));
  if (rc > 0) {
    *sent = static_cast<std::size_t>(rc);
    return TlsIo::done;
  }
  return classify(rc);
}

void ServerTls::shutdown() {
  if (ssl_ != nullptr && SSL_is_init_finished(sslOf(ssl_))) SSL_shutdown(sslOf(ssl_));
  ERR_clear_error();
}

}  // namespace qel::test
