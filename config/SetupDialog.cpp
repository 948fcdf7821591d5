#include "SetupDialog.h"

#include "resources/ResourceIds.h"

namespace {
CSetupDialog* activeDialog = nullptr;  // the one dialog that exists at a time
}

CSetupDialog::CSetupDialog(HINSTANCE instance) : parent(nullptr), instance_(instance) { activeDialog = this; }

CSetupDialog::~CSetupDialog() { activeDialog = nullptr; }

INT_PTR CSetupDialog::Show() {
  return DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_SETUP), parent, &CSetupDialog::DialogProc, 0);
}

namespace {
template <typename T>
void TakeIfEdited(const T& opened, const T& edited, T& live) {
  if (edited != opened) live = edited;
}
}  // namespace

void CSetupDialog::ApplyEdits(const CSettings& opened, CSettings& live) const {
  TakeIfEdited(opened.popPortNumber, settings.popPortNumber, live.popPortNumber);
  TakeIfEdited(opened.smtpPortNumber, settings.smtpPortNumber, live.smtpPortNumber);
  TakeIfEdited(opened.httpTimeOut, settings.httpTimeOut, live.httpTimeOut);
  TakeIfEdited(opened.log, settings.log, live.log);
  TakeIfEdited(opened.doNotUseProxy, settings.doNotUseProxy, live.doNotUseProxy);
}

INT_PTR CALLBACK CSetupDialog::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (activeDialog == nullptr) return FALSE;
  CSettings& s = activeDialog->settings;
  switch (message) {
    case WM_INITDIALOG:
      SetDlgItemInt(dialog, IDC_POP_PORT, static_cast<UINT>(s.popPortNumber), FALSE);
      SetDlgItemInt(dialog, IDC_SMTP_PORT, static_cast<UINT>(s.smtpPortNumber), FALSE);
      SetDlgItemInt(dialog, IDC_HTTP_TIMEOUT, static_cast<UINT>(s.httpTimeOut), FALSE);
      CheckDlgButton(dialog, IDC_LOG, s.log ? BST_CHECKED : BST_UNCHECKED);
      CheckDlgButton(dialog, IDC_NO_PROXY, s.doNotUseProxy ? BST_CHECKED : BST_UNCHECKED);
      return TRUE;
    case WM_COMMAND:
      if (LOWORD(wParam) == IDOK) {
        s.popPortNumber = static_cast<int>(GetDlgItemInt(dialog, IDC_POP_PORT, nullptr, FALSE));
        s.smtpPortNumber = static_cast<int>(GetDlgItemInt(dialog, IDC_SMTP_PORT, nullptr, FALSE));
        s.httpTimeOut = static_cast<int>(GetDlgItemInt(dialog, IDC_HTTP_TIMEOUT, nullptr, FALSE));
        s.log = IsDlgButtonChecked(dialog, IDC_LOG) == BST_CHECKED;
        s.doNotUseProxy = IsDlgButtonChecked(dialog, IDC_NO_PROXY) == BST_CHECKED;
        EndDialog(dialog, IDOK);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(dialog, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}
