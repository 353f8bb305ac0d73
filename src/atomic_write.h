// The atomic file writer that every output file goes through: a temporary
// file in the destination's directory, moved over the destination by one
// rename, so a reader sees the old file or the whole new one.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

// The path with its last component removed, by path arithmetic alone: a bare
// file name gives the empty path (the current directory); the root and the
// empty path have no parent. Trailing separators and "." components are not
// components of their own.
std::optional<std::filesystem::path> parent_directory(const std::filesystem::path& path);

// Writes `bytes` to `path` through a temporary file and one rename, so a
// reader sees the old file or the whole new one. Fails with one message and
// leaves no temporary file behind; directories it created stay. The file
// gets the permission bits of the regular file it replaces, or else those
// of a file created directly (0666 less the umask); until it is complete
// the temporary file is the owner's alone. A stop
// signal recorded before the rename (signals.h) fails it too, with the
// destination untouched.
tl::expected<void, std::string> write_atomically(const std::filesystem::path& path,
                                                 std::string_view bytes);
