// The application manifest's requested execution level: what the packer
// sets with --elevation and what --check reads back.
#pragma once
#include <string>

// "administrator", "highest" or "invoker" to the manifest's level
// (requireAdministrator, highestAvailable, asInvoker). Throws PackError for
// anything else.
std::string ExecutionLevelFor(const std::string& choice);

// The manifest `manifest` with its requestedExecutionLevel's level set to
// `level`; every other byte is kept. Throws PackError when it has no such
// attribute.
std::string SetExecutionLevel(const std::string& manifest, const std::string& level);

// The level the manifest requests; empty when it requests none.
std::string ExecutionLevel(const std::string& manifest);
