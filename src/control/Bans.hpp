#pragma once
// The operator's bans: addresses, address blocks and player names refused at login and sent away
// when banned while connected. Kept in a file beside the configuration file, one ban a line,
// replaced whole (private temporary, renamed over) at every change, so a kill at any moment
// leaves either the old list or the new one. Expired bans drop out by themselves; the hits are
// counted in memory only (a refused login writes no file).
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace qm {

class IClock;

struct Ban {
  std::string target;  // "203.0.113.7", "203.0.113.0/24" or "name:NAME" (the name in single bytes)
  double until = 0;    // local date-time it ends; 0: until removed
  std::string reason;  // single bytes, no line break or tab
  uint64_t hits = 0;   // logins it refused since the server started
};

// A target as the operator wrote it, taken apart; false with error set when it is none.
// "player:ID" is the caller's to resolve into an address first.
struct BanTarget {
  bool byName = false;
  uint32_t network = 0;  // host byte order, masked
  uint32_t mask = 0;
  std::string name;
  std::string Text() const;  // the canonical target: "203.0.113.0/24", "203.0.113.7", "name:bob"
  bool Matches(uint32_t host, const std::string& clientName) const;
};
bool ParseBanTarget(const std::string& text, BanTarget& target, std::string& error);

class BanList {
 public:
  explicit BanList(IClock& clock);

  // Reads the file at path (missing: no bans). A line that is not a ban is skipped with a warning
  // naming its number; nothing in the file stops the server. Later changes are written there.
  void Load(const std::string& path);
  const std::string& Path() const { return path_; }

  // Adds (or replaces) a ban, minutes 0 meaning until removed, and writes the file. Throws
  // EConfigError when the file cannot be written; the list is then as before.
  Ban Add(const BanTarget& target, int minutes, const std::string& reason);
  // Removes a ban by its target; false when there is none. Writes the file; throws as Add does.
  bool Remove(const BanTarget& target);
  // The bans in force, oldest first.
  std::vector<Ban> Snapshot();
  size_t Count();
  // The ban that covers this address or name, counted as a hit; false when none does.
  bool Match(uint32_t host, const std::string& name, Ban& matched);

  // File lines, for the reader and the tests: "TARGET<TAB>UNTIL<TAB>REASON", UNTIL being "never"
  // or "YYYY-MM-DD HH:MM:SS" (local time).
  static std::string FormatUntil(double until);

 private:
  void DropExpired();  // under lock_
  void Write();        // under lock_; throws EConfigError

  struct Entry {
    BanTarget target;
    Ban ban;
  };
  IClock& clock_;
  std::mutex lock_;
  std::string path_;
  std::vector<Entry> entries_;
};

// The ban file's name for a configuration file: "qmserver.ini" -> "qmserver.bans".
std::string BanFilePath(const std::string& iniPath);

}  // namespace qm
