// Starting other programs. The parameter string is split into arguments by
// the rules Windows programs apply to their command line, so callers write
// one parameter string for both platforms.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

#include "platform/characters.h"
#include "platform/files.h"
#include "platform/system.h"

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

void CloseDescriptor(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// What the detached start hands to the child; all prepared before fork, so
// that the child only makes system calls.
struct DetachedStart {
  const char* path = nullptr;  // looked up in PATH when it has no "/"
  char* const* argv = nullptr;
  const char* folder = nullptr;  // nullptr: this process's folder
  int input = -1;                // standard input; the null device when -1
  int null_device = -1;
  int report = -1;  // write end of the close-on-exec pipe: errno of a failed start
};

[[noreturn]] void RunDetachedChild(const DetachedStart& start) {
  // Sources first moved above the standard streams, so that no dup2 below
  // overwrites one still needed.
  const int input = fcntl(start.input >= 0 ? start.input : start.null_device, F_DUPFD_CLOEXEC, 3);
  const int output = fcntl(start.null_device, F_DUPFD_CLOEXEC, 3);
  int error = 0;
  if (input < 0 || output < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0 ||
      (start.folder != nullptr && chdir(start.folder) != 0)) {
    error = errno;
  } else {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int signal_number = 1; signal_number < NSIG; ++signal_number)
      sigaction(signal_number, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (std::strchr(start.path, '/') != nullptr) {
      execv(start.path, start.argv);
    } else {
      execvp(start.path, start.argv);
    }
    error = errno;
  }
  while (write(start.report, &error, sizeof error) < 0 && errno == EINTR) {
  }
  _exit(127);
}

// Starts the program through an intermediate process that ends at once, so
// the program is adopted by init and never lingers as a zombie of ours. The
// start's success comes from the exec itself: the report pipe closes on a
// successful exec and carries errno otherwise. Waiting for the intermediate
// process is only tidying up: with SIGCHLD ignored by the host it cannot be
// waited for, which changes nothing.
bool StartDetached(DetachedStart start) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  start.report = report[1];
  const pid_t intermediate = fork();
  if (intermediate == 0) {
    const pid_t child = fork();
    if (child == 0) RunDetachedChild(start);
    if (child < 0) {
      const int error = errno;
      while (write(report[1], &error, sizeof error) < 0 && errno == EINTR) {
      }
    }
    _exit(0);
  }
  close(report[1]);
  bool started = false;
  if (intermediate > 0) {
    int error = 0;
    ssize_t got;
    while ((got = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    started = got == 0;  // closed by the exec, nothing reported
    int status = 0;
    WaitFor(intermediate, &status);
  }
  close(report[0]);
  return started;
}

// A pipe whose read end becomes the program's standard input, already
// holding `secret` and a line end; the write end is closed. The pipe is
// made large enough first, so that nothing here waits for the program.
bool SecretInput(const std::string& secret, int& read_end) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  read_end = ends[0];
  const size_t needed = secret.size() + 1;
  const int capacity = fcntl(ends[1], F_GETPIPE_SZ);
  bool ok = capacity > 0 && (static_cast<size_t>(capacity) >= needed ||
                             fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(needed)) >= 0);
  ok = ok && fcntl(ends[1], F_SETFL, O_NONBLOCK) == 0;
  const std::string_view pieces[] = {secret, "\n"};
  for (std::string_view piece : pieces) {
    while (ok && !piece.empty()) {
      const ssize_t n = write(ends[1], piece.data(), piece.size());
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) piece.remove_prefix(static_cast<size_t>(n));
    }
  }
  close(ends[1]);
  if (!ok) CloseDescriptor(read_end);
  return ok;
}

// Pointers to the texts, null-terminated, for exec.
std::vector<char*> ArgumentPointers(std::vector<std::string>& texts, size_t first = 0) {
  std::vector<char*> argv;
  argv.reserve(texts.size() - first + 1);
  for (size_t i = first; i < texts.size(); ++i) argv.push_back(texts[i].data());
  argv.push_back(nullptr);
  return argv;
}

