// The HTTP responder on Boost.Asio, which serves both systems from one
// source: a listener and its connections on one thread of their own, each
// connection with a timer for its deadlines.
#include "platform/http_responder.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <list>
#include <mutex>
#include <thread>
#include <utility>  // before Asio, whose coroutine header needs std::exchange

#include "platform/socket.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

namespace cvn::platform {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

bool ParseListenAddress(std::string_view text, ListenAddress& address) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.empty()) return false;
  } else if (host.find_first_of("[]:") != std::string_view::npos) {
    return false;  // a v6 address needs its brackets
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) {
    return false;
  }
  address.host = std::string(host);
  address.port = static_cast<uint16_t>(value);
  return true;
}

namespace {

// A Windows Sockets error number for a failed listen.
uint32_t WsaError(const error_code& ec) {
  if (ec == asio::error::address_in_use) return err::kWsaAddressInUse;
  if (ec == asio::error::access_denied) return err::kWsaAccessDenied;
  if (ec == asio::error::address_family_not_supported) return err::kWsaFamilyNotSupported;
  if (ec == asio::error::no_descriptors) return err::kWsaTooManySockets;
  if (ec == asio::error::invalid_argument) return err::kWsaInvalidArgument;
  return err::kWsaAddressNotAvailable;
}

std::string Answer(std::string_view status, std::string_view content_type, std::string_view body,
                   std::string_view extra = {}) {
  std::string out = "HTTP/1.1 ";
  out += status;
  out += "\r\nContent-Type: ";
  out += content_type;
  out += "\r\nContent-Length: ";
  out += std::to_string(body.size());
  out += "\r\nConnection: close\r\n";
  out += extra;
  out += "\r\n";
  out += body;
  return out;
}

}  // namespace

struct HttpResponder::Impl {
  struct Connection;

  // Declared before the context: connections that the context's destruction
  // releases still find them.
  Page page;
  std::atomic<uint32_t> request_timeout_ms{kRequestTimeoutMs};
  std::list<std::weak_ptr<Connection>> open;  // used on the thread only
  size_t active = 0;                          // used on the thread only
  asio::io_context io;
  tcp::acceptor acceptor{io};
  std::thread thread;
  std::atomic<uint16_t> port{0};

  struct Connection : std::enable_shared_from_this<Connection> {
    Connection(Impl& owner, tcp::socket s) : owner(owner), socket(std::move(s)), timer(owner.io) {
      ++owner.active;
    }
    ~Connection() { --owner.active; }

    void Begin() {
      Arm(owner.request_timeout_ms);
      Read();
    }
    // Closes the socket when the deadline passes first.
    void Arm(uint32_t ms) {
      timer.expires_after(std::chrono::milliseconds(ms));
      timer.async_wait([self = shared_from_this()](const error_code& ec) {
        if (!ec) self->Close();
      });
    }
    void Read() {
      socket.async_read_some(
          asio::buffer(chunk),
          [self = shared_from_this()](const error_code& ec, size_t n) { self->OnRead(ec, n); });
    }
    void OnRead(const error_code& ec, size_t n) {
      if (ec) return Close();
      request.append(chunk.data(), n);
      const size_t head_end = request.find("\r\n\r\n");
      if (head_end == std::string::npos) {
        if (request.size() >= kMaxRequestBytes) {
          return Send(Answer("431 Request Header Fields Too Large", "text/plain", "Too large\n"));
        }
        return Read();
      }
      Send(Respond(std::string_view(request).substr(0, head_end)));
    }
    std::string Respond(std::string_view head) {
      const std::string_view line = head.substr(0, head.find("\r\n"));
      const size_t first = line.find(' ');
      const size_t second = line.find(' ', first == std::string_view::npos ? first : first + 1);
      if (first == std::string_view::npos || second == std::string_view::npos ||
          line.substr(second + 1).substr(0, 5) != "HTTP/") {
        return Answer("400 Bad Request", "text/plain", "Bad request\n");
      }
      const std::string_view method = line.substr(0, first);
      std::string_view target = line.substr(first + 1, second - first - 1);
      target = target.substr(0, target.find('?'));
      if (target != owner.page.path) return Answer("404 Not Found", "text/plain", "Not found\n");
      if (method != "GET") {
        return Answer("405 Method Not Allowed", "text/plain", "Only GET\n", "Allow: GET\r\n");
      }
      return Answer("200 OK", owner.page.content_type, owner.page.body ? owner.page.body() : "");
    }
    void Send(std::string text) {
      response = std::move(text);
      Arm(kResponseTimeoutMs);
      asio::async_write(socket, asio::buffer(response),
                        [self = shared_from_this()](const error_code&, size_t) { self->Close(); });
    }
    void Close() {
      error_code ignored;
      timer.cancel();
      socket.shutdown(tcp::socket::shutdown_both, ignored);
      socket.close(ignored);
    }

