#pragma once

#include <string>

#include "config/atomic_save.h"

// The platform's half of save_atomically, for a target that is no symbolic link: writes
// text into a new file beside target, target + ".tmp", syncs it to the disk and renames
// it over target in one step. A leftover ".tmp" file of an interrupted save is replaced;
// a directory of that name is left alone and the save fails. On failure the ".tmp" file
// is removed and target is left as it was.
SaveOutcome replace_file_contents(const std::string& target, const std::string& text);
