// CFolder: one remote folder of the account.
#ifndef KESTRELON_FOLDER_H
#define KESTRELON_FOLDER_H

#include <string>

class CFolder {
 public:
  CFolder();
  virtual ~CFolder();

  std::string id;
  std::string displayName;
  bool download;
  std::string special;
  std::string href;
};

#endif
