// Where serial ports come from: a source lists the ports present, looks one up by path and reports
// arrivals and removals. Linux has two: libudev (real ports) and the simulator folder.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scanlink/SerialPortInfo.h"

namespace qv {

class SerialPortSource {
public:
  using PortsHandler = std::function<void(std::vector<SerialPortInfo> ports)>;

  virtual ~SerialPortSource() = default;

  // "udev" or "simulator".
  virtual std::string sourceName() const = 0;

  // The ports present now, in a stable order.
  virtual std::vector<SerialPortInfo> presentPorts() = 0;

  // The port whose callout or dial-in path is `path`, when this source has it now.
  virtual std::optional<SerialPortInfo> portForPath(const std::string& path) = 0;

  // Starts reporting arrivals and removals. Both handlers run on the main queue, each with the
  // ports of one event, in the order the events happened. Answers false when watching cannot
  // start (the reason is logged); the source still lists and looks up ports. Watching starts once.
  virtual bool startWatching(PortsHandler arrived, PortsHandler removed) = 0;
  // Stops reporting; no handler runs after this returns, except one already queued on the main
  // queue, which the owner guards against (the manager's handlers hold it weakly).
  virtual void stopWatching() = 0;

  // Makes a source answer path look-ups for ports (a port object is made only for a path some
  // source has). The source is held weakly: it answers as long as someone keeps it.
  static void registerForLookup(const std::shared_ptr<SerialPortSource>& source);
  // Asks the registered sources, the default ones included, in registration order.
  static std::optional<SerialPortInfo> lookUp(const std::string& path);

  // The process's sources, made once and kept: libudev always, and the simulator folder when
  // QUORVEL_SIMULATOR is set (not empty, not "0") or QUORVEL_SIM_DIR names a folder.
  static const std::vector<std::shared_ptr<SerialPortSource>>& defaultSources();
};

// True when the environment asks for the simulated scanner.
bool simulatorRequested();

}  // namespace qv
