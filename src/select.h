// Model selection through `dbt ls`.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <tl/expected.hpp>

#include "manifest.h"
#include "selection.h"

struct SelectError {
  struct SpawnFailed {
    std::string program;  // the whole dbt command text
    std::string cause;
  };
  struct Failed {
    std::string program;
    std::string stdout_text;
    std::string stderr_text;
  };
  struct UnknownModel {
    std::string program;
    std::string name;
  };
  std::variant<SpawnFailed, Failed, UnknownModel> error;
};

std::string describe_select_error(const SelectError& error);

tl::expected<Selection, SelectError> select_models(
    const std::filesystem::path& project_dir, const Manifest& manifest,
    std::string_view dbt_command, const std::vector<std::string>& dbt_args,
    std::string_view select, std::optional<std::string_view> exclude,
    const std::optional<std::filesystem::path>& baseline_dir);
