// A small HTTP/1.x responder for one read-only page (the metrics): it listens
// on one address, answers "GET <path>" with the text that a callback makes at
// that moment and every other request with 404, and closes each connection
// after its answer.
//
// It is bounded so that a client can neither hold it nor fill the memory: at
// most kMaxConnections connections at once (one more is closed at once), a
// request head of at most kMaxRequestBytes, a deadline for receiving the
// request and another for sending the answer. One thread of its own serves
// every connection; the callback runs on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace cvn::platform {

// Where to listen, from "host:port", "[v6-address]:port" or ":port" (every
// address). The host may be a name. False when the text has no valid port.
struct ListenAddress {
  std::string host;  // empty: every address
  uint16_t port = 0;
};
bool ParseListenAddress(std::string_view text, ListenAddress& address);

class HttpResponder {
 public:
  static constexpr size_t kMaxConnections = 4;
  static constexpr size_t kMaxRequestBytes = 8192;
  static constexpr uint32_t kRequestTimeoutMs = 5000;
  static constexpr uint32_t kResponseTimeoutMs = 5000;

  struct Page {
    std::string path;          // e.g. "/metrics"; a query string is ignored
    std::string content_type;  // of the answer
    std::function<std::string()> body;
  };

  HttpResponder();
  ~HttpResponder();  // Stop()
  HttpResponder(const HttpResponder&) = delete;
  HttpResponder& operator=(const HttpResponder&) = delete;

  // Listens on address and starts serving page. 0, or a Windows Sockets error
  // number (11001 the host is unknown, 10048 the address is in use, 10022 the
  // address text is not valid, ...). A responder that runs is stopped first.
  uint32_t Start(std::string_view address, Page page);
  // Closes the listener and every connection and ends the thread.
  void Stop();
  bool Running() const;
  // The port listened on (useful with port 0); 0 when not running.
  uint16_t Port() const;

  // Tests: a shorter deadline for the request (for the next Start).
  void SetRequestTimeoutForTesting(uint32_t ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint32_t request_timeout_ms_ = kRequestTimeoutMs;
};

}  // namespace cvn::platform
