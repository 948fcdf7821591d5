#include "host/PluginFiles.h"

#include <filesystem>
#include <fstream>

#include "PathSeparator.h"

namespace {

bool IsFile(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_regular_file(path, ignored);
}

std::string PlugInsFolder(const std::string& dataFolder) {
  std::string folder = dataFolder;
  if (!folder.empty() && folder.back() != kPathSeparator) folder += kPathSeparator;
  return folder + "PlugIns" + kPathSeparator;
}

}  // namespace

PluginFiles PluginFilesOf(const std::string& modulePath, const std::string& dataFolder) {
  const size_t slash = modulePath.find_last_of(kPathSeparator);
  PluginFiles files;
  files.folder = slash == std::string::npos ? std::string(".") + kPathSeparator : modulePath.substr(0, slash + 1);
  files.baseName = slash == std::string::npos ? modulePath : modulePath.substr(slash + 1);
  const size_t dot = files.baseName.find_last_of('.');
  if (dot != std::string::npos) files.baseName.resize(dot);
  const std::string plugins = PlugInsFolder(dataFolder);
  if (IsFile(plugins + files.baseName + ".ini")) files.folder = plugins;
  return files;
}

bool PlaceFilesInDataFolder(const std::string& modulePath, const std::string& dataFolder) {
  const PluginFiles files = PluginFilesOf(modulePath, dataFolder);
  if (IsFile(files.Ini())) return true;
  std::error_code error;
  std::filesystem::create_directories(PlugInsFolder(dataFolder), error);
  std::ofstream created(PlugInsFolder(dataFolder) + files.baseName + ".ini", std::ios::app);
  return created.good();
}
