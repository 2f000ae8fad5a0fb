// The service's SMTP client: one mail server, plain TCP, TLS from the first
// byte or STARTTLS, AUTH LOGIN / AUTH PLAIN, messages with several
// recipients, QUIT. It composes each message itself (header, charset,
// encoded Subject, dot-stuffed body, end-of-data marker).
//
// The client writes no log lines: every operation returns a result code,
// and the callers log their own texts. 0 is success; a value up to 0x10000
// is a system or socket error; the values above are protocol failures
// (kSmtp... below). After a failed Connect or SendMail the client also tells
// whether the server put the message off or refused it for good, and what
// the server replied (bounded and made safe for a log line).
//
// A user of one message (a report, for example):
//   CSTEMail2 client(server, port, security_mode);
//   uint32_t r = client.Connect(auth_type, user, password);
//   if (r == 0) r = client.SendMail(from, to, subject, html, "text/html");
//   client.Quit();
// A burst of messages shares one Connect and one Quit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "events/placeholders.h"
#include "platform/clock.h"
#include "transport/secure_socket.h"

namespace cvn {

// Protocol failures.
constexpr uint32_t kSmtpNoGreeting = 0x10001;         // the greeting holds no "220 "
constexpr uint32_t kSmtpHelloRefused = 0x10002;       // neither EHLO nor HELO answered with 250
constexpr uint32_t kSmtpAuthFailed = 0x10003;         // no authentication exchange was accepted
constexpr uint32_t kSmtpNoStartTls = 0x10004;         // STARTTLS not offered (Connect)
constexpr uint32_t kSmtpSenderRefused = 0x10004;      // MAIL FROM refused (SendMail)
constexpr uint32_t kSmtpStartTlsRefused = 0x10005;    // STARTTLS not answered with 220 (Connect)
constexpr uint32_t kSmtpNoRecipient = 0x10005;        // no recipient accepted (SendMail)
constexpr uint32_t kSmtpDataRefused = 0x10006;        // DATA not answered with 354
constexpr uint32_t kSmtpTlsHelloRefused = 0x10007;    // EHLO over TLS not answered with 250
constexpr uint32_t kSmtpMessageRefused = 0x10007;     // the message not answered with 250
constexpr uint32_t kSmtpNoCredentials = 0x10009;      // AUTH without user name or password
constexpr uint32_t kSmtpRecipientDeferred = 0x1000A;  // a recipient answered 4xx (SendMail)
constexpr uint32_t kSmtpReplyTooLarge = 0x1000B;      // a reply broke one of the bounds below

// The bounds of one server reply: a line of more than kMaxSmtpReplyLine bytes
// (its CR LF aside), a reply of more than kMaxSmtpReplyBytes or of more than
// kMaxSmtpReplyLines lines ends the session with kSmtpReplyTooLarge. The
// limits lie far above what servers send (a reply line holds at most 512
// bytes, an EHLO reply a few dozen lines), yet keep a broken or hostile
// server from filling the memory.
constexpr size_t kMaxSmtpReplyLine = 4096;
constexpr size_t kMaxSmtpReplyBytes = 65536;
constexpr size_t kMaxSmtpReplyLines = 1000;

// What a failed Connect or SendMail means for the message.
enum class SmtpVerdict {
  kDone,       // no failure
  kTemporary,  // a 4xx reply, no connection, or the connection broke: try again later
  kFinal,      // a 5xx reply, or a refusal that another try would meet again
};

// The verdict of a result, given the code of the server's reply that decided
// it (0 without one) and whether the connection was lost on the way.
SmtpVerdict ClassifySmtpResult(uint32_t result, int reply_code, bool connection_lost);

// A server's reply is outside input: before it goes into a log line, CR, LF
// and tabs become blanks, other control and non-ASCII bytes '?', runs of
// blanks one blank, and the text ends after kMaxSmtpReplyText bytes.
constexpr size_t kMaxSmtpReplyText = 200;
std::string SanitizeSmtpReply(std::string_view bytes);

// A recipient that the server refused for good in the last SendMail.
struct SmtpRefusal {
  std::string address;
  std::string reply;  // sanitized
};

// Security modes and authentication types as the settings hold them.
enum SmtpSecurity : int { kSmtpPlain = 0, kSmtpTlsFirst = 1, kSmtpStartTls = 2 };
enum SmtpAuth : int {
  kSmtpAuthNone = 0,
  kSmtpAuthDetect = 1,
  kSmtpAuthPlain = 2,
  kSmtpAuthLogin = 3
};

// What one read of a server reply says. The tests are case-sensitive
// substring searches anywhere in the bytes, as servers vary in layout.
struct SmtpReplyFacts {
  int leading_code = 0;        // the first three characters as a number, 0 when not digits
  bool final_220 = false;      // holds "220 "
  bool continues_220 = false;  // holds "220-"
  bool final_250 = false;
  bool continues_250 = false;
  bool starttls = false;    // holds "STARTTLS"
  bool auth_login = false;  // "LOGIN" at or after the first "AUTH"
  bool auth_plain = false;  // "PLAIN" at or after the first "AUTH"
};

// Reads the facts above out of the bytes of one read. Any bytes are safe.
SmtpReplyFacts ParseSmtpReply(std::string_view bytes);

// Standard base64 (RFC 4648) with "=" padding and no line breaks. A length
// of 0 encodes up to the terminating NUL byte.
std::string Base64Encode(const void* data, size_t length);

// The fields of one message as BuildSmtpMessage writes them.
struct SmtpMessage {
  std::string from;
  std::string to;
  std::u16string subject;
  std::u16string body;
  std::string content_type;
};

// The whole DATA text of a message: header lines (Date in the local time of
// now with its zone), the empty line, the dot-stuffed UTF-8 body and the
// end-of-data marker. Control characters of the Subject become blanks, and
// every lone CR or LF of the body becomes CR LF.
std::string BuildSmtpMessage(const SmtpMessage& message, std::string_view mailer, int64_t now,
                             LocalTimeFunction local_time);

class CSTEMail2 {
 public:
  static constexpr const char* kMailerName = "CVN Mailer";
  // The bound of the TCP connect and of the TLS handshake, and of each send.
  static constexpr uint32_t kConnectTimeoutMs = 10000;
  static constexpr uint32_t kSendTimeoutMs = 30000;
  // The bound of a whole reply, from the moment it is awaited to its final
  // line, however the server spreads it over reads.
  static constexpr uint32_t kReplyTimeoutMs = 10000;
  // The longest single wait inside a reply: a stop is noticed between them.
  static constexpr uint32_t kReceiveSliceMs = 250;

