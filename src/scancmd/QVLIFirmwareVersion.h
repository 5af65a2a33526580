// The firmware generations the host tells apart by the end of the firmware banner.
#pragma once

// The values are part of the library's interface.
enum QVLIFirmwareVersion : int {
  QVLIFirmwareVersionUnknown = 0,  // no banner seen yet
  QVLIFirmwareVersionOther = 1,    // a banner ending in none of the versions below
  QVLIFirmwareVersion150 = 2,      // not supported
  QVLIFirmwareVersion160 = 3,
  QVLIFirmwareVersion161 = 4,
  QVLIFirmwareVersion170 = 5,
  QVLIFirmwareVersion200 = 6,
};
