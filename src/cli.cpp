// The command line: the option descriptions, the reading of the process
// arguments into a Cli, the generated help and the usage-error texts.
//
// Boost.Program_options reads the words: it refuses repeats, values on
// flags, unknown options and stray words, and its validators refuse text
// values that are not UTF-8 and empty paths. The thin layer here adds what
// it lacks: a value-taking option never takes a following word that looks
// like an option (except --dbt-args), help and version are answered before
// --select is demanded, unknown options get a suggestion, and every error
// is worded for this command.
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

// A text option's value: valid UTF-8, possibly empty.
struct CliText {
  std::string text;
};

// How Boost.Program_options checks and stores the two kinds of value (found
// by argument-dependent lookup).
void validate(boost::any& value, const std::vector<std::string>& words, CliPath*, int) {
  po::validators::check_first_occurrence(value);
  const std::string& word = po::validators::get_single_string(words, true);
  if (word.empty()) throw po::invalid_option_value(word);
  value = CliPath{std::filesystem::path(word)};
}

void validate(boost::any& value, const std::vector<std::string>& words, CliText*, int) {
  po::validators::check_first_occurrence(value);
  const std::string& word = po::validators::get_single_string(words, true);
  if (!is_valid_utf8(word)) throw po::invalid_option_value("");
  value = CliText{word};
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
    std::string flag = "--";
    flag += option.long_name;
    line += ' ';
    line += style.literal(flag);
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

std::string quote(std::string_view word) {
  std::string text = "'";
  text += decode_lossy(word);
  text += '\'';
  return text;
}

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

const OptionInfo* find_long(const std::vector<OptionInfo>& options, std::string_view name) {
  for (const OptionInfo& option : options) {
    if (option.long_name == name) return &option;
  }
  return nullptr;
}

const OptionInfo* find_short(const std::vector<OptionInfo>& options, char letter) {
  for (const OptionInfo& option : options) {
    if (option.short_name != 0 && option.short_name == letter) return &option;
  }
  return nullptr;
}

// The option that a word names on its own, waiting for its value in the next
// word: "--name" without "=", or a short option standing alone ("-s").
const OptionInfo* option_awaiting_value(const std::vector<OptionInfo>& options,
                                        std::string_view word) {
  const OptionInfo* option = nullptr;
  if (word.starts_with("--") && word.find('=') == std::string_view::npos) {
    option = find_long(options, word.substr(2));
  } else if (word.size() == 2 && word[0] == '-' && word[1] != '-') {
    option = find_short(options, word[1]);
  }
  return option != nullptr && option->kind != ValueKind::Flag ? option : nullptr;
}

bool is_help_or_version_option(const OptionInfo* option, Request& request) {
  if (option == nullptr || (option->long_name != "help" && option->long_name != "version")) {
    return false;
  }
  request = option->long_name == "help" ? Request::Help : Request::Version;
  return true;
}

// Whether `word` asks for help or version: "--help", "--version", or a
// group of short options ("-h", "-hV", "-Vs") in which -h or -V comes
// before any letter that takes a value (whose value is the rest of the
// word: "-sh" selects "h").
bool is_help_or_version(const std::vector<OptionInfo>& options, std::string_view word,
                        Request& request) {
  if (word.starts_with("--")) return is_help_or_version_option(find_long(options, word.substr(2)), request);
  if (word.size() < 2 || word[0] != '-') return false;
  for (const char letter : word.substr(1)) {
    const OptionInfo* option = find_short(options, letter);
    if (is_help_or_version_option(option, request)) return true;
    if (option == nullptr || option->kind != ValueKind::Flag) return false;
  }
  return false;
}

// The argument words as the option parser is to read them, after the rules
// it lacks. A value-taking option does not take a following word that looks
// like an option (other than a lone "-"), except --dbt-args, whose next word
// is always its value; "--name=" with nothing after the sign is the empty
// value, which the parser would refuse; and help or version ends the words.
struct PreparedWords {
  std::vector<std::string> words;
  std::optional<Request> request;
};

tl::expected<PreparedWords, CliError> prepare_words(const std::vector<OptionInfo>& options,
                                                    int argc, const char* const* argv) {
  PreparedWords prepared;
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (options_ended) {
      prepared.words.emplace_back(word);
      continue;
    }
    if (word == "--") {
      options_ended = true;
      prepared.words.emplace_back(word);
      continue;
    }
    Request request;
    if (is_help_or_version(options, word, request)) {
      prepared.request = request;
      break;
    }
    if (const OptionInfo* option = option_awaiting_value(options, word)) {
      prepared.words.emplace_back(word);
      if (i + 1 >= argc) continue;  // the parser reports the missing value
      const std::string_view value = argv[i + 1];
      const bool hyphen_value = value.size() > 1 && value[0] == '-';
      if (hyphen_value && option->long_name != kHyphenValueOption) {
        return tl::unexpected(missing_value(*option, value));
      }
      if (hyphen_value) {
        // Attached, so that the parser cannot take it for an option.
        prepared.words.back() = "--" + option->long_name + "=" + std::string(value);
      } else {
        prepared.words.emplace_back(value);
      }
      ++i;
      continue;
    }
    if (word.starts_with("--") && word.ends_with("=")) {
      const OptionInfo* option = find_long(options, word.substr(2, word.size() - 3));
      if (option != nullptr && option->kind != ValueKind::Flag) {
        prepared.words.emplace_back(word.substr(0, word.size() - 1));
        prepared.words.emplace_back();
        continue;
      }
    }
    prepared.words.emplace_back(word);
  }
  return prepared;
}

