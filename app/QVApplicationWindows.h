#pragma once

// Hands the application delegate the windows it opens on request: the preferences window with the
// module configuration and custom modules panes of the windows layer, and the emoji catalogue that
// new groups draw from. Called once at start-up, before the delegate starts.
void QVInstallApplicationWindows();