  // No network activity; a security mode other than 1 or 2 means plain.
  CSTEMail2(std::string server, uint16_t port, int security_mode);
  // Performs Close; never sends QUIT.
  virtual ~CSTEMail2();
  CSTEMail2(const CSTEMail2&) = delete;
  CSTEMail2& operator=(const CSTEMail2&) = delete;

  // Connects, greets, secures and authenticates; 0 when the client is ready
  // (also when it already was). A failure leaves it not ready and closed.
  uint32_t Connect(int auth_type, const std::string& user, const std::string& password);
  // One message to every address of to (separated by blanks, commas or
  // semicolons; words without "@" are skipped). 0 also when not ready. A
  // protocol failure after MAIL FROM was accepted resets the transaction.
  // Recipients refused with 5xx are skipped (see refused()) while another
  // one is accepted; a recipient answered 4xx resets the transaction at once
  // with kSmtpRecipientDeferred, so that a later try of the whole message
  // does not reach the others twice.
  uint32_t SendMail(const std::string& from, const std::string& to, std::u16string_view subject,
                    std::u16string_view body, const std::string& content_type);
  // QUIT, then Close: 0 or the error of sending it or of reading the reply.
  uint32_t Quit();
  // Shuts down and closes the connection without a command; the client is
  // no longer ready.
  void Close();

  bool ready() const { return ready_; }
  // Since the last Connect a send or receive failed, the server closed the
  // connection, or a reply was cut off (a bound, a time-out, an abort): a
  // ready client sends nothing more.
  bool connection_lost() const { return connection_lost_; }
  bool authenticated() const { return authenticated_; }
  // How the last Connect or SendMail ended.
  SmtpVerdict verdict() const { return verdict_; }
  // The code of the server's reply that made the last Connect or SendMail
  // fail; 0 when no reply did (a system error, a closed connection, no
  // STARTTLS offered, no credentials, no recipient address).
  int failure_code() const { return failure_code_; }
  // That reply, sanitized, the system's text of the error (with its
  // number), or the client's own account of a reply that broke a bound or
  // did not end in time; empty when none exists.
  const std::string& failure_text() const { return failure_text_; }
  // The recipients that the last SendMail's server refused for good.
  const std::vector<SmtpRefusal>& refused() const { return refused_; }
  // "TLSv1.2", "TLSv1.3", or empty without TLS.
  std::string TlsProtocol() const { return connection_.TlsProtocol(); }