// Starts `path` (looked up in PATH when it has no "/") with `argv`; waits
// for its end when asked. Without waiting, `input` (a read end, or -1) is
// the program's standard input.
bool SpawnProgram(const std::string& path, std::vector<char*>& argv, const std::string& folder,
                  bool wait, int input = -1) {
  if (wait) {
    Spawn spawn;
    bool started = PrepareSpawn(spawn, folder);
    pid_t child = -1;
    int status = 0;
    started = started && posix_spawnp(&child, path.c_str(), &spawn.actions, &spawn.attributes,
                                      argv.data(), environ) == 0;
    if (started) WaitFor(child, &status);
    ReleaseSpawn(spawn);
    return started;
  }
  DetachedStart start;
  start.path = path.c_str();
  start.argv = argv.data();
  start.folder = folder.empty() ? nullptr : folder.c_str();
  start.input = input;
  start.null_device = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (start.null_device < 0) return false;
  const bool started = StartDetached(start);
  close(start.null_device);
  return started;
}

void WipeAll(std::vector<std::string>& texts) {
  for (std::string& text : texts) SecureWipe(text.data(), text.size());
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
  std::vector<char*> argv = ArgumentPointers(arguments);
  const bool started = SpawnProgram(path, argv, TextToUtf8(working_folder), wait);
  WipeAll(arguments);
  return started;
}

namespace {

// The detached start of StartProgramWithArguments and StartProgramWithSecret.
// Every copy of an argument goes into storage sized up front (no copy is
// left behind by a growing list or a move) and is wiped before it is freed.
bool StartWithArguments(const Text& program, const std::vector<const Text*>& arguments,
                        const Text* secret, const Text& working_folder) {
  std::string path;
  if (!ResolveProgram(program, working_folder, path)) return false;
  for (const Text* argument : arguments)
    if (argument->find(WChar{0}) != Text::npos) return false;
  if (secret != nullptr && secret->find(WChar{0}) != Text::npos) return false;

  // "/bin/sh" in front, for a program that needs the shell; the direct
  // start leaves it out.
  std::vector<std::string> texts;
  texts.reserve(arguments.size() + 3);
  texts.emplace_back("/bin/sh");
  texts.push_back(path);
  for (const Text* argument : arguments) {
    std::string utf8 = TextToUtf8(*argument);
    texts.push_back(utf8);
    SecureWipe(utf8.data(), utf8.size());
  }
  int input = -1;
  if (secret != nullptr) {
    std::string bytes = TextToUtf8(*secret);
    const bool ready = SecretInput(bytes, input);
    SecureWipe(bytes.data(), bytes.size());
    if (!ready) {
      WipeAll(texts);
      return false;
    }
    texts.emplace_back("-");
  }
  const std::string folder = TextToUtf8(working_folder);
  std::vector<char*> direct = ArgumentPointers(texts, 1);
  bool started = SpawnProgram(path, direct, folder, false, input);
  if (!started && FileExists(program)) {
    // Not executable by itself (a script without its execute bit): run it
    // through the shell, still without a command line to quote.
    std::vector<char*> through_shell = ArgumentPointers(texts);
    started = SpawnProgram("/bin/sh", through_shell, folder, false, input);
  }
  CloseDescriptor(input);
  WipeAll(texts);
  return started;
}

}  // namespace

bool StartProgramWithArguments(const Text& program, const std::vector<Text>& arguments,
                               const Text& working_folder) {
  std::vector<const Text*> list;
  list.reserve(arguments.size());
  for (const Text& argument : arguments) list.push_back(&argument);
  return StartWithArguments(program, list, nullptr, working_folder);
}

bool StartProgramWithSecret(const Text& program, const std::vector<Text>& arguments,
                            const Text& secret, const Text& working_folder) {
  std::vector<const Text*> list;
  list.reserve(arguments.size());
  for (const Text& argument : arguments) list.push_back(&argument);
  return StartWithArguments(program, list, &secret, working_folder);
}

}  // namespace zefa::platform
