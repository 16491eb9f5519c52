// Writing a file that the user keeps (a configuration, a printed page) without changing what the
// user set on it: who may read it, its group, its links.
#pragma once

#include <string>

// Replaces the contents of the file at `path` with `data`.
// - A symbolic link is followed to the file it names (the link stays a link); a link to a file
//   that does not exist yet creates that file.
// - A file that exists is replaced atomically (a temporary file in the same folder, renamed over
//   it) and keeps its mode and, where the user may set it, its owner and group.
// - A file with several hard links is rewritten in place, so that every name sees the new
//   contents.
// - A new file gets the mode that the user's umask gives (and the folder's default ACL).
// Nothing but a regular file is replaced, and a file that the user may not write is left alone.
// On failure returns false and sets `reason` to what went wrong, in the user's language (it
// follows "could not be saved in “…”: ").
bool replace_file_contents(const char *path, const std::string &data, std::string &reason);
