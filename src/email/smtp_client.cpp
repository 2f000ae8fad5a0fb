// The SMTP dialogue of CSTEMail2 over the connection object.
#include <algorithm>
#include <vector>

#include "email/smtp_client.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace cvn {
namespace {

// The result of an operation that a stopping caller cut short.
constexpr uint32_t kAborted = err::kWsaInterrupted;

// The client's own failure numbers; system and security statuses lie outside.
bool IsProtocolFailure(uint32_t result) { return result > 0x10000 && result < 0x20000; }

// The error behind a failed call of the connection object; never 0.
uint32_t Failure(uint32_t error) { return error != 0 ? error : err::kWsaNotConnected; }

}  // namespace

SmtpVerdict ClassifySmtpResult(uint32_t result, int reply_code, bool connection_lost) {
  if (result == 0) return SmtpVerdict::kDone;
  const bool protocol = IsProtocolFailure(result);
  if (protocol && reply_code >= 500 && reply_code <= 599) return SmtpVerdict::kFinal;
  // The server put it off, or never judged the message at all.
  if (!protocol || connection_lost || (reply_code >= 400 && reply_code <= 499)) {
    return SmtpVerdict::kTemporary;
  }
  // An unexpected reply, or what the settings lack: the same again next time.
  return SmtpVerdict::kFinal;
}

