// CHotmailSMTP: the local SMTP server on 127.0.0.1. One listening socket and
// at most one client, with the POP3 server's connection mechanics. AUTH
// PLAIN checks the credentials with a log-in job (answered 235, 535 or 454);
// only a connection that authenticated itself may send. MAIL and RCPT
// collect the envelope and DATA the message text, all kept by the
// connection; the end of the text hands envelope, text and credentials to
// the send job (answered 250, 554 or 451).
#ifndef KESTRELON_HOTMAIL_SMTP_H
#define KESTRELON_HOTMAIL_SMTP_H

#include <windows.h>
#include <winsock.h>

#include <stddef.h>

#include <string>
#include <vector>

#include "httpmail/Credentials.h"
#include "httpmail/MailService.h"
#include "plugin/PrivateMessages.h"
#include "lineserver/CommandEntry.h"
#include "lineserver/LineServer.h"

class CSettings;
class CHotmailSMTP;

template <>
struct LineServerTraits<CHotmailSMTP> {
  static constexpr UINT kSocketMessage = WM_SMTP_SOCKET;
  static constexpr char kGreeting[] = "220 localhost ESMTP to HTTP proxy server ready\r\n";
  static constexpr char kBusy[] = "421 localhost Socket is already used\r\n";
  static constexpr char kLineTooLong[] = "500 Line too long\r\n";
  static constexpr char kIdleClose[] = "421 localhost Idle timeout, closing connection\r\n";
  static constexpr char kDoubleStart[] = "SMTP サーバの２重起動です。";
  static constexpr char kListening[] = "[SMTP の待機を開始しました]\n";
  // RFC 5321 asks for 512; this is generous.
  static constexpr size_t kMaxCommandLine = 4096;
  // The transaction and the credentials serve one client.
  static constexpr size_t kMaxConnections = 1;
  static constexpr bool kRawInput = false;
};

class CHotmailSMTP : public CLineServer<CHotmailSMTP> {
 public:
  enum class SessionState {
    Idle = 0,       // no transaction
    Sender = 1,     // MAIL given
    Recipient = 2,  // RCPT given
    Text = 3,       // receiving the message text
    Submitted = 4,  // the text was handed to the send job
    Quit = 5,       // QUIT answered
  };

  // The largest message text collected; a longer one is refused with 552
  // once its end has arrived, and the connection goes on.
  static constexpr size_t kMaxMessageSize = 64 * 1024 * 1024;
  // The pieces a long message text is received in.
  static constexpr size_t kBodyPiece = 1024 * 1024;
  // Lines of message text: far beyond the 1000 bytes RFC 5321 allows, so
  // that a sender that does not wrap its lines still gets by.
  static constexpr size_t kMaxTextLine = 1024 * 1024;
  // Recipients of one transaction; RFC 5321 asks for at least 100.
  static constexpr size_t kMaxRecipients = 1000;

  // The settings are the plug-in's, read as they are needed.
  explicit CHotmailSMTP(const CSettings& settings);
  virtual ~CHotmailSMTP();

  void SetService(CMailService* service) { service_ = service; }
  // WM_SMTP_SOCKET and WM_SMTP_JOB_DONE; always 0.
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Runs one received line: message text in the text state, else a command.
  void DispatchLine(const std::string& line);

  SessionState State() const { return state_; }
  // The credentials of this connection's successful AUTH; empty without.
  const CCredentials& Credentials() const { return credentials_; }
  bool Authenticated() const { return authenticated_; }
  // An AUTH waits for its log-in job.
  bool Authenticating() const { return !checking_.userName.empty(); }
  // The transaction as it stands: the envelope lines, an empty line, the
  // text received so far and one more CR LF, as the send job posts it. Once
  // posted, the text belongs to the send job and is no longer here.
  std::string MessageBody() const;

 protected:
  // Hands the post body (envelope, empty line, text, CR LF) to the send job.
  virtual void Post(std::string body);

 private:
  int ListenPort() const override;
  void BeforeAccept() override;
  void OnConnected() override;
  // The whole line, NUL bytes included: message text is kept as sent.
  void ReceiveLine(const std::string& line) override { DispatchLine(line); }
  size_t MaxLine() const override { return state_ == SessionState::Text ? kMaxTextLine : kMaxCommandLine; }
  void SetState(SessionState state) { state_ = state; }

  // Commands, in table order.
  void Data(const char* argument);
  void Ehlo(const char* argument);
  void Helo(const char* argument);
  void Mail(const char* argument);
  void Noop(const char* argument);
  void Quit(const char* argument);
  void Rcpt(const char* argument);
  void Rset(const char* argument);
  void Auth(const char* argument);

  // Job completions.
  void OnLoginDone(const MailResult& result);
  void OnSendDone(const MailResult& result);

  void CheckPlainResponse(const std::string& response);
  void AddTextLine(const std::string& line);
  void EndText();
  void SubmitMessage();
  void BeginText();
  void ClearTransaction();
  std::string TakeBody();
  void ClearBody();
  void LogReceived(const std::string& line) const;

  static const CommandEntry<CHotmailSMTP> kCommands[9];

  const CSettings& settings_;
  CMailService* service_ = nullptr;
  SessionState state_ = SessionState::Idle;
  CCredentials credentials_;  // of the successful AUTH
  CCredentials checking_;     // of the AUTH whose log-in job runs
  bool authenticated_ = false;
  bool awaitingResponse_ = false;  // AUTH PLAIN answered 334; the next line is its response
  std::string senderLine_;         // "MAIL " + argument + CR LF
  std::string recipientLines_;     // "RCPT " + argument + CR LF, each
  // From DATA on, the body being built: the envelope lines, an empty line
  // (textStart_ bytes in all), then each text line + CR LF. A large text
  // fills pieces of kBodyPiece bytes, joined once at its end while each is
  // freed, so it is never held twice, not even while a buffer grows.
  std::vector<std::string> bodyPieces_;
  std::string postBody_;  // the piece being filled
  size_t bodySize_ = 0;   // over all pieces
  size_t textStart_ = 0;
  // The text being received went past kMaxMessageSize: the rest of it is
  // read and dropped, and its end is answered 552.
  bool oversized_ = false;
  size_t recipients_ = 0;  // RCPT lines of the transaction
};

#endif