  // Asked before each command and every kReceiveSliceMs while a reply is
  // awaited: true ends the operation with 10004 (a stopping thread neither
  // starts nor sits out another wait of up to 10 s).
  void SetAbortCheck(std::function<bool()> abort) { abort_ = std::move(abort); }
  // How the server is checked in TLS mode and after STARTTLS; a refused
  // server gets neither the credentials nor a mail.
  void SetPeerCheck(const platform::TlsPeerCheck& check) { connection_.SetPeerCheck(check); }
  // The bound of each whole reply (kReplyTimeoutMs unless set; tests shorten it).
  void SetReplyTimeout(uint32_t timeout_ms) { reply_timeout_ms_ = timeout_ms; }
  // The local-time conversion of the Date header (tests use fixed zones).
  void SetLocalTimeFunction(LocalTimeFunction local_time) { local_time_ = local_time; }

 private:
  uint32_t ConnectSteps(int auth_type, const std::string& user, const std::string& password,
                        bool& greeted);
  uint32_t OpenConnection();
  uint32_t Hello(const std::string& name, int& auth_type);
  uint32_t StartTlsExchange(const std::string& name);
  uint32_t Authenticate(int auth_type, const std::string& user, const std::string& password);
  uint32_t AuthLogin(const std::string& user, const std::string& password);
  uint32_t AuthPlain(const std::string& user, const std::string& password);
  uint32_t Transaction(const std::string& from, const std::string& to, std::u16string_view subject,
                       std::u16string_view body, const std::string& content_type,
                       bool& sender_accepted);
  uint32_t Recipients(const std::string& to);
  // Records the verdict, failure code and text of an operation's result.
  uint32_t Conclude(uint32_t result);
  // A failure that no reply of the server decided.
  uint32_t NotFromServer(uint32_t failure) {
    reply_decides_ = false;
    return failure;
  }

  // Sets command and sends it: 0 or the error of the send.
  uint32_t Command(std::string text);
  uint32_t SendCommand();
  // The bounds of one reply, counted over its reads.
  struct ReplyMeter {
    size_t bytes = 0;
    size_t lines = 0;  // lines begun
    size_t line_length = 0;
    bool in_line = false;
    // Counts the bytes of one read: empty, or the text of the bound broken.
    std::string Add(std::string_view read);
  };

  // The first receive of a new reply into reply_: 0 or the error. Starts the
  // reply's deadline and bounds.
  uint32_t ReadReply();
  // The next receive of the same reply into reply_ (replacing it): 0, the
  // error, or kSmtpReplyTooLarge.
  uint32_t ReadMore();
  // One receive within what is left of the reply's time, in slices between
  // which the abort check is asked: 0 with count, or the error.
  uint32_t Receive(size_t& count);
  // Reads until the last read holds "code " or no longer "code-": 0,
  // failure when the final line never came, or the error of a read. The
  // reads are also kept together in whole_reply_.
  uint32_t WaitForFinal(int code, uint32_t failure);
  // The same after sending text.
  uint32_t Exchange(std::string text, int code, uint32_t failure);
  bool ReplyBeginsWith(std::string_view code) const { return reply_.compare(0, 3, code) == 0; }
  bool ReplyHolds(std::string_view text) const { return reply_.find(text) != std::string::npos; }

  std::string server_;
  std::string mailer_ = kMailerName;
  uint16_t port_ = 0;
  int security_mode_ = kSmtpPlain;
  bool ready_ = false;
  bool socket_connected_ = false;
  bool authenticated_ = false;
  bool connection_lost_ = false;
  // The last reply read decides the operation's failure (see NotFromServer).
  bool reply_decides_ = false;
  SmtpVerdict verdict_ = SmtpVerdict::kDone;
  int failure_code_ = 0;
  std::string failure_text_;
  // The client's own account of the failure (a broken bound, a reply that
  // did not end in time), which failure_text() then gives.
  std::string failure_note_;
  std::vector<SmtpRefusal> refused_;
  CSecureSocket connection_;
  uint32_t reply_timeout_ms_ = kReplyTimeoutMs;
  platform::Deadline reply_deadline_;
  ReplyMeter meter_;
  std::string reply_;
  // Every read of the last multi-line reply: servers that write each EHLO
  // line on its own spread the extensions over several reads.
  std::string whole_reply_;
  std::string command_;
  std::string receive_buffer_;
  std::function<bool()> abort_;
  LocalTimeFunction local_time_;
};

}  // namespace cvn
