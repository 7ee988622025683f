#pragma once

// The host's whole run, from the command line to the exit status; main()
// only calls this.

namespace quv::host {

/// Exit statuses: 0 success; 1 a failure at run time (no display, a screen
/// that failed to open or render in a batch run); 2 a bad command line or
/// configuration file.
int runHost(int &argc, char **argv);

/// True when Qt can reach a display, or the platform plugin was chosen
/// explicitly (QT_QPA_PLATFORM, e.g. offscreen).
bool displayAvailable();

} // namespace quv::host
