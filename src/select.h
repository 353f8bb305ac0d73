// Model selection through `dbt ls`.
//
// The `--select` and `--exclude` texts are handed to dbt unparsed, split
// into words only as a shell would, and the plan covers exactly the models
// that `dbt ls` prints. The selector language is dbt's, not ours: graph
// operators (`+model`, `model+`, `2+model`, `@model`), set operators (space
// for a union, comma for an intersection), methods such as `tag:`, `path:`,
// `config.`, `source:`, `package:` and `state:` (which compares against a
// baseline manifest by dbt's own rules for what counts as modified), named
// selectors from selectors.yml, wildcards, and whatever the installed dbt
// version and its adapters add. A second implementation of that language
// would drift from dbt's with every release and quietly disagree with it on
// the models a user then builds with the same selector; asking dbt costs one
// process start and gives the same answer `dbt build --select` acts on.
//
// The printed names (a versioned model's as "name.v2") are mapped back to
// unique ids through the loaded manifest, so a name that is not a model
// there is an error rather than a silent gap in the plan.
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

// Maps what `dbt ls --output name` printed to the selected models' unique
// ids. Each line, trimmed of white space, must be the printed name of a
// model (not a source) in `manifest` (Node::printed_name); blank lines are
// skipped and repeats count once.
// `program` is the dbt command text, for the error.
tl::expected<Selection, SelectError> selection_from_ls_output(const Manifest& manifest,
                                                              std::string_view program,
                                                              std::string_view stdout_bytes);

tl::expected<Selection, SelectError> select_models(
    const std::filesystem::path& project_dir, const Manifest& manifest,
    std::string_view dbt_command, const std::vector<std::string>& dbt_args,
    std::string_view select, std::optional<std::string_view> exclude,
    const std::optional<std::filesystem::path>& baseline_dir);
