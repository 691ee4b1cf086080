// Load on a running zefa-host: many clients send check requests at once,
// each on a connection of its own as the check-password hook does, while the
// policy sets are rewritten and reloaded underneath. Prints the throughput,
// the latency percentiles and the answers per password; exits 1 when any
// request failed.
//
//   zefa_host_load --socket PATH [--requests 2000] [--clients 32]
//                  [--account NAME]... [--password TEXT]...
//                  [--reload-set N --reload-ms MS --min-lengths A,B]
//                  [--timeout-ms MS] [--hook PATH] [--host-pid PID]
//
// Wall-clock figures (requests a second, latency percentiles) depend on what
// else runs on the machine; with --host-pid the CPU time the host process
// spent per request (user and kernel, from /proc) is printed as well, the
// figure to compare on a shared machine.
//
// With --hook every request runs the real check-password hook at PATH as
// Samba does (a process of its own, the password on standard input, the
// account in the environment): accepted is exit 0, rejected exit 1,
// anything else an error. The start of a trivial program (/bin/true, spawned
// the same way 200 times) is printed beside it as the floor of any hook.
//
// With --reload-set the set's MinLength is switched between A and B and the
// policy root key touched every MS milliseconds (through the registry store
// of CLAVORA_ROOT, the host's), so the library reloads its policy while the
// requests run; a password whose length lies between A and B is then
// accepted by some requests and rejected by others. The original MinLength
// is written back at the end.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "samba/host_client.h"
#include "samba/host_options.h"
#include "samba/wire_text.h"

namespace {

using namespace zefa;
using Clock = std::chrono::steady_clock;

constexpr WChar kRoot[] = ZT("HKEY_LOCAL_MACHINE");
constexpr WChar kPolicyKey[] = ZT("Software\\Policies\\Clavora");

struct Options {
  std::string socket_path = host::kDefaultSocketPath;
  int requests = 2000;
  int clients = 32;
  std::vector<std::string> accounts;
  std::vector<std::string> passwords;
  int reload_set = 0;
  int reload_ms = 250;
  uint32_t min_length_a = 12;
  uint32_t min_length_b = 20;
  int timeout_ms = 8000;  // the hook's own limit
  std::string hook;       // run this program for every request
  int host_pid = 0;       // report this process's CPU time per request
};

// User and kernel CPU seconds of a process, from /proc; false when unknown.
bool ProcessCpu(int pid, double& user, double& kernel) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  char buffer[1024];
  const size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  buffer[n] = '\0';
  const char* after_name = std::strrchr(buffer, ')');
  if (after_name == nullptr) return false;
  unsigned long long utime = 0, stime = 0;
  // Fields after the name: state (3) ... utime (14) and stime (15).
  if (std::sscanf(after_name + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                  &stime) != 2)
    return false;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  user = utime / tick;
  kernel = stime / tick;
  return true;
}

struct Tally {
  int accepted = 0;
  int rejected = 0;
  int errors = 0;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const std::string value = argv[i + 1];
    if (option == "--socket")
      options.socket_path = value;
    else if (option == "--requests")
      options.requests = std::atoi(value.c_str());
    else if (option == "--clients")
      options.clients = std::atoi(value.c_str());
    else if (option == "--account")
      options.accounts.push_back(value);
    else if (option == "--password")
      options.passwords.push_back(value);
    else if (option == "--reload-set")
      options.reload_set = std::atoi(value.c_str());
    else if (option == "--reload-ms")
      options.reload_ms = std::atoi(value.c_str());
    else if (option == "--timeout-ms")
      options.timeout_ms = std::atoi(value.c_str());
    else if (option == "--hook")
      options.hook = value;
    else if (option == "--host-pid")
      options.host_pid = std::atoi(value.c_str());
    else if (option == "--min-lengths") {
      if (std::sscanf(value.c_str(), "%u,%u", &options.min_length_a, &options.min_length_b) != 2)
        return false;
    } else {
      return false;
    }
  }
  if (argc % 2 == 0) return false;
  if (options.accounts.empty()) options.accounts = {"alice", "bob", "carol"};
  if (options.passwords.empty())
    options.passwords = {"correct horse 42 battery", "Sixteen-chars-42", "winter"};
  return options.requests > 0 && options.clients > 0 && options.reload_ms > 0 &&
         options.timeout_ms > 0 && options.reload_set >= 0 && options.reload_set <= 8;
}

