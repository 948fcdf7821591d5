// CBeckyAPI: the host's BKA_ functions, bound by name from the host
// executable, all or nothing.
#ifndef KESTRELON_BECKY_API_H
#define KESTRELON_BECKY_API_H

#include <windows.h>

#include <string>

class CBeckyAPI {
 public:
  static constexpr int kFunctionCount = 54;
  static const char* const kFunctionNames[kFunctionCount];

  CBeckyAPI();
  virtual ~CBeckyAPI();

  bool Init();
  bool IsBound() const { return host_ != nullptr; }
  bool GetWindowHandles(HWND* main, HWND* tree, HWND* list, HWND* view);
  std::string GetDataFolder();

 private:
  FARPROC functions_[kFunctionCount] = {};
  HMODULE host_;
};

extern CBeckyAPI theBeckyAPI;

#endif
