// zefastore: builds, refreshes, checks and queries the offline
// breached-password store that the filter's PwnedStore value names.
//   zefastore create STORE --from FILE|FOLDER... [--kind sha1|ntlm]
//                          [--min-count N] [--passwords] [--temp FOLDER]
//   zefastore sync STORE --url URL [--kind sha1|ntlm] [--min-count N]
//                        [--parallel N] [--ca-file FILE]
//   zefastore lookup STORE     passwords on standard input, one a line
//   zefastore info STORE
// Exit codes: 0 success (lookup: at least one found), 1 lookup found none,
// 2 usage error, refused store or failure.
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "breach/store_builder.h"
#include "breach/store_reader.h"
#include "platform/characters.h"
#include "platform/system.h"
#include "tools/store_sources.h"
#include "tools/store_sync.h"
#include "platform/files.h"

namespace {

namespace fs = std::filesystem;
using namespace zefa;
using namespace zefa::store;
using Clock = std::chrono::steady_clock;

constexpr int kUsageError = 2;

void Print(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

int Fail(const std::string& message) {
  Print(stderr, "zefastore: " + message + "\n");
  return kUsageError;
}

const char* kUsage =
    "usage:\n"
    "  zefastore create STORE --from FILE|FOLDER... [--kind sha1|ntlm] [--min-count N]\n"
    "                         [--passwords] [--temp FOLDER]\n"
    "  zefastore sync STORE --url URL [--kind sha1|ntlm] [--min-count N] [--parallel N]\n"
    "                       [--ca-file FILE]\n"
    "  zefastore lookup STORE   (passwords on standard input, one a line)\n"
    "  zefastore info STORE\n";

// The help of one command: its usage line and what each option does.
std::string CommandHelp(const std::string& command) {
  if (command == "create")
    return "zefastore create STORE --from FILE|FOLDER... [--kind sha1|ntlm] [--min-count N]\n"
           "                       [--passwords] [--temp FOLDER]\n"
           "  Builds STORE from the public corpus (one HASH:COUNT file, or a folder of one\n"
           "  SUFFIX:COUNT file per five-digit prefix) or from plain passwords (UTF-8).\n"
           "  --from         the files or folders to read (at least one)\n"
           "  --kind         sha1 (default): SHA-1 of the UTF-8 password; ntlm: its NT hash\n"
           "  --min-count N  leave out hashes seen fewer than N times\n"
           "  --passwords    the sources hold passwords, one a line, not hashes\n"
           "  --temp FOLDER  where the 8 bytes per hash of sorting space go (default: beside "
           "STORE)\n";
  if (command == "sync")
    return "zefastore sync STORE --url URL [--kind sha1|ntlm] [--min-count N] [--parallel N]\n"
           "                     [--ca-file FILE]\n"
           "  Fills or refreshes STORE from the range interface at URL (all 1,048,576\n"
           "  prefixes; run it again after an interruption and it resumes). The new store\n"
           "  replaces the old one by a rename when it is complete.\n"
           "  --url URL      the service, for example https://api.pwnedpasswords.com\n"
           "  --kind         sha1 (default) or ntlm\n"
           "  --min-count N  leave out hashes seen fewer than N times\n"
           "  --parallel N   requests at once (default 32)\n"
           "  --ca-file FILE CA bundle for the service\n";
  if (command == "lookup")
    return "zefastore lookup STORE\n"
           "  Reads passwords from standard input, one a line, and prints for each whether\n"
           "  STORE lists it. Exit code as grep: 0 when one was found, 1 when none was.\n";
  if (command == "info")
    return "zefastore info STORE\n"
           "  Prints the header of STORE (kind, entries, false-positive rate) and checks\n"
           "  every block; exit code 2 when the store is damaged.\n";
  return "";
}

bool IsHelpArgument(const Text& arg) {
  return arg == ZT("--help") || arg == ZT("-h") || arg == ZT("/?") || arg == ZT("help");
}

std::string PathText(const fs::path& path) {
  return reinterpret_cast<const char*>(path.u8string().c_str());
}

std::string Grouped(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(i, ",");
  return digits;
}

struct Options {
  std::string command;
  fs::path store;
  std::vector<fs::path> sources;
  HashKind kind = HashKind::kSha1;
  uint64_t min_count = 0;
  bool passwords = false;
  fs::path temp;
  std::string url;
  std::string ca_file;
  int parallel = 32;
};

bool ParseNumber(const std::string& text, uint64_t& value) {
  if (text.empty() || text.size() > 18) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool ParseArguments(const std::vector<Text>& args, Options& options, std::string& error) {
  if (args.size() < 2) {
    error = "a command and a store are needed";
    return false;
  }
  options.command = TextToUtf8(args[0]);
  options.store = platform::PathFromText(args[1]);
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string arg = TextToUtf8(args[i]);
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = TextToUtf8(args[++i]);
      return true;
    };
    std::string text;
    if (arg == "--from") {
      if (i + 1 >= args.size()) {
        error = "--from needs a file or folder";
        return false;
      }
      while (i + 1 < args.size() && TextToUtf8(args[i + 1]).rfind("--", 0) != 0)
        options.sources.push_back(platform::PathFromText(args[++i]));
    } else if (arg == "--kind") {
      if (!value(text)) return false;
      if (text == "sha1" || text == "SHA1" || text == "sha-1") {
        options.kind = HashKind::kSha1;
      } else if (text == "ntlm" || text == "NTLM") {
        options.kind = HashKind::kNtlm;
      } else {
        error = "--kind is sha1 or ntlm, not " + text;
        return false;
      }
    } else if (arg == "--min-count") {
      if (!value(text)) return false;
      if (!ParseNumber(text, options.min_count) || options.min_count > 0xFFFFFFFFu) {
        error = "--min-count needs a whole number";
        return false;
      }
    } else if (arg == "--parallel") {
      uint64_t number = 0;
      if (!value(text)) return false;
      if (!ParseNumber(text, number) || number < 1 || number > 256) {
        error = "--parallel is a number from 1 to 256";
        return false;
      }
      options.parallel = static_cast<int>(number);
    } else if (arg == "--passwords") {
      options.passwords = true;
    } else if (arg == "--temp") {
      if (!value(text)) return false;
      options.temp = platform::PathFromText(Utf8ToText(text));
    } else if (arg == "--url") {
      if (!value(options.url)) return false;
    } else if (arg == "--ca-file") {
      if (!value(options.ca_file)) return false;
    } else {
      error = "unknown argument " + arg;
      return false;
    }
  }
  return true;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

int Create(const Options& options) {
  if (options.sources.empty()) return Fail("create needs --from with at least one file or folder");
  const fs::path temp = options.temp.empty()
                            ? fs::path(options.store.string() + ".parts")
                            : options.temp / (options.store.filename().string() + ".parts");
  const Clock::time_point start = Clock::now();
  PartitionWriter writer;
  std::string error;
  if (!OpenPartitions(writer, temp, error)) return Fail(error);
  SourceOptions source_options;
  source_options.kind = options.kind;
  source_options.min_count = options.min_count;
  source_options.force_passwords = options.passwords;
  SourceTally total;
  for (const fs::path& source : options.sources) {
    SourceTally tally;
    const auto show = [&](const SourceTally& now, bool final) {
      const double seconds = Seconds(start);
      char line[256];
      std::snprintf(line, sizeof line, "\rreading %s: %s lines, %s hashes, %.0f MB/s%s",
                    PathText(source.filename()).c_str(), Grouped(now.lines).c_str(),
                    Grouped(now.keys).c_str(),
                    seconds > 0 ? (total.bytes + now.bytes) / 1e6 / seconds : 0.0,
                    final ? "\n" : "   ");
      Print(stderr, line);
    };
    if (!ReadSource(
            source, source_options, [&](uint64_t key) { AddKey(writer, key); }, tally, show,
            error)) {
      RemovePartitions(writer);
      Print(stderr, "\n");
      return Fail(error);
    }
    total.lines += tally.lines;
    total.keys += tally.keys;
    total.dropped += tally.dropped;
    total.bytes += tally.bytes;
  }
  if (!ClosePartitions(writer, error)) {
    RemovePartitions(writer);
    return Fail(error);
  }
  StoreHeader header;
  const bool written = WriteStoreFromPartitions(
      writer.files, options.kind, static_cast<uint32_t>(options.min_count), options.store,
      [&](int done, int all) {
        if (done % 16 == 0 || done == all) {
          char line[96];
          std::snprintf(line, sizeof line, "\rwriting the store: %3d%%%s", done * 100 / all,
                        done == all ? "\n" : "");
          Print(stderr, line);
        }
      },
      header, error);
  RemovePartitions(writer);
  if (!written) return Fail(error);
  char summary[512];
  std::snprintf(
      summary, sizeof summary,
      "%s: %s %s hashes (%s under the minimum count left out), %s bytes, "
      "%.2f bytes per entry, false-positive rate %.3g, %.1f s\n",
      PathText(options.store).c_str(), Grouped(header.hash_count).c_str(),
      HashKindName(header.kind), Grouped(total.dropped).c_str(), Grouped(header.file_size).c_str(),
      header.prefix_count ? static_cast<double>(header.file_size) / header.prefix_count : 0.0,
      header.false_positive_rate, Seconds(start));
  Print(stdout, summary);
  return 0;
}

int Sync(const Options& options) {
  if (options.url.empty()) return Fail("sync needs --url (the range interface, https://host)");
  SyncOptions sync;
  sync.kind = options.kind;
  sync.min_count = options.min_count;
  sync.fetch.base_url = options.url;
  sync.fetch.query = options.kind == HashKind::kNtlm ? "?mode=ntlm" : "";
  sync.fetch.ca_file = options.ca_file;
  sync.fetch.parallel = options.parallel;
  const Clock::time_point start = Clock::now();
  std::string error;
  if (!SyncStore(options.store, sync, stderr, error)) return Fail(error);
  std::string open_error;
  StoreHandle store = OpenStore(Utf8ToText(PathText(options.store)), open_error);
  if (!store) return Fail(PathText(options.store) + ": " + open_error);
  char summary[256];
  std::snprintf(summary, sizeof summary, "%s: %s %s hashes, %.1f s\n",
                PathText(options.store).c_str(), Grouped(store->header.hash_count).c_str(),
                HashKindName(store->header.kind), Seconds(start));
  Print(stdout, summary);
  return 0;
}

StoreHandle OpenOrReport(const Options& options) {
  std::string error;
  StoreHandle store = OpenStore(Utf8ToText(PathText(options.store)), error);
  if (!store) Fail(PathText(options.store) + ": refused: " + error);
  return store;
}

// Answers are buffered and written out whenever no further input is ready,
// so a million lines piped in cost a few writes, and a caller that sends
// one line and waits for its answer still gets it at once.
int Lookup(const Options& options) {
  StoreHandle store = OpenOrReport(options);
  if (!store) return kUsageError;
  std::ios::sync_with_stdio(false);
  bool any = false;
  std::string line;
  for (;;) {
    if (std::cin.rdbuf()->in_avail() <= 0) std::fflush(stdout);
    if (!std::getline(std::cin, line)) break;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    Text password = Utf8ToText(line);
    platform::SecureWipe(line.data(), line.size());
    const StoreAnswer answer = StoreLookupPassword(*store, password);
    platform::SecureWipe(password.data(), password.size() * sizeof(WChar));
    if (answer == StoreAnswer::kDamaged) {
      std::fflush(stdout);
      return Fail(PathText(options.store) + ": the store is damaged (run info to check it)");
    }
    any = any || answer == StoreAnswer::kFound;
    const std::string_view text = answer == StoreAnswer::kFound ? "found\n" : "not found\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
  }
  std::fflush(stdout);
  return any ? 0 : 1;
}

int Info(const Options& options) {
  StoreHandle store = OpenOrReport(options);
  if (!store) return kUsageError;
  const StoreHeader& h = store->header;
  char text[1024];
  std::snprintf(
      text, sizeof text,
      "store:               %s\n"
      "format version:      %u\n"
      "hash kind:           %s\n"
      "hashes:              %s\n"
      "minimum count:       %u\n"
      "prefixes stored:     %s of %u bits\n"
      "rice parameter:      %u\n"
      "blocks:              %s of %u bytes\n"
      "file size:           %s bytes (%.3f bytes per entry)\n"
      "false-positive rate: %.3g (about 1 in %s)\n",
      PathText(options.store).c_str(), h.version, HashKindName(h.kind),
      Grouped(h.hash_count).c_str(), h.min_count, Grouped(h.prefix_count).c_str(), h.prefix_bits,
      h.rice_bits, Grouped(h.block_count).c_str(), h.block_size, Grouped(h.file_size).c_str(),
      h.prefix_count ? static_cast<double>(h.file_size) / h.prefix_count : 0.0,
      h.false_positive_rate,
      h.false_positive_rate > 0 ? Grouped(static_cast<uint64_t>(1 / h.false_positive_rate)).c_str()
                                : "never");
  Print(stdout, text);
  std::string error;
  if (!VerifyStoreBlocks(*store, error)) {
    Print(stdout, "check:               FAILED\n");
    return Fail(PathText(options.store) + ": damaged: " + error);
  }
  Print(stdout, "check:               all " + Grouped(h.block_count) + " blocks intact\n");
  return 0;
}

int Run(const std::vector<Text>& args) {
  if (args.empty() || args[0] == ZT("help") || args[0] == ZT("--help") || args[0] == ZT("/?")) {
    Print(args.empty() ? stderr : stdout, kUsage);
    return args.empty() ? kUsageError : 0;
  }
  const std::string help = CommandHelp(TextToUtf8(args[0]));
  for (size_t i = 1; i < args.size() && !help.empty(); ++i) {
    if (IsHelpArgument(args[i])) {
      Print(stdout, help);
      return 0;
    }
  }
  Options options;
  std::string error;
  if (!ParseArguments(args, options, error)) {
    Print(stderr, kUsage);
    return Fail(error);
  }
  if (options.command == "create") return Create(options);
  if (options.command == "sync") return Sync(options);
  if (options.command == "lookup") return Lookup(options);
  if (options.command == "info") return Info(options);
  Print(stderr, kUsage);
  return Fail("unknown command " + options.command);
}

}  // namespace

int main(int argc, char** argv) { return Run(zefa::platform::ProgramArguments(argc, argv)); }
