// The whole run on large projects, against its floor.
//
// For generated manifests of 10,000, 50,000 and 100,000 models (cached in
// the build tree), the real binary plans every model end to end in a bench
// project: a dbt_project.yml older than the manifest (so no `dbt parse`
// runs), --manifest pointing at the cached file, an explicit window, and a
// stand-in dbt (`sh -c 'exec cat "$0"' names.txt`) that prints every model
// name and ignores the arguments that `ls` appends. The stand-in is also
// timed on its own: the tool's own part of the run is the run without it.
//
// The floor is a process of its own that reads the file into memory the
// way the tool does and runs Boost.JSON's basic_parser over it with a
// handler that keeps nothing (UTF-8 validated by the parser): the cost of
// simply parsing the manifest once. Both are timed as whole processes, from
// spawn to exit, best of a few, alternating so that both see the same load
// on the machine. The stages are timed in a fresh process each time, by
// calling the library stages in the driver's order. Peak memory is the
// child's maximum resident set (wait4), against the manifest's size.
//
//   run_bench [--tool PATH] [models ...]       the table (default: 10000 50000 100000),
//                                              for the tool at PATH (whole runs only) if given
//   run_bench --phase floor FILE               one floor run
//   run_bench --phase stages FILE NAMES OUT    one in-process run; prints each stage's milliseconds
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/json/basic_parser_impl.hpp>

#include "manifest.h"
#include "manifest_reader.h"
#include "output.h"
#include "plan.h"
#include "select.h"
#include "support/manifest_gen.h"
#include "support/null_handler.h"
#include "utf8.h"  // display_path

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

// Repetitions per size: more for the quick small runs, which a busy machine
// disturbs most.
int repeats_for(std::size_t models) { return models <= 10'000 ? 15 : models <= 50'000 ? 9 : 7; }
constexpr const char* kStart = "2024-06-01";
constexpr const char* kEnd = "2024-06-07";

using Steady = std::chrono::steady_clock;

