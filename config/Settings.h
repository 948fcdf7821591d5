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
};

#endif
