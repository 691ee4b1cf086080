// Starting other programs. The parameter string is split into arguments by
// the rules Windows programs apply to their command line, so callers write
// one parameter string for both platforms.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"

namespace zefa::platform {

namespace {

bool IsBlank(WChar c) { return c == u' ' || c == u'\t'; }

// Blanks separate arguments outside quotes. 2n backslashes before a quote
// give n backslashes and the quote opens or closes a quoted part; 2n+1 give
// n backslashes and a literal quote. Inside a quoted part, every third quote
// of a run is literal. Other backslashes are literal.
std::vector<std::string> SplitCommandLine(const Text& line) {
  std::vector<std::string> arguments;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i == line.size()) break;
    Text argument;
    int quotes = 0;  // 1 inside a quoted part
    while (i < line.size() && !(quotes == 0 && IsBlank(line[i]))) {
      if (line[i] == u'\\') {
        size_t backslashes = 0;
        while (i < line.size() && line[i] == u'\\') ++backslashes, ++i;
        const bool before_quote = i < line.size() && line[i] == u'"';
        argument.append(before_quote ? backslashes / 2 : backslashes, u'\\');
        if (before_quote && backslashes % 2 == 1) argument.push_back(line[i++]);
        continue;
      }
      if (line[i] != u'"') {
        argument.push_back(line[i++]);
        continue;
      }
      ++quotes, ++i;
      while (i < line.size() && line[i] == u'"') {
        if (++quotes == 3) {
          argument.push_back(u'"');
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
    }
    arguments.push_back(TextToUtf8(argument));
  }
  return arguments;
}

struct Spawn {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  bool ready = false;
};

// Child with standard streams on /dev/null, default signal handling, an
// empty signal mask, and the working folder when one is given.
bool PrepareSpawn(Spawn& spawn, const std::string& folder) {
  if (posix_spawn_file_actions_init(&spawn.actions) != 0) return false;
  if (posix_spawnattr_init(&spawn.attributes) != 0) {
    posix_spawn_file_actions_destroy(&spawn.actions);
    return false;
  }
  spawn.ready = true;
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  return posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
         posix_spawn_file_actions_addopen(&spawn.actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
         posix_spawn_file_actions_addopen(&spawn.actions, 2, "/dev/null", O_WRONLY, 0) == 0 &&
         (folder.empty() ||
          posix_spawn_file_actions_addchdir_np(&spawn.actions, folder.c_str()) == 0) &&
         posix_spawnattr_setsigmask(&spawn.attributes, &none) == 0 &&
         posix_spawnattr_setsigdefault(&spawn.attributes, &all) == 0 &&
         posix_spawnattr_setflags(&spawn.attributes,
                                  POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
}

void ReleaseSpawn(Spawn& spawn) {
  if (!spawn.ready) return;
  posix_spawn_file_actions_destroy(&spawn.actions);
  posix_spawnattr_destroy(&spawn.attributes);
}

bool WaitFor(pid_t pid, int* status) {
  while (waitpid(pid, status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

namespace {

// Starts argv[0] (looked up in PATH when it has no "/") with the given
// arguments; waits for its end when asked.
bool SpawnProgram(const std::string& path, std::vector<std::string> arguments,
                  const std::string& folder, bool wait) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  Spawn spawn;
  bool started = PrepareSpawn(spawn, folder);
  pid_t child = -1;
  int status = 0;
  if (started && wait) {
    started = posix_spawnp(&child, path.c_str(), &spawn.actions, &spawn.attributes, argv.data(),
                           environ) == 0;
    if (started) WaitFor(child, &status);
  } else if (started) {
    // An intermediate process starts the program and ends at once, so the
    // program is adopted by init and never lingers as a zombie of ours.
    child = fork();
    if (child == 0) {
      pid_t grandchild = -1;
      _exit(posix_spawnp(&grandchild, path.c_str(), &spawn.actions, &spawn.attributes,
                         argv.data(), environ) == 0 ? 0 : 127);
    }
    started = child > 0 && WaitFor(child, &status) && WIFEXITED(status) &&
              WEXITSTATUS(status) == 0;
  }
  ReleaseSpawn(spawn);
  for (std::string& argument : arguments) SecureWipe(argument.data(), argument.size());
  return started;
}

// A relative path with a folder names a file seen from this process's
// folder, not the child's.
bool ResolveProgram(const Text& program, const Text& working_folder, std::string& path) {
  if (program.empty() || program.find(WChar{0}) != Text::npos ||
      working_folder.find(WChar{0}) != Text::npos) {
    return false;
  }
  path = TextToUtf8(program);
  if (!working_folder.empty() && path[0] != '/' && path.find('/') != std::string::npos) {
    char here[4096];
    if (getcwd(here, sizeof here) == nullptr) return false;
    path = std::string(here) + "/" + path;
  }
  return true;
}

}  // namespace

bool StartProcess(const Text& program, const Text& parameters, const Text& working_folder,
                  bool wait) {
  std::string path;
  if (!ResolveProgram(program, working_folder, path)) return false;
  std::vector<std::string> arguments = SplitCommandLine(parameters);
  arguments.insert(arguments.begin(), TextToUtf8(program));
  return SpawnProgram(path, std::move(arguments), TextToUtf8(working_folder), wait);
}

bool StartProgramWithArguments(const Text& program, const std::vector<Text>& arguments,
                               const Text& working_folder) {
  std::string path;
  if (!ResolveProgram(program, working_folder, path)) return false;
  for (const Text& argument : arguments)
    if (argument.find(WChar{0}) != Text::npos) return false;
  std::vector<std::string> argv{path};
  for (const Text& argument : arguments) argv.push_back(TextToUtf8(argument));
  const std::string folder = TextToUtf8(working_folder);
  if (SpawnProgram(path, argv, folder, false)) {
    for (std::string& argument : argv) SecureWipe(argument.data(), argument.size());
    return true;
  }
  // Not executable by itself (a script without its execute bit): run it
  // through the shell, still without a command line to quote.
  argv.insert(argv.begin(), "/bin/sh");
  const bool started = FileExists(program) && SpawnProgram("/bin/sh", argv, folder, false);
  for (std::string& argument : argv) SecureWipe(argument.data(), argument.size());
  return started;
}

}  // namespace zefa::platform
