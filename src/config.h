// The project configuration files velk.yml, found from the repository root
// down to the project directory and merged key by key, nearest file winning.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include <tl/expected.hpp>

struct DbtPlanLayer {
  std::optional<std::int64_t> max_window_expansion_days;
};

struct VelkYml {
  std::optional<std::string> against;
  std::optional<std::string> dbt_command;
  std::optional<std::string> dbt_args;
  std::optional<DbtPlanLayer> dbt_plan;
};

struct MergedConfig {
  std::optional<std::int64_t> max_window_expansion_days;
  std::optional<std::string> dbt_command;
  std::optional<std::string> dbt_args;
  std::optional<std::string> against;
};

struct ConfigError {
  struct Parse {
    std::string path;
    std::string message;  // the YAML reader's message, with line and column
  };
  struct Read {
    std::string path;
    std::string cause;
  };
  std::variant<Parse, Read> error;
};

// "{path}: {cause}".
std::string describe_config_error(const ConfigError& error);

// Reads one file's text; fails with the reader's message.
tl::expected<VelkYml, std::string> parse_velk_yml(std::string_view text);

tl::expected<MergedConfig, ConfigError> load_velk_config(const std::filesystem::path& project_dir);
