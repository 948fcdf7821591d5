// CHotmailHTTP: the requests. Each carries a copy of the credentials of the
// job it belongs to, and the header lines and bodies the service expects,
// byte for byte.
#include "HotmailHTTP.h"

#include "config/Log.h"
#include "config/Settings.h"
#include "httpmail/CredentialScope.h"
#include "httpmail/DavNames.h"

namespace {

using namespace DavNames;

const char kPropfindHeaders[] = "Depth: 0\r\nBrief: t\r\nContent-Type: text/xml\r\nAccept-CharSet: UTF-16\r\n";
const char kRootBody[] =
    "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\"><D:prop>"
    "<hm:msgfolderroot/><hm:sendmsg/></D:prop></D:propfind>";
const char kFolderBody[] =
    "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\"><D:prop>"
    "<D:id/><D:visiblecount/><D:displayname/><hm:special/></D:prop></D:propfind>";
const char kMailBodyHead[] =
    "<?xml version=\"1.0\"?><D:propfind xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\" "
    "xmlns:m=\"urn:schemas:mailheader:\" xmlns:h=\"";
const char kMailBodyTail[] =
    "\"><D:prop><D:id/><hm:read/><m:to/><h:fromaddr/><m:subject/><m:date/><D:getcontentlength/></D:prop>"
    "</D:propfind>";
const char kPostHeaders[] = "Content-Type: message/rfc821\r\nTranslate: t\r\nSAVEINSENT: t\r\n";
const char kUnsafeRequest[] = "[サーバーから受け取った URL に使えない文字が含まれています]";
const char kForeignOrigin[] = "[ログインで示されたホスト以外の URL には接続しません]";

// The configured namespace URI as an attribute value.
std::string AttributeText(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

std::string CHotmailHTTP::EntryUrl() const { return settings_.EntryURL(); }

// A request on an origin that discovery did not name is not sent at all,
// rather than sent without credentials: such a URL comes from a listing,
// and the service never needs one (a hostile one could also aim DELETE or
// MOVE at any local server).
bool CHotmailHTTP::MaySend(const CCredentials& credentials, const std::string& url) const {
  std::vector<std::string> named{EntryUrl()};
  if (const Discovery* discovery = Found(credentials)) {
    named.push_back(discovery->folderRootUrl);
    named.push_back(discovery->sendUrl);
  }
  return MayCarryCredentials(url, named);
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewRequest(const CCredentials& credentials, int kind,
                                                          const char* method, const std::string& url) {
  if (!FitsInHeader(url)) {
    REPORT_ERROR(kUnsafeRequest, 0);
    return nullptr;
  }
  if (!MaySend(credentials, url)) {
    REPORT_ERROR(kForeignOrigin, 0);
    return nullptr;
  }
  std::unique_ptr<CHotmailRequest> request(new CHotmailRequest);
  // Each request keeps its own copy of the credentials: a worker never
  // reads strings that the window thread may change.
  request->userName = credentials.userName;
  request->password = credentials.password;
  request->kind = kind;
  request->method = method;
  request->url = url;
  // No answer is held past a cap, whatever the service sends: a message is
  // taken up to the largest one sent, any other reply up to what an XML
  // reader takes; listings raise it.
  request->maxResponse = kind == KIND_MESSAGE ? kMaxMessageSize : CXmlDocument::kMaxBodySize;
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewRootRequest(const CCredentials& credentials) {
  auto request = NewRequest(credentials, KIND_ROOT, "PROPFIND", EntryUrl());
  if (!request) return nullptr;
  request->maxResponse = CXmlDocument::kMaxBodySize;  // the reader takes no more
  request->headers = kPropfindHeaders;
  request->body = kRootBody;
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewFolderRequest(const CCredentials& credentials) {
  const Discovery* discovery = Found(credentials);
  if (discovery == nullptr) return nullptr;
  auto request = NewRequest(credentials, KIND_FOLDERS, "PROPFIND", discovery->folderRootUrl);
  if (!request) return nullptr;
  request->maxResponse = CXmlDocument::kMaxListingSize;  // the reader takes no more
  request->headers = kPropfindHeaders;
  request->body = kFolderBody;
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewMailListRequest(const CCredentials& credentials,
                                                                  const std::string& url) {
  auto request = NewRequest(credentials, KIND_MAILS, "PROPFIND", url);
  if (!request) return nullptr;
  request->maxResponse = CXmlDocument::kMaxListingSize;  // the reader takes no more
  request->headers = kPropfindHeaders;
  request->body = kMailBodyHead + AttributeText(settings_.serviceNamespace) + kMailBodyTail;
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewMessageRequest(const CCredentials& credentials, const CMail& mail,
                                                                size_t startBytes) {
  auto request = NewRangeRequest(credentials, mail, 0, startBytes);
  if (request) request->startBytes = startBytes;
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewRangeRequest(const CCredentials& credentials, const CMail& mail,
                                                              size_t first, size_t count) {
  auto request = NewRequest(credentials, KIND_MESSAGE, "GET", mail.href);
  if (!request) return nullptr;
  request->headers = kMessageHeaders;
  if (count > 0) {
    request->headers += "Range: bytes=" + std::to_string(first) + "-" + std::to_string(first + count - 1) + "\r\n";
  }
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewMoveRequest(const CCredentials& credentials, const CMail& mail,
                                                              const CFolder& folder) {
  const std::string destination = folder.href + mail.id;
  if (!FitsInHeader(destination)) {
    REPORT_ERROR(kUnsafeRequest, 0);
    return nullptr;
  }
  auto request = NewRequest(credentials, KIND_MOVE, "MOVE", mail.href);
  if (!request) return nullptr;
  request->headers = "Destination: " + destination + "\r\n" + "Allow-Rename: t\r\n";
  return request;
}

// The destination keeps the name asked for or refuses (412): the caller
// then knows the new name without reading the reply.
std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewTransferRequest(Transfer kind, const CCredentials& credentials,
                                                                  const CMail& mail, const CFolder& folder,
                                                                  const std::string& newId) {
  const std::string destination = folder.href + newId;
  if (folder.href.empty() || !FitsInHeader(destination)) return nullptr;
  const bool move = kind == Transfer::Move;
  auto request = NewRequest(credentials, move ? KIND_MOVE : KIND_COPY, move ? "MOVE" : "COPY", mail.href);
  if (!request) return nullptr;
  request->headers = "Destination: " + destination + "\r\nOverwrite: F\r\nAllow-Rename: f\r\n";
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewMarkReadRequest(const CCredentials& credentials, const CMail& mail,
                                                                  bool read) {
  auto request = NewRequest(credentials, KIND_MARK_READ, "PROPPATCH", mail.href);
  if (!request) return nullptr;
  request->headers = "Brief: t\r\n";
  request->body = read ? kMarkReadBody : kMarkUnreadBody;
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewPostRequest(const CCredentials& credentials, std::string body) {
  // Mail leaves only through the send URL these credentials discovered.
  const Discovery* discovery = Found(credentials);
  if (discovery == nullptr) return nullptr;
  auto request = NewRequest(credentials, KIND_POST, "POST", discovery->sendUrl);
  if (!request) return nullptr;
  request->headers = kPostHeaders;
  request->body = std::move(body);
  return request;
}

std::unique_ptr<CHotmailRequest> CHotmailHTTP::NewDeleteRequest(const CCredentials& credentials, const CMail& mail) {
  return NewRequest(credentials, KIND_DELETE, "DELETE", mail.href);
}