CliError refused_value(const OptionInfo& option) {
  if (option.kind == ValueKind::Path) {
    return CliError{"an empty value is not a valid path for '" + option.display() + "'",
                    "give a non-empty path, or leave the option out"};
  }
  return CliError{"invalid UTF-8 was detected in the value of '" + option.display() + "'",
                  "only path options take values that are not UTF-8"};
}

const OptionInfo* option_named(const std::vector<OptionInfo>& options, std::string_view name) {
  if (name.starts_with("--")) return find_long(options, name.substr(2));
  if (name.size() == 2 && name[0] == '-') return find_short(options, name[1]);
  return find_long(options, name);
}

// The parser's error as this command words it.
CliError describe_parser_error(const po::error& error, const std::vector<OptionInfo>& options,
                               const std::vector<std::string>& words) {
  if (const auto* unknown = dynamic_cast<const po::unknown_option*>(&error)) {
    const std::string word = unknown->get_option_name();
    const std::string name = word.substr(0, word.find('='));
    if (name.starts_with("--") && name.size() > 2) return unknown_long_option(name.substr(2), options);
    return unknown_argument(name == "--" ? word : name);
  }
  const auto* named = dynamic_cast<const po::error_with_option_name*>(&error);
  const OptionInfo* option = named != nullptr ? option_named(options, named->get_option_name()) : nullptr;
  if (option != nullptr) {
    if (dynamic_cast<const po::multiple_occurrences*>(&error) != nullptr) {
      return CliError{"the argument '" + option->display() + "' cannot be used multiple times",
                      std::nullopt};
    }
    if (dynamic_cast<const po::invalid_command_line_syntax*>(&error) != nullptr) {
      if (option->kind == ValueKind::Flag) {
        const std::string prefix = "--" + option->long_name + "=";
        std::string value;
        for (const std::string& word : words) {
          if (word.starts_with(prefix)) {
            value = word.substr(prefix.size());
            break;
          }
        }
        return CliError{"unexpected value " + quote(value) + " for '" + option->display() +
                            "' found; no more were expected",
                        std::nullopt};
      }
      return missing_value(*option, std::nullopt);
    }
    if (dynamic_cast<const po::required_option*>(&error) != nullptr) {
      return CliError{"the following required argument was not provided: " + option->display(),
                      std::nullopt};
    }
    if (dynamic_cast<const po::validation_error*>(&error) != nullptr) return refused_value(*option);
  }
  return CliError{error.what(), std::nullopt};
}

