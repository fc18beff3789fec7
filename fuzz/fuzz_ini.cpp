// The INI reader on any file content, then a write and a read-back of what was written.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "config/IniFile.hpp"

namespace {

// Each input's file lives in a folder of its own, removed when the input is done: libFuzzer may
// end the process without running exit handlers, and then nothing is left but after a crash.
const std::filesystem::path& Dir() {
  static const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qmfuzz-ini-" + std::to_string(::getpid()));
  return dir;
}

const std::filesystem::path& Path() {
  static const std::filesystem::path path = Dir() / "fuzz.ini";
  return path;
}

struct InputFolder {
  InputFolder() { std::filesystem::create_directories(Dir()); }
  ~InputFolder() {
    std::error_code ec;
    std::filesystem::remove_all(Dir(), ec);
  }
  InputFolder(const InputFolder&) = delete;
  InputFolder& operator=(const InputFolder&) = delete;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const InputFolder folder;
  {
    std::ofstream out(Path(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  qm::IniFile ini(Path().string());
  // The sections and keys the server reads, and whatever the first line names.
  std::string first(reinterpret_cast<const char*>(data), size);
  first = first.substr(0, first.find_first_of("\r\n"));
  if (first.size() > 2 && first.front() == '[' && first.back() == ']') first = first.substr(1, first.size() - 2);
  for (const std::string& section :
       {std::string("General"), std::string("Channels"), std::string("Passwords"), first}) {
    for (const auto& key : ini.SectionKeys(section)) {
      const std::string value = ini.ReadString(section, key, "default");
      if (value.size() > qm::IniFile::kMaxValueLength) std::abort();
      ini.ReadInteger(section, key, -7);
      ini.ReadBool(section, key, true);
      if (!ini.KeyExists(section, key)) std::abort();  // a listed key must be found
    }
    ini.ReadInteger(section, "TCPPort", 8765);
    ini.ReadString(section, "ServerName", "x");
  }
  int32_t parsed;
  qm::ParseIniInteger(first, parsed);

  // A value written is read back unchanged, whatever the file held before.
  ini.WriteString("Fuzz", "Key", "written value");
  if (ini.ReadString("Fuzz", "Key", "") != "written value") {
    std::fprintf(stderr, "ini harness: a written value did not read back\n");
    std::abort();
  }
  ini.WriteInteger("General", "MaxClients", 12);
  if (ini.ReadInteger("General", "MaxClients", 0) != 12) {
    std::fprintf(stderr, "ini harness: a written integer did not read back\n");
    std::abort();
  }
  ini.EraseSection("Fuzz");
  if (ini.KeyExists("Fuzz", "Key")) std::abort();
  return 0;
}
