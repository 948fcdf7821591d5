// Where the plug-in keeps its INI and log file, by its own rule: in the
// data folder's PlugIns/ when its INI is there, else beside the module.
#ifndef KESTRELON_PLUGIN_FILES_H
#define KESTRELON_PLUGIN_FILES_H

#include <string>

struct PluginFiles {
  std::string folder;    // ends with a path separator
  std::string baseName;  // the module's file name without its extension
  std::string Ini() const { return folder + baseName + ".ini"; }
  std::string Log() const { return folder + baseName + ".log"; }
};

PluginFiles PluginFilesOf(const std::string& modulePath, const std::string& dataFolder);

// Unless the plug-in already has an INI (in DATA/PlugIns/ or beside the
// module), creates DATA/PlugIns/ with an empty one, so that its files live
// in the data folder rather than beside the module. False when that fails.
bool PlaceFilesInDataFolder(const std::string& modulePath, const std::string& dataFolder);

#endif
