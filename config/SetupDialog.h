// CSetupDialog: the modal dialog that edits the ports, the HTTP time-out,
// the log switch and the proxy switch on a copy of the settings.
#ifndef KESTRELON_SETUP_DIALOG_H
#define KESTRELON_SETUP_DIALOG_H

#include <windows.h>

#include "Settings.h"

class CSetupDialog {
 public:
  explicit CSetupDialog(HINSTANCE instance);
  virtual ~CSetupDialog();

  // 1 for OK, 2 for Cancel, or the system's failure value.
  INT_PTR Show();
  // Carries the fields the user changed in the dialog, and only those,
  // from the working copy into the live settings: what changed there while
  // the dialog was open (a folder seen, the proxy switch turned by the HTTP
  // layer) stays. `opened` is what the working copy held when it opened.
  void ApplyEdits(const CSettings& opened, CSettings& live) const;
  static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

  HWND parent;
  CSettings settings;

 private:
  HINSTANCE instance_;
};

#endif
