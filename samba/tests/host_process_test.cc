// The real zefa-host process with a stand-in filter library, and the real
// hook program against it: requests reach the library intact, clients are
// served at the same time, garbage and vanishing clients are survived,
// strangers are refused by their credentials, SIGTERM stops everything in
// order, and no password shows up in the host's output.
#include <gtest/gtest.h>
#include <grp.h>
#include <signal.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "samba/frame_io.h"
#include "samba/host_client.h"
#include "samba/host_protocol.h"
#include "platform/tests/test_folder.h"

namespace zefa::host {
namespace {

using platform::test_support::TempFolder;

const std::string kHostProgram = std::string(CLAVORA_BIN_DIR) + "/zefa-host";
const std::string kHookProgram = std::string(CLAVORA_BIN_DIR) + "/zefa-check-password";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One zefa-host process in a folder of its own.
struct Host {
  TempFolder folder;
  pid_t pid = -1;
  std::string socket = folder.File("host.sock");
  std::string record = folder.File("record.txt");
  std::string log = folder.File("host.log");
  std::string initialised_file;  // set: the stub counts as initialised once it exists
  std::string notify_socket;     // set: the service manager's socket

  ~Host() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }

  // Starts the host; returns once it answers a ping (false if it never does).
  bool Start(std::vector<std::string> options = {},
             const std::string& library = CLAVORA_STUB_FILTER,
             const std::string& filter_delay_ms = "0") {
    Launch(options, library, filter_delay_ms);
    for (int i = 0; i < 500; ++i) {
      HostAnswer answer;
      if (Ping(answer) && (answer.kind == kDone || answer.kind == kStarting)) return true;
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
      }
      usleep(10000);
    }
    return false;
  }

  // For a host that is expected to give up: its exit code, or -1 when it
  // still runs after five seconds.
  int ExitCode() {
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }

