// The whole run of the bootstrapper; wWinMain only calls this.
#pragma once

// Returns the process exit code (ChooseExitCode): by default 1 once the
// temporary archive has been checked out, 0 when the own file or the
// temporary archive could not be opened, when the own file holds no payload
// or when the payload does not match its seal.
int RunBootstrap();