double ms_since(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

// ---- the phases run in child processes ----

int floor_phase(const fs::path& manifest) {
  auto text = read_manifest_text(manifest);
  if (!text) {
    std::fprintf(stderr, "%s: %s\n", manifest.c_str(), text.error().c_str());
    return 1;
  }
  json::parse_options options;
  options.max_depth = max_json_depth;
  json::basic_parser<NullHandler> parser(options);
  json::error_code ec;
  parser.write_some(false, text->view().data(), text->view().size(), ec);
  if (ec) {
    std::fprintf(stderr, "%s: %s\n", manifest.c_str(), ec.message().c_str());
    return 1;
  }
  return 0;
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The stages of one run, in the driver's order, each timed on its own, and
// the release of what they built, as the run ends.
int stages_phase(const fs::path& manifest_path, const fs::path& names_path, const fs::path& out) {
  const std::string names = slurp(names_path);  // what the stand-in dbt prints
  std::vector<double> ms;
  auto start = Steady::now();
  const auto lap = [&] {
    ms.push_back(ms_since(start));
    start = Steady::now();
  };

  // load_manifest in two steps: the file read into memory, then parsed
  // straight into the node table (the parser checks the UTF-8).
  auto text = read_manifest_text(manifest_path);
  if (!text) return 1;
  lap();
  auto manifest = read_node_table(text->view());
  if (!manifest) return 1;
  text = tl::unexpected(std::string());  // released, as load_manifest does
  lap();
  auto selection = selection_from_ls_output(*manifest, "dbt", names);
  if (!selection) return 1;
  lap();
  auto plan = build_plan(*manifest, *selection, Window{*parse_date(kStart), *parse_date(kEnd)}, 90, std::nullopt);
  if (!plan) return 1;
  lap();
  const RunContext context{"tag:daily+", display_path(manifest_path), "dbt", manifest->generated_at, 90};
  std::optional<std::string> document = build_plan_document(*plan, context);
  lap();
  if (!write_atomically(out, *document)) return 1;
  lap();
  const std::size_t warnings = plan->warnings.size();
  document.reset();
  plan = tl::unexpected(PlanError{PlanError::Cycle{}});
  selection = tl::unexpected(SelectError{});
  manifest = tl::unexpected(JsonError{});
  lap();

  for (double value : ms) std::printf("%.3f ", value);
  std::printf("%zu\n", warnings);
  return 0;
}

// ---- the parent ----

struct ChildRun {
  double ms = 0;
  long peak_kb = 0;
  std::string out;
};

// Runs a program to its end, standard output captured, standard error
// written to `err_file`; throws unless it exits with 0.
ChildRun run_child(const std::vector<std::string>& args, const fs::path& err_file, const fs::path& cwd) {
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const auto start = Steady::now();
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  if (rc != 0) {
    ::close(pipe_ends[0]);
    throw std::runtime_error("cannot start " + args[0]);
  }
  ChildRun run;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(pipe_ends[0], buffer, sizeof buffer);
    if (got <= 0) break;
    run.out.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  run.ms = ms_since(start);
  run.peak_kb = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(args[0] + " failed (status " + std::to_string(status) + "):\n" + slurp(err_file));
  }
  return run;
}

std::string quoted_for_shell(const fs::path& path) {
  std::string quoted = "'";
  quoted += path.string();
  quoted += '\'';
  return quoted;
}

struct Project {
  fs::path dir;
  fs::path names;
};

// The bench project: dbt_project.yml dated 2001, so that the manifest is
// always newer, and the names the stand-in dbt prints.
Project make_project(const fs::path& cache_dir, std::size_t models) {
  Project project;
  project.dir = cache_dir / ("run-project-" + std::to_string(models));
  fs::create_directories(project.dir);
  const fs::path dbt_project = project.dir / "dbt_project.yml";
  std::ofstream(dbt_project) << "name: bench\nversion: '1.0'\nprofile: bench\n";
  const struct timespec old_times[2] = {{978307200, 0}, {978307200, 0}};
  ::utimensat(AT_FDCWD, dbt_project.c_str(), old_times, 0);
  project.names = project.dir / "names.txt";
  std::string names;
  for (std::size_t i = 0; i < models; ++i) {
    names += "model_";
    names += std::to_string(i);
    names += '\n';
  }
  std::ofstream(project.names, std::ios::binary) << names;
  return project;
}

struct Row {
  std::size_t models = 0;
  double file_mb = 0;
  double floor_ms = 0;
  double run_ms = 0;
  double dbt_ms = 0;
  long floor_peak_kb = 0;
  long run_peak_kb = 0;
  std::vector<double> stage_ms;
  std::size_t warnings = 0;
};

const char* const stage_names[] = {"read", "parse", "names", "plan", "document", "write", "release"};
constexpr std::size_t kStages = std::size(stage_names);

std::vector<double> parse_numbers(const std::string& text) {
  std::vector<double> numbers;
  const char* at = text.c_str();
  char* end = nullptr;
  for (double value = std::strtod(at, &end); end != at; value = std::strtod(at, &end)) {
    numbers.push_back(value);
    at = end;
  }
  return numbers;
}

Row measure(std::size_t models, const fs::path& self, const fs::path& tool, const fs::path& cache_dir,
            bool with_stages) {
  Row row;
  row.models = models;
  const fs::path manifest = cached_manifest(models, cache_dir);
  row.file_mb = static_cast<double>(fs::file_size(manifest)) / 1e6;
  const Project project = make_project(cache_dir, models);
  const fs::path err = project.dir / "stderr.txt";
  const fs::path document = project.dir / "target" / "velk" / "dbt_plan.json";

  const std::vector<std::string> floor_args = {self.string(), "--phase", "floor", manifest.string()};
  const std::vector<std::string> run_args = {
      tool.string(),
      "--project-dir", project.dir.string(),
      "--manifest", manifest.string(),
      "--select", "tag:daily+",
      "--event-time-start", kStart,
      "--event-time-end", kEnd,
      "--dbt-command", "sh -c 'exec cat \"$0\"' " + quoted_for_shell(project.names)};
  const std::vector<std::string> dbt_args = {"/bin/sh", "-c", "exec cat \"$0\"", project.names.string()};
  const std::vector<std::string> stage_args = {self.string(), "--phase", "stages", manifest.string(),
                                               project.names.string(), (project.dir / "stages.json").string()};

  row.floor_ms = row.run_ms = row.dbt_ms = 1e300;
  double best_stages = 1e300;
  for (int i = 0; i < repeats_for(models); ++i) {
    const ChildRun floor = run_child(floor_args, err, project.dir);
    row.floor_ms = std::min(row.floor_ms, floor.ms);
    row.floor_peak_kb = std::max(row.floor_peak_kb, floor.peak_kb);

    const ChildRun run = run_child(run_args, err, project.dir);
    row.run_ms = std::min(row.run_ms, run.ms);
    row.run_peak_kb = std::max(row.run_peak_kb, run.peak_kb);

    row.dbt_ms = std::min(row.dbt_ms, run_child(dbt_args, err, project.dir).ms);

    if (!with_stages) continue;
    const ChildRun stages = run_child(stage_args, err, project.dir);
    const std::vector<double> numbers = parse_numbers(stages.out);
    if (numbers.size() != kStages + 1) throw std::runtime_error("unexpected stage output: " + stages.out);
    double total = 0;
    for (std::size_t s = 0; s < kStages; ++s) total += numbers[s];
    if (total < best_stages) {
      best_stages = total;
      row.stage_ms.assign(numbers.begin(), numbers.begin() + kStages);
      row.warnings = static_cast<std::size_t>(numbers[kStages]);
    }
  }

  // The run must have planned every model.
  const std::string written = slurp(document);
  std::size_t entries = 0;
  for (std::size_t at = written.find("\"layer\": "); at != std::string::npos; at = written.find("\"layer\": ", at + 1)) {
    ++entries;
  }
  if (entries != models) {
    throw std::runtime_error("the plan document lists " + std::to_string(entries) + " models, not " +
                             std::to_string(models));
  }
  return row;
}

void print_table(const std::vector<Row>& rows) {
  std::printf("\n%8s %8s %9s %9s %7s %7s %7s |", "models", "file MB", "floor ms", "run ms", "ratio", "dbt ms", "own");
  for (const char* name : stage_names) std::printf(" %9s", name);
  std::printf(" %9s | %8s %8s %9s\n", "rest", "peak MB", "peak/file", "floor pk");
  for (const Row& row : rows) {
    std::printf("%8zu %8.1f %9.1f %9.1f %6.2fx %7.1f %6.2fx |", row.models, row.file_mb, row.floor_ms, row.run_ms,
                row.run_ms / row.floor_ms, row.dbt_ms, (row.run_ms - row.dbt_ms) / row.floor_ms);
    double total = 0;
    for (double ms : row.stage_ms) {
      std::printf(" %9.1f", ms);
      total += ms;
    }
    if (row.stage_ms.empty()) {
      for (std::size_t s = 0; s <= kStages; ++s) std::printf(" %9s", "-");
    } else {
      std::printf(" %9.1f", row.run_ms - total);
    }
    std::printf(" | %8.1f %8.2fx %8.2fx\n", row.run_peak_kb * 1.024 / 1e3,
                row.run_peak_kb * 1.024e3 / (row.file_mb * 1e6), row.floor_peak_kb * 1.024e3 / (row.file_mb * 1e6));
  }
  std::printf("\nratio: whole run / floor, both whole processes, best of 7 to 15; dbt: the stand-in dbt ls alone;\n"
              "own: (run - dbt) / floor. Stages: milliseconds in one fresh process (the repetition with the least\n"
              "total): read the file into memory, parse it into the node table (UTF-8 checked on the way), map\n"
              "the printed names, plan, build the document, write it, release it all; rest: the run's time\n"
              "outside them (process start, velk.yml, freshness check, dbt ls, printing the warnings).\n"
              "peak/file: the run's peak resident memory against the manifest's size (floor pk: the floor's).\n");
  if (!rows.empty()) {
    double min_ratio = 1e300;
    double max_ratio = 0;
    for (const Row& row : rows) {
      min_ratio = std::min(min_ratio, row.run_ms / row.floor_ms);
      max_ratio = std::max(max_ratio, row.run_ms / row.floor_ms);
    }
    std::printf("ratio spread across sizes: %.1f%% (%.2fx to %.2fx)\n", (max_ratio / min_ratio - 1) * 100,
                min_ratio, max_ratio);
  }
  for (const Row& row : rows) std::printf("%zu models: %zu warnings\n", row.models, row.warnings);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 4 && std::strcmp(argv[1], "--phase") == 0 && std::strcmp(argv[2], "floor") == 0) {
      return floor_phase(argv[3]);
    }
    if (argc == 6 && std::strcmp(argv[1], "--phase") == 0 && std::strcmp(argv[2], "stages") == 0) {
      return stages_phase(argv[3], argv[4], argv[5]);
    }
    // The stand-in's cat reads no locale files.
    ::setenv("LC_ALL", "C", 1);
    // Every child on the processor this starts on: the processors of a
    // virtual machine need not be alike, and ratios are only fair when both
    // sides of one run on the same.
    if (const int cpu = ::sched_getcpu(); cpu >= 0) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(static_cast<unsigned>(cpu), &one);
      ::sched_setaffinity(0, sizeof one, &one);
      std::printf("all runs on processor %d\n", cpu);
    }
    const fs::path self = fs::read_symlink("/proc/self/exe");
    const fs::path cache_dir = bench_cache_dir();
    fs::path tool = cache_dir.parent_path() / "velk-dbt-plan";
    bool with_stages = true;
    std::vector<std::size_t> sizes;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], "--tool") == 0 && i + 1 < argc) {
        // Another build of the tool (an older one, say): its whole runs
        // only, since the stages are this build's library.
        tool = argv[++i];
        with_stages = false;
      } else {
        sizes.push_back(std::stoul(argv[i]));
      }
    }
    if (sizes.empty()) sizes = {10'000, 50'000, 100'000};
    if (!fs::exists(tool)) throw std::runtime_error(tool.string() + " is missing -- build it first (make build)");

    std::vector<Row> rows;
    for (std::size_t models : sizes) {
      const auto start = Steady::now();
      const fs::path manifest = cached_manifest(models, cache_dir);
      std::printf("manifest of %zu models: %s (%.1f MB, ready in %.1f s)\n", models, manifest.c_str(),
                  static_cast<double>(fs::file_size(manifest)) / 1e6, ms_since(start) / 1e3);
      std::fflush(stdout);
      rows.push_back(measure(models, self, tool, cache_dir, with_stages));
    }
    print_table(rows);
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "run_bench: %s\n", error.what());
    return 1;
  }
}
