// CMail: one message of the account, as the message list reports it.
#ifndef KESTRELON_MAIL_H
#define KESTRELON_MAIL_H

#include <string>

class CMail {
 public:
  CMail();
  virtual ~CMail();

  // Rewrites `date` from the service's form into the asctime form.
  void ConvertDate();

  std::string subject;
  std::string date;
  std::string from;
  bool retrieved;
  bool read;
  int number;
  std::string content;
  std::string id;
  std::string href;
  bool deleted;
  int size;
};

#endif
