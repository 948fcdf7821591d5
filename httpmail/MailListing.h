// CMailListing: the records of one folder's message list, read from its
// 207 reply. A streamed reply is read on the session's worker thread as it
// arrives, so the body is never held whole; the error boxes the reading
// runs into wait for the window thread, which takes the records over once
// the session has ended.
#ifndef KESTRELON_MAIL_LISTING_H
#define KESTRELON_MAIL_LISTING_H

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/BodyConsumer.h"
#include "httpmail/Mail.h"
#include "httpmail/XmlDocument.h"

class CMailListing : public CBodyConsumer {
 public:
  // `serviceNamespace`: the URI of the prefix "h", as set when the listing
  // is asked for.
  explicit CMailListing(std::string serviceNamespace);

  // A 207 body as it arrives; any other status is left unread.
  void Consume(CBodySource& body, const CHTTPSession& session) override;
  // A body held whole, answering `url`.
  void ConsumeText(const std::string& body, const std::string& url);

  // On the window thread: raises the boxes the reading ran into, in the
  // order first met, each kind once. False when the reply could not be read: it then lists
  // nothing, as a listing that breaks off adds nothing.
  bool ReportErrors();
  // The records in the reply's order, their dates still as the service
  // wrote them; the listing keeps none.
  std::vector<CMail> TakeRecords();

 private:
  using Visit = std::function<void(CXmlDocument::Node)>;
  void Read(const std::string& url, const std::function<void(CXmlDocument&, const Visit&)>& load);
  void Add(CXmlDocument& doc, CXmlDocument::Node response, const std::string& url);
  void Fail(const std::string& text);
  void Note(const std::string& text);

  std::string serviceNamespace_;
  // A deque while the reply streams in: a list of 100,000 grows without
  // moving what it holds into a buffer twice the size.
  std::deque<CMail> records_;
  std::vector<std::string> errors_;
  bool failed_ = false;
};

#endif
