// The module's string table for the Linux loader (Windows takes the same
// texts from Kestrelon.rc).
#include "kwin32/ModuleEntry.h"
#include "resources/ResourceIds.h"

extern const KWin32StringResource kModuleStrings[] = {
    {IDS_PLUGIN_NAME, TEXT_PLUGIN_NAME},
    {IDS_PLUGIN_VERSION, TEXT_PLUGIN_VERSION},
};
extern const size_t kModuleStringCount = sizeof kModuleStrings / sizeof kModuleStrings[0];
