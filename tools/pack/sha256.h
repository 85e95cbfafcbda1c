// SHA-256 for the packer, which runs on Linux too and so cannot use the
// system provider the stub uses; the end-to-end runs check that both agree.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

std::array<uint8_t, 32> Sha256(const uint8_t* data, size_t size);
