// LOGIN and AUTHENTICATE PLAIN: the credentials are tried by account
// discovery, which the service answers only for the right password. Ones
// that discovered their account before are tried by reading the folder
// list, which SELECT then needs not read again.
#include "config/Base64.h"
#include "config/SaslPlain.h"
#include "imap/commands/Commands.h"

namespace ImapCommands {

namespace {

class LogIn : public CImapCommand {
 public:
  LogIn(CImapSession& session, std::string tag, CCredentials credentials)
      : CImapCommand(session, std::move(tag)), credentials_(std::move(credentials)) {}

  Step Continue() override {
    if (!asked_) {
      asked_ = true;
      foldersRead_ = session_.Service().Discovered(credentials_);
      if (foldersRead_)
        session_.TryFolders(credentials_, &result_);
      else
        Discover();
      return Step::Waits;
    }
    // A folder root the service no longer answers for (it moved the
    // account) is found again by discovery.
    if (foldersRead_ && result_.RefusedOtherwise()) {
      foldersRead_ = false;
      Discover();
      return Step::Waits;
    }
    if (result_.Ok()) {
      session_.LoggedIn(credentials_, foldersRead_);
      session_.Tagged(tag_, std::string("OK [CAPABILITY ") + CImapSession::Capabilities() + "] Logged in");
    } else if (result_.CredentialsRefused()) {
      session_.Tagged(tag_, "NO [AUTHENTICATIONFAILED] Authentication failed");
    } else {
      session_.Tagged(tag_, "NO [UNAVAILABLE] The mail service cannot be reached");
    }
    return Step::Done;
  }

 private:
  void Discover() {
    session_.Service().Discover(credentials_, session_.Then([this](const MailResult& result) { result_ = result; }));
  }

  CCredentials credentials_;
  bool asked_ = false;
  bool foldersRead_ = false;
  MailResult result_;
};

void StartLogIn(CImapSession& session, const std::string& tag, const CCredentials& credentials) {
  if (credentials.userName.empty()) return session.Tagged(tag, "NO [AUTHENTICATIONFAILED] Authentication failed");
  // CR or LF would end the HTTP header they go into, NUL would cut them short.
  if (!FitsInHeader(credentials.userName) || !FitsInHeader(credentials.password)) {
    return session.Tagged(tag, "BAD User name and password must not contain CR, LF or NUL");
  }
  session.Run(std::unique_ptr<CImapCommand>(new LogIn(session, tag, credentials)));
}

}  // namespace

void Login(CImapSession& session, ImapCommandLine& c) {
  if (c.args.size() != 2 || !c.args[0].IsAstring() || !c.args[1].IsAstring()) {
    return session.Tagged(c.tag, "BAD LOGIN takes a user name and a password");
  }
  StartLogIn(session, c.tag, CCredentials{c.args[0].text, c.args[1].text});
}

void Authenticate(CImapSession& session, ImapCommandLine& c) {
  if (c.args.empty() || c.args.size() > 2 || c.args[0].kind != ImapArg::Kind::Atom) {
    return session.Tagged(c.tag, "BAD AUTHENTICATE takes a mechanism and an optional initial response");
  }
  if (!c.args[0].IsAtom("PLAIN")) return session.Tagged(c.tag, "NO Unsupported authentication mechanism");
  if (c.args.size() == 2) {
    // SASL-IR: "=" stands for an empty response.
    return AuthenticateResponse(session, c.tag, c.args[1].text == "=" ? "" : c.args[1].text);
  }
  session.AwaitResponse(c.tag);
  session.Send("+ \r\n");
}

void AuthenticateResponse(CImapSession& session, const std::string& tag, const std::string& base64) {
  if (base64 == "*") return session.Tagged(tag, "BAD AUTHENTICATE cancelled");
  std::string plain;
  if (!DecodeBase64(base64, plain)) return session.Tagged(tag, "BAD Invalid base64 data");
  const SaslPlain response = SaslPlain::Split(plain);
  if (response.separators != 2) return session.Tagged(tag, "BAD Invalid PLAIN response");
  const CCredentials credentials{response.user, response.password};
  if (!response.authorization.empty() && response.authorization != credentials.userName) {
    return session.Tagged(tag, "NO [AUTHORIZATIONFAILED] Cannot act as another user");
  }
  StartLogIn(session, tag, credentials);
}

}  // namespace ImapCommands
