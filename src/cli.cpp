// The command line: the option descriptions, the reading of the process
// arguments into a Cli, the generated help and the usage-error texts.
//
// Boost.Program_options holds the descriptions and stores the typed values;
// the reading of the argument words is done here, because the rules of this
// command go beyond what that library's parser offers: a value-taking option
// never takes a following word that looks like an option (except
// --dbt-args), every option (flags included) may be given at most once,
// flags never take a value, unknown options get a suggestion, text values
// must be UTF-8 and path values must not be empty.
#include "cli.h"

#include <unistd.h>

#include <cstdlib>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <boost/program_options/parsers.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <boost/program_options/variables_map.hpp>

#include "internal_error.h"
#include "suggest.h"
#include "utf8.h"

namespace po = boost::program_options;

namespace {

// A path option's value: the argument's bytes unchanged, in the platform's
// own string form.
struct CliPath {
  std::filesystem::path path;
};

// How Boost.Program_options stores a path value (found by argument-dependent
// lookup).
void validate(boost::any& value, const std::vector<std::string>& words, CliPath*, int) {
  po::validators::check_first_occurrence(value);
  value = CliPath{std::filesystem::path(po::validators::get_single_string(words))};
}

enum class ValueKind { Text, Path, Flag };

struct OptionDefinition {
  std::string_view id;  // the Cli field; the long name has '-' for '_'
  char short_name;      // 0 for none
  std::string_view value_name;
  ValueKind kind;
  bool required;
  std::string_view help;
};

constexpr std::string_view kName = "velk-dbt-plan";
constexpr std::string_view kVersion = "0.2.1";
constexpr std::string_view kAbout =
    "velk-dbt-plan: a static microbatch cascading time-window planner for dbt. Never executes "
    "anything -- see the spec's \xC2\xA7" "7 for why this is a permanent boundary, not a v1 scope cut";

// The one option whose separate value may begin with a hyphen.
constexpr std::string_view kHyphenValueOption = "dbt-args";

constexpr OptionDefinition kOptions[] = {
    {"select", 's', "SELECT", ValueKind::Text, true,
     "The dbt selector defining the target subgraph -- forwarded verbatim to `dbt ls --select` "
     "(dbt's own selector grammar; see `select`'s module doc comment for why this is a "
     "passthrough, not a reimplementation)"},
    {"exclude", 0, "EXCLUDE", ValueKind::Text, false,
     "Forwarded verbatim to `dbt ls --exclude`, same as `--select`"},
    {"event_time_start", 0, "EVENT_TIME_START", ValueKind::Text, false,
     "Explicit Anchor window start. Must be passed together with `--event-time-end`, or not at "
     "all (defaults every Entry Node to yesterday -- see \xC2\xA7" "4)"},
    {"event_time_end", 0, "EVENT_TIME_END", ValueKind::Text, false,
     "Explicit Anchor window end. Must be passed together with `--event-time-start`, or not at "
     "all"},
    {"project_dir", 0, "PROJECT_DIR", ValueKind::Path, false,
     "The dbt project directory. Defaults to the current directory"},
    {"manifest", 0, "MANIFEST", ValueKind::Path, false,
     "Path to the compiled manifest. Defaults to `<project-dir>/target/manifest.json`"},
    {"output_file", 'o', "OUTPUT_FILE", ValueKind::Path, false,
     "Destination for the generated plan JSON. Defaults to "
     "`<project-dir>/target/velk/dbt_plan.json`"},
    {"pretty", 0, "", ValueKind::Flag, false,
     "Also renders an ASCII tree of the plan to the terminal, in addition to writing the JSON"},
    {"html", 0, "", ValueKind::Flag, false,
     "Also writes a self-contained, interactive HTML visual report to "
     "`<project-dir>/target/velk/dbt-plan/dbt_plan_<timestamp>.html` -- a directory distinct "
     "from wherever the JSON goes. Opt-in only, like `--pretty`: never generated unless this is "
     "passed, since most runs (typically CI, disposable) don't need it"},
    {"dbt_command", 0, "DBT_COMMAND", ValueKind::Text, false,
     "Executable/prefix used for every internal `dbt` invocation this addon makes (`dbt parse` "
     "for manifest freshness, `dbt ls` for selection). Precedence: this flag, then `velk.yml`'s "
     "top-level `dbt-command` (shared with `velk-cli`'s own dbt-invocation config), then "
     "`\"dbt\"`"},
    {"dbt_args", 0, "DBT_ARGS", ValueKind::Text, false,
     "Extra arguments (shell-word-style, e.g. `\"--target ci\"`) appended to every internal "
     "`dbt` invocation this addon makes. Precedence: this flag, then `velk.yml`'s top-level "
     "`dbt-args` (shared with `velk-cli`), then none. Its value may begin with a hyphen, since "
     "it usually starts with `--` itself (e.g. `--dbt-args --target` or `--dbt-args \"--target "
     "ci\"`), which would otherwise be taken for another option"},
    {"against", 0, "AGAINST", ValueKind::Text, false,
     "The ref `state:`-method selectors are compared against, when `--state` isn't given "
     "explicitly. Precedence: this flag, then `velk.yml`'s top-level `against` (shared with "
     "`velk-cli`'s own git-native Baseline resolution), then `\"master\"`"},
    {"state", 0, "STATE", ValueKind::Path, false,
     "An explicit, already-compiled manifest directory to pass as `dbt ls --state`, for a "
     "`state:`-method selector. Wins outright over `--against` if given -- no git involved at "
     "all. Mutually exclusive with `--against` only in the sense that this, if present, always "
     "takes priority; both may technically be passed, but `--against` is then simply unused"},
    {"anchor", 0, "ANCHOR", ValueKind::Text, false,
     "Names the single model within `--select`'s resolved selection that the literal "
     "`--event-time-start`/`--event-time-end` window actually anchors on, instead of applying "
     "to every Entry Node (the default, no-`--anchor` behavior). Not inferred from `--select`'s "
     "`+`/graph-operator shape -- deliberately, so this never needs to parse any part of dbt's "
     "own selector grammar (see `select`'s module doc comment for the same principle already "
     "followed there). Must name a model actually present in `--select`'s resolved selection, "
     "or this fails with a clear error. When given, `--event-time-start`/`--event-time-end` "
     "become mandatory -- there is no yesterday-default on this path (see `plan`'s module doc "
     "comment for the full algorithm)"},
};

std::string long_name_of(std::string_view id) {
  std::string name(id);
  for (char& c : name) {
    if (c == '_') c = '-';
  }
  return name;
}

// What the reading of the arguments and the help need to know of one
// option, taken from its description.
struct OptionInfo {
  std::string long_name;
  char short_name = 0;
  std::string value_name;  // empty for a flag
  ValueKind kind = ValueKind::Flag;
  bool required = false;
  std::string help;

