// DavNames: what the HTTPMail client says to the service and reads from its
// replies: property paths within a D:response,
// the GET headers of a message, the PROPPATCH bodies of the read flag.
#pragma once

namespace DavNames {

// A listing is read one element of this namespace and local name at a time.
inline constexpr char kDav[] = "DAV:";
inline constexpr char kResponse[] = "response";

inline constexpr char kHref[] = "D:href";
inline constexpr char kId[] = "D:propstat/D:prop/D:id";
inline constexpr char kDisplayName[] = "D:propstat/D:prop/D:displayname";
inline constexpr char kSpecial[] = "D:propstat/D:prop/hm:special";
inline constexpr char kContentLength[] = "D:propstat/D:prop/D:getcontentlength";
inline constexpr char kRead[] = "D:propstat/D:prop/hm:read";
inline constexpr char kDate[] = "D:propstat/D:prop/m:date";
inline constexpr char kSubject[] = "D:propstat/D:prop/m:subject";
inline constexpr char kFromAddr[] = "D:propstat/D:prop/h:fromaddr";
inline constexpr char kTo[] = "D:propstat/D:prop/m:to";

inline constexpr char kMessageHeaders[] = "Accept: message/rfc822, */*\r\nTranslate: f\r\n";
inline constexpr char kMarkReadBody[] =
    "<?xml version=\"1.0\"?><D:propertyupdate xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\"><D:set>"
    "<D:prop><hm:read>1</hm:read></D:prop></D:set></D:propertyupdate>";
inline constexpr char kMarkUnreadBody[] =
    "<?xml version=\"1.0\"?><D:propertyupdate xmlns:D=\"DAV:\" xmlns:hm=\"urn:schemas:httpmail:\"><D:set>"
    "<D:prop><hm:read>0</hm:read></D:prop></D:set></D:propertyupdate>";

}  // namespace DavNames
