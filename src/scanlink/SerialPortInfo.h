// What a port source knows of one serial port: its device paths, its tty names and its USB identity.
#pragma once

#include <string>

namespace qv {

struct SerialPortInfo {
  // The device file a port opens (a /dev node, or a link in the simulator folder).
  std::string calloutPath;
  // Another path naming the same device (the simulator link's target); the callout path when
  // there is no other.
  std::string dialinPath;
  // The tty name ("ttyACM0"), its base ("ttyACM") and its number ("0").
  std::string ttyName;
  std::string baseName;
  std::string suffix;
  // Every port we list is a plain byte stream, the only kind the scanner link handles.
  std::string serviceType = "IOSerialStream";
  // The source that found it ("udev" or "simulator").
  std::string sourceName;
  // The USB device the port belongs to, when it is one (hexadecimal ids as the kernel gives them).
  std::string usbVendorId;
  std::string usbProductId;
  std::string usbSerialNumber;
  std::string usbManufacturer;
  std::string usbProduct;
};

// Splits a tty name into its base and its trailing number: "ttyACM12" gives "ttyACM" and "12".
void splitTTYName(const std::string& ttyName, std::string* baseName, std::string* suffix);

}  // namespace qv