  // "--select <SELECT>" or "--pretty": how messages name the option.
  std::string display() const {
    return value_name.empty() ? "--" + long_name : "--" + long_name + " <" + value_name + ">";
  }
};

std::vector<OptionInfo> option_infos(const po::options_description& options) {
  std::vector<OptionInfo> infos;
  for (const auto& option : options.options()) {
    OptionInfo info;
    info.long_name = option->long_name();
    const std::string short_form =
        option->canonical_display_name(po::command_line_style::allow_dash_for_short);
    if (short_form.size() == 2 && short_form[0] == '-') info.short_name = short_form[1];
    const po::value_semantic& semantic = *option->semantic();
    if (semantic.max_tokens() > 0) {
      info.value_name = semantic.name();
      info.kind = dynamic_cast<const po::typed_value<CliPath>*>(&semantic) != nullptr
                      ? ValueKind::Path
                      : ValueKind::Text;
    }
    info.required = semantic.is_required();
    info.help = option->description();
    infos.push_back(std::move(info));
  }
  return infos;
}

// Terminal styles, or nothing when colour is off.
struct Style {
  bool colour = false;

  std::string paint(std::string_view code, std::string_view text) const {
    if (!colour) return std::string(text);
    return "\x1b[" + std::string(code) + "m" + std::string(text) + "\x1b[0m";
  }
  std::string error(std::string_view text) const { return paint("1;31", text); }
  std::string heading(std::string_view text) const { return paint("1;4", text); }
  std::string literal(std::string_view text) const { return paint("1", text); }
  std::string tip(std::string_view text) const { return paint("32", text); }
};

constexpr std::size_t kHelpWidth = 100;
constexpr std::size_t kHelpIndent = 10;

std::size_t display_width(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  }
  return width;
}

