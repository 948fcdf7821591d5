// Message tables: the system's (Win32 and Windows Sockets errors) and
// WinInet's, with the texts Windows uses.
#include "Internal.h"

namespace kwin32 {

namespace {

struct Entry {
  DWORD code;
  const char* text;
};

const Entry kSystem[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {18, "There are no more files.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {1114, "A dynamic link library (DLL) initialization routine failed.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1814, "The specified resource name cannot be found in the image file.\r\n"},
    {10004, "A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10009, "The file handle supplied is not valid.\r\n"},
    {10013, "An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {10014, "The system detected an invalid pointer address in attempting to use a pointer argument in a call.\r\n"},
    {10022, "An invalid argument was supplied.\r\n"},
    {10024, "Too many open sockets.\r\n"},
    {10035, "A non-blocking socket operation could not be completed immediately.\r\n"},
    {10036, "A blocking operation is currently executing.\r\n"},
    {10037, "An operation was attempted on a non-blocking socket that already had an operation in progress.\r\n"},
    {10038, "An operation was attempted on something that is not a socket.\r\n"},
    {10039, "A required address was omitted from an operation on a socket.\r\n"},
    {10040, "A message sent on a datagram socket was larger than the internal message buffer or some other network "
            "limit, or the buffer used to receive a datagram into was smaller than the datagram itself.\r\n"},
    {10041, "A protocol was specified in the socket function call that does not support the semantics of the socket "
            "type requested.\r\n"},
    {10043, "The requested protocol has not been configured into the system, or no implementation for it exists.\r\n"},
    {10044, "The support for the specified socket type does not exist in this address family.\r\n"},
    {10045, "The attempted operation is not supported for the type of object referenced.\r\n"},
    {10047, "An address incompatible with the requested protocol was used.\r\n"},
    {10048, "Only one usage of each socket address (protocol/network address/port) is normally permitted.\r\n"},
    {10049, "The requested address is not valid in its context.\r\n"},
    {10050, "A socket operation encountered a dead network.\r\n"},
    {10051, "A socket operation was attempted to an unreachable network.\r\n"},
    {10052, "The connection has been broken due to keep-alive activity detecting a failure while the operation was in "
            "progress.\r\n"},
    {10053, "An established connection was aborted by the software in your host machine.\r\n"},
    {10054, "An existing connection was forcibly closed by the remote host.\r\n"},
    {10055, "An operation on a socket could not be performed because the system lacked sufficient buffer space or "
            "because a queue was full.\r\n"},
    {10056, "A connect request was made on an already connected socket.\r\n"},
    {10057, "A request to send or receive data was disallowed because the socket is not connected and (when sending "
            "on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {10058, "A request to send or receive data was disallowed because the socket had already been shut down in that "
            "direction with a previous shutdown call.\r\n"},
    {10060, "A connection attempt failed because the connected party did not properly respond after a period of time, "
            "or established connection failed because connected host has failed to respond.\r\n"},
    {10061, "No connection could be made because the target machine actively refused it.\r\n"},
    {10064, "A socket operation failed because the destination host was down.\r\n"},
    {10065, "A socket operation was attempted to an unreachable host.\r\n"},
    {10091, "WSAStartup cannot function at this time because the underlying system it uses to provide network "
            "services is currently unavailable.\r\n"},
    {10092, "The Windows Sockets version requested is not supported.\r\n"},
    {10093, "Either the application has not called WSAStartup, or WSAStartup failed.\r\n"},
    {11001, "No such host is known.\r\n"},
};

const Entry kWinInet[] = {
    {12001, "No more handles could be generated at this time.\r\n"},
    {12002, "The operation timed out\r\n"},
    {12003, "An extended error was returned from the server.\r\n"},
    {12004, "An internal error occurred.\r\n"},
    {12005, "The URL is invalid.\r\n"},
    {12006, "The URL scheme could not be recognized, or is not supported.\r\n"},
    {12007, "The server name or address could not be resolved\r\n"},
    {12008, "A protocol with the required capabilities was not found.\r\n"},
    {12009, "The option is invalid.\r\n"},
    {12010, "The length is incorrect for the option type.\r\n"},
    {12011, "The option value cannot be set.\r\n"},
    {12012, "WinInet support is being shut down or unloaded.\r\n"},
    {12013, "The user name was not allowed.\r\n"},
    {12014, "The password was not allowed.\r\n"},
    {12015, "The login request was denied.\r\n"},
    {12016, "The requested operation is invalid.\r\n"},
    {12017, "The operation has been canceled.\r\n"},
    {12018, "The supplied handle is the wrong type for the requested operation.\r\n"},
    {12019, "The handle is in the wrong state for the requested operation.\r\n"},
    {12029, "A connection with the server could not be established\r\n"},
    {12030, "The connection with the server was terminated abnormally\r\n"},
    {12031, "The connection with the server was reset\r\n"},
    {12033, "The request to the proxy was invalid\r\n"},
    {12037, "The date in the certificate is invalid or has expired\r\n"},
    {12038, "The host name in the certificate is invalid or does not match\r\n"},
    {12045, "The certificate authority is invalid or incorrect\r\n"},
    {12150, "The requested header was not found\r\n"},
    {12152, "The server returned an invalid or unrecognized response\r\n"},
    {12153, "The supplied HTTP header is invalid\r\n"},
    {12154, "The request made to HttpQueryInfo is invalid\r\n"},
    {12156, "The HTTP redirect request failed\r\n"},
    {12157, "An error occurred in the secure channel support\r\n"},
    {12160, "The HTTP request was not redirected\r\n"},
    {12168, "The redirection requires user confirmation\r\n"},
    {12169, "The SSL certificate is invalid\r\n"},
    {12170, "The SSL certificate was revoked\r\n"},
};

template <size_t N>
const char* Find(const Entry (&table)[N], DWORD code) {
  for (const Entry& e : table)
    if (e.code == code) return e.text;
  return nullptr;
}

}  // namespace

const char* SystemMessageText(DWORD code) { return Find(kSystem, code); }
const char* WinInetMessageText(DWORD code) { return Find(kWinInet, code); }

}  // namespace kwin32
