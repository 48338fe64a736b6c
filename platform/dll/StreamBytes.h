// Reads a C run-time stream to its end; shared by the path wrapper's file
// read and its tests.
#pragma once

#include <cstdio>
#include <string>

namespace Tessil::internal {

// Appends every byte up to the end of the stream to bytes. False when a read
// fails before the end (bytes then holds what was read so far).
bool ReadStreamBytes(std::FILE* stream, std::string& bytes);

}  // namespace Tessil::internal
