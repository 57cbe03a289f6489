#pragma once
// The byte stream of one connection: plain TCP, or TLS after a CONNECT.
#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sitesim::detail {

class TSocket {
 public:
  TSocket(int fd, std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
  ~TSocket();
  TSocket(const TSocket&) = delete;
  TSocket& operator=(const TSocket&) = delete;

  // Turns the connection into the server side of a TLS session (after CONNECT).
  bool StartTls();
  // Reads a request head ("...\r\n\r\n"); false when the peer closed or it was too long.
  bool ReadHead(std::string& head, bool& tooLong);
  bool Discard(int64_t count);
  bool Send(const char* data, size_t length);
  bool Send(const std::string& s) { return Send(s.data(), s.size()); }
  // Holds the connection open without sending until the peer closes or the server stops.
  void Stall();
  // Whether the peer has closed its side (checked without waiting or consuming data).
  bool PeerClosed();

 private:
  bool Fill();

  int fd_;
  std::atomic<bool>& stopping_;
  std::string buffer_;
  SSL* ssl_ = nullptr;
};

}  // namespace sitesim::detail
