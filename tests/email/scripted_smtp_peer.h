// A scripted SMTP server on 127.0.0.1 for the replies a real server does not
// give on demand (a greeting in two reads, 502 to EHLO, odd prompts). It
// serves its connections on its own thread: sends the greeting parts with a
// pause between them, then answers every command line with the reply the
// responder gives; after a 354 reply it reads the message to its end marker
// and answers that too. Every wait is bounded, so a client that misbehaves
// fails the test instead of hanging it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace cvn::email_test {

class ScriptedSmtpPeer {
 public:
  // The reply to one command (the line without its CR LF, or the message
  // text); an empty reply closes the connection.
  using Responder = std::function<std::string(const std::string& command)>;

  // Serves that many connections, one after the other, on port (0: any).
  ScriptedSmtpPeer(std::vector<std::string> greeting, Responder responder, int connections = 1,
                   uint16_t port = 0);
  ~ScriptedSmtpPeer();

  uint16_t port() const { return port_; }
  // The commands received so far.
  std::vector<std::string> Commands();

 private:
  void Serve(int connections);
  void ServeOne();
  // The next line (or, after a 354, the message): false when the client
  // closed or went quiet.
  bool Next(std::string& command, bool message);

  std::vector<std::string> greeting_;
  Responder responder_;
  platform::ScopedSocket listener_;
  platform::ScopedSocket connection_;
  uint16_t port_ = 0;
  std::string pending_;
  std::mutex lock_;
  std::vector<std::string> commands_;
  std::thread thread_;
};

// A server whose reply never ends, on 127.0.0.1: it accepts one connection,
// sends the greeting and reads one command line when there is a greeting,
// and then sends chunk after chunk, each after a pause, until the client
// sends or closes (or 30 s passed).
class EndlessReplyPeer {
 public:
  EndlessReplyPeer(std::string greeting, std::string chunk, uint32_t pause_ms);
  ~EndlessReplyPeer();

  uint16_t port() const { return port_; }

 private:
  void Serve();

  std::string greeting_;
  std::string chunk_;
  uint32_t pause_ms_;
  platform::ScopedSocket listener_;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A port on 127.0.0.1 that nobody listens on (bound once, then released).
uint16_t FreePort();

// An EHLO reply with the extension lines given, in the usual layout.
std::string EhloReply(const std::vector<std::string>& extensions);

}  // namespace cvn::email_test
