// The manifest freshness check: `dbt parse` when the compiled manifest is
// missing or older than any project source file.
#pragma once

#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

// A modification time, compared by seconds and then nanoseconds.
struct FileTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;

  friend auto operator<=>(const FileTime&, const FileTime&) = default;
};

// Runs `dbt parse` in the project directory when the manifest is stale.
// Fails with one message; prints nothing.
tl::expected<void, std::string> refresh_manifest(const std::filesystem::path& project_dir,
                                                 const std::filesystem::path& manifest_path,
                                                 std::string_view dbt_command,
                                                 const std::vector<std::string>& dbt_args);

// Folds the modification time of every file below `dir` into `newest`. A
// directory left unread for lack of descriptors or memory folds in a time
// later than any file's, so that the manifest is never wrongly taken as fresh.
void newest_source_mtime(const std::filesystem::path& dir, std::optional<FileTime>& newest);
