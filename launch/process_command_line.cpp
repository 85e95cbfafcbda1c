// The Win32 edge of CommandLineArgs: the process's own command line.
#include <windows.h>

#include "launch/command_line_args.h"

CommandLineArgs::CommandLineArgs() { Parse(GetCommandLineW()); }
