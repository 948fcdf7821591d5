// CMail: one message of the account, as the message list reports it, and
// what a POP3 session keeps of it: its position in that session's list is
// its message number.
#ifndef KESTRELON_MAIL_H
#define KESTRELON_MAIL_H

#include <string>

class CMail {
 public:
  CMail();
  virtual ~CMail();

  // Rewrites `date` from the service's form (year-month-dayThh:mm:ss, time
  // optional) into the asctime layout "Wed Jan 02 03:04:05 2002". A date
  // that does not read or normalise keeps the service's text.
  void ConvertDate();

  std::string subject;
  std::string date;
  std::string from;
  std::string to;
  bool retrieved;  // sent to the POP3 client by RETR
  bool read;
  int number;  // 1-based position in the message list
  // How much of the message `content` holds: a download of this list
  // brings the whole text, or only its start when asked for a byte range.
  enum class Held { Nothing, Start, Whole };

  std::string content;
  Held held;
  std::string id;
  std::string href;
  bool deleted;  // marked by POP3 DELE
  int size;
};

#endif
