// What a test or a measurement asks of a running program through its environment:
// QUORVEL_LAUNCH_PROBE=1 prints a line when the main screen is first painted (with the resident
// memory then), another when a scanner is connected and one when a scan is shown in the viewer
// (loaded and drawn, with its point count); QUORVEL_QUIT_WHEN=shown|connected|opened|connected+opened
// ends the program once that happened; QUORVEL_PROBE_SCREENSHOT=file.png saves the window then.
#pragma once

namespace qv::app {

class DesktopApplication;
class CoreLink;

void installLaunchProbe(DesktopApplication& application, CoreLink& core);

}  // namespace qv::app
