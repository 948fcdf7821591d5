// CFolder: one remote folder of the account. A parsed folder is completed
// from the folder table of the settings, or from defaults by its special
// kind when it is seen for the first time (and then registered there; the
// caller saves the table).
#ifndef KESTRELON_FOLDER_H
#define KESTRELON_FOLDER_H

#include <string>

class CSettings;

class CFolder {
 public:
  CFolder();
  virtual ~CFolder();

  // Completes the folder from the folder table, or gives it defaults and
  // appends it to the table in memory. True when it was appended: the
  // table then differs from the INI file until the caller saves it.
  bool Normalize(CSettings& settings);
  // Sets `name` from the special kind, else from a fixed folder id, else
  // to the kind itself.
  static void AssignDisplayName(std::string& name, const std::string& kind);
  // Whether messages of a folder of this kind are listed for POP3 by default.
  static bool DefaultDownload(const std::string& kind);
  // Whether the id, special kind and display name survive a round trip
  // through the INI file unchanged, without breaking its lines.
  bool Storable() const;

  std::string id;
  std::string displayName;
  std::string unicodeName;  // the display name in UTF-8, as IMAP shows it
  bool download;
  std::string special;
  std::string href;
};

#endif
