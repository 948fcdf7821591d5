// CHotmailSMTP: the local SMTP server on 127.0.0.1.
#ifndef KESTRELON_HOTMAIL_SMTP_H
#define KESTRELON_HOTMAIL_SMTP_H

#include <windows.h>

class CHotmailHTTP;

class CHotmailSMTP {
 public:
  CHotmailSMTP();
  virtual ~CHotmailSMTP();

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
