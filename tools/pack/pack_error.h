// The one error the packer reports: a sentence for the publisher, no output.
#pragma once
#include <stdexcept>

struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
