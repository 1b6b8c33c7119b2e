#pragma once

#include <string>

namespace tunnellib {

// Writes `bytes` to `path` through a temporary file beside it that then takes the path's
// place: a reader, or a crash half way, finds the old file or the new one, never a part.
// False with the reason in *error; the temporary file is gone either way.
bool replaceFile(const std::string &path, const std::string &bytes, std::string *error);

} // namespace tunnellib
