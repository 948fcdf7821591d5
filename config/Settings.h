// CSettings: the plug-in's configuration record and its INI file.
#ifndef KESTRELON_SETTINGS_H
#define KESTRELON_SETTINGS_H

#include <string>
#include <vector>

class CSettings {
 public:
  CSettings();
  CSettings(const CSettings&) = default;
  CSettings& operator=(const CSettings&) = default;
  virtual ~CSettings();

  void Load();
  void Save() const;
  // Writes the folder table alone (Save writes it too).
  void SaveFolders() const;
  // Index of the first folder record with exactly this id, or -1.
  int FindFolder(const std::string& id) const;
  // Appends one folder record to all four lists at once.
  void AppendFolder(const std::string& id, const std::string& special, const std::string& display, bool download);

  bool doNotUseProxy;
  bool onlyNotRead;
  int popPortNumber;
  int smtpPortNumber;
  int imapPortNumber;  // 0: no IMAP server
  int imapCacheSize;   // megabytes of IMAP's message cache; 0: none
  int threadCount;
  int httpTimeOut;  // seconds
  int idleTimeOut;  // seconds a POP3 or SMTP client may send nothing; 0: no limit
  int deleteMode;   // 1 move to deleted items, 2 delete, other: keep
  bool log;
  std::string userAgent;
  std::string iniPath;
  std::string deleteTarget;  // special name of the deleted-items folder
  std::vector<bool> folderDownLoad;
  std::vector<std::string> folderIds;
  std::vector<std::string> folderSpecials;
  std::vector<std::string> folderDisplays;
  // Host and optional port of the service's HTTPMail entry URL, and the
  // namespace URI of the service's own properties (prefix "h").
  std::string serviceHost;
  std::string serviceNamespace;

  // A number of the INI file that Load did not take (not a decimal number,
  // or outside [low, high]), and the key's default it used instead.
  struct Refusal {
    std::string key;  // "POPPortNumber", or "[Section] key" outside [Property]
    std::string value;
    int low;
    int high;
    int used;
  };
  std::vector<Refusal> refused;  // by the last Load
  // The whole entry URL as set by hand (ServiceURL), http or https; empty:
  // the one built from serviceHost.
  std::string serviceURL;
  // SHA-256 of the service's certificate (ServiceCertPin), 64 lower-case
  // hexadecimal digits; empty: the system's store alone decides.
  std::string serviceCertPin;

  // Why a value set by hand was refused at the last Load (the default is
  // used instead), for the plug-in to report once its log is open.
  std::vector<std::string> refusedReasons;

  // The URL the log-in starts from.
  std::string EntryURL() const;
};

// Whether a text is an absolute http or https URL with a host, and nothing
// a request line could not carry.
bool IsServiceURL(const std::string& text);
// A SHA-256 digest written in hexadecimal, with or without colons between
// the bytes, as 64 lower-case digits; "" when it is not one.
std::string NormalizePin(const std::string& text);

#endif
