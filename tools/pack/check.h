// Reading an installer without running it: what the stub would find in it,
// and whether it would install it. The seal verdict is reached by the stub's
// own code (app/payload.*, app/payload_seal.*) over the file's bytes, so the
// check and the stub cannot disagree.
#pragma once
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// Writes the report on the installer `file`, named `name`, one "key: value"
// fact a line, ending with the "result:" line. True when the stub would
// install it.
bool CheckInstaller(const std::string& name, const std::vector<uint8_t>& file, std::ostream& out);

// The SHA-256 of `bytes` in lower-case hex, as the check and --version print it.
std::string DigestText(const uint8_t* bytes, size_t size);
