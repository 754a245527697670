#pragma once

#include <string>

namespace velune {

// Replaces the file at `path` with `bytes` so that `path` always names either the old file or
// the whole new one, also after a crash or a power cut: the bytes go to a hidden temporary file
// beside it, reach the disk, and the temporary file is renamed into place. On failure returns
// false with the reason in `error`, and `path` is untouched.
bool writeFileAtomically(const std::string& path, const std::string& bytes, std::string& error);

}  // namespace velune