platform::RegistryValue Dword(const Text& name, uint32_t value) {
  platform::RegistryValue entry;
  entry.name = name;
  entry.type = platform::kRegDword;
  entry.data.assign(reinterpret_cast<const char*>(&value), sizeof value);
  return entry;
}

// Switches the set's MinLength and touches the root key until told to stop.
int ReloadPolicies(const Options& options, const std::atomic<bool>& stop) {
  const Text set_key = Text(kPolicyKey) + ZT("\\") + IntegerToText(options.reload_set);
  const auto original = platform::RegistryRead(kRoot, set_key, ZT("MinLength"), 0);
  int writes = 0;
  while (!stop.load()) {
    const uint32_t length = writes % 2 == 0 ? options.min_length_b : options.min_length_a;
    platform::RegistryWrite(kRoot, set_key, Dword(ZT("MinLength"), length), 0);
    platform::RegistryWrite(kRoot, kPolicyKey, Dword(ZT("LoadTestTouch"), writes), 0);
    ++writes;
    std::this_thread::sleep_for(std::chrono::milliseconds(options.reload_ms));
  }
  if (original)
    platform::RegistryWrite(kRoot, set_key, *original, 0);
  else
    platform::RegistryDeleteValue(kRoot, set_key, ZT("MinLength"), 0);
  platform::RegistryDeleteValue(kRoot, kPolicyKey, ZT("LoadTestTouch"), 0);
  return writes;
}

