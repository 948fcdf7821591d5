// CHotmailPOP: the local POP server on 127.0.0.1.
#ifndef KESTRELON_HOTMAIL_POP_H
#define KESTRELON_HOTMAIL_POP_H

#include <windows.h>

class CHotmailHTTP;

class CHotmailPOP {
 public:
  CHotmailPOP();
  virtual ~CHotmailPOP();

  void SetHTTP(CHotmailHTTP* http) { http_ = http; }
  bool InitWinsock();
  void SetWindow(HWND hwnd) { window_ = hwnd; }
  bool Listen();
  LRESULT OnMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  void CloseAll();

 private:
  HWND window_ = nullptr;
  CHotmailHTTP* http_ = nullptr;
};

#endif
