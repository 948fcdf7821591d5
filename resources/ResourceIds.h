// Resource ids and the texts of the string table, shared by the Windows
// resource script and the Linux string table.
#ifndef KESTRELON_RESOURCE_IDS_H
#define KESTRELON_RESOURCE_IDS_H

#define IDS_PLUGIN_NAME 1
#define IDS_PLUGIN_VERSION 2
#define TEXT_PLUGIN_NAME "Becky! Hotmail plug-in"
#define TEXT_PLUGIN_VERSION "2.4.2"

#define IDD_SETUP 101
#define IDC_LOG 1001
#define IDC_POP_PORT 1002
#define IDC_HTTP_TIMEOUT 1003
#define IDC_SMTP_PORT 1004
#define IDC_NO_PROXY 1007

#endif
