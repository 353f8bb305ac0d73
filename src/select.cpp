// Model selection through `dbt ls`: builds and runs the command, then maps
// each printed name to the unique id of a model in the loaded manifest.
#include "select.h"

#include <algorithm>
#include <utility>

#include "os_error.h"
#include "process.h"
#include "quoted.h"
#include "shell_words.h"
#include "utf8.h"

namespace {

// Printed name to the one model that name selects. `dbt ls --output name`
// prints a model as its name, and one version of a versioned model as its
// name, ".v" and the version ("dim_customers.v2"). Several models may share
// a printed name (in different packages); the one with the lowest unique id
// in byte order wins, so one manifest and one command line always give the
// same plan, whatever order the node table iterates in. Sources are left
// out: `dbt ls --resource-type model` never names one.
ViewMap<std::string_view> index_models_by_name(const Manifest& manifest) {
  ViewMap<std::string_view> index;
  index.reserve(manifest.nodes.size());
  for (const Node& node : manifest.nodes) {
    if (node.is_source) continue;
    const auto [at, inserted] = index.try_emplace(node.printed_name(), node.unique_id);
    if (!inserted && std::string_view(node.unique_id) < at->second) at->second = node.unique_id;
  }
  return index;
}

SelectError spawn_failed(std::string_view program, std::string cause) {
  return SelectError{SelectError::SpawnFailed{std::string(program), std::move(cause)}};
}

// Splits a selector text, or says which option could not be split.
tl::expected<std::vector<std::string>, std::string> selector_words(std::string_view option,
                                                                   std::string_view text) {
  auto words = split_shell_words(text);
  if (!words) {
    return tl::make_unexpected("could not parse " + std::string(option) + " " + quoted_form(text) +
                               ": " + words.error());
  }
  return words;
}

}  // namespace

std::string describe_select_error(const SelectError& error) {
  struct Render {
    std::string operator()(const SelectError::SpawnFailed& e) const {
      return "could not run `" + e.program + " ls`: " + e.cause;
    }
    std::string operator()(const SelectError::Failed& e) const {
      return "`" + e.program + " ls` failed:\nstdout:\n" + e.stdout_text + "\nstderr:\n" +
             e.stderr_text;
    }
    std::string operator()(const SelectError::UnknownModel& e) const {
      return "`" + e.program + " ls` selected " + quoted_form(e.name) +
             ", which isn't a model in the compiled manifest -- the manifest at --manifest is "
             "likely out of sync with the current project state; delete it and rerun (or point "
             "--manifest at a freshly compiled one)";
    }
  };
  return std::visit(Render{}, error.error);
}

tl::expected<Selection, SelectError> selection_from_ls_output(const Manifest& manifest,
                                                              std::string_view program,
                                                              std::string_view stdout_bytes) {
  const ViewMap<std::string_view> index = index_models_by_name(manifest);
  // Decoded only when it is not UTF-8 already.
  std::string decoded;
  std::string_view rest_of_text = stdout_bytes;
  if (!is_valid_utf8(stdout_bytes)) {
    decoded = decode_lossy(stdout_bytes);
    rest_of_text = decoded;
  }
  Selection selection;
  // One entry per line at most, and never more than there are models: the
  // output may hold any number of blank or repeated lines.
  const auto lines = static_cast<std::size_t>(std::count(rest_of_text.begin(), rest_of_text.end(), '\n')) + 1;
  selection.reserve(std::min(lines, index.size()));
  std::size_t start = 0;
  while (start < rest_of_text.size()) {
    std::size_t end = rest_of_text.find('\n', start);
    if (end == std::string_view::npos) end = rest_of_text.size();
    // Trimming also takes the carriage return of a CRLF line ending.
    const std::string_view name = trim_white_space(rest_of_text.substr(start, end - start));
    start = end + 1;
    if (name.empty()) continue;
    const auto found = index.find(name);
    if (found == index.end()) {
      return tl::make_unexpected(
          SelectError{SelectError::UnknownModel{std::string(program), std::string(name)}});
    }
    selection.emplace(found->second);
  }
  return selection;
}

tl::expected<Selection, SelectError> select_models(
    const std::filesystem::path& project_dir, const Manifest& manifest,
    std::string_view dbt_command, const std::vector<std::string>& dbt_args, std::string_view select,
    std::optional<std::string_view> exclude,
    const std::optional<std::filesystem::path>& baseline_dir) {
  auto words = split_shell_words(dbt_command);
  if (!words) return tl::make_unexpected(spawn_failed(dbt_command, words.error()));
  if (words->empty()) {
    return tl::make_unexpected(
        spawn_failed(dbt_command, "--dbt-command resolved to an empty command"));
  }
  std::vector<std::string> args(words->begin() + 1, words->end());

  auto select_words = selector_words("--select", select);
  if (!select_words) return tl::make_unexpected(spawn_failed(dbt_command, select_words.error()));
  for (const char* fixed :
       {"ls", "--resource-type", "model", "--output", "name", "--quiet", "--select"}) {
    args.emplace_back(fixed);
  }
  args.insert(args.end(), select_words->begin(), select_words->end());

  if (exclude) {
    auto exclude_words = selector_words("--exclude", *exclude);
    if (!exclude_words)
      return tl::make_unexpected(spawn_failed(dbt_command, exclude_words.error()));
    args.emplace_back("--exclude");
    args.insert(args.end(), exclude_words->begin(), exclude_words->end());
  }
  if (baseline_dir) {
    args.emplace_back("--state");
    args.push_back(baseline_dir->native());  // raw bytes, relative or not
  }
  args.insert(args.end(), dbt_args.begin(), dbt_args.end());

  const auto output = run_process(words->front(), args, project_dir);
  if (!output) return tl::make_unexpected(spawn_failed(dbt_command, os_error_text(output.error())));
  if (!output->succeeded()) {
    return tl::make_unexpected(SelectError{
        SelectError::Failed{std::string(dbt_command), decode_lossy(output->stdout_bytes),
                            decode_lossy(output->stderr_bytes)}});
  }
  return selection_from_ls_output(manifest, dbt_command, output->stdout_bytes);
}