    Impl& owner;
    tcp::socket socket;
    asio::steady_timer timer;
    std::array<char, 2048> chunk{};
    std::string request;
    std::string response;
  };

  void Accept() {
    acceptor.async_accept([this](const error_code& ec, tcp::socket socket) {
      if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
      if (!ec) {
        open.remove_if([](const std::weak_ptr<Connection>& c) { return c.expired(); });
        if (active >= kMaxConnections) {
          error_code ignored;
          socket.close(ignored);
        } else {
          auto connection = std::make_shared<Connection>(*this, std::move(socket));
          open.push_back(connection);
          connection->Begin();
        }
      }
      Accept();
    });
  }

  uint32_t Listen(const ListenAddress& where) {
    std::vector<tcp::endpoint> candidates;
    if (where.host.empty()) {
      candidates = {tcp::endpoint(tcp::v6(), where.port), tcp::endpoint(tcp::v4(), where.port)};
    } else {
      error_code ec;
      const asio::ip::address ip = where.host == "localhost"
                                       ? asio::ip::address(asio::ip::address_v4::loopback())
                                       : asio::ip::make_address(where.host, ec);
      if (ec) return err::kWsaHostNotFound;
      candidates = {tcp::endpoint(ip, where.port)};
    }
    uint32_t result = err::kWsaAddressNotAvailable;
    for (const tcp::endpoint& endpoint : candidates) {
      error_code ec;
      acceptor.open(endpoint.protocol(), ec);
      if (ec) {
        result = WsaError(ec);
        continue;
      }
      // ":port" serves both families through one socket where the system can.
      if (where.host.empty() && endpoint.protocol() == tcp::v6()) {
        acceptor.set_option(asio::ip::v6_only(false), ec);
      }
#ifndef _WIN32
      // A restart binds again while closed connections linger; on Windows the
      // option would instead let another program take over a port in use.
      acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
#endif
      acceptor.bind(endpoint, ec);
      if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
      if (!ec) {
        port = acceptor.local_endpoint(ec).port();
        return 0;
      }
      result = WsaError(ec);
      acceptor.close(ec);
      // Another family is tried only for ":port", and not for an address in use.
      if (result == err::kWsaAddressInUse) break;
    }
    return result;
  }
};

HttpResponder::HttpResponder() = default;
HttpResponder::~HttpResponder() { Stop(); }

uint32_t HttpResponder::Start(std::string_view address, Page page) {
  Stop();
  ListenAddress where;
  if (!ParseListenAddress(address, where)) return err::kWsaInvalidArgument;
  auto impl = std::make_unique<Impl>();
  impl->page = std::move(page);
  impl->request_timeout_ms = request_timeout_ms_;
  const uint32_t result = impl->Listen(where);
  if (result != 0) return result;
  impl->Accept();
  Impl* raw = impl.get();
  try {
    impl->thread = std::thread([raw] { raw->io.run(); });
  } catch (const std::system_error&) {
    return err::kWsaNoBufferSpace;
  }
  impl_ = std::move(impl);
  return 0;
}

void HttpResponder::Stop() {
  if (!impl_) return;
  Impl* raw = impl_.get();
  // Everything closes on the serving thread, whose run then ends for lack of work.
  asio::post(raw->io, [raw] {
    error_code ignored;
    raw->acceptor.close(ignored);
    for (const std::weak_ptr<Impl::Connection>& weak : raw->open) {
      if (auto connection = weak.lock()) connection->Close();
    }
  });
  if (raw->thread.joinable()) raw->thread.join();
  impl_.reset();
}

bool HttpResponder::Running() const { return impl_ != nullptr; }

uint16_t HttpResponder::Port() const { return impl_ ? impl_->port.load() : 0; }

void HttpResponder::SetRequestTimeoutForTesting(uint32_t ms) { request_timeout_ms_ = ms; }

}  // namespace cvn::platform
