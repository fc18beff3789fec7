// Writes the qmserver.ini a first start would create, with a placeholder administrator password,
// into the given directory. The Debian package ships it; its postinst puts a random password in
// place of the placeholder, so a fresh install never runs with the default one, and the file
// carries the running version, so the server's upgrade never rewrites it.
//   qmdefaultini DIRECTORY
#include <cstdio>
#include <exception>
#include <string>

#include "config/IniFile.hpp"
#include "config/Settings.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmdefaultini DIRECTORY\n");
    return 2;
  }
  try {
    std::string dir = argv[1];
    if (dir.empty() || dir.back() != '/') dir += '/';
    qm::SetExeDirOverride(dir);
    qm::SetExeDir(dir);
    qm::SetIniFileName("qmserver.ini");
    std::remove(qm::IniFilePath().c_str());
    // Without a version the load rewrites the whole file, keeping the password it read.
    qm::IniFile(qm::IniFilePath()).WriteString("Passwords", "AdminPassword", "@QM_ADMIN_PASSWORD@");
    qm::LoadConfiguration([](const std::string&) {});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmdefaultini: %s\n", e.what());
    return 1;
  }
  return 0;
}