// The text broken at spaces into lines of at most `width - indent` columns
// (a longer word stands alone), each line indented and ended by a newline.
std::string wrap(std::string_view text, std::size_t indent, std::size_t width) {
  const std::size_t room = width > indent ? width - indent : 1;
  std::string out;
  std::string line;
  std::size_t line_width = 0;
  const auto flush = [&] {
    out.append(indent, ' ');
    out += line;
    out += '\n';
    line.clear();
    line_width = 0;
  };
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t space = text.find(' ', pos);
    const std::string_view word =
        text.substr(pos, space == std::string_view::npos ? std::string_view::npos : space - pos);
    pos = space == std::string_view::npos ? text.size() : space + 1;
    if (word.empty()) continue;
    const std::size_t word_width = display_width(word);
    if (line_width > 0 && line_width + 1 + word_width > room) flush();
    if (line_width > 0) {
      line += ' ';
      ++line_width;
    }
    line += word;
    line_width += word_width;
  }
  if (line_width > 0 || out.empty()) flush();
  return out;
}

std::string usage_line(const CliCommand& command, const Style& style) {
  std::string line = style.heading("Usage:") + " " + style.literal(command.name) + " [OPTIONS]";
  for (const OptionInfo& option : option_infos(command.options)) {
    if (!option.required) continue;
    line += " " + style.literal("--" + option.long_name);
    if (!option.value_name.empty()) line += " <" + option.value_name + ">";
  }
  return line;
}

std::string help_text(const CliCommand& command, const Style& style) {
  std::string out = wrap(command.about, 0, kHelpWidth);
  out += "\n" + usage_line(command, style) + "\n\n" + style.heading("Options:") + "\n";
  bool first = true;
  for (const OptionInfo& option : option_infos(command.options)) {
    if (!first) out += '\n';
    first = false;
    std::string names = option.short_name != 0
                            ? std::string("-") + option.short_name + ", --" + option.long_name
                            : "    --" + option.long_name;
    out += "  " + style.literal(names);
    if (!option.value_name.empty()) out += " <" + option.value_name + ">";
    out += '\n';
    out += wrap(option.help, kHelpIndent, kHelpWidth);
  }
  return out;
}

std::string quote(std::string_view word) { return "'" + decode_lossy(word) + "'"; }

CliError unknown_argument(std::string_view word, std::optional<std::string> tip = std::nullopt) {
  return CliError{"unexpected argument " + quote(word) + " found", std::move(tip)};
}

CliError unknown_long_option(std::string_view name, const std::vector<OptionInfo>& options) {
  std::vector<std::string> long_names;
  for (const OptionInfo& option : options) long_names.push_back(option.long_name);
  std::optional<std::string> tip;
  if (auto similar = most_similar(name, long_names)) {
    tip = "a similar argument exists: '--" + *similar + "'";
  }
  return unknown_argument("--" + std::string(name), std::move(tip));
}

CliError missing_value(const OptionInfo& option, std::optional<std::string_view> hyphen_word) {
  CliError error{"a value is required for '" + option.display() + "' but none was supplied",
                 std::nullopt};
  if (hyphen_word) {
    const std::string word = decode_lossy(*hyphen_word);
    error.tip = "to pass '" + word + "' as the value, use '--" + option.long_name + "=" + word + "'";
  }
  return error;
}

enum class Request { Help, Version };

// What reading the arguments gives: the options for the store, a request for
// help or version, or a usage error.
using Reading = std::variant<po::parsed_options, Request, CliError>;

class ArgumentReader {
 public:
  ArgumentReader(const po::options_description& description, int argc, const char* const* argv)
      : options_(option_infos(description)),
        seen_(options_.size(), false),
        parsed_(&description, po::command_line_style::allow_long),
        argc_(argc),
        argv_(argv) {}

  Reading read() {
    bool options_ended = false;
    for (next_ = 1; next_ < argc_;) {
      const std::string_view word = argv_[next_++];
      std::optional<Reading> outcome;
      if (options_ended || word.size() < 2 || word[0] != '-') {
        return unknown_argument(word);
      } else if (word == "--") {
        options_ended = true;
      } else if (word.starts_with("--")) {
        outcome = read_long(word);
      } else {
        outcome = read_short(word);
      }
      if (outcome) return std::move(*outcome);
    }
    for (std::size_t i = 0; i < options_.size(); ++i) {
      if (options_[i].required && !seen_[i]) {
        return CliError{
            "the following required argument was not provided: " + options_[i].display(),
            std::nullopt};
      }
    }
    return std::move(parsed_);
  }

 private:
  std::optional<Reading> read_long(std::string_view word) {
    const std::string_view body = word.substr(2);
    const std::size_t equals = body.find('=');
    const std::string_view name = body.substr(0, equals);
    std::optional<std::string_view> attached;
    if (equals != std::string_view::npos) attached = body.substr(equals + 1);
    for (std::size_t i = 0; i < options_.size(); ++i) {
      if (options_[i].long_name == name) return take(i, word, attached);
    }
    if (name.empty()) return unknown_argument(word);
    return unknown_long_option(name, options_);
  }

