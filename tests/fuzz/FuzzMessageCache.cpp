// The message cache's summary file as any bytes: a load ends without a
// fault, takes the file whole or not at all, and what it took is written
// back so that it loads again alike.
#include <stdint.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "imap/MessageCache.h"

namespace {

// The folder, and the name the summary of account "a", folder "F" gets.
const std::filesystem::path& SummaryPath() {
  static std::filesystem::path path = [] {
    char dir[] = "/tmp/kestrelon-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) abort();
    CMessageCache cache(dir, 1 << 20);
    const std::string text = "Subject: s\r\n\r\nbody\r\n";
    cache.Folder("a", "F")->Learn("id", text.size(), text, *CMimePart::Parse(text), true);
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      if (entry.path().extension() == ".sum") return entry.path();
    abort();
  }();
  return path;
}

void Write(const std::filesystem::path& path, const uint8_t* data, size_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::filesystem::path& path = SummaryPath();
  Write(path, data, size);
  size_t count = 0;
  {
    CMessageCache cache(path.parent_path().string(), 1 << 20);
    std::shared_ptr<CFolderCache> folder = cache.Folder("a", "F");
    count = folder->Count();
    std::string text;
    folder->ReadText("id", text);
    folder->Retain({"id"});
  }
  CMessageCache again(path.parent_path().string(), 1 << 20);
  if (again.Folder("a", "F")->Count() > count) abort();
  return 0;
}
