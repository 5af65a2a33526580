// The frames taken at one exposure: lasers off, one laser on, lasers off again.
#pragma once

#include "platform/Value.h"

struct QVLScanResultSet {
  int exposure = 0;                  // camera exposure, in the camera's units
  qv::SharedData referenceImage;     // lasers off
  qv::SharedData laserImage;         // one laser on
  qv::SharedData verificationImage;  // lasers off again, taken after the laser frame

  QVLScanResultSet() = default;
  QVLScanResultSet(int exposure, qv::SharedData reference, qv::SharedData laser, qv::SharedData verification)
      : exposure(exposure), referenceImage(std::move(reference)), laserImage(std::move(laser)),
        verificationImage(std::move(verification)) {}
};
