#pragma once

#include <string>

// What a save did: `failure` is empty on success and otherwise gives the reason (the
// old file is then left as it was); `warning` names what was saved but not kept (the
// owner, when the process may not give a file away).
struct SaveOutcome {
  std::string failure;
  std::string warning;
};

// Replaces the file at path with text so that a reader, or a crash, sees either the
// old or the new content, never a mix. A symbolic link stays in place: the file it
// leads to is replaced (and created when missing). The new file is written beside that
// file as ".tmp" and renamed over it. On Linux it keeps the mode, owner and group of the
// file it replaces; on Windows it takes the access rules its folder passes on.
SaveOutcome save_atomically(const std::string& path, const std::string& text);
