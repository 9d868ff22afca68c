#pragma once
// The monitor's pictures, drawn at run time and known by the numbers the
// windows use for them.

#include <QIcon>

enum class MonitorIcon {
  Window,              // the program's icon
  NewSuccess,          // a green disc with a white tick
  NewFailure,          // a red disc with a white cross
  AcknowledgedSuccess, // the tick on a filled square
  AcknowledgedFailure, // the cross on a filled square
  GreenLamp,
  RedLamp,
  GreyLamp,
  NewError,            // empty and fully transparent
  AcknowledgedError,   // a filled grey square
  Up,
  Down,
};

QIcon MakeMonitorIcon(MonitorIcon icon);