std::string SanitizeSmtpReply(std::string_view bytes) {
  std::string text;
  text.reserve(std::min(bytes.size(), kMaxSmtpReplyText));
  for (const char c : bytes) {
    if (text.size() == kMaxSmtpReplyText) break;
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '\r' || byte == '\n' || byte == '\t' || byte == ' ') {
      if (!text.empty() && text.back() != ' ') text += ' ';
    } else {
      text += byte < 0x20 || byte >= 0x7F ? '?' : c;
    }
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

CSTEMail2::CSTEMail2(std::string server, uint16_t port, int security_mode)
    : server_(std::move(server)),
      port_(port),
      security_mode_(security_mode == kSmtpTlsFirst || security_mode == kSmtpStartTls
                         ? security_mode
                         : kSmtpPlain),
      local_time_(&platform::LocalCalendarTime) {
  reply_.reserve(65536);
  receive_buffer_.resize(CSecureSocket::kMaxReceive + 1);
}

CSTEMail2::~CSTEMail2() { Close(); }

uint32_t CSTEMail2::SendCommand() {
  if (abort_ && abort_()) return kAborted;
  // What is left of a reply that was cut off would answer the command.
  if (connection_lost_) return err::kWsaNotConnected;
  if (connection_.Send(command_.data(), command_.size(), nullptr, kSendTimeoutMs) < 0) {
    connection_lost_ = true;
    return Failure(connection_.LastError());
  }
  return 0;
}

uint32_t CSTEMail2::Command(std::string text) {
  command_ = std::move(text);
  return SendCommand();
}

std::string CSTEMail2::ReplyMeter::Add(std::string_view read) {
  // Counted byte by byte so that the bound the stream breaks first is the
  // one named, however the bytes were split into reads.
  for (const char c : read) {
    if (++bytes > kMaxSmtpReplyBytes) {
      return "The server's reply is longer than " + std::to_string(kMaxSmtpReplyBytes) + " bytes.";
    }
    if (c == '\n') {
      in_line = false;
      line_length = 0;
      continue;
    }
    if (!in_line && ++lines > kMaxSmtpReplyLines) {
      return "The server's reply has more than " + std::to_string(kMaxSmtpReplyLines) + " lines.";
    }
    in_line = true;
    // The CR before the LF is not part of the line.
    if (++line_length > kMaxSmtpReplyLine + 1) {
      return "The server's reply has a line longer than " + std::to_string(kMaxSmtpReplyLine) +
             " bytes.";
    }
  }
  return {};
}

uint32_t CSTEMail2::Receive(size_t& count) {
  for (;;) {
    if (abort_ && abort_()) return kAborted;
    const uint32_t left = reply_deadline_.Remaining();
    if (left == 0) {
      failure_note_ = "error " + std::to_string(err::kWsaTimedOut) +
                      ": no complete reply from the server within " +
                      std::to_string((reply_timeout_ms_ + 999) / 1000) + " s";
      return err::kWsaTimedOut;
    }
    const uint32_t slice = std::min(left, kReceiveSliceMs);
    // The wait keeps the receive from timing out on a plain connection (a
    // receive time-out leaves a Windows socket in an undefined state); over
    // TLS it still may inside a record, which is then received again.
    if (!connection_.HasBufferedInput()) {
      bool readable = false;
      if (const uint32_t e = platform::WaitSocketReadable(connection_.socket(), slice, &readable)) {
        return e;
      }
      if (!readable) continue;
    }
    const int n = connection_.Receive(receive_buffer_.data(), slice);
    if (n >= 0) {
      count = static_cast<size_t>(n);
      return 0;
    }
    // The end of a slice; any other failure ends the reply.
    if (connection_.LastError() != err::kWsaTimedOut) return Failure(connection_.LastError());
  }
}

uint32_t CSTEMail2::ReadReply() {
  reply_deadline_ = platform::Deadline(reply_timeout_ms_);
  meter_ = {};
  return ReadMore();
}

uint32_t CSTEMail2::ReadMore() {
  size_t n = 0;
  const uint32_t error = Receive(n);
  // The server closed (0 bytes) or the read failed: nothing more can pass.
  if (error != 0 || n == 0) connection_lost_ = true;
  if (error != 0) {
    reply_.clear();
    return error;
  }
  reply_.assign(receive_buffer_.data(), n);
  reply_decides_ = true;
  if (std::string broken = meter_.Add(reply_); !broken.empty()) {
    // The rest of the reply is still on its way: the session cannot go on.
    connection_lost_ = true;
    failure_note_ = std::move(broken);
    return NotFromServer(kSmtpReplyTooLarge);
  }
  return 0;
}

uint32_t CSTEMail2::WaitForFinal(int code, uint32_t failure) {
  if (const uint32_t error = ReadReply(); error != 0) return error;
  // A reply of the bare code still counts as final.
  reply_ += ' ';
  whole_reply_ = reply_;
  for (;;) {
    const SmtpReplyFacts facts = ParseSmtpReply(reply_);
    const bool final_line = code == 220 ? facts.final_220 : facts.final_250;
    const bool more = code == 220 ? facts.continues_220 : facts.continues_250;
    if (final_line) return 0;
    if (!more) return failure;
    if (const uint32_t error = ReadMore(); error != 0) return error;
    whole_reply_ += reply_;
  }
}

uint32_t CSTEMail2::Exchange(std::string text, int code, uint32_t failure) {
  if (const uint32_t error = Command(std::move(text)); error != 0) return error;
  return WaitForFinal(code, failure);
}

uint32_t CSTEMail2::Conclude(uint32_t result) {
  failure_code_ = 0;
  failure_text_.clear();
  if (IsProtocolFailure(result)) {
    if (reply_decides_) {
      failure_code_ = ParseSmtpReply(reply_).leading_code;
      failure_text_ = SanitizeSmtpReply(reply_);
    }
  } else if (result != 0) {
    const std::string detail = connection_.LastError() == result
                                   ? connection_.LastErrorText()
                                   : platform::SocketErrorText(result);
    failure_text_ = SanitizeSmtpReply("error " + std::to_string(result) +
                                      (detail.empty() ? "" : ": " + detail));
  }
  if (result != 0 && !failure_note_.empty()) failure_text_ = failure_note_;
  verdict_ = ClassifySmtpResult(result, failure_code_, connection_lost_);
  return result;
}

uint32_t CSTEMail2::Connect(int auth_type, const std::string& user, const std::string& password) {
  if (ready_) return Conclude(0);
  authenticated_ = false;
  connection_lost_ = false;
  reply_decides_ = false;
  failure_note_.clear();
  bool greeted = false;
  // Concluded before QUIT replaces the reply.
  const uint32_t result = Conclude(ConnectSteps(auth_type, user, password, greeted));
  if (result == 0) {
    ready_ = true;
    return 0;
  }
  if (greeted && Command("QUIT\r\n") == 0) ReadReply();
  Close();
  return result;
}

uint32_t CSTEMail2::OpenConnection() {
  std::vector<platform::ResolvedAddress> addresses;
  if (const uint32_t error = platform::ResolveAddress(server_, std::to_string(port_), &addresses);
      error != 0) {
    return error;
  }
  if (addresses.empty()) return err::kWsaHostNotFound;
  const platform::ResolvedAddress& first = addresses.front();
  // Connect and handshake share one bound.
  const platform::Deadline deadline(kConnectTimeoutMs);
  if (const uint32_t error = connection_.Open(first.family); error != 0) return error;
  connection_.SetReceiveTimeout();
  if (const uint32_t error = connection_.Connect(first.address, deadline.Remaining()); error != 0) {
    return error;
  }
  if (security_mode_ == kSmtpTlsFirst && !connection_.StartTls(server_, deadline.Remaining())) {
    return Failure(connection_.LastError());
  }
  socket_connected_ = true;
  return 0;
}

uint32_t CSTEMail2::Hello(const std::string& name, int& auth_type) {
  const uint32_t ehlo = Exchange("EHLO " + name + "\r\n", 250, kSmtpHelloRefused);
  if (ehlo != kSmtpHelloRefused) return ehlo;
  // Refused: the same name with HELO; no extensions, so no authentication.
  command_[0] = 'H';
  command_[1] = 'E';
  if (const uint32_t error = SendCommand(); error != 0) return error;
  if (const uint32_t error = WaitForFinal(250, kSmtpHelloRefused); error != 0) return error;
  auth_type = kSmtpAuthNone;
  return 0;
}

uint32_t CSTEMail2::StartTlsExchange(const std::string& name) {
  if (!ParseSmtpReply(whole_reply_).starttls) return NotFromServer(kSmtpNoStartTls);
  if (const uint32_t error = Exchange("STARTTLS\r\n", 220, kSmtpStartTlsRefused); error != 0) {
    return error;
  }
  if (!connection_.StartTls(server_, kConnectTimeoutMs)) return Failure(connection_.LastError());
  return Exchange("EHLO " + name + "\r\n", 250, kSmtpTlsHelloRefused);
}

uint32_t CSTEMail2::ConnectSteps(int auth_type, const std::string& user,
                                 const std::string& password, bool& greeted) {
  if (const uint32_t error = OpenConnection(); error != 0) return error;
  if (const uint32_t error = WaitForFinal(220, kSmtpNoGreeting); error != 0) return error;
  std::string name;
  if (platform::LocalHostName(&name) != 0 || name.empty()) name = mailer_;
  if (const uint32_t error = Hello(name, auth_type); error != 0) return error;
  greeted = true;
  if (security_mode_ == kSmtpStartTls) {
    if (const uint32_t error = StartTlsExchange(name); error != 0) return error;
  }
  return Authenticate(auth_type, user, password);
}

uint32_t CSTEMail2::Authenticate(int auth_type, const std::string& user,
                                 const std::string& password) {
  const SmtpReplyFacts offer = ParseSmtpReply(whole_reply_);
  const bool detect = auth_type == kSmtpAuthDetect;
  if (auth_type == kSmtpAuthLogin || (detect && offer.auth_login)) {
    if (const uint32_t error = AuthLogin(user, password); error != 0) return error;
  }
  if (!authenticated_ && (auth_type == kSmtpAuthPlain || (detect && offer.auth_plain))) {
    if (const uint32_t error = AuthPlain(user, password); error != 0) return error;
  }
  // Detection with nothing offered goes on without authentication.
  const bool tried = !detect || offer.auth_login || offer.auth_plain;
  if (!authenticated_ && auth_type != kSmtpAuthNone && tried) return kSmtpAuthFailed;
  return 0;
}

uint32_t CSTEMail2::AuthLogin(const std::string& user, const std::string& password) {
  if (user.empty() || password.empty()) return NotFromServer(kSmtpNoCredentials);
  if (const uint32_t error = Command("AUTH LOGIN\r\n"); error != 0) return error;
  if (const uint32_t error = ReadReply(); error != 0) return error;
  // The challenge texts vary between servers ("Username:", "User Name"):
  // each 334 reply asks for the next item in turn.
  if (!ReplyBeginsWith("334")) return 0;
  if (const uint32_t error = Command(Base64Encode(user.data(), user.size()) + "\r\n"); error != 0) {
    return error;
  }
  if (const uint32_t error = ReadReply(); error != 0) return error;
  if (!ReplyBeginsWith("334")) return 0;
  if (const uint32_t error = Command(Base64Encode(password.data(), password.size()) + "\r\n");
      error != 0) {
    return error;
  }
  if (const uint32_t error = ReadReply(); error != 0) return error;
  if (ReplyBeginsWith("235")) authenticated_ = true;
  return 0;
}

uint32_t CSTEMail2::AuthPlain(const std::string& user, const std::string& password) {
  if (user.empty() || password.empty()) return NotFromServer(kSmtpNoCredentials);
  if (const uint32_t error = Command("AUTH PLAIN\r\n"); error != 0) return error;
  if (const uint32_t error = ReadReply(); error != 0) return error;
  if (!ReplyHolds("334")) return 0;
  std::string credentials;
  credentials.reserve(user.size() + password.size() + 2);
  credentials += '\0';
  credentials += user;
  credentials += '\0';
  credentials += password;
  if (const uint32_t error = Command(Base64Encode(credentials.data(), credentials.size()) + "\r\n");
      error != 0) {
    return error;
  }
  if (const uint32_t error = ReadReply(); error != 0) return error;
  if (ReplyBeginsWith("235")) authenticated_ = true;
  return 0;
}

uint32_t CSTEMail2::SendMail(const std::string& from, const std::string& to,
                             std::u16string_view subject, std::u16string_view body,
                             const std::string& content_type) {
  refused_.clear();
  if (!ready_) return Conclude(0);
  reply_decides_ = false;
  failure_note_.clear();
  bool sender_accepted = false;
  // Concluded before RSET replaces the reply.
  const uint32_t result =
      Conclude(Transaction(from, to, subject, body, content_type, sender_accepted));
  if (IsProtocolFailure(result) && sender_accepted && Command("RSET\r\n") == 0) ReadReply();
  return result;
}

uint32_t CSTEMail2::Recipients(const std::string& to) {
  static constexpr std::string_view kDelimiters = " ,;";
  size_t accepted = 0;
  size_t tried = 0;
  size_t at = to.find_first_not_of(kDelimiters);
  while (at != std::string::npos) {
    const size_t end = to.find_first_of(kDelimiters, at);
    const std::string address = to.substr(at, end == std::string::npos ? end : end - at);
    at = end == std::string::npos ? end : to.find_first_not_of(kDelimiters, end);
    if (address.find('@') == std::string::npos) continue;
    // A broken connection ends the list, and no reply decides the result.
    if (Command("RCPT TO:<" + address + ">\r\n") != 0 || ReadReply() != 0 || connection_lost_) {
      NotFromServer(0);
      break;
    }
    ++tried;
    if (ReplyBeginsWith("250") || ReplyBeginsWith("251")) {
      ++accepted;
      continue;
    }
    // A recipient put off for now puts off the whole message: it is tried
    // again later for every recipient, so sending it to the others now would
    // reach them twice.
    if (ParseSmtpReply(reply_).leading_code / 100 == 4) return kSmtpRecipientDeferred;
    refused_.push_back({address, SanitizeSmtpReply(reply_)});
  }
  if (accepted != 0) return 0;
  return tried == 0 ? NotFromServer(kSmtpNoRecipient) : kSmtpNoRecipient;
}

uint32_t CSTEMail2::Transaction(const std::string& from, const std::string& to,
                                std::u16string_view subject, std::u16string_view body,
                                const std::string& content_type, bool& sender_accepted) {
  if (const uint32_t error = Exchange("MAIL FROM:<" + from + ">\r\n", 250, kSmtpSenderRefused);
      error != 0) {
    return error;
  }
  sender_accepted = true;
  if (const uint32_t error = Recipients(to); error != 0) return error;
  if (const uint32_t error = Command("DATA\r\n"); error != 0) return error;
  if (const uint32_t error = ReadReply(); error != 0) return error;
  if (!ReplyBeginsWith("354")) return kSmtpDataRefused;
  SmtpMessage message{from, to, std::u16string(subject), std::u16string(body), content_type};
  command_ = BuildSmtpMessage(message, mailer_, platform::NowSeconds(), local_time_);
  if (const uint32_t error = SendCommand(); error != 0) return error;
  return WaitForFinal(250, kSmtpMessageRefused);
}

uint32_t CSTEMail2::Quit() {
  if (!ready_) return 0;
  // A stopping caller does not wait for the reply, nor one whose connection broke.
  const uint32_t sent = Command("QUIT\r\n");
  const uint32_t result = sent != 0 ? sent : ReadReply();
  Close();
  return result;
}

void CSTEMail2::Close() {
  // Without a connection the next Connect must connect again.
  ready_ = false;
  if (socket_connected_) {
    connection_.Shutdown();
    socket_connected_ = false;
  }
  connection_.Close();
}

}  // namespace cvn
