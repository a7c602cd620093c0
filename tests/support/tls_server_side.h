// The server side of TLS for the scripted loopback server, on OpenSSL, with
// the certificates that make_test_certs.sh writes into the build tree.
#pragma once

#include <cstddef>
#include <string>

namespace qel::test {

// The directory holding the test certificates (ca.pem, server.pem ...).
std::string testCertDir();
// The full path of one file there.
std::string testCertFile(const std::string& name);

enum class TlsIo { done, wantRead, wantWrite, closed, failed };

class ServerTls {
 public:
  // Prepares a server session on the non-blocking socket fd with
  // certName.pem and certName.key; error() tells why when it failed.
  ServerTls(int fd, const std::string& certName);
  ~ServerTls();
  ServerTls(const ServerTls&) = delete;
  ServerTls& operator=(const ServerTls&) = delete;

  bool ready() const { return ssl_ != nullptr; }
  const std::string& error() const { return error_; }

  TlsIo accept();
  TlsIo read(char* data, std::size_t room, std::size_t* got);
  TlsIo write(const char* data, std::size_t length, std::size_t* sent);
  // Sends close-notify if the socket takes it at once.
  void shutdown();

 private:
  TlsIo classify(int rc);
  void* context_ = nullptr;
  void* ssl_ = nullptr;
  std::string error_;
};

}  // namespace qel::test
