// The stand-in dbt (tools/fake-dbt) as the tests start it, and the log of
// the calls it received.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

// A dbt command text that runs the stand-in with these environment
// variables set: "env 'NAME=value' ... [python3] '/…/tools/fake-dbt'".
std::string fake_dbt_command(const std::vector<std::pair<std::string, std::string>>& env = {});

// One call the stand-in logged through FAKE_DBT_LOG.
struct DbtCall {
  std::string cwd;
  std::vector<std::string> argv;  // without the program
};

// The calls logged in `log`, oldest first; none when it does not exist.
std::vector<DbtCall> read_dbt_log(const std::filesystem::path& log);

// Writes a minimal dbt project: dbt_project.yml naming `package`, and one
// models/<name>.sql per entry with the given SQL text.
void write_dbt_project(const std::filesystem::path& dir, const std::string& package,
                       const std::vector<std::pair<std::string, std::string>>& models);
