// The project configuration files velk.yml: discovery from the project
// directory up to the repository root, the typed reading of one file, and
// the merge from the root down, nearest file winning key by key.
#include "config.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <span>
#include <type_traits>
#include <vector>

#include "os_error.h"
#include "utf8.h"
#include "yaml_reader.h"

namespace {

constexpr const char* kFileName = "velk.yml";

using Failure = tl::unexpected<std::string>;

// "{path}: " in front of a message about a value below the top level.
std::string at_path(std::string_view path) {
  return path.empty() ? std::string() : std::string(path) + ": ";
}

Failure type_error(std::string_view path, const yaml_node_t& node, std::string_view expected) {
  return Failure(at_path(path) + "invalid type: " + describe_yaml_value(node) + ", expected " +
                 std::string(expected) + yaml_position(node.start_mark));
}

// Whether a value is a null, which leaves its field absent.
tl::expected<bool, std::string> is_null(std::string_view path, const yaml_node_t& node) {
  if (node.type != YAML_SCALAR_NODE) return false;
  const auto type = resolve_scalar(node);
  if (!type) return Failure(at_path(path) + type.error());
  return *type == YamlScalarType::Null;
}

// A text field: any scalar other than a null, as written.
tl::expected<std::optional<std::string>, std::string> read_text(std::string_view path,
                                                                const yaml_node_t& node) {
  if (node.type != YAML_SCALAR_NODE) return type_error(path, node, "a string");
  const auto null = is_null(path, node);
  if (!null) return Failure(null.error());
  if (*null) return std::nullopt;
  return std::string(scalar_text(node));
}

// An integer field: an integer scalar that fits int64.
tl::expected<std::optional<std::int64_t>, std::string> read_integer(std::string_view path,
                                                                    const yaml_node_t& node) {
  constexpr std::string_view kExpected = "a signed 64-bit integer";
  if (node.type != YAML_SCALAR_NODE) return type_error(path, node, kExpected);
  const auto type = resolve_scalar(node);
  if (!type) return Failure(at_path(path) + type.error());
  if (*type == YamlScalarType::Null) return std::nullopt;
  if (*type != YamlScalarType::Int) return type_error(path, node, kExpected);
  const auto value = yaml_integer(scalar_text(node));
  if (!value) {
    return Failure(at_path(path) + "invalid value: integer `" + std::string(scalar_text(node)) +
                   "` does not fit " + std::string(kExpected) + yaml_position(node.start_mark));
  }
  return *value;
}

// Reads a struct's mapping: checks each key, skips keys that name no field
// (with their whole value), refuses a field given twice, and hands each
// field's value to `read_field(field index, value)`. Gives false for a
// null, which leaves the struct absent.
template <class ReadField>
tl::expected<bool, std::string> read_struct(const YamlDocument& document, std::string_view path,
                                            const yaml_node_t& node, std::string_view struct_name,
                                            std::span<const std::string_view> fields,
                                            ReadField read_field) {
  if (node.type == YAML_SEQUENCE_NODE) return type_error(path, node, struct_name);
  if (node.type == YAML_SCALAR_NODE) {
    const auto null = is_null(path, node);
    if (!null) return Failure(null.error());
    if (*null) return false;
    return type_error(path, node, struct_name);
  }
  std::vector<bool> seen(fields.size(), false);
  for (const yaml_node_pair_t& pair : document.pairs(node)) {
    const yaml_node_t& key = document.node(pair.key);
    if (key.type != YAML_SCALAR_NODE) return type_error(path, key, "field identifier");
    const std::string_view name = scalar_text(key);
    std::size_t field = 0;
    while (field < fields.size() && fields[field] != name) ++field;
    if (field == fields.size()) continue;
    if (seen[field]) {
      return Failure(at_path(path) + "duplicate field `" + std::string(name) + "`" +
                     yaml_position(key.start_mark));
    }
    seen[field] = true;
    if (auto done = read_field(field, document.node(pair.value)); !done) {
      return Failure(done.error());
    }
  }
  return true;
}

std::string field_path(std::string_view path, std::string_view field) {
  return path.empty() ? std::string(field) : std::string(path) + "." + std::string(field);
}

tl::expected<std::optional<DbtPlanLayer>, std::string> read_dbt_plan(const YamlDocument& document,
                                                                     const yaml_node_t& node) {
  constexpr std::string_view kPath = "dbt-plan";
  static constexpr std::array<std::string_view, 1> kFields = {"max-window-expansion-days"};
  DbtPlanLayer layer;
  const auto present = read_struct(
      document, kPath, node, "struct DbtPlanLayer", kFields,
      [&](std::size_t, const yaml_node_t& value) -> tl::expected<void, std::string> {
        auto days = read_integer(field_path(kPath, kFields[0]), value);
        if (!days) return Failure(days.error());
        layer.max_window_expansion_days = *days;
        return {};
      });
  if (!present) return Failure(present.error());
  if (!*present) return std::nullopt;
  return layer;
}

// Reads the whole file; a failure is the system's description of it.
tl::expected<std::string, std::string> read_whole_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failure(os_error_text(errno));
  std::string text;
  char buffer[65536];
  int failure = 0;
  for (;;) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) failure = errno;
    if (count <= 0) break;
    text.append(buffer, static_cast<std::size_t>(count));
  }
  ::close(fd);
  if (failure != 0) return Failure(os_error_text(failure));
  if (!is_valid_utf8(text)) return Failure("stream did not contain valid UTF-8");
  return text;
}

