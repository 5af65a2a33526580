// The keys held with a mouse or key event, as the viewer's controllers take them: Alt stands for
// Option and the Meta (Super) key for Command.
#pragma once

#include <Qt>

#include "viewer/model/QVLObjectSceneViewController.h"

inline QVLModifiers modifiersOf(Qt::KeyboardModifiers m) {
  QVLModifiers out;
  out.shift = m.testFlag(Qt::ShiftModifier);
  out.control = m.testFlag(Qt::ControlModifier);
  out.option = m.testFlag(Qt::AltModifier);
  out.command = m.testFlag(Qt::MetaModifier);
  return out;
}
