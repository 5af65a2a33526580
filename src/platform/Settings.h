// The per-user settings store: the user's own values over a domain of registered defaults.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

namespace qv {

// Values the user stored win over registered defaults; removing one brings the default back.
// Absent keys read as 0, false or nothing. The typed readers coerce as the settings store always
// has (text read as a number by its leading number, a number read as text, any nonzero number
// read as true). Every change is written at once, atomically, to one JSON file.
class Settings {
public:
  using ChangeListener = std::function<void(const std::string& key)>;
  using Token = std::uint64_t;

  // The user's store: "Settings.json" in $XDG_CONFIG_HOME/Quorvel (~/.config/Quorvel when unset).
  static Settings& standard();
  static std::filesystem::path standardFilePath();

  // Loads the file; an unreadable or corrupt file is moved aside (and logged) and the store
  // starts empty, so the registered defaults apply.
  explicit Settings(std::filesystem::path file);
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // Adds to the registered defaults (a later registration of a key replaces the earlier one).
  void registerDefaults(const Dictionary& defaults);

  std::optional<Value> objectForKey(const std::string& key) const;
  bool hasUserValue(const std::string& key) const;
  std::int64_t integerForKey(const std::string& key) const;
  bool boolForKey(const std::string& key) const;
  double doubleForKey(const std::string& key) const;
  float floatForKey(const std::string& key) const { return static_cast<float>(doubleForKey(key)); }
  std::optional<std::string> stringForKey(const std::string& key) const;
  std::optional<Data> dataForKey(const std::string& key) const;
  std::optional<Array> arrayForKey(const std::string& key) const;
  std::optional<Dictionary> dictionaryForKey(const std::string& key) const;

  // Stores a user value and writes the file. Objects that have no file form (arbitrary objects)
  // are refused with an error; a failed write is returned too, and the value stays in memory.
  std::optional<Error> setValue(const std::string& key, Value value);
  std::optional<Error> removeObjectForKey(const std::string& key);

  // Called on the changing thread after each set or removal, with the key.
  Token addChangeListener(ChangeListener listener);
  void removeChangeListener(Token token);

  // Reads the file again (another process may have written it).
  void reload();

  const std::filesystem::path& filePath() const { return file_; }

  // The file forms of values, shared with other JSON files of the application.
  static std::string toJSON(const Dictionary& values);
  // Nothing when the text is not a JSON object.
  static std::optional<Dictionary> fromJSON(const std::string& text);

private:
  void load();
  std::optional<Error> writeLocked() const;
  void notify(const std::string& key);

  const std::filesystem::path file_;
  mutable std::mutex mutex_;
  Dictionary user_;
  Dictionary registered_;
  std::map<Token, std::shared_ptr<ChangeListener>> listeners_;
  Token nextToken_ = 1;
};

}  // namespace qv
