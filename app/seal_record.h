// The payload seal record of the running image, as the packer left it.
#pragma once
#include "app/payload_seal.h"

// Read from the mapped image, never from the file: the file may have been
// replaced at its path since the process started.
SealState ReadOwnSeal(PayloadSeal* seal);
