// The SMTP dialogues against a scripted server: the replies a real server
// does not give on demand.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "email/smtp_client.h"
#include "platform/clock.h"
#include "scripted_smtp_peer.h"

namespace cvn {
namespace {

using email_test::EhloReply;
using email_test::ScriptedSmtpPeer;

std::string Repeat(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// A server that accepts everything; entries of overrides answer the
// commands that begin with their key instead.
ScriptedSmtpPeer::Responder Server(std::map<std::string, std::string> overrides = {}) {
  return [overrides](const std::string& command) -> std::string {
    for (const auto& [prefix, reply] : overrides) {
      if (command.rfind(prefix, 0) == 0) return reply;
    }
    if (command.rfind("EHLO", 0) == 0) return EhloReply({"AUTH PLAIN LOGIN", "8BITMIME"});
    if (command == "DATA") return "354 go ahead\r\n";
    if (command == "QUIT") return "221 bye\r\n";
    return "250 ok\r\n";
  };
}

std::vector<std::string> Greeting() { return {"220 mail.test ESMTP\r\n"}; }

class SmtpDialogueTest : public ::testing::Test {
 protected:
  uint32_t ConnectTo(ScriptedSmtpPeer& peer, int auth, const std::string& user = "tester",
                     const std::string& password = "s3cret", int mode = kSmtpPlain) {
    client_ = std::make_unique<CSTEMail2>("127.0.0.1", peer.port(), mode);
    return client_->Connect(auth, user, password);
  }
  // The commands with the EHLO or HELO name taken out.
  static std::vector<std::string> Seen(ScriptedSmtpPeer& peer) {
    std::vector<std::string> seen = peer.Commands();
    for (std::string& c : seen) {
      if (c.rfind("EHLO ", 0) == 0 || c.rfind("HELO ", 0) == 0) c.resize(4);
    }
    return seen;
  }
  std::unique_ptr<CSTEMail2> client_;
};

TEST_F(SmtpDialogueTest, GreetingInTwoReadsIsWaitedForAndOtherCodesFail) {
  {
    ScriptedSmtpPeer peer({"220-mail.test first line\r\n", "220 ready\r\n"}, Server());
    EXPECT_EQ(ConnectTo(peer, kSmtpAuthNone), 0u);
    EXPECT_TRUE(client_->ready());
    EXPECT_EQ(client_->Quit(), 0u);
    EXPECT_EQ(Seen(peer), (std::vector<std::string>{"EHLO", "QUIT"}));
  }
  ScriptedSmtpPeer refused({"554 no service\r\n"}, Server());
  EXPECT_EQ(ConnectTo(refused, kSmtpAuthNone), kSmtpNoGreeting);
  EXPECT_FALSE(client_->ready());
  EXPECT_EQ(client_->verdict(), SmtpVerdict::kFinal);
  EXPECT_EQ(client_->failure_text(), "554 no service");
  client_.reset();
  EXPECT_TRUE(refused.Commands().empty());  // not greeted: no QUIT either
}

TEST_F(SmtpDialogueTest, EhloRefusedFallsBackToHeloWithoutAuthentication) {
  ScriptedSmtpPeer peer(Greeting(), Server({{"EHLO", "502 not implemented\r\n"}}));
  EXPECT_EQ(ConnectTo(peer, kSmtpAuthLogin), 0u);
  EXPECT_FALSE(client_->authenticated());
  client_->Quit();
  const std::vector<std::string> seen = peer.Commands();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1], "HELO" + seen[0].substr(4));  // the same name
}

TEST_F(SmtpDialogueTest, DetectionRunsLoginFirstAndPlainAfterARefusal) {
  ScriptedSmtpPeer peer(Greeting(), Server({{"AUTH LOGIN", "334 VXNlcm5hbWU6\r\n"},
                                            {"dGVzdGVy", "334 UGFzc3dvcmQ6\r\n"},
                                            {"czNjcmV0", "535 5.7.8 invalid\r\n"},
                                            {"AUTH PLAIN", "334 \r\n"},
                                            {"AHRlc3RlcgBzM2NyZXQ=", "235 ok\r\n"}}));
  EXPECT_EQ(ConnectTo(peer, kSmtpAuthDetect), 0u);
  EXPECT_TRUE(client_->authenticated());
  client_->Quit();
  EXPECT_EQ(Seen(peer), (std::vector<std::string>{"EHLO", "AUTH LOGIN", "dGVzdGVy", "czNjcmV0",
                                                  "AUTH PLAIN", "AHRlc3RlcgBzM2NyZXQ=", "QUIT"}));
}

TEST_F(SmtpDialogueTest, AuthenticationThatIsNotAcceptedFails) {
  {
    // Any challenge text is answered (lower case here); a refusal of the
    // password ends without acceptance, and the connection with QUIT.
    ScriptedSmtpPeer peer(Greeting(), Server({{"AUTH LOGIN", "334 dXNlcm5hbWU6\r\n"},
                                              {"dGVzdGVy", "334 cGFzc3dvcmQ6\r\n"},
                                              {"czNjcmV0", "535 5.7.8 invalid\r\n"}}));
    EXPECT_EQ(ConnectTo(peer, kSmtpAuthLogin), kSmtpAuthFailed);
    EXPECT_FALSE(client_->ready());
    client_.reset();
    EXPECT_EQ(Seen(peer),
              (std::vector<std::string>{"EHLO", "AUTH LOGIN", "dGVzdGVy", "czNjcmV0", "QUIT"}));
  }
  ScriptedSmtpPeer empty(Greeting(), Server());
  EXPECT_EQ(ConnectTo(empty, kSmtpAuthPlain, "tester", ""), kSmtpNoCredentials);
}

TEST_F(SmtpDialogueTest, RecipientListSkipsWordsAndNeedsOneAcceptance) {
  ScriptedSmtpPeer peer(Greeting(), Server({{"RCPT TO:<a@x.test>", "550 no such user\r\n"}}));
  ASSERT_EQ(ConnectTo(peer, kSmtpAuthNone), 0u);
  EXPECT_EQ(client_->SendMail("me@x.test", "a@x.test; b@x.test,, word", u"s", u"b", "text/plain"),
            0u);
  client_->Quit();
  const std::vector<std::string> seen = Seen(peer);
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 5),
            (std::vector<std::string>{"EHLO", "MAIL FROM:<me@x.test>", "RCPT TO:<a@x.test>",
                                      "RCPT TO:<b@x.test>", "DATA"}));
  EXPECT_EQ(seen[5].substr(seen[5].size() - 5), "\r\n.\r\n");
}