// Runs the hook once; its exit code, or -1 when it could not be run.
int RunHook(const Options& options, const std::string& account, const std::string& password,
            const std::string& program) {
  int input[2];
  if (pipe2(input, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  const std::string socket_variable = "ZEFA_HOST_SOCKET=" + options.socket_path;
  const std::string account_variable = "SAMBA_CPS_ACCOUNT_NAME=" + account;
  const std::string timeout = std::to_string(options.timeout_ms);
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--timeout-ms"),
                  const_cast<char*>(timeout.c_str()), nullptr};
  char* envp[] = {const_cast<char*>(socket_variable.c_str()),
                  const_cast<char*>(account_variable.c_str()), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  if (spawned != 0) {
    close(input[1]);
    return -1;
  }
  const ssize_t written = write(input[1], password.data(), password.size());
  close(input[1]);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || written != static_cast<ssize_t>(password.size()))
    return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t index = static_cast<size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: zefa_host_load --socket PATH [--requests N] [--clients N] "
                 "[--account NAME]... [--password TEXT]... [--reload-set N --reload-ms MS "
                 "--min-lengths A,B] [--timeout-ms MS] [--hook PATH] [--host-pid PID]\n");
    return 2;
  }
  std::vector<std::u16string> accounts, passwords;
  for (const std::string& a : options.accounts) accounts.push_back(host::Utf8ToUtf16(a));
  for (const std::string& p : options.passwords) passwords.push_back(host::Utf8ToUtf16(p));

  std::atomic<int> next{0};
  std::mutex lock;
  std::vector<double> latencies_ms;
  std::vector<Tally> by_password(passwords.size());
  std::string first_error;
  latencies_ms.reserve(static_cast<size_t>(options.requests));

  std::atomic<bool> stop_reloads{false};
  int reload_writes = 0;
  std::thread reloader;
  if (options.reload_set > 0)
    reloader = std::thread([&] { reload_writes = ReloadPolicies(options, stop_reloads); });

  if (!options.hook.empty()) {
    signal(SIGPIPE, SIG_IGN);  // /bin/true does not read the password it is given
    std::vector<double> spawn_ms;
    for (int i = 0; i < 200; ++i) {
      const Clock::time_point sent = Clock::now();
      RunHook(options, "nobody", "x", "/bin/true");
      spawn_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    }
    std::sort(spawn_ms.begin(), spawn_ms.end());
    std::printf("baseline: /bin/true spawned the same way: p50 %.2f ms, p99 %.2f ms\n",
                Percentile(spawn_ms, 0.50), Percentile(spawn_ms, 0.99));
  }
  double host_user = 0, host_kernel = 0;
  const bool host_cpu =
      options.host_pid > 0 && ProcessCpu(options.host_pid, host_user, host_kernel);
  const Clock::time_point started = Clock::now();
  std::vector<std::thread> clients;
  for (int c = 0; c < options.clients; ++c) {
    clients.emplace_back([&] {
      for (int i = next++; i < options.requests; i = next++) {
        const size_t p = static_cast<size_t>(i) % passwords.size();
        host::CheckTexts texts;
        texts.account = accounts[(static_cast<size_t>(i) / passwords.size()) % accounts.size()];
        texts.password = passwords[p];
        host::HostAnswer answer;
        std::string error;
        const Clock::time_point sent = Clock::now();
        bool ok = false;
        if (options.hook.empty()) {
          ok = host::CheckPasswordWithHost(options.socket_path, texts, options.timeout_ms, answer,
                                           error);
        } else {
          const size_t a = (static_cast<size_t>(i) / passwords.size()) % accounts.size();
          const int exit_code =
              RunHook(options, options.accounts[a], options.passwords[p], options.hook);
          ok = exit_code == 0 || exit_code == 1;
          answer.kind = exit_code == 0 ? host::kAccepted : host::kRejected;
          if (!ok) error = "the hook exited with " + std::to_string(exit_code);
        }
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
        std::lock_guard<std::mutex> guard(lock);
        latencies_ms.push_back(ms);
        if (ok && answer.kind == host::kAccepted) {
          ++by_password[p].accepted;
        } else if (ok && answer.kind == host::kRejected) {
          ++by_password[p].rejected;
        } else {
          ++by_password[p].errors;
          if (first_error.empty()) first_error = ok ? host::KindName(answer.kind) : error;
        }
      }
    });
  }
  for (std::thread& client : clients) client.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  stop_reloads = true;
  if (reloader.joinable()) reloader.join();

  std::sort(latencies_ms.begin(), latencies_ms.end());
  Tally total;
  for (const Tally& t : by_password) {
    total.accepted += t.accepted;
    total.rejected += t.rejected;
    total.errors += t.errors;
  }
  std::printf("requests: %d from %d clients in %.2f s: %.0f requests/s\n", options.requests,
              options.clients, seconds, options.requests / seconds);
  double user_after = 0, kernel_after = 0;
  if (host_cpu && ProcessCpu(options.host_pid, user_after, kernel_after)) {
    const double user_us = (user_after - host_user) * 1e6 / options.requests;
    const double kernel_us = (kernel_after - host_kernel) * 1e6 / options.requests;
    std::printf("host CPU per request: %.0f us (user %.0f us, kernel %.0f us, %.0f%% kernel)\n",
                user_us + kernel_us, user_us, kernel_us,
                user_us + kernel_us > 0 ? 100 * kernel_us / (user_us + kernel_us) : 0.0);
  }
  std::printf("latency: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, max %.1f ms\n",
              Percentile(latencies_ms, 0.50), Percentile(latencies_ms, 0.90),
              Percentile(latencies_ms, 0.99), latencies_ms.empty() ? 0.0 : latencies_ms.back());
  std::printf("answers: accepted %d, rejected %d, errors %d\n", total.accepted, total.rejected,
              total.errors);
  for (size_t p = 0; p < by_password.size(); ++p)
    std::printf("password #%zu (%zu characters): accepted %d, rejected %d\n", p + 1,
                passwords[p].size(), by_password[p].accepted, by_password[p].rejected);
  if (options.reload_set > 0)
    std::printf("policy writes during the run: %d (set %d MinLength %u/%u)\n", reload_writes,
                options.reload_set, options.min_length_a, options.min_length_b);
  if (total.errors > 0) std::printf("first error: %s\n", first_error.c_str());
  return total.errors == 0 ? 0 : 1;
}
