// Output files that are either complete or untouched: each is written to a temporary file in its
// own folder, flushed to the disk and renamed over the name asked for.
#pragma once

#include <string>

namespace zelhost {

// Why a file could not be created at path ("the folder /x does not exist"), or "" when its folder
// exists and this user may write there. Asked before any measuring starts.
std::string FolderProblem(const std::string& path);

// Writes text to path through "<folder>/.<name>.XXXXXX", fsync and rename. A file that already
// has the name keeps its permissions; a new one gets 0666 less the umask. On failure the
// previous file is left as it was, the temporary file is removed, and *error says why.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* error);

}  // namespace zelhost
