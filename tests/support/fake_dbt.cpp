// The stand-in dbt as the tests start it.
#include "support/fake_dbt.h"

#include <fstream>
#include <stdexcept>

#include <boost/json.hpp>

#include "support/test_support.h"

namespace {

constexpr const char* system_python = "/usr/bin/python3";

// Single-quoted for the shell-word splitter.
std::string single_quoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

std::string fake_dbt_command(const std::vector<std::pair<std::string, std::string>>& env) {
  std::string command = "env";
  for (const auto& [name, value] : env) {
    command += ' ';
    command += single_quoted(name + "=" + value);
  }
  // Debian's python3 (tools/install-deps installs it) starts in a tenth of
  // a second; the one a version manager puts first on PATH may take most of
  // a second, which adds up over the many calls of the tests.
  if (std::filesystem::exists(system_python)) {
    command += ' ';
    command += system_python;
  }
  command += ' ';
  command += single_quoted((source_dir() / "tools/fake-dbt").string());
  return command;
}

std::vector<DbtCall> read_dbt_log(const std::filesystem::path& log) {
  std::vector<DbtCall> calls;
  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    const boost::json::object call = boost::json::parse(line).as_object();
    DbtCall parsed{std::string(call.at("cwd").as_string()), {}};
    for (const auto& arg : call.at("argv").as_array()) parsed.argv.emplace_back(arg.as_string());
    calls.push_back(std::move(parsed));
  }
  return calls;
}

void write_dbt_project(const std::filesystem::path& dir, const std::string& package,
                       const std::vector<std::pair<std::string, std::string>>& models) {
  write_file(dir / "dbt_project.yml", "name: '" + package + "'\nversion: '1.0.0'\n");
  for (const auto& [name, sql] : models) write_file(dir / "models" / (name + ".sql"), sql);
}