TEST_F(SmtpDialogueTest, ProtocolFailureInsideATransactionResets) {
  ScriptedSmtpPeer peer(Greeting(), Server({{"RCPT", "550 refused\r\n"}}));
  ASSERT_EQ(ConnectTo(peer, kSmtpAuthNone), 0u);
  EXPECT_EQ(client_->SendMail("me@x.test", "a@x.test b@x.test", u"s", u"b", "text/plain"),
            kSmtpNoRecipient);
  EXPECT_TRUE(client_->ready());  // the caller decides about QUIT
  // The next message goes over the same connection.
  EXPECT_EQ(client_->SendMail("me@x.test", "nobody", u"s", u"b", "text/plain"), kSmtpNoRecipient);
  client_->Quit();
  EXPECT_EQ(Seen(peer),
            (std::vector<std::string>{"EHLO", "MAIL FROM:<me@x.test>", "RCPT TO:<a@x.test>",
                                      "RCPT TO:<b@x.test>", "RSET", "MAIL FROM:<me@x.test>", "RSET",
                                      "QUIT"}));
}

TEST_F(SmtpDialogueTest, UnreachableServerGivesTheSocketError) {
  CSTEMail2 client("127.0.0.1", email_test::FreePort(), kSmtpPlain);
  EXPECT_EQ(client.Connect(kSmtpAuthNone, "", ""), err::kWsaConnectionRefused);
  EXPECT_FALSE(client.ready());
  EXPECT_EQ(client.SendMail("me@x.test", "a@x.test", u"s", u"b", "text/plain"), 0u);
}

// A reply that breaks a bound ends the session at once, whatever the server
// would still send; another try may meet a mended server, so it is temporary.
TEST_F(SmtpDialogueTest, RepliesThatBreakABoundEndTheSession) {
  const struct {
    const char* what;
    std::string chunk;
    std::string text;
  } cases[] = {
      {"endless short lines", Repeat("250-a\r\n", 100), "more than 1000 lines"},
      {"endless long lines", Repeat("250-" + std::string(96, 'x') + "\r\n", 40),
       "longer than 65536 bytes"},
      {"one endless line", "250-" + std::string(4000, 'x'), "a line longer than 4096 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    email_test::EndlessReplyPeer peer("220 mail.test\r\n", c.chunk, 0);
    CSTEMail2 client("127.0.0.1", peer.port(), kSmtpPlain);
    EXPECT_EQ(client.Connect(kSmtpAuthNone, "", ""), kSmtpReplyTooLarge);
    EXPECT_NE(client.failure_text().find(c.text), std::string::npos) << client.failure_text();
    EXPECT_EQ(client.verdict(), SmtpVerdict::kTemporary);
    EXPECT_FALSE(client.ready());
  }
}

// The time-out covers the whole reply: a server that trickles a continuation
// line now and then fails once it is spent, not only a silent one.
TEST_F(SmtpDialogueTest, ATricklingReplyFailsAtTheTimeOut) {
  email_test::EndlessReplyPeer peer("", "220-wait\r\n", 100);
  CSTEMail2 client("127.0.0.1", peer.port(), kSmtpPlain);
  client.SetReplyTimeout(1000);
  EXPECT_EQ(client.Connect(kSmtpAuthNone, "", ""), err::kWsaTimedOut);
  EXPECT_EQ(client.failure_text(), "error 10060: no complete reply from the server within 1 s");
  EXPECT_EQ(client.verdict(), SmtpVerdict::kTemporary);
}

// A stop ends a wait for a reply at once instead of after the time-out.
TEST_F(SmtpDialogueTest, AnAbortEndsAWaitForAReply) {
  email_test::EndlessReplyPeer peer("", "220-wait\r\n", 5000);
  CSTEMail2 client("127.0.0.1", peer.port(), kSmtpPlain);
  std::atomic<bool> stop{false};
  client.SetAbortCheck([&stop] { return stop.load(); });
  std::thread stopper([&stop] {
    platform::SleepMs(300);
    stop = true;
  });
  const uint32_t start = platform::TickCount();
  EXPECT_EQ(client.Connect(kSmtpAuthNone, "", ""), err::kWsaInterrupted);
  EXPECT_LT(platform::TickCount() - start, CSTEMail2::kReplyTimeoutMs);
  stopper.join();
}

}  // namespace
}  // namespace cvn