  // A cluster of short options: flags, optionally ended by one value-taking
  // option whose value is the rest of the word or the next word.
  std::optional<Reading> read_short(std::string_view word) {
    for (std::size_t pos = 1; pos < word.size(); ++pos) {
      const char letter = word[pos];
      std::size_t index = options_.size();
      for (std::size_t i = 0; i < options_.size(); ++i) {
        if (options_[i].short_name != 0 && options_[i].short_name == letter) index = i;
      }
      if (index == options_.size()) {
        const bool ascii = (static_cast<unsigned char>(letter) & 0x80) == 0;
        return unknown_argument(ascii ? std::string("-") + letter : std::string(word));
      }
      std::optional<std::string_view> attached;
      if (options_[index].kind != ValueKind::Flag && pos + 1 < word.size()) {
        attached = word.substr(pos + 1);
      }
      if (auto outcome = take(index, word, attached)) return outcome;
      if (options_[index].kind != ValueKind::Flag) break;
    }
    return std::nullopt;
  }

  // Records one occurrence of an option; nothing when reading goes on.
  std::optional<Reading> take(std::size_t index, std::string_view word,
                              std::optional<std::string_view> attached) {
    const OptionInfo& option = options_[index];
    if (option.kind == ValueKind::Flag && attached) {
      return CliError{"unexpected value " + quote(*attached) + " for '" + option.display() +
                          "' found; no more were expected",
                      std::nullopt};
    }
    if (option.long_name == "help") return Request::Help;
    if (option.long_name == "version") return Request::Version;
    if (seen_[index]) {
      return CliError{"the argument '" + option.display() + "' cannot be used multiple times",
                      std::nullopt};
    }
    seen_[index] = true;
    po::option stored(option.long_name, {});
    stored.original_tokens.emplace_back(word);
    if (option.kind == ValueKind::Flag) {
      parsed_.options.push_back(std::move(stored));
      return std::nullopt;
    }
    std::string_view value;
    if (attached) {
      value = *attached;
    } else {
      if (next_ >= argc_) return missing_value(option, std::nullopt);
      const std::string_view following = argv_[next_];
      const bool looks_like_option = following.size() > 1 && following[0] == '-';
      if (looks_like_option && option.long_name != kHyphenValueOption) {
        return missing_value(option, following);
      }
      value = following;
      stored.original_tokens.emplace_back(following);
      ++next_;
    }
    if (option.kind == ValueKind::Text && !is_valid_utf8(value)) {
      return CliError{"invalid UTF-8 was detected in the value of '" + option.display() + "'",
                      "only path options take values that are not UTF-8"};
    }
    if (option.kind == ValueKind::Path && value.empty()) {
      return CliError{"an empty value is not a valid path for '" + option.display() + "'",
                      "give a non-empty path, or leave the option out"};
    }
    stored.value.emplace_back(value);
    parsed_.options.push_back(std::move(stored));
    return std::nullopt;
  }

  std::vector<OptionInfo> options_;
  std::vector<bool> seen_;
  po::parsed_options parsed_;
  int argc_;
  const char* const* argv_;
  int next_ = 1;
};

// A stored value moved out by its field identifier; absent when the option
// was not given. A value of another type than requested is a programming
// error: the descriptions and the reading back always agree.
template <class T>
std::optional<T> take_value(po::variables_map& values, std::string_view id) {
  const auto found = values.find(long_name_of(id));
  if (found == values.end() || found->second.empty()) return std::nullopt;
  T* value = boost::any_cast<T>(&found->second.value());
  if (value == nullptr) {
    internal_error("option `" + std::string(id) + "` read back with another type than its own");
  }
  return std::move(*value);
}

std::optional<std::filesystem::path> take_path(po::variables_map& values, std::string_view id) {
  auto value = take_value<CliPath>(values, id);
  if (!value) return std::nullopt;
  return std::move(value->path);
}

CliExit missing_at_extraction(std::string_view id, const CliColours& colours) {
  return format_cli_error(
      CliError{"the following required argument was not provided: " + std::string(id),
               std::nullopt},
      colours.stderr_colour);
}

