#include "tools/sitesim/SiteSimSocket.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace sitesim::detail {

namespace {

constexpr size_t kMaxHead = 64 * 1024;

// One self-signed certificate (P-256, CN "sitesim") for every tunnelled https
// connection; clients that want to reach it must skip verification.
SSL_CTX* TlsContext() {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_server_method());
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("sitesim"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(c, cert);
    SSL_CTX_use_PrivateKey(c, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return c;
  }();
  return ctx;
}

}  // namespace

TSocket::~TSocket() {
  if (ssl_) SSL_free(ssl_);
}

bool TSocket::StartTls() {
  // The TLS layer writes without MSG_NOSIGNAL: a client that hangs up must give
  // EPIPE on this connection's thread, not end the process.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  ssl_ = SSL_new(TlsContext());
  SSL_set_fd(ssl_, fd_);
  return SSL_accept(ssl_) == 1;
}

bool TSocket::ReadHead(std::string& head, bool& tooLong) {
  tooLong = false;
  for (;;) {
    size_t end = buffer_.find("\r\n\r\n");
    if (end != std::string::npos) {
      head = buffer_.substr(0, end + 4);
      buffer_.erase(0, end + 4);
      return true;
    }
    if (buffer_.size() > kMaxHead) {
      tooLong = true;
      return false;
    }
    if (!Fill()) return false;
  }
}

bool TSocket::Discard(int64_t count) {
  while (count > 0) {
    if (buffer_.empty() && !Fill()) return false;
    size_t n = static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(buffer_.size())));
    buffer_.erase(0, n);
    count -= static_cast<int64_t>(n);
  }
  return true;
}

bool TSocket::Send(const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ssl_ ? SSL_write(ssl_, data, static_cast<int>(length))
                     : ::send(fd_, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return !stopping_;
}

void TSocket::Stall() {
  char tmp[4096];
  while (!stopping_) {
    pollfd p{fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, 50);
    if (rc < 0 && errno != EINTR) return;
    if (rc > 0) {
      ssize_t n = ssl_ ? SSL_read(ssl_, tmp, sizeof tmp) : ::recv(fd_, tmp, sizeof tmp, 0);
      if (n <= 0) return;
    }
  }
}

bool TSocket::PeerClosed() {
  pollfd p{fd_, POLLIN, 0};
  const int rc = ::poll(&p, 1, 0);
  if (rc <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR)) return true;
  char c;
  const ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool TSocket::Fill() {
  char tmp[8192];
  for (;;) {
    ssize_t n = ssl_ ? SSL_read(ssl_, tmp, sizeof tmp) : ::recv(fd_, tmp, sizeof tmp, 0);
    if (n < 0 && errno == EINTR && !ssl_) continue;
    if (n <= 0) return false;
    buffer_.append(tmp, static_cast<size_t>(n));
    return true;
  }
}

}  // namespace sitesim::detail
