// The patcher stub a patch is built on: a PE image that ends, with zero fill, by 0x60000.
#pragma once

#include <string>

// Reads the stub at path (UTF-8). False, with a reason, when it is too long, signed, not a PE image,
// or carries anything but zeros after its image.
bool ReadStub(const std::string& path, std::string* stub, std::string* error);
