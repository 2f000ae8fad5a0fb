// A TLS server on 127.0.0.1 for tests of the TLS client, run on a thread of
// the test process. It accepts one connection and runs the test's script on
// it. The session works on memory buffers, so a script decides when and in
// which pieces the encrypted bytes go out. The certificate is self-signed and
// generated once per process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/tls.h"

namespace cvn::testing {

class TlsServerConnection;

struct TlsServerOptions {
  int min_version = 0;  // OpenSSL version numbers (TLS1_2_VERSION ...); 0: library default
  int max_version = 0;
  bool request_client_cert = false;
  bool require_client_cert = false;
};

class TlsTestServer {
 public:
  using Script = std::function<void(TlsServerConnection&)>;

  TlsTestServer(TlsServerOptions options, Script script);
  // Waits for the script to end.
  ~TlsTestServer();

  uint16_t port() const { return port_; }
  // Waits for the script to end; true when it did not fail.
  bool Join();

  // Writes the self-signed certificate and its key as PEM files.
  static void WriteCertificateFiles(const std::filesystem::path& cert,
                                    const std::filesystem::path& key);
  // A full check of the server ("localhost" or 127.0.0.1) that trusts its
  // certificate, written once per process into the temporary folder.
  static platform::TlsPeerCheck TrustingCheck();

 private:
  TlsServerOptions options_;
  Script script_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  bool joined_ = false;
  bool ok_ = true;
};

// The server end of one connection, handed to a script.
class TlsServerConnection {
 public:
  ~TlsServerConnection();

  // Runs the handshake; false when it failed (the failure alert is sent).
  // With hold_last_flight the server's last handshake messages stay buffered
  // and leave with the next FlushOutput.
  bool Handshake(bool hold_last_flight = false);
  std::string Protocol() const;

  // Encrypts into the output buffer (one record per 16384 bytes) without
  // sending.
  void Write(const std::string& plain);
  // Takes the encrypted bytes waiting in the output buffer.
  std::string TakeOutput();
  // Sends the output buffer.
  void FlushOutput();
  // Write + FlushOutput.
  void Send(const std::string& plain) {
    Write(plain);
    FlushOutput();
  }
  // Plain bytes on the socket.
  void SendRaw(const std::string& bytes);
  // Reads and decrypts until count bytes came; fewer when the peer ended.
  std::string Read(size_t count);
  // True when the next TLS read sees the client's closing alert.
  bool ReadsClosingAlert();
  // Sends the closing alert.
  void SendClosingAlert();
  // Reads plain bytes (before a handshake).
  std::string ReadRaw(size_t count);
  // Reads one plain chunk, whatever arrives.
  std::string ReadRawChunk();
  // Closes the socket.
  void CloseSocket();

  struct State;
  explicit TlsServerConnection(std::unique_ptr<State> state);

 private:
  bool Pump();  // one socket read into the session; false at end or error
  std::unique_ptr<State> s_;
};

}  // namespace cvn::testing
