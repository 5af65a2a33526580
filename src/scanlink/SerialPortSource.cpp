// The registry of port sources that answer path look-ups, and the process's default sources.
#include "scanlink/SerialPortSource.h"

#include <cctype>
#include <cstdlib>
#include <mutex>

#include "scanlink/SimulatorPortSource.h"
#include "scanlink/UdevPortSource.h"

namespace qv {

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<SerialPortSource>> sources;
};

Registry& registry() {
  static auto* r = new Registry;  // never destroyed: ports may be looked up during exit clean-up
  return *r;
}

}  // namespace

void splitTTYName(const std::string& ttyName, std::string* baseName, std::string* suffix) {
  std::size_t end = ttyName.size();
  while (end > 0 && std::isdigit(static_cast<unsigned char>(ttyName[end - 1]))) --end;
  if (baseName) *baseName = ttyName.substr(0, end);
  if (suffix) *suffix = ttyName.substr(end);
}

bool simulatorRequested() {
  const char* simulator = std::getenv("QUORVEL_SIMULATOR");
  if (simulator && *simulator && std::string(simulator) != "0") return true;
  const char* folder = std::getenv("QUORVEL_SIM_DIR");
  return folder && *folder;
}

void SerialPortSource::registerForLookup(const std::shared_ptr<SerialPortSource>& source) {
  if (!source) return;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  for (const auto& known : r.sources) {
    if (known.lock() == source) return;
  }
  // Drop the entries of sources that have ended, so that the list does not grow with them.
  std::erase_if(r.sources, [](const std::weak_ptr<SerialPortSource>& s) { return s.expired(); });
  r.sources.push_back(source);
}

std::optional<SerialPortInfo> SerialPortSource::lookUp(const std::string& path) {
  defaultSources();
  std::vector<std::shared_ptr<SerialPortSource>> sources;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& weak : r.sources) {
      if (auto source = weak.lock()) sources.push_back(std::move(source));
    }
  }
  // Asked outside the lock: a source may take its time (libudev reads sysfs).
  for (const auto& source : sources) {
    if (auto info = source->portForPath(path)) return info;
  }
  return std::nullopt;
}

const std::vector<std::shared_ptr<SerialPortSource>>& SerialPortSource::defaultSources() {
  static const auto* sources = [] {
    auto* list = new std::vector<std::shared_ptr<SerialPortSource>>;
    list->push_back(std::make_shared<UdevPortSource>());
    if (simulatorRequested()) {
      list->push_back(std::make_shared<SimulatorPortSource>(SimulatorPortSource::defaultFolder()));
    }
    for (const auto& source : *list) registerForLookup(source);
    return list;
  }();
  return *sources;
}

}  // namespace qv