  void Launch(const std::vector<std::string>& options, const std::string& library,
              const std::string& filter_delay_ms) {
    chmod(folder.path().c_str(), 0755);  // other users' clients must reach the socket
    pid = fork();
    if (pid == 0) {
      if (freopen(log.c_str(), "a", stderr) == nullptr) _exit(126);
      setenv("STUB_RECORD", record.c_str(), 1);
      setenv("STUB_FILTER_DELAY_MS", filter_delay_ms.c_str(), 1);
      if (!initialised_file.empty()) setenv("STUB_INITIALISED_FILE", initialised_file.c_str(), 1);
      if (!notify_socket.empty()) setenv("NOTIFY_SOCKET", notify_socket.c_str(), 1);
      // A directory that is not there: accepted changes stay unconfirmed.
      setenv("CLAVORA_LDAP_URI", ("ldapi://" + folder.path() + "%2Fnone").c_str(), 1);
      std::vector<std::string> arguments = {kHostProgram, "--socket", socket,
                                            "--library",  library,    "--verbose"};
      arguments.insert(arguments.end(), options.begin(), options.end());
      std::vector<char*> argv;
      for (std::string& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }

  bool Ping(HostAnswer& answer) const {
    std::string error;
    const int fd = ConnectToHost(socket, 1000, error);
    if (fd < 0) return false;
    std::string frame;
    BeginFrame(frame, kPing);
    FinishFrame(frame);
    const bool ok = ExchangeFrame(fd, frame, 2000, answer, error);
    close(fd);
    return ok;
  }

  // Sends SIGTERM and waits for the exit; the exit status, or -1 when the
  // host did not end within ten seconds.
  int Stop() {
    kill(pid, SIGTERM);
    for (int i = 0; i < 1000; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }
};

HostAnswer Check(const Host& host, std::u16string_view account, std::u16string_view password,
                 bool set_operation = false) {
  CheckTexts texts;
  texts.account = account;
  texts.full_name = u"Alice Able";
  texts.principal = u"alice@example.test";
  texts.password = password;
  texts.set_operation = set_operation;
  HostAnswer answer;
  std::string error;
  EXPECT_TRUE(CheckPasswordWithHost(host.socket, texts, 5000, answer, error)) << error;
  return answer;
}

// Sends raw bytes on a new connection and returns the host's answer kind
// (0 when the host answered nothing before closing).
uint8_t SendRaw(const Host& host, const std::string& bytes, bool close_early = false) {
  std::string error;
  const int fd = ConnectToHost(host.socket, 1000, error);
  EXPECT_GE(fd, 0) << error;
  if (fd < 0) return 0;
  WriteAll(fd, bytes.data(), bytes.size(), 1000);
  if (close_early) {
    close(fd);
    return 0;
  }
  FrameHeader header;
  uint8_t message[kMaxMessageBytes];
  const ReadStatus status = ReadFrame(fd, 5000, 5000, header, message, sizeof message);
  close(fd);
  return status == ReadStatus::kOk ? header.kind : 0;
}

struct HookResult {
  int exit_code = -1;
  std::string errors;
};

// Runs the hook as Samba does: password on standard input, account in the
// environment; `prefix` goes before the program (a wrapper that changes its
// limits), `options` after it.
HookResult RunHook(const std::string& socket, const std::string& account,
                   const std::string& password_file, const std::string& prefix = "",
                   const std::string& options = "") {
  TempFolder scratch;
  const std::string errors = scratch.File("stderr");
  const std::string command =
      prefix + " env -i ZEFA_HOST_SOCKET='" + socket + "' SAMBA_CPS_ACCOUNT_NAME='" + account +
      "' SAMBA_CPS_USER_PRINCIPAL_NAME='" + account +
      "@example.test' SAMBA_CPS_FULL_NAME='J\xC3\xBCrgen Joyce' '" + kHookProgram + "' " + options +
      " <'" + password_file + "' 2>'" + errors + "'";
  const int status = std::system(command.c_str());
  HookResult result;
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.errors = ReadText(errors);
  return result;
}

std::string WritePasswordFile(const TempFolder& folder, const std::string& name,
                              const std::string& password) {
  const std::string path = folder.File(name);
  std::ofstream(path, std::ios::binary) << password;  // no line end, as Samba sends it
  return path;
}

TEST(HostProcess, LoadsTheLibraryAnswersAndStopsInOrderOnSigterm) {
  Host host;
  ASSERT_TRUE(host.Start()) << ReadText(host.log);
  EXPECT_TRUE(Contains(ReadText(host.record), "init\n")) << "InitializeChangeNotify was called";

  EXPECT_EQ(Check(host, u"alice", u"Good-P\u00e4ss-1").kind, kAccepted);
  EXPECT_EQ(Check(host, u"alice", u"weak").kind, kRejected);
  EXPECT_EQ(Check(host, u"alice", u"Good-Reset-2", true).kind, kAccepted);

  std::string frame;
  BeginFrame(frame, kChangeNotify);
  AppendUint32(frame, 1105);
  AppendText(frame, u"bob");
  AppendText(frame, u"Notified-3");
  FinishFrame(frame);
  EXPECT_EQ(SendRaw(host, frame), kDone);

  EXPECT_EQ(host.Stop(), 0);
  const std::string record = ReadText(host.record);
  EXPECT_TRUE(Contains(record, "filter alice|Alice Able|Good-P\xC3\xA4ss-1|0\n")) << record;
  EXPECT_TRUE(Contains(record, "filter alice|Alice Able|weak|0\n")) << record;
  EXPECT_TRUE(Contains(record, "filter alice|Alice Able|Good-Reset-2|1\n")) << record;
  EXPECT_TRUE(Contains(record, "notify bob|1105|Notified-3\n")) << record;
  // The library's unload routine ran: its worker was stopped.
  EXPECT_TRUE(Contains(record, "worker stopped\ndetach")) << record;
  EXPECT_NE(access(host.socket.c_str(), F_OK), 0) << "the socket file was left behind";

  const std::string log = ReadText(host.log);
  EXPECT_TRUE(Contains(log, "stopping")) << log;
  EXPECT_TRUE(Contains(log, "check of alice (change): accepted")) << log;
  // Both accepted checks of alice were kept, neither was ever committed.
  EXPECT_TRUE(Contains(log, "dropped at stop 2")) << log;
  for (const char* password : {"Good-P", "weak", "Good-Reset", "Notified-3"})
    EXPECT_FALSE(Contains(log, password)) << "a password in the host's output: " << password;
}

TEST(HostProcess, ConcurrentCallsAreServedAtTheSameTime) {
  Host host;
  ASSERT_TRUE(host.Start({"--max-clients", "16"}, CLAVORA_STUB_FILTER, "200"));
  std::vector<std::thread> clients;
  std::vector<uint8_t> kinds(12, 0);
  for (size_t i = 0; i < kinds.size(); ++i)
    clients.emplace_back([&, i] {
      kinds[i] = Check(host, u"user" + std::u16string(1, u'a' + i), u"Good-Concurrent").kind;
    });
  for (std::thread& client : clients) client.join();
  for (uint8_t kind : kinds) EXPECT_EQ(kind, kAccepted);
  EXPECT_EQ(host.Stop(), 0);
  const std::string record = ReadText(host.record);
  const size_t at = record.find("most-in-flight=");
  ASSERT_NE(at, std::string::npos) << record;
  EXPECT_GE(std::atoi(record.c_str() + at + 15), 4) << "checks were not served concurrently";
}

TEST(HostProcess, SurvivesGarbageOversizedFramesAndVanishingClients) {
  Host host;
  ASSERT_TRUE(host.Start({"--request-timeout-ms", "300"}));
  EXPECT_EQ(SendRaw(host, "GET / HTTP/1.0\r\n\r\n"), kErrorMalformed);

  uint8_t header[kHeaderBytes];
  EncodeHeader(FrameHeader{kCheckPassword, 1u << 30}, header);
  EXPECT_EQ(SendRaw(host, std::string(reinterpret_cast<char*>(header), kHeaderBytes)),
            kErrorTooLarge);

  std::string unknown;
  BeginFrame(unknown, 0x7F);
  FinishFrame(unknown);
  EXPECT_EQ(SendRaw(host, unknown), kErrorMalformed);

  std::string bad_payload;
  BeginFrame(bad_payload, kCheckPassword);
  AppendUint32(bad_payload, 0);
  AppendUint32(bad_payload, 3);  // an odd text length
  FinishFrame(bad_payload);
  EXPECT_EQ(SendRaw(host, bad_payload), kErrorMalformed);

  std::string frame;
  BeginFrame(frame, kCheckPassword);
  AppendUint32(frame, 0);
  AppendText(frame, u"alice");
  AppendText(frame, u"");
  AppendText(frame, u"");
  AppendText(frame, u"Good-Half-Sent");
  FinishFrame(frame);
  SendRaw(host, frame.substr(0, frame.size() - 6), true);        // disconnect mid-request
  EXPECT_EQ(SendRaw(host, frame.substr(0, 12)), kErrorTimeout);  // stalls mid-request

  HostAnswer answer;
  ASSERT_TRUE(host.Ping(answer)) << "the host no longer answers";
  EXPECT_EQ(answer.kind, kDone);
  EXPECT_EQ(Check(host, u"alice", u"Good-After-Garbage").kind, kAccepted);
  // An account name cannot forge a line of the host's log.
  EXPECT_EQ(Check(host, u"eve\nzefa-host: forged", u"weak").kind, kRejected);
  EXPECT_EQ(host.Stop(), 0);

  const std::string log = ReadText(host.log);
  EXPECT_TRUE(Contains(log, "sent garbage")) << log;
  EXPECT_TRUE(Contains(log, "disconnected mid-request")) << log;
  EXPECT_TRUE(Contains(log, "request not complete in time")) << log;
  EXPECT_TRUE(Contains(log, "unknown request kind 0x7f")) << log;
  EXPECT_TRUE(Contains(log, "check of eve\\x0azefa-host: forged")) << log;
  EXPECT_FALSE(Contains(log, "\nzefa-host: forged")) << log;
  EXPECT_FALSE(Contains(log, "Good-Half")) << log;
  EXPECT_FALSE(Contains(ReadText(host.record), "Good-Half-Sent")) << "a partial request was served";
}

// Connects from a child process that runs as `uid` with the groups given and
// returns the answer kind to a ping (0 when none came).
uint8_t PingAs(const Host& host, uid_t uid, gid_t gid) {
  const pid_t child = fork();
  if (child == 0) {
    const gid_t groups[] = {gid};
    if (setgroups(1, groups) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(0);
    HostAnswer answer;
    _exit(host.Ping(answer) ? answer.kind : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? static_cast<uint8_t>(WEXITSTATUS(status)) : 0;
}

TEST(HostProcess, RefusesPeersOtherThanRootAndTheConfiguredGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client under another uid";
  constexpr uid_t kStranger = 65534;
  constexpr gid_t kClientGroup = 4242;
  {
    Host host;
    ASSERT_TRUE(host.Start());
    chmod(host.socket.c_str(), 0666);  // only the credentials stand in the way now
    EXPECT_EQ(PingAs(host, kStranger, kClientGroup), kErrorDenied);
    EXPECT_EQ(PingAs(host, 0, 0), kDone);
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_TRUE(Contains(ReadText(host.log), "refused connection of uid 65534"));
  }
  {
    Host host;
    ASSERT_TRUE(host.Start({"--group", std::to_string(kClientGroup)}));
    struct stat info {};
    ASSERT_EQ(stat(host.socket.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0660u);
    EXPECT_EQ(info.st_gid, kClientGroup);
    EXPECT_EQ(PingAs(host, kStranger, kClientGroup), kDone);
    EXPECT_EQ(PingAs(host, kStranger, kClientGroup + 1), 0) << "the socket's mode let it in";
    EXPECT_EQ(host.Stop(), 0);
  }
}

// What a client running as `uid` (a member of `gid`) gets from the host: the
// answer to a change notification, then how many of `checks` quick checks
// were answered and how many refused for their rate.
struct MemberResults {
  uint8_t notify_kind = 0;
  int answered = 0;
  int rate_limited = 0;
  int64_t elapsed_ms = 0;
};

MemberResults AskAs(const Host& host, uid_t uid, gid_t gid, int checks) {
  int results[2];
  if (pipe(results) != 0) return {};
  const pid_t child = fork();
  if (child == 0) {
    close(results[0]);
    const gid_t groups[] = {gid};
    if (setgroups(1, groups) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(1);
    MemberResults out;
    std::string frame;
    BeginFrame(frame, kChangeNotify);
    AppendUint32(frame, 1105);
    AppendText(frame, u"alice");
    AppendText(frame, u"Forged-By-A-Member");
    FinishFrame(frame);
    std::string error;
    const int fd = ConnectToHost(host.socket, 1000, error);
    HostAnswer answer;
    if (fd >= 0 && ExchangeFrame(fd, frame, 2000, answer, error)) out.notify_kind = answer.kind;
    if (fd >= 0) close(fd);
    const int64_t started = MonotonicMs();
    for (int i = 0; i < checks; ++i) {
      CheckTexts texts;
      texts.account = u"alice";
      texts.password = u"Guess-Number-1";
      if (!CheckPasswordWithHost(host.socket, texts, 2000, answer, error)) continue;
      if (answer.kind == kAccepted || answer.kind == kRejected) ++out.answered;
      if (answer.kind == kErrorRateLimited) ++out.rate_limited;
    }
    out.elapsed_ms = MonotonicMs() - started;
    const ssize_t ignored = write(results[1], &out, sizeof out);
    (void)ignored;
    _exit(0);
  }
  close(results[1]);
  MemberResults out;
  if (read(results[0], &out, sizeof out) != sizeof out) out = MemberResults{};
  close(results[0]);
  waitpid(child, nullptr, 0);
  return out;
}

// A member of the host's group may ask checks, at a bounded rate and each
// logged with its uid, but never claim that a password was changed: that
// is for root and the host's own user.
TEST(HostProcess, GroupMembersOnlyAskChecksAtABoundedRateAndEachIsLogged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a client under another uid";
  constexpr uid_t kMember = 65534;
  constexpr gid_t kClientGroup = 4242;
  Host host;
  ASSERT_TRUE(host.Start({"--group", std::to_string(kClientGroup)}));
  const MemberResults member = AskAs(host, kMember, kClientGroup, 40);
  EXPECT_EQ(member.notify_kind, kErrorDenied);
  EXPECT_GE(member.answered, 10) << "the first ten checks of a second are answered";
  EXPECT_LE(member.answered, 10 + 10 * member.elapsed_ms / 1000 + 1)
      << member.answered << " checks answered in " << member.elapsed_ms << " ms";
  EXPECT_EQ(member.answered + member.rate_limited, 40);
  // Another member has a rate of its own; root is not limited.
  EXPECT_GE(AskAs(host, kMember + 1, kClientGroup, 10).answered, 10);
  const MemberResults root = AskAs(host, 0, 0, 40);
  EXPECT_EQ(root.notify_kind, kDone);
  EXPECT_EQ(root.answered, 40);
  EXPECT_EQ(host.Stop(), 0);

  const std::string record = ReadText(host.record);
  const std::string forged = "notify alice|1105|Forged-By-A-Member\n";
  ASSERT_TRUE(Contains(record, forged)) << record;
  EXPECT_EQ(record.find(forged), record.rfind(forged))
      << "a member's notification reached the library";
  const std::string log = ReadText(host.log);
  EXPECT_TRUE(Contains(log, "refused change notification for alice from uid 65534")) << log;
  EXPECT_TRUE(Contains(log, "check of alice by uid 65534 (pid ")) << log;
  EXPECT_TRUE(Contains(log, "refused: more than 10 checks a second")) << log;
  EXPECT_FALSE(Contains(log, "Guess-Number")) << log;
}

// A listening process that stands in for the host: binds `socket` as root,
// or as nobody when `nobody_binds`; listens as nobody when `nobody_listens`.
// It reports how many payload bytes of a request it received (-1 when no
// client came) and answers "accepted".
struct Impostor {
  pid_t pid = -1;
  int results = -1;

  Impostor(const std::string& socket, bool nobody_binds, bool nobody_listens) {
    int channel[2];
    if (pipe(channel) != 0) return;
    pid = fork();
    if (pid == 0) {
      close(channel[0]);
      auto become_nobody = [] {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
      };
      if (nobody_binds) become_nobody();
      const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
      if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) _exit(1);
      chmod(socket.c_str(), 0666);
      if (nobody_listens && !nobody_binds) become_nobody();
      if (listen(listener, 4) != 0) _exit(1);
      const char ready = 'R';
      if (write(channel[1], &ready, 1) != 1) _exit(1);
      pollfd entry{listener, POLLIN, 0};
      int32_t received = -1;
      if (poll(&entry, 1, 5000) == 1) {
        const int client = accept(listener, nullptr, nullptr);
        FrameHeader header;
        static uint8_t payload[kMaxPayload];
        received = ReadFrame(client, 3000, 3000, header, payload, sizeof payload) == ReadStatus::kOk
                       ? static_cast<int32_t>(header.payload_bytes)
                       : 0;
        if (write(channel[1], &received, sizeof received) != sizeof received) _exit(1);
        const std::string answer = EncodeAnswer(kAccepted, "");
        WriteAll(client, answer.data(), answer.size(), 1000);
        close(client);
      }
      _exit(0);
    }
    close(channel[1]);
    results = channel[0];
    char ready = 0;
    if (read(results, &ready, 1) != 1) ADD_FAILURE() << "the stand-in listener did not start";
  }
  // Payload bytes the stand-in received from the hook; -1 when none came.
  int32_t Received() {
    int32_t received = -1;
    pollfd entry{results, POLLIN, 0};
    if (poll(&entry, 1, 100) == 1 && read(results, &received, sizeof received) != sizeof received)
      received = -1;
    return received;
  }
  ~Impostor() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (results >= 0) close(results);
  }
};

// The hook gives the password only to a host that no one else could have
// put in place: its socket's folder belongs to root (or the host's user)
// and no one else may write into it, and the listening process runs as
// root or the host's configured user. The host itself does not listen in
// a folder that others may write into.
TEST(CheckPasswordHook, TalksOnlyToTheHostsUserInAFolderNoOneElseMayWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a listener under another uid";
  TempFolder scratch;
  const std::string password = WritePasswordFile(scratch, "good", "Good-For-Impostors-1");
  struct Case {
    const char* name;
    uid_t folder_owner;
    mode_t folder_mode;
    bool nobody_binds, nobody_listens;
    std::string hook_options;
    int exit_code;
    const char* reason;
  };
  const Case cases[] = {
      {"a folder of nobody's", 65534, 0755, true, true, "", 2, "belongs to uid 65534"},
      {"a listener of nobody's in root's folder", 0, 0755, false, true, "", 2,
       "runs as uid 65534, not as root or the host's user"},
      {"root's listener in a folder anyone may write", 0, 0777, false, false, "", 2,
       "is writable by others (mode 0777)"},
      {"root's listener in root's folder", 0, 0755, false, false, "", 0, ""},
      {"the configured host user's listener", 0, 0755, false, true, "--host-user 65534", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder folder;
    ASSERT_EQ(chown(folder.path().c_str(), c.folder_owner, 0), 0);
    ASSERT_EQ(chmod(folder.path().c_str(), c.folder_mode), 0);
    const std::string socket = folder.File("host.sock");
    Impostor listener(socket, c.nobody_binds, c.nobody_listens);
    const HookResult result = RunHook(socket, "alice", password, "", c.hook_options);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.errors;
    if (c.exit_code == 0) {
      EXPECT_GT(listener.Received(), 0);
      continue;
    }
    EXPECT_LE(listener.Received(), 0) << "the password reached the listener";
    EXPECT_TRUE(Contains(result.errors, "zefa-host could not be asked")) << result.errors;
    EXPECT_TRUE(Contains(result.errors, c.reason)) << result.errors;
  }

  Host host;
  const std::string open_folder = host.folder.File("open");
  ASSERT_EQ(mkdir(open_folder.c_str(), 0777), 0);
  ASSERT_EQ(chmod(open_folder.c_str(), 01777), 0);
  host.socket = open_folder + "/host.sock";
  host.Launch({}, CLAVORA_STUB_FILTER, "0");
  EXPECT_EQ(host.ExitCode(), 1);
  EXPECT_TRUE(Contains(ReadText(host.log), "is writable by others (mode 1777)"))
      << ReadText(host.log);
  EXPECT_NE(access(host.socket.c_str(), F_OK), 0);
}

TEST(HostProcess, RefusesToStartWithoutItsLibraryOrBesideAnotherHost) {
  Host missing;
  missing.Launch({}, missing.folder.File("libnothing.so"), "0");
  EXPECT_EQ(missing.ExitCode(), 1);
  EXPECT_TRUE(Contains(ReadText(missing.log), "cannot load the filter library"));
  EXPECT_NE(access(missing.socket.c_str(), F_OK), 0);

  Host first;
  ASSERT_TRUE(first.Start());
  Host second;
  second.socket = first.socket;
  second.Launch({}, CLAVORA_STUB_FILTER, "0");
  EXPECT_EQ(second.ExitCode(), 1);
  EXPECT_TRUE(Contains(ReadText(second.log), "another host already answers"));
  HostAnswer answer;
  EXPECT_TRUE(first.Ping(answer)) << "the second host took the first one's socket";
  EXPECT_EQ(first.Stop(), 0);
}

TEST(CheckPasswordHook, AcceptsRejectsAndFailsClosedWithoutTheHost) {
  Host host;
  ASSERT_TRUE(host.Start());
  TempFolder scratch;
  const std::string good = WritePasswordFile(scratch, "good", "Good-P\xC3\xA4ssword 1");
  const std::string weak = WritePasswordFile(scratch, "weak", "password");
  const std::string huge = WritePasswordFile(scratch, "huge", std::string(5000, 'G'));

  HookResult result = RunHook(host.socket, "alice", good);
  EXPECT_EQ(result.exit_code, 0) << result.errors;
  result = RunHook(host.socket, "alice", weak);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(Contains(result.errors, "password of alice rejected")) << result.errors;
  EXPECT_FALSE(Contains(result.errors, "password\n")) << result.errors;
  result = RunHook(host.socket, "alice", huge);
  EXPECT_EQ(result.exit_code, 3) << result.errors;
  const int status = std::system(("env -i ZEFA_HOST_SOCKET='" + host.socket + "' '" + kHookProgram +
                                  "' <'" + good + "' 2>/dev/null")
                                     .c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 3) << "a call without an account";

  EXPECT_EQ(host.Stop(), 0);
  const std::string record = ReadText(host.record);
  // Every hook call is a change (set operation 0), the full name arrives.
  EXPECT_TRUE(Contains(record, "filter alice|J\xC3\xBCrgen Joyce|Good-P\xC3\xA4ssword 1|0\n"))
      << record;
  EXPECT_TRUE(Contains(record, "filter alice|J\xC3\xBCrgen Joyce|password|0\n")) << record;

  result = RunHook(host.socket, "alice", good);  // the host is gone
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_TRUE(Contains(result.errors, "zefa-host could not be asked")) << result.errors;
}

// The library's reason for a rejection reaches the administrator on the
// hook's standard error, one requirement a line, whichever requirements the
// password misses; the password itself never shows. The principal name
// Samba gives reaches the library.
TEST(CheckPasswordHook, SaysWhyAPasswordWasRejected) {
  Host host;
  ASSERT_TRUE(host.Start());
  TempFolder scratch;
  const char* const lines[] = {"-Has at least 1 numbers", "-Must not contain spaces",
                               "-Must not contain any of the forbidden words",
                               "-Must be at least 8 characters long"};
  int runs = 0;
  for (unsigned missed = 0; missed < 16; ++missed) {
    const bool no_digit = missed & 1, space = missed & 2, word = missed & 4, short_one = missed & 8;
    std::string password =
        std::string(word ? "password" : "Zq") + (space ? " " : "") + (no_digit ? "" : "7");
    if (short_one && password.size() >= 8) continue;  // no short password holds the word
    if (!short_one) password += std::string(password.size() < 10 ? 10 - password.size() : 0, 'x');
    const HookResult result = RunHook(
        host.socket, "alice", WritePasswordFile(scratch, "p" + std::to_string(missed), password));
    ++runs;
    EXPECT_EQ(result.exit_code, 1) << password;
    EXPECT_TRUE(Contains(result.errors,
                         "zefa-check-password: password of alice rejected: Requested password for "
                         "user alice (alice@example.test; ) was not accepted because it did not "
                         "meet these requirements:\n"))
        << result.errors;
    for (unsigned kind = 0; kind < 4; ++kind)
      EXPECT_EQ(Contains(result.errors, std::string("\n") + lines[kind] + "\n"),
                (missed & (1u << kind)) != 0)
          << lines[kind] << " for missed=" << missed << ": " << result.errors;
    EXPECT_FALSE(Contains(result.errors, "\r")) << result.errors;
    EXPECT_FALSE(Contains(result.errors, password)) << "the password on standard error";
  }
  EXPECT_EQ(runs, 12);
  EXPECT_EQ(host.Stop(), 0);
  EXPECT_TRUE(Contains(ReadText(host.record), "principal alice@example.test\n"));
}

// A datagram socket standing in for the service manager's notification
// socket: what the host reports to it.
struct ServiceManager {
  TempFolder folder;
  std::string path = folder.File("notify");
  int fd = -1;
  ServiceManager() {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~ServiceManager() { close(fd); }
  // Everything received within `ms`.
  std::string Received(int ms) {
    std::string all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      pollfd entry{fd, POLLIN, 0};
      if (poll(&entry, 1, 10) <= 0) continue;
      char message[512];
      const ssize_t n = recv(fd, message, sizeof message, 0);
      if (n > 0) all.append(message, static_cast<size_t>(n)).append("\n");
    }
    return all;
  }
};

// Until the library has initialised, the host says it is starting: to a
// ping, to a check (which never reaches the library), through the hook
// (whose message and exit code are those of a host that could not be
// asked), and to the service manager, which hears "ready" only afterwards.
TEST(HostProcess, SaysItIsStartingUntilTheLibraryHasInitialised) {
  Host host;
  ServiceManager manager;
  host.initialised_file = host.folder.File("initialised");
  host.notify_socket = manager.path;
  ASSERT_TRUE(host.Start()) << ReadText(host.log);

  HostAnswer answer;
  ASSERT_TRUE(host.Ping(answer));
  EXPECT_EQ(answer.kind, kStarting);
  EXPECT_TRUE(Contains(answer.message, "zefa-host is starting")) << answer.message;
  EXPECT_EQ(Check(host, u"alice", u"Good-While-Starting").kind, kStarting);
  TempFolder scratch;
  const std::string good = WritePasswordFile(scratch, "good", "Good-While-Starting");
  HookResult result = RunHook(host.socket, "alice", good);
  EXPECT_EQ(result.exit_code, 2) << result.errors;
  EXPECT_TRUE(Contains(result.errors, "zefa-host is starting")) << result.errors;
  EXPECT_FALSE(Contains(result.errors, "password policy")) << result.errors;
  EXPECT_FALSE(Contains(manager.Received(300), "READY=1")) << "ready before the library";

  std::ofstream(host.initialised_file) << "";
  EXPECT_TRUE(Contains(manager.Received(3000), "READY=1"));
  ASSERT_TRUE(host.Ping(answer));
  EXPECT_EQ(answer.kind, kDone);
  result = RunHook(host.socket, "alice", good);
  EXPECT_EQ(result.exit_code, 0) << result.errors;
  EXPECT_EQ(host.Stop(), 0);
  const std::string record = ReadText(host.record);
  EXPECT_EQ(record.find("filter alice|Alice Able|Good-While-Starting"), std::string::npos)
      << "a check reached the library before it had initialised: " << record;
  EXPECT_TRUE(Contains(record, "filter alice|J\xC3\xBCrgen Joyce|Good-While-Starting|0")) << record;
}

// Connections that never send a request: each is closed after two seconds,
// and while they hold every slot a new client takes the slot of the one
// idle longest instead of waiting.
TEST(HostProcess, IdleConnectionsNeitherLingerNorKeepNewClientsWaiting) {
  Host host;
  ASSERT_TRUE(host.Start({"--max-clients", "4"}));
  std::string error;
  const int lingering = ConnectToHost(host.socket, 1000, error);
  ASSERT_GE(lingering, 0) << error;
  FrameHeader header;
  uint8_t message[kMaxMessageBytes];
  EXPECT_EQ(ReadFrame(lingering, 6000, 1000, header, message, sizeof message), ReadStatus::kClosed)
      << "an idle connection was kept past its time";
  close(lingering);

  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) {
    const int fd = ConnectToHost(host.socket, 1000, error);
    if (fd >= 0) idle.push_back(fd);
  }
  EXPECT_EQ(idle.size(), 200u) << "clients waited for a slot: " << error;
  CheckTexts texts;
  texts.account = u"alice";
  texts.password = u"Good-Despite-Idlers";
  HostAnswer answer;
  EXPECT_TRUE(CheckPasswordWithHost(host.socket, texts, 1500, answer, error)) << error;
  EXPECT_EQ(answer.kind, kAccepted);
  for (int fd : idle) close(fd);
  EXPECT_EQ(host.Stop(), 0);
}

// A stand-in host that answers "accepted" slowly: the first byte after
// `first_ms`, the rest after `rest_ms`, both from the request's arrival.
// While the request is there it notes the client's locked memory.
struct SlowHost {
  TempFolder folder;
  std::string socket = folder.File("slow.sock");
  int listener = -1;
  long client_locked_kb = -1;
  std::thread thread;

  SlowHost(int first_ms, int rest_ms) {
    listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socket.c_str());
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 4);
    thread = std::thread([this, first_ms, rest_ms] {
      const int fd = accept(listener, nullptr, nullptr);
      if (fd < 0) return;
      FrameHeader header;
      std::vector<uint8_t> payload(kMaxPayload);
      if (ReadFrame(fd, 5000, 5000, header, payload.data(), payload.size()) == ReadStatus::kOk) {
        ucred peer{};
        socklen_t size = sizeof peer;
        getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size);
        const std::string status = ReadText("/proc/" + std::to_string(peer.pid) + "/status");
        const size_t at = status.find("VmLck:");
        if (at != std::string::npos) client_locked_kb = std::atol(status.c_str() + at + 6);
        const std::string answer = EncodeAnswer(kAccepted, "");
        std::this_thread::sleep_for(std::chrono::milliseconds(first_ms));
        WriteAll(fd, answer.data(), 1, 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(rest_ms - first_ms));
        WriteAll(fd, answer.data() + 1, answer.size() - 1, 1000);
      }
      close(fd);
    });
  }
  // Waits for the stand-in to finish its one connection.
  void Finish() {
    if (thread.joinable()) thread.join();
  }
  ~SlowHost() {
    Finish();
    close(listener);
  }
};

// The hook's time limit covers the whole exchange: an answer that begins in
// time but ends after the limit is not waited for.
TEST(CheckPasswordHook, OneDeadlineCoversTheWholeExchange) {
  TempFolder scratch;
  const std::string good = WritePasswordFile(scratch, "good", "Good-But-Slow-1");
  {
    SlowHost slow(600, 1400);
    const HookResult result = RunHook(slow.socket, "alice", good, "", "--timeout-ms 1000");
    EXPECT_EQ(result.exit_code, 2) << "an answer after the deadline was taken: " << result.errors;
    EXPECT_TRUE(Contains(result.errors, "could not be asked")) << result.errors;
  }
  {
    SlowHost quick(100, 300);
    const HookResult result = RunHook(quick.socket, "alice", good, "", "--timeout-ms 1000");
    EXPECT_EQ(result.exit_code, 0) << result.errors;
  }
}

// The request, password included, lies in locked pages while the hook
// waits for its answer; a hook that may not lock memory says so.
TEST(CheckPasswordHook, KeepsTheRequestInLockedPagesAndReportsAFailedLock) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "in the AddressSanitizer build the hook's locked pages do not show in VmLck "
                  "(cause not established); the normal build checks this";
#endif
  TempFolder scratch;
  const std::string good = WritePasswordFile(scratch, "good", "Good-Locked-1");
  {
    SlowHost host(0, 1);
    const HookResult result = RunHook(host.socket, "alice", good);
    EXPECT_EQ(result.exit_code, 0) << result.errors;
    host.Finish();
    EXPECT_GE(host.client_locked_kb * 1024, static_cast<long>(kFrameCapacity))
        << "the request frame is not in locked memory";
    EXPECT_FALSE(Contains(result.errors, "could not be locked")) << result.errors;
  }
  {
    SlowHost host(0, 1);
    // No locked memory at all, and (for root) without the capability that
    // ignores the limit.
    const std::string limits = geteuid() == 0
                                   ? "prlimit --memlock=0:0 setpriv --bounding-set=-ipc_lock"
                                   : "prlimit --memlock=0:0";
    const HookResult result = RunHook(host.socket, "alice", good, limits);
    EXPECT_EQ(result.exit_code, 0)
        << "a failed lock must not refuse the password: " << result.errors;
    EXPECT_TRUE(Contains(result.errors, "could not be locked (mlock:")) << result.errors;
    EXPECT_FALSE(Contains(result.errors, "Good-Locked")) << result.errors;
  }
}

}  // namespace
}  // namespace zefa::host