// The fields in declaration order; the first of select, pretty and html
// without a value stops the extraction.
tl::expected<Cli, CliExit> extract(po::variables_map& values, const CliColours& colours) {
  Cli cli;
  auto select = take_value<std::string>(values, "select");
  if (!select) return tl::unexpected(missing_at_extraction("select", colours));
  cli.select = std::move(*select);
  cli.exclude = take_value<std::string>(values, "exclude");
  cli.event_time_start = take_value<std::string>(values, "event_time_start");
  cli.event_time_end = take_value<std::string>(values, "event_time_end");
  cli.project_dir = take_path(values, "project_dir");
  cli.manifest = take_path(values, "manifest");
  cli.output_file = take_path(values, "output_file");
  const auto pretty = take_value<bool>(values, "pretty");
  if (!pretty) return tl::unexpected(missing_at_extraction("pretty", colours));
  cli.pretty = *pretty;
  const auto html = take_value<bool>(values, "html");
  if (!html) return tl::unexpected(missing_at_extraction("html", colours));
  cli.html = *html;
  cli.dbt_command = take_value<std::string>(values, "dbt_command");
  cli.dbt_args = take_value<std::string>(values, "dbt_args");
  cli.against = take_value<std::string>(values, "against");
  cli.state = take_path(values, "state");
  cli.anchor = take_value<std::string>(values, "anchor");
  return cli;
}

bool stream_colour(const EnvLookup& env, bool is_terminal) {
  const auto value = [&](const char* name) -> std::optional<std::string_view> {
    const char* text = env(name);
    if (text == nullptr) return std::nullopt;
    return std::string_view(text);
  };
  if (const auto no_color = value("NO_COLOR"); no_color && !no_color->empty()) return false;
  if (const auto force = value("CLICOLOR_FORCE"); force && *force != "0") return true;
  if (!is_terminal) return false;
  if (value("CLICOLOR") == "0") return false;
  if (value("TERM") == "dumb") return false;
  if (value("CI")) return false;
  return true;
}

}  // namespace

CliCommand cli_command() {
  po::options_description group("Cli");
  for (const OptionDefinition& definition : kOptions) {
    std::string names = long_name_of(definition.id);
    if (definition.short_name != 0) names += std::string(",") + definition.short_name;
    const std::string value_name(definition.value_name);
    po::value_semantic* semantic = nullptr;
    switch (definition.kind) {
      case ValueKind::Text: {
        auto* text = po::value<std::string>()->value_name(value_name);
        semantic = definition.required ? text->required() : text;
        break;
      }
      case ValueKind::Path:
        semantic = po::value<CliPath>()->value_name(value_name);
        break;
      case ValueKind::Flag:
        semantic = po::bool_switch();
        break;
    }
    group.add_options()(names.c_str(), semantic, std::string(definition.help).c_str());
  }
  CliCommand command{std::string(kName), std::string(kVersion), std::string(kAbout), {}};
  command.options.add(group);
  command.options.add_options()("help,h", "Print help")("version,V", "Print version");
  return command;
}

CliExit format_cli_error(const CliError& error, bool colour) {
  const Style style{colour};
  const CliCommand command = cli_command();
  std::string text = style.error("error:") + " " + error.message + "\n";
  if (error.tip) text += "\n  " + style.tip("tip:") + " " + *error.tip + "\n";
  text += "\n" + usage_line(command, style) + "\n\nFor more information, try '" +
          style.literal("--help") + "'.\n";
  return CliExit{std::move(text), true, 2};
}

std::string cli_help(bool colour) { return help_text(cli_command(), Style{colour}); }

tl::expected<Cli, CliExit> parse_cli(int argc, const char* const* argv, CliColours colours) {
  const CliCommand command = cli_command();
  Reading reading = ArgumentReader(command.options, argc, argv).read();
  if (const auto* request = std::get_if<Request>(&reading)) {
    if (*request == Request::Help) {
      return tl::unexpected(CliExit{help_text(command, Style{colours.stdout_colour}), false, 0});
    }
    return tl::unexpected(CliExit{command.name + " " + command.version + "\n", false, 0});
  }
  if (const auto* error = std::get_if<CliError>(&reading)) {
    return tl::unexpected(format_cli_error(*error, colours.stderr_colour));
  }
  po::variables_map values;
  try {
    po::store(std::get<po::parsed_options>(reading), values);
    po::notify(values);
  } catch (const po::error& error) {
    internal_error(std::string("the option parser refused a checked command line: ") +
                   error.what());
  }
  return extract(values, colours);
}

CliColours detect_cli_colours(const EnvLookup& env, bool stdout_is_terminal,
                              bool stderr_is_terminal) {
  return CliColours{stream_colour(env, stdout_is_terminal), stream_colour(env, stderr_is_terminal)};
}

CliColours detect_cli_colours() {
  return detect_cli_colours([](const char* name) -> const char* { return std::getenv(name); },
                            ::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1);
}