// Whether the metadata of a path can be queried, following symbolic links.
bool metadata_readable(const std::filesystem::path& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

// The path without its last component, computed on the text alone: "a/b"
// gives "a", "a" and "." give the empty path, "/a" gives "/", and the empty
// path and "/" have none. Trailing separators and "." components are not
// components of their own.
std::optional<std::filesystem::path> lexical_parent(const std::filesystem::path& path) {
  std::string_view text = path.native();
  const auto trim_end = [&] {
    for (;;) {
      if (text.size() > 1 && text.back() == '/') {
        text.remove_suffix(1);
      } else if (text.size() > 1 && text.ends_with("/.")) {
        text.remove_suffix(1);
      } else {
        return;
      }
    }
  };
  trim_end();
  if (text.empty() || text.find_first_not_of('/') == std::string_view::npos) return std::nullopt;
  const std::size_t slash = text.rfind('/');
  if (slash == std::string_view::npos) return std::filesystem::path();
  if (text.find_first_not_of('/') > slash) return std::filesystem::path(text.substr(0, slash + 1));
  text = text.substr(0, slash);
  trim_end();
  return std::filesystem::path(text);
}

// The directories whose velk.yml apply, from the repository root down to the
// project directory; only the project directory when no root is found.
std::vector<std::filesystem::path> candidate_directories(const std::filesystem::path& project_dir) {
  std::vector<std::filesystem::path> candidates{project_dir};
  std::filesystem::path directory = project_dir;
  for (;;) {
    if (metadata_readable(directory / ".git")) {
      return {candidates.rbegin(), candidates.rend()};
    }
    auto parent = lexical_parent(directory);
    if (!parent) return {project_dir};
    candidates.push_back(*parent);
    directory = std::move(*parent);
  }
}

void merge(MergedConfig& merged, VelkYml&& file) {
  if (file.against) merged.against = std::move(file.against);
  if (file.dbt_command) merged.dbt_command = std::move(file.dbt_command);
  if (file.dbt_args) merged.dbt_args = std::move(file.dbt_args);
  if (file.dbt_plan && file.dbt_plan->max_window_expansion_days) {
    merged.max_window_expansion_days = file.dbt_plan->max_window_expansion_days;
  }
}

}  // namespace

std::string describe_config_error(const ConfigError& error) {
  return std::visit(
      [](const auto& variant) {
        using Variant = std::decay_t<decltype(variant)>;
        if constexpr (std::is_same_v<Variant, ConfigError::Parse>) {
          return variant.path + ": " + variant.message;
        } else {
          return variant.path + ": " + variant.cause;
        }
      },
      error.error);
}

tl::expected<VelkYml, std::string> parse_velk_yml(std::string_view text) {
  static constexpr std::array<std::string_view, 4> kFields = {"against", "dbt-command", "dbt-args",
                                                              "dbt-plan"};
  const auto document = YamlDocument::load(text);
  if (!document) return Failure(document.error());
  VelkYml yml;
  const yaml_node_t* root = document->root();
  if (root == nullptr) return yml;
  const auto read = read_struct(
      *document, "", *root, "struct VelkYml", kFields,
      [&](std::size_t field, const yaml_node_t& value) -> tl::expected<void, std::string> {
        if (field == 3) {
          auto layer = read_dbt_plan(*document, value);
          if (!layer) return Failure(layer.error());
          yml.dbt_plan = std::move(*layer);
          return {};
        }
        auto text = read_text(kFields[field], value);
        if (!text) return Failure(text.error());
        std::optional<std::string>& target =
            field == 0 ? yml.against : field == 1 ? yml.dbt_command : yml.dbt_args;
        target = std::move(*text);
        return {};
      });
  if (!read) return Failure(read.error());
  return yml;
}

tl::expected<MergedConfig, ConfigError> load_velk_config(const std::filesystem::path& project_dir) {
  MergedConfig merged;
  for (const std::filesystem::path& directory : candidate_directories(project_dir)) {
    const std::filesystem::path file = directory / kFileName;
    if (!metadata_readable(file)) continue;
    auto text = read_whole_file(file);
    if (!text) return tl::unexpected(ConfigError{ConfigError::Read{display_path(file), text.error()}});
    auto yml = parse_velk_yml(*text);
    if (!yml) {
      return tl::unexpected(ConfigError{ConfigError::Parse{display_path(file), yml.error()}});
    }
    merge(merged, std::move(*yml));
  }
  return merged;
}