// What reading the arguments gives: the stored values, a request for help
// or version, or a usage error.
using Reading = std::variant<po::variables_map, Request, CliError>;

Reading read_arguments(const po::options_description& description, int argc,
                       const char* const* argv) {
  const std::vector<OptionInfo> options = option_infos(description);
  auto prepared = prepare_words(options, argc, argv);
  if (!prepared) return std::move(prepared.error());
  const std::vector<std::string>& words = prepared->words;
  try {
    const int style = po::command_line_style::unix_style & ~po::command_line_style::allow_guessing;
    po::parsed_options parsed = po::command_line_parser(words).options(description).style(style).run();
    // Without positional options, a word that is neither an option nor an
    // option's value is a stray word.
    for (const po::option& option : parsed.options) {
      if (option.position_key >= 0) {
        return unknown_argument(option.original_tokens.empty() ? "" : option.original_tokens[0]);
      }
    }
    po::variables_map values;
    po::store(parsed, values);
    if (prepared->request) return *prepared->request;
    po::notify(values);
    return values;
  } catch (const po::error& error) {
    return describe_parser_error(error, options, words);
  }
}

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

std::optional<std::string> take_text(po::variables_map& values, std::string_view id) {
  auto value = take_value<CliText>(values, id);
  if (!value) return std::nullopt;
  return std::move(value->text);
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
  auto select = take_text(values, "select");
  if (!select) return tl::unexpected(missing_at_extraction("select", colours));
  cli.select = std::move(*select);
  cli.exclude = take_text(values, "exclude");
  cli.event_time_start = take_text(values, "event_time_start");
  cli.event_time_end = take_text(values, "event_time_end");
  cli.project_dir = take_path(values, "project_dir");
  cli.manifest = take_path(values, "manifest");
  cli.output_file = take_path(values, "output_file");
  const auto pretty = take_value<bool>(values, "pretty");
  if (!pretty) return tl::unexpected(missing_at_extraction("pretty", colours));
  cli.pretty = *pretty;
  const auto html = take_value<bool>(values, "html");
  if (!html) return tl::unexpected(missing_at_extraction("html", colours));
  cli.html = *html;
  cli.dbt_command = take_text(values, "dbt_command");
  cli.dbt_args = take_text(values, "dbt_args");
  cli.against = take_text(values, "against");
  cli.state = take_path(values, "state");
  cli.anchor = take_text(values, "anchor");
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
        auto* text = po::value<CliText>()->value_name(value_name);
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
  Reading reading = read_arguments(command.options, argc, argv);
  if (const auto* request = std::get_if<Request>(&reading)) {
    if (*request == Request::Help) {
      return tl::unexpected(CliExit{help_text(command, Style{colours.stdout_colour}), false, 0});
    }
    return tl::unexpected(CliExit{command.name + " " + command.version + "\n", false, 0});
  }
  if (const auto* error = std::get_if<CliError>(&reading)) {
    return tl::unexpected(format_cli_error(*error, colours.stderr_colour));
  }
  return extract(std::get<po::variables_map>(reading), colours);
}

CliColours detect_cli_colours(const EnvLookup& env, bool stdout_is_terminal,
                              bool stderr_is_terminal) {
  return CliColours{stream_colour(env, stdout_is_terminal), stream_colour(env, stderr_is_terminal)};
}

CliColours detect_cli_colours() {
  return detect_cli_colours([](const char* name) -> const char* { return std::getenv(name); },
                            ::isatty(STDOUT_FILENO) == 1, ::isatty(STDERR_FILENO) == 1);
}
