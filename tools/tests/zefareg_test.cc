// The registry tool: its parsers and formatters as functions, then the built
// zefareg program run against a registry in a temporary CLAVORA_ROOT.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "policy/policies.h"
#include "server/reload_policies.h"
#include "tools/reg_command.h"
#include "tools/reg_file.h"
#include "platform/registry.h"

namespace zefa::reg {
namespace {

using platform::RegistryValue;

std::string Utf16(const Text& text) {
  std::string bytes;
  for (WChar c : text) {
    bytes.push_back(static_cast<char>(static_cast<uint16_t>(c) & 0xFF));
    bytes.push_back(static_cast<char>(static_cast<uint16_t>(c) >> 8));
  }
  return bytes;
}

std::vector<Text> Args(std::initializer_list<const char16_t*> args) {
  return std::vector<Text>(args.begin(), args.end());
}

// ------------------------------------------------------------ key paths

TEST(RegKeyPath, AcceptsShortAndLongRootsInAnyCase) {
  auto key = ParseKeyPath(ZT("hklm\\Software\\Policies\\Clavora\\1\\"));
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->root, ZT("HKEY_LOCAL_MACHINE"));
  EXPECT_EQ(key->subkey, ZT("Software\\Policies\\Clavora\\1"));
  EXPECT_EQ(KeyPathText(*key), ZT("HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora\\1"));

  const std::pair<const char16_t*, const char16_t*> roots[] = {
      {ZT("HKCU"), ZT("HKEY_CURRENT_USER")}, {ZT("hkcr"), ZT("HKEY_CLASSES_ROOT")},
      {ZT("Hku"), ZT("HKEY_USERS")},         {ZT("HKCC"), ZT("HKEY_CURRENT_CONFIG")},
      {ZT("hkey_users"), ZT("HKEY_USERS")},
  };
  for (const auto& [typed, root] : roots) {
    auto parsed = ParseKeyPath(Text(typed) + ZT("\\X"));
    ASSERT_TRUE(parsed.has_value()) << TextToUtf8(typed);
    EXPECT_EQ(parsed->root, root);
  }
  auto root_only = ParseKeyPath(ZT("HKCU"));
  ASSERT_TRUE(root_only.has_value());
  EXPECT_TRUE(root_only->subkey.empty());
  EXPECT_EQ(KeyPathText(ChildKey(*root_only, ZT("A"))), ZT("HKEY_CURRENT_USER\\A"));

  EXPECT_FALSE(ParseKeyPath(ZT("HKLX\\Software")));
  EXPECT_FALSE(ParseKeyPath(ZT("\\\\server\\HKLM\\Software")));
  EXPECT_FALSE(ParseKeyPath(ZT("")));
  EXPECT_FALSE(ParseKeyPath(ZT("Software\\HKLM")));
}

// ------------------------------------------------------------- add data

TEST(RegAddData, NumbersAreDecimalOrHexWithinTheirSize) {
  EXPECT_EQ(EncodeAddData(platform::kRegDword, ZT("12"), {}).data, std::string("\x0c\0\0\0", 4));
  EXPECT_EQ(EncodeAddData(platform::kRegDword, ZT("0xFFFFFFFF"), {}).data, "\xff\xff\xff\xff");
  EXPECT_EQ(EncodeAddData(platform::kRegDword, ZT("4294967295"), {}).data, "\xff\xff\xff\xff");
  EXPECT_EQ(EncodeAddData(platform::kRegDword, ZT(""), {}).data, std::string(4, '\0'));
  EXPECT_EQ(EncodeAddData(platform::kRegQword, ZT("0x0102030405060708"), {}).data,
            "\x08\x07\x06\x05\x04\x03\x02\x01");
  EXPECT_EQ(EncodeAddData(platform::kRegQword, ZT("18446744073709551615"), {}).data,
            std::string(8, '\xff'));
  for (const char16_t* bad :
       {ZT("4294967296"), ZT("-1"), ZT("12x"), ZT("0x"), ZT(" 1"), ZT("0x1FFFFFFFF"), ZT("1e3")}) {
    const EncodedData encoded = EncodeAddData(platform::kRegDword, bad, {});
    EXPECT_FALSE(encoded.ok) << TextToUtf8(bad);
    EXPECT_FALSE(encoded.error.empty());
  }
  EXPECT_FALSE(EncodeAddData(platform::kRegQword, ZT("18446744073709551616"), {}).ok);
}

TEST(RegAddData, BinaryNeedsWholeBytesOfHexDigits) {
  EXPECT_EQ(EncodeAddData(platform::kRegBinary, ZT("0a0BfF"), {}).data, "\x0a\x0b\xff");
  EXPECT_EQ(EncodeAddData(platform::kRegBinary, ZT(""), {}).data, "");
  EXPECT_FALSE(EncodeAddData(platform::kRegBinary, ZT("abc"), {}).ok);
  EXPECT_FALSE(EncodeAddData(platform::kRegBinary, ZT("0g"), {}).ok);
  EXPECT_FALSE(EncodeAddData(platform::kRegBinary, ZT("01 02"), {}).ok);
}

TEST(RegAddData, StringsCarryTheirTerminators) {
  EXPECT_EQ(EncodeAddData(platform::kRegSz, ZT("a\u00E9"), {}).data,
            Utf16(Text(ZT("a\u00E9\0"), 3)));
  EXPECT_EQ(EncodeAddData(platform::kRegExpandSz, ZT(""), {}).data, std::string(2, '\0'));

  const std::string abc = Utf16(Text(ZT("a\0bc\0d\0\0"), 8));
  EXPECT_EQ(EncodeAddData(platform::kRegMultiSz, ZT("a\\0bc\\0d"), {}).data, abc);
  EXPECT_EQ(EncodeAddData(platform::kRegMultiSz, ZT("a\\0bc\\0d\\0"), {}).data, abc);
  EXPECT_EQ(EncodeAddData(platform::kRegMultiSz, ZT("a#bc#d"), WChar('#')).data, abc);
  // With another separator "\0" is ordinary text.
  EXPECT_EQ(EncodeAddData(platform::kRegMultiSz, ZT("x\\0y"), WChar(',')).data,
            Utf16(Text(ZT("x\\0y\0\0"), 6)));
  EXPECT_EQ(EncodeAddData(platform::kRegMultiSz, ZT(""), {}).data, std::string(2, '\0'));
  EXPECT_FALSE(EncodeAddData(platform::kRegMultiSz, ZT("a\\0\\0b"), {}).ok);
  EXPECT_FALSE(EncodeAddData(platform::kRegMultiSz, ZT("\\0a"), {}).ok);
}

TEST(RegQueryFormat, PrintsValuesAsRegQueryDoes) {
  RegistryValue value;
  value.name = ZT("MinLength");
  value.type = platform::kRegDword;
  value.data = std::string("\x0c\0\0\0", 4);
  EXPECT_EQ(FormatQueryValue(value), ZT("    MinLength    REG_DWORD    0xc"));
  value.name.clear();
  value.type = platform::kRegMultiSz;
  value.data = Utf16(Text(ZT("a\0b\0\0"), 5));
  EXPECT_EQ(FormatQueryValue(value), ZT("    (Default)    REG_MULTI_SZ    a\\0b"));
  // Every string is shown, empty ones inside the list too: the filter reads
  // them all.
  EXPECT_EQ(FormatQueryData(platform::kRegMultiSz, Utf16(Text(ZT("a\0\0b\0\0"), 6))),
            ZT("a\\0\\0b"));
  EXPECT_EQ(FormatQueryData(platform::kRegMultiSz, Utf16(Text(ZT("\0hidden\0\0"), 9))),
            ZT("\\0hidden"));
  EXPECT_EQ(FormatQueryData(platform::kRegMultiSz, Utf16(Text(ZT("a\0\0\0"), 4))), ZT("a\\0"));
  EXPECT_EQ(FormatQueryData(platform::kRegMultiSz, Utf16(Text(ZT("a\0b"), 3))), ZT("a\\0b"));
  EXPECT_EQ(FormatQueryData(platform::kRegMultiSz, Utf16(Text(ZT("\0"), 1))), ZT(""));
  EXPECT_EQ(FormatQueryData(platform::kRegMultiSz, ""), ZT(""));
  EXPECT_EQ(FormatQueryData(platform::kRegBinary, "\x01\xab"), ZT("01AB"));
  EXPECT_EQ(FormatQueryData(platform::kRegQword, std::string("\0\0\0\0\1\0\0\0", 8)),
            ZT("0x100000000"));
  EXPECT_EQ(FormatQueryData(platform::kRegDword, "\x01\x02"), ZT("0102"));  // wrong size
  EXPECT_EQ(TypeName(0x20), ZT("0x20"));
}

// --------------------------------------------------------- command line

TEST(RegCommandLine, ReadsOptionsInAnyOrderAndCase) {
  auto parsed = ParseCommandLine(
      Args({ZT("ADD"), ZT("/D"), ZT("/f"), ZT("hkcu\\x"), ZT("-t"), ZT("reg_multi_sz"), ZT("/V"),
            ZT("List"), ZT("/S"), ZT(";"), ZT("/F"), ZT("/reg:64")}));
  ASSERT_TRUE(parsed.command.has_value()) << TextToUtf8(parsed.message);
  const Command& c = *parsed.command;
  EXPECT_EQ(c.operation, Operation::kAdd);
  EXPECT_EQ(c.key.root, ZT("HKEY_CURRENT_USER"));
  EXPECT_EQ(*c.data, ZT("/f"));  // an option's argument is never an option
  EXPECT_EQ(*c.value_name, ZT("List"));
  EXPECT_EQ(*c.type, uint32_t{platform::kRegMultiSz});
  EXPECT_EQ(*c.separator, WChar(';'));
  EXPECT_TRUE(c.force);
  EXPECT_EQ(c.view, 64);

  // A POSIX path is a file name, not an option.
  auto exported = ParseCommandLine(Args({ZT("export"), ZT("HKLM\\S"), ZT("/tmp/s.reg"), ZT("/y")}));
  ASSERT_TRUE(exported.command.has_value()) << TextToUtf8(exported.message);
  EXPECT_EQ(exported.command->file, ZT("/tmp/s.reg"));
  EXPECT_TRUE(exported.command->overwrite_file);

  auto query = ParseCommandLine(Args({ZT("query"), ZT("HKLM"), ZT("/ve"), ZT("/s")}));
  ASSERT_TRUE(query.command.has_value());
  EXPECT_TRUE(query.command->recurse);
  EXPECT_EQ(*query.command->value_name, ZT(""));

  auto help = ParseCommandLine(Args({ZT("delete"), ZT("/?")}));
  EXPECT_TRUE(help.help);
  EXPECT_FALSE(help.message.empty());
}

TEST(RegCommandLine, RefusesWhatRegWouldRefuse) {
  const std::vector<std::vector<Text>> bad = {
      {},
      Args({ZT("copy"), ZT("HKLM\\A")}),
      Args({ZT("add")}),
      Args({ZT("add"), ZT("HKLM\\A"), ZT("/v")}),
      Args({ZT("add"), ZT("HKLM\\A"), ZT("/v"), ZT("x"), ZT("/ve")}),
      Args({ZT("add"), ZT("HKLM\\A"), ZT("/v"), ZT("x"), ZT("/v"), ZT("y")}),
      Args({ZT("add"), ZT("HKLM\\A"), ZT("/d"), ZT("1")}),  // data without a value
      Args({ZT("add"), ZT("HKLM\\A"), ZT("/v"), ZT("x"), ZT("/t"), ZT("REG_LINK")}),
      Args({ZT("add"), ZT("HKLM\\A"), ZT("/v"), ZT("x"), ZT("/s"), ZT(",")}),  // not multi
      Args({ZT("add"), ZT("HKLM\\A"), ZT("/v"), ZT("x"), ZT("/t"), ZT("REG_MULTI_SZ"), ZT("/s"),
            ZT("ab")}),
      Args({ZT("add"), ZT("HKXY\\A")}),
      Args({ZT("query"), ZT("HKLM\\A"), ZT("/va")}),
      Args({ZT("query"), ZT("HKLM\\A"), ZT("HKLM\\B")}),
      Args({ZT("delete"), ZT("HKLM\\A"), ZT("/v"), ZT("x"), ZT("/va"), ZT("/f")}),
      Args({ZT("import")}),
      Args({ZT("export"), ZT("HKLM\\A")}),
  };
  for (const auto& args : bad) {
    const ParsedCommand parsed = ParseCommandLine(args);
    EXPECT_FALSE(parsed.command.has_value()) << (args.empty() ? "" : TextToUtf8(args[0]));
    EXPECT_EQ(parsed.message.substr(0, 6), ZT("ERROR:"));
  }
}

// ------------------------------------------------------------ .reg files

std::vector<RegFileOperation> ParseOk(const std::string& utf8) {
  const RegFileParse parsed = ParseRegFile(DecodeRegFileBytes(utf8));
  EXPECT_TRUE(parsed.ok) << TextToUtf8(parsed.error);
  return parsed.operations;
}

TEST(RegFileParse, ReadsEveryFormOfTheFormat) {
  const auto ops = ParseOk(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[-HKEY_CURRENT_USER\\Old]\r\n"
      "[HKCU\\Software\\New]\r\n"
      "@=\"default\"\r\n"
      "\"Say \\\"hi\\\" C:\\\\\" = \"C:\\\\dir\\\\\"\r\n"
      "\"Dw\"=dword:0000002A\r\n"
      "\"Bin\"=hex:00,ff,\\\r\n"
      "  10\r\n"
      "\"Multi\"=hex(7):61,00,00,00,\\\r\n"
      "    00,00\r\n"
      "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\"Exp\"=hex(2):25,00,00,00\r\n"
      "\"Empty\"=hex:\r\n"
      "\"Gone\"=-\r\n");
  ASSERT_EQ(ops.size(), 11u);
  EXPECT_EQ(ops[0].action, RegFileAction::kDeleteKey);
  EXPECT_EQ(KeyPathText(ops[0].key), ZT("HKEY_CURRENT_USER\\Old"));
  EXPECT_EQ(ops[1].action, RegFileAction::kCreateKey);
  EXPECT_EQ(KeyPathText(ops[1].key), ZT("HKEY_CURRENT_USER\\Software\\New"));
  EXPECT_EQ(ops[2].value.name, ZT(""));
  EXPECT_EQ(ops[2].value.data, Utf16(Text(ZT("default\0"), 8)));
  EXPECT_EQ(ops[3].value.name, ZT("Say \"hi\" C:\\"));
  EXPECT_EQ(ops[3].value.data, Utf16(Text(ZT("C:\\dir\\\0"), 8)));
  EXPECT_EQ(ops[4].value.type, uint32_t{platform::kRegDword});
  EXPECT_EQ(ops[4].value.data, std::string("\x2a\0\0\0", 4));
  EXPECT_EQ(ops[5].value.type, uint32_t{platform::kRegBinary});
  EXPECT_EQ(ops[5].value.data, std::string("\0\xff\x10", 3));
  EXPECT_EQ(ops[6].value.type, uint32_t{platform::kRegMultiSz});
  EXPECT_EQ(ops[6].value.data, std::string("a\0\0\0\0\0", 6));
  EXPECT_EQ(ops[6].line, 11u);
  EXPECT_EQ(ops[7].value.type, uint32_t{platform::kRegQword});
  EXPECT_EQ(ops[8].value.type, uint32_t{platform::kRegExpandSz});
  EXPECT_TRUE(ops[9].value.data.empty());
  EXPECT_EQ(ops[10].action, RegFileAction::kDeleteValue);
  EXPECT_EQ(ops[10].value.name, ZT("Gone"));
}

TEST(RegFileParse, DecodesUtf16WithByteOrderMark) {
  const std::string bytes =
      EncodeUtf16LeWithBom(ZT("Windows Registry Editor Version "
                              "5.00\r\n\r\n[HKEY_USERS\\\u00C4]\r\n\"\u00F6\"=\"\u4E2D\"\r\n"));
  EXPECT_EQ(bytes.substr(0, 2), "\xff\xfe");
  const RegFileParse parsed = ParseRegFile(DecodeRegFileBytes(bytes));
  ASSERT_TRUE(parsed.ok) << TextToUtf8(parsed.error);
  ASSERT_EQ(parsed.operations.size(), 2u);
  EXPECT_EQ(parsed.operations[0].key.subkey, ZT("\u00C4"));
  EXPECT_EQ(parsed.operations[1].value.name, ZT("\u00F6"));
  EXPECT_EQ(parsed.operations[1].value.data, Utf16(Text(ZT("\u4E2D\0"), 2)));
  // UTF-8 with its own mark reads too.
  EXPECT_TRUE(
      ParseRegFile(DecodeRegFileBytes("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n")).ok);
}

TEST(RegFileParse, RejectsBadInputWithItsLineAndNoOperations) {
  const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\A]\n";
  const std::pair<std::string, const char*> bad[] = {
      {"REGEDIT4\n", "line 1:"},
      {"Windows Registry Editor Version 4.00\n", "line 1:"},
      {header + "\"x\"=hex:01,0\n", "line 4:"},  // odd hex
      {header + "\"x\"=hex:01,,02\n", "line 4:"},
      {header + "\"x\"=hex(zz):01\n", "line 4:"},
      {header + "\"x\"=text:01\n", "line 4:"},          // unknown type
      {header + "\"x\"=dword:123456789\n", "line 4:"},  // nine digits
      {header + "\"x\"=dword:\n", "line 4:"},
      {header + "\"x\"=\"open\n", "line 4:"},
      {header + "\"x\"=\"a\" b\n", "line 4:"},
      {header + "\"x\" \"a\"\n", "line 4:"},
      {header + "\"x\"=hex:01,\\", "line 4:"},  // continued past the end
      {header + "[HKEY_BOGUS\\A]\n", "line 4:"},
      {header + "[-HKEY_CURRENT_USER]\n", "line 4:"},
      {header + "[HKEY_CURRENT_USER\\B\n", "line 4:"},
      {header + "[-HKEY_CURRENT_USER\\B]\n\"x\"=\"1\"\n", "line 5:"},  // value of a deleted key
      {"Windows Registry Editor Version 5.00\n\"x\"=\"1\"\n", "line 2:"},
      {header + "junk\n", "line 4:"},
  };
  for (const auto& [text, line] : bad) {
    const RegFileParse parsed = ParseRegFile(DecodeRegFileBytes(text));
    EXPECT_FALSE(parsed.ok) << text;
    EXPECT_TRUE(parsed.operations.empty());
    EXPECT_EQ(TextToUtf8(parsed.error).rfind(line, 0), 0u)
        << text << " -> " << TextToUtf8(parsed.error);
  }
}

TEST(RegFileFormat, WritesValuesAsRegExportDoes) {
  RegistryValue v;
  v.name = ZT("Path \"x\"");
  v.type = platform::kRegSz;
  v.data = Utf16(Text(ZT("C:\\a\0"), 5));
  EXPECT_EQ(FormatRegFileValue(v), ZT("\"Path \\\"x\\\"\"=\"C:\\\\a\""));
  v.name.clear();
  v.type = platform::kRegDword;
  v.data = std::string("\x2a\0\0\x80", 4);
  EXPECT_EQ(FormatRegFileValue(v), ZT("@=dword:8000002a"));
  v.type = platform::kRegQword;
  v.data = std::string(8, '\x01');
  EXPECT_EQ(FormatRegFileValue(v), ZT("@=hex(b):01,01,01,01,01,01,01,01"));
  v.type = platform::kRegSz;  // a line break cannot stand in a quoted string
  v.data = Utf16(Text(ZT("a\nb\0"), 4));
  EXPECT_EQ(FormatRegFileValue(v), ZT("@=hex(1):61,00,0a,00,62,00,00,00"));

  v.name = ZT("Big");
  v.type = platform::kRegBinary;
  v.data = std::string(100, '\x7f');
  const std::string text = TextToUtf8(FormatRegFileValue(v));
  std::vector<std::string> lines;
  for (size_t start = 0;;) {
    const size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  ASSERT_GT(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 80u);
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_LE(lines[i].size(), 80u);
    if (i > 0) {
      EXPECT_EQ(lines[i].substr(0, 2), "  ");
    }
    EXPECT_EQ(lines[i].back() == '\\', i + 1 < lines.size()) << lines[i];
  }
}

TEST(RegFileFormat, WrittenFilesReadBackToTheSameValues) {
  std::vector<RegistryValue> values;
  auto add = [&](const Text& name, uint32_t type, std::string data) {
    RegistryValue v;
    v.name = name;
    v.type = type;
    v.data = std::move(data);
    values.push_back(v);
  };
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  add(ZT("sz"), platform::kRegSz, Utf16(Text(ZT("\\\"; x\0"), 6)));
  add(ZT("empty sz"), platform::kRegSz, "");
  add(ZT("unterminated"), platform::kRegSz, Utf16(ZT("abc")));
  add(ZT("odd"), platform::kRegSz, "abc");
  add(ZT("name\r\nbreak"), platform::kRegDword, "\x01\x02\x03");
  add(ZT(""), platform::kRegExpandSz, Utf16(Text(ZT("%x%\0"), 4)));
  add(ZT("bin"), platform::kRegBinary, all_bytes);
  add(ZT("multi"), platform::kRegMultiSz, Utf16(Text(ZT("a\0b\0\0"), 5)));
  add(ZT("q"), platform::kRegQword, std::string(8, '\xfe'));
  add(ZT("none"), platform::kRegNone, "");
  add(ZT("custom"), 0x80000001u, "\x01");

  ExportedKey key{KeyPath{ZT("HKEY_LOCAL_MACHINE"), ZT("Software\\]x[")}, values};
  const Text file = FormatRegFile({key, ExportedKey{ChildKey(key.key, ZT("Child")), {}}});
  const RegFileParse parsed = ParseRegFile(DecodeRegFileBytes(EncodeUtf16LeWithBom(file)));
  ASSERT_TRUE(parsed.ok) << TextToUtf8(parsed.error);
  ASSERT_EQ(parsed.operations.size(), values.size() + 2);
  EXPECT_EQ(parsed.operations[0].key.subkey, ZT("Software\\]x["));
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(TextToUtf8(values[i].name));
    const RegistryValue& back = parsed.operations[i + 1].value;
    EXPECT_EQ(back.name, values[i].name);
    EXPECT_EQ(back.type, values[i].type);
    EXPECT_EQ(back.data, values[i].data);
  }
  EXPECT_EQ(parsed.operations.back().key.subkey, ZT("Software\\]x[\\Child"));
}

// ------------------------------------------------------ the built program

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ZefaregProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    do {
      dir_ = std::filesystem::temp_directory_path() /
             ("zefareg_test_" + std::to_string(random()) + std::to_string(random()));
    } while (!std::filesystem::create_directory(dir_));
  }
  void TearDown() override {
    ::unsetenv("CLAVORA_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  RunResult Run(const std::vector<std::string>& args) {
    std::string command = "CLAVORA_ROOT=" + ShellQuote((dir_ / "root").string()) + " " +
                          ShellQuote(std::string(CLAVORA_BIN_DIR) + "/zefareg");
    for (const std::string& a : args) command += " " + ShellQuote(a);
    command += " >" + ShellQuote(Path("out")) + " 2>" + ShellQuote(Path("err")) +
               " </dev/null; echo $? >" + ShellQuote(Path("rc"));
    RunResult result;
    if (std::system(command.c_str()) != 0) return result;
    result.exit_code = std::atoi(ReadBytes(dir_ / "rc").c_str());
    result.out = ReadBytes(dir_ / "out");
    result.err = ReadBytes(dir_ / "err");
    return result;
  }

  std::string Path(const std::string& name) const { return (dir_ / name).string(); }

  // The registry the program works on, for this process's own calls.
  void UseProgramRegistry() {
    std::filesystem::create_directories(dir_ / "root");
    ::setenv("CLAVORA_ROOT", Path("root").c_str(), 1);
  }
  int64_t Ticks(const std::string& subkey) {
    return platform::RegistryKeyLastWriteTicks(ZT("HKEY_LOCAL_MACHINE"), Utf8ToText(subkey), 0);
  }
  // Replaces a key's stored record (the registry store's file).
  void DamageRecord(const std::string& key_folder, const std::string& text) {
    const std::filesystem::path record = dir_ / "root" / "registry" / key_folder / ".key";
    ASSERT_TRUE(std::filesystem::exists(record)) << record;
    std::ofstream(record, std::ios::trunc) << text;
  }

  void ExpectRefused(const std::vector<std::string>& args) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.exit_code, 1) << args[0];
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_EQ(r.err.rfind("ERROR:", 0), 0u) << r.err;
  }

  std::filesystem::path dir_;
};

TEST_F(ZefaregProgram, QueryPrintsKeysAndValuesLikeReg) {
  const std::string key = "HKCU\\Software\\T";
  ASSERT_EQ(Run({"add", key, "/v", "Name", "/d", "a b"}).exit_code, 0);
  ASSERT_EQ(Run({"add", key, "/v", "Num", "/t", "REG_DWORD", "/d", "0x10"}).exit_code, 0);
  const RunResult sub = Run({"add", key + "\\Sub"});
  ASSERT_EQ(sub.exit_code, 0);
  EXPECT_EQ(sub.out, "The operation completed successfully.\n");
  ASSERT_EQ(Run({"add", key + "\\Sub", "/ve", "/d", "inner"}).exit_code, 0);

  EXPECT_EQ(Run({"query", key}).out,
            "\nHKEY_CURRENT_USER\\Software\\T\n"
            "    Name    REG_SZ    a b\n"
            "    Num    REG_DWORD    0x10\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\T\\Sub\n"
            "\n");
  EXPECT_EQ(Run({"query", key, "/s"}).out,
            "\nHKEY_CURRENT_USER\\Software\\T\n"
            "    Name    REG_SZ    a b\n"
            "    Num    REG_DWORD    0x10\n"
            "\n"
            "HKEY_CURRENT_USER\\Software\\T\\Sub\n"
            "    (Default)    REG_SZ    inner\n"
            "\n");
  EXPECT_EQ(Run({"query", "hkey_current_user\\software\\t", "/v", "NUM"}).out,
            "\nHKEY_CURRENT_USER\\software\\t\n    Num    REG_DWORD    0x10\n\n");
  EXPECT_EQ(Run({"query", key, "/ve"}).out,
            "\nHKEY_CURRENT_USER\\Software\\T\n    (Default)    REG_SZ    (value not set)\n\n");
  ExpectRefused({"query", key, "/v", "Missing"});
  ExpectRefused({"query", key + "\\Missing"});
}

TEST_F(ZefaregProgram, AllSixTypesSurviveExportDeleteAndImport) {
  const std::string key = "HKLM\\Software\\Policies\\Clavora\\1";
  const std::vector<std::vector<std::string>> adds = {
      {"/v", "Text", "/d", "say \"hi\" \\ there"},
      {"/v", "Expand", "/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%\\zefa"},
      {"/v", "Multi", "/t", "REG_MULTI_SZ", "/s", "#", "/d", "Sales#IT Staff"},
      {"/v", "Dword", "/t", "REG_DWORD", "/d", "4294967295"},
      {"/v", "Qword", "/t", "REG_QWORD", "/d", "0x123456789abcdef0"},
      {"/v", "Binary", "/t", "reg_binary", "/d", "00FF10ab"},
      {"/ve", "/d", "\u00E4\u4E2D"},
  };
  for (const auto& add : adds) {
    std::vector<std::string> args = {"add", key};
    args.insert(args.end(), add.begin(), add.end());
    const RunResult r = Run(args);
    ASSERT_EQ(r.exit_code, 0) << add[1] << ": " << r.err;
  }
  const std::string before = Run({"query", key}).out;
  EXPECT_NE(before.find("    Multi    REG_MULTI_SZ    Sales\\0IT Staff\n"), std::string::npos);
  EXPECT_NE(before.find("    Dword    REG_DWORD    0xffffffff\n"), std::string::npos);
  EXPECT_NE(before.find("    Qword    REG_QWORD    0x123456789abcdef0\n"), std::string::npos);
  EXPECT_NE(before.find("    Binary    REG_BINARY    00FF10AB\n"), std::string::npos);
  EXPECT_NE(before.find("    (Default)    REG_SZ    \u00E4\u4E2D\n"), std::string::npos);

  ASSERT_EQ(Run({"export", "HKLM\\Software\\Policies", Path("first.reg")}).exit_code, 0);
  const std::string first = ReadBytes(dir_ / "first.reg");
  const Text text = DecodeRegFileBytes(first);
  EXPECT_EQ(first.substr(0, 2), "\xff\xfe");
  EXPECT_NE(text.find(ZT("\r\n[HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora\\1]\r\n"
                         "\"Text\"=\"say \\\"hi\\\" \\\\ there\"\r\n")),
            Text::npos);
  EXPECT_NE(text.find(ZT("\"Dword\"=dword:ffffffff\r\n")), Text::npos);
  EXPECT_NE(text.find(ZT("\"Qword\"=hex(b):f0,de,bc,9a,78,56,34,12\r\n")), Text::npos);

  ASSERT_EQ(Run({"delete", "HKLM\\Software\\Policies", "/f"}).exit_code, 0);
  ExpectRefused({"query", key});
  const RunResult imported = Run({"import", Path("first.reg")});
  ASSERT_EQ(imported.exit_code, 0) << imported.err;
  EXPECT_EQ(Run({"query", key}).out, before);
  ASSERT_EQ(Run({"export", "HKLM\\Software\\Policies", Path("second.reg")}).exit_code, 0);
  EXPECT_EQ(ReadBytes(dir_ / "second.reg"), first);
}

TEST_F(ZefaregProgram, ImportAppliesDeletionsFromAUtf8File) {
  ASSERT_EQ(Run({"add", "HKCU\\Old\\Deep", "/v", "x", "/d", "1"}).exit_code, 0);
  ASSERT_EQ(Run({"add", "HKCU\\Keep", "/v", "drop", "/d", "1"}).exit_code, 0);
  ASSERT_EQ(Run({"add", "HKCU\\Keep", "/v", "stay", "/d", "1"}).exit_code, 0);
  std::ofstream(dir_ / "in.reg") << "Windows Registry Editor Version 5.00\n\n"
                                    "[-HKEY_CURRENT_USER\\Old]\n\n"
                                    "[HKEY_CURRENT_USER\\Keep]\n\"DROP\"=-\n";
  ASSERT_EQ(Run({"import", Path("in.reg")}).exit_code, 0);
  ExpectRefused({"query", "HKCU\\Old"});
  EXPECT_EQ(Run({"query", "HKCU\\Keep"}).out,
            "\nHKEY_CURRENT_USER\\Keep\n    stay    REG_SZ    1\n\n");
  const RunResult va = Run({"delete", "HKCU\\Keep", "/va", "/f"});
  EXPECT_EQ(va.exit_code, 0) << va.err;
  EXPECT_EQ(Run({"query", "HKCU\\Keep"}).out, "\nHKEY_CURRENT_USER\\Keep\n");
}

// An 8-bit file (a REGEDIT4 export, a file saved as "ANSI") is read in the
// Windows code page, and the program says so; UTF-16 BE after its mark works
// as well.
TEST_F(ZefaregProgram, ImportReadsAnEightBitFileAsWindows1252AndSaysSo) {
  std::ofstream(dir_ / "ansi.reg", std::ios::binary)
      << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Ansi]\r\n"
         "\"Greeting\"=\"Gr\xFC\xDF"
         "e \x80\"\r\n";
  const RunResult imported = Run({"import", Path("ansi.reg")});
  ASSERT_EQ(imported.exit_code, 0) << imported.err;
  EXPECT_NE(imported.out.find("ansi.reg is not UTF-8 or UTF-16 text; it was read as "
                              "Windows-1252."),
            std::string::npos)
      << imported.out;
  EXPECT_EQ(Run({"query", "HKCU\\Ansi"}).out,
            "\nHKEY_CURRENT_USER\\Ansi\n    Greeting    REG_SZ    Gr\xC3\xBC\xC3\x9F"
            "e \xE2\x82\xAC\n\n");

  const std::string utf8 =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Be]\r\n"
      "\"v\"=\"\xC3\xA9t\xC3\xA9\"\r\n";
  const Text text = Utf8ToText(utf8);
  std::string be = "\xFE\xFF";
  for (const WChar unit : text) {
    be.push_back(static_cast<char>(static_cast<uint16_t>(unit) >> 8));
    be.push_back(static_cast<char>(unit & 0xFF));
  }
  std::ofstream(dir_ / "be.reg", std::ios::binary) << be;
  const RunResult big_endian = Run({"import", Path("be.reg")});
  ASSERT_EQ(big_endian.exit_code, 0) << big_endian.err;
  EXPECT_EQ(big_endian.out.find("Windows-1252"), std::string::npos);
  EXPECT_EQ(Run({"query", "HKCU\\Be"}).out,
            "\nHKEY_CURRENT_USER\\Be\n    v    REG_SZ    \xC3\xA9t\xC3\xA9\n\n");
}

TEST_F(ZefaregProgram, BadInputIsRefusedAndChangesNothing) {
  ASSERT_EQ(Run({"add", "HKCU\\A", "/v", "v", "/d", "old"}).exit_code, 0);
  const std::string before = Run({"query", "HKCU\\A"}).out;

  ExpectRefused({});
  ExpectRefused({"add", "HKQQ\\A", "/v", "v"});                                 // unknown root
  ExpectRefused({"add", "HKCU\\A", "/v", "n", "/t", "REG_DWORD", "/d", "9x"});  // bad number
  ExpectRefused({"add", "HKCU\\A", "/v", "n", "/t", "REG_QWORD", "/d", "-5"});
  ExpectRefused({"add", "HKCU\\A", "/v", "n", "/t", "REG_BINARY", "/d", "abc"});  // odd hex
  ExpectRefused({"add", "HKCU\\A", "/v", "n", "/t", "REG_WORD", "/d", "1"});      // unknown type
  ExpectRefused({"add", "HKCU\\A", "/v", "v", "/d", "new"});                      // exists, no /f
  ExpectRefused({"delete", "HKCU\\A"});                                           // no /f
  ExpectRefused({"delete", "HKCU\\A", "/v", "v"});
  ExpectRefused({"delete", "HKCU", "/f"});  // a root
  ExpectRefused({"delete", "HKCU\\Missing", "/f"});
  ExpectRefused({"import", Path("missing.reg")});

  std::ofstream(dir_ / "bad.reg") << "Windows Registry Editor Version 5.00\n\n"
                                     "[HKEY_CURRENT_USER\\A]\n\"v\"=\"imported\"\n"
                                     "[HKEY_CURRENT_USER\\New]\n\"n\"=dword:1\n\"z\"=hex:1\n";
  ExpectRefused({"import", Path("bad.reg")});
  ExpectRefused({"query", "HKCU\\New"});

  std::ofstream(dir_ / "taken.reg") << "keep me";
  ExpectRefused({"export", "HKCU\\A", Path("taken.reg")});
  EXPECT_EQ(ReadBytes(dir_ / "taken.reg"), "keep me");
  ExpectRefused({"export", "HKCU\\Missing", Path("none.reg")});
  EXPECT_FALSE(std::filesystem::exists(dir_ / "none.reg"));

  EXPECT_EQ(Run({"query", "HKCU\\A"}).out, before);
  EXPECT_EQ(Run({"add", "HKCU\\A", "/v", "V", "/d", "new", "/f"}).exit_code, 0);
  EXPECT_EQ(Run({"query", "HKCU\\A"}).out, "\nHKEY_CURRENT_USER\\A\n    v    REG_SZ    new\n\n");
}

TEST_F(ZefaregProgram, QueryShowsTheEmptyStringsOfAMultiStringList) {
  UseProgramRegistry();
  RegistryValue hidden;
  hidden.name = ZT("SkipUsers");
  hidden.type = platform::kRegMultiSz;
  hidden.data = Utf16(Text(ZT("alice\0\0mallory\0\0"), 16));
  ASSERT_TRUE(platform::RegistryWrite(ZT("HKEY_LOCAL_MACHINE"), ZT("Software\\Policies\\Clavora"),
                                      hidden, 0));
  const RunResult r = Run({"query", "HKLM\\Software\\Policies\\Clavora"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("    SkipUsers    REG_MULTI_SZ    alice\\0\\0mallory\n"), std::string::npos)
      << r.out;
}

TEST_F(ZefaregProgram, ADamagedKeyIsReportedByPathAndFailsTheCommand) {
  const std::string policies = "HKLM\\Software\\Policies\\Clavora";
  for (const char* set : {"1", "2", "3"}) {
    ASSERT_EQ(Run({"add", policies + "\\" + set, "/v", "Enabled", "/t", "REG_DWORD", "/d", "1"})
                  .exit_code,
              0);
  }
  DamageRecord("hkey_local_machine/software/policies/clavora/2",
               "clavora-registry-key 1\nname 2\nstamp 9223372036854775808\n"
               "value 4 01000000 Enabled\nend\n");
  const std::string error =
      "ERROR: The key HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora\\2 cannot be read";

  const RunResult query = Run({"query", policies + "\\2"});
  EXPECT_EQ(query.exit_code, 1);
  EXPECT_EQ(query.err.rfind(error, 0), 0u) << query.err;
  const RunResult value = Run({"query", policies + "\\2", "/v", "Enabled"});
  EXPECT_EQ(value.exit_code, 1);
  EXPECT_EQ(value.err.rfind(error, 0), 0u) << value.err;

  // The walk shows everything else and names the damaged key.
  const RunResult tree = Run({"query", policies, "/s"});
  EXPECT_EQ(tree.exit_code, 1);
  EXPECT_NE(tree.err.find(error), std::string::npos) << tree.err;
  EXPECT_NE(tree.out.find("Clavora\\1\n    Enabled    REG_DWORD    0x1\n"), std::string::npos);
  EXPECT_NE(tree.out.find("Clavora\\3\n    Enabled    REG_DWORD    0x1\n"), std::string::npos);
  EXPECT_EQ(tree.out.find("Clavora\\2"), std::string::npos) << tree.out;
  const RunResult search = Run({"query", policies, "/s", "/v", "Enabled"});
  EXPECT_EQ(search.exit_code, 1);
  EXPECT_NE(search.err.find(error), std::string::npos) << search.err;

  // A backup that would silently lack a set is not written.
  const RunResult backup = Run({"export", policies, Path("backup.reg")});
  EXPECT_EQ(backup.exit_code, 1);
  EXPECT_NE(backup.err.find(error), std::string::npos) << backup.err;
  EXPECT_EQ(backup.out.find("successfully"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "backup.reg"));

  const RunResult add = Run({"add", policies + "\\2", "/v", "MinLength", "/d", "8", "/f"});
  EXPECT_EQ(add.exit_code, 1);
  EXPECT_EQ(add.err.rfind(error, 0), 0u) << add.err;
  const RunResult drop = Run({"delete", policies + "\\2", "/va", "/f"});
  EXPECT_EQ(drop.exit_code, 1);
  EXPECT_EQ(drop.err.rfind(error, 0), 0u) << drop.err;

  // Deleting the key whole clears the damage.
  EXPECT_EQ(Run({"delete", policies + "\\2", "/f"}).exit_code, 0);
  EXPECT_EQ(Run({"query", policies, "/s"}).exit_code, 0);
  EXPECT_EQ(Run({"export", policies, Path("backup.reg")}).exit_code, 0);
}

TEST_F(ZefaregProgram, ChangesBelowThePolicyKeyEndByTouchingIt) {
  UseProgramRegistry();
  const std::string root = "Software\\Policies\\Clavora";
  const std::string policies = "HKLM\\" + root;
  ASSERT_EQ(Run({"add", policies, "/v", "SkipUsers", "/d", "svc"}).exit_code, 0);

  int64_t before = Ticks(root);
  ASSERT_EQ(Run({"add", policies + "\\1", "/v", "Enabled", "/t", "REG_DWORD", "/d", "1"}).exit_code,
            0);
  EXPECT_GT(Ticks(root), before) << "add of a value in a set";
  EXPECT_GE(Ticks(root), Ticks(root + "\\1"));

  before = Ticks(root);
  ASSERT_EQ(Run({"add", policies + "\\4"}).exit_code, 0);
  EXPECT_GT(Ticks(root), before) << "add of a set's key";

  before = Ticks(root);
  ASSERT_EQ(Run({"delete", policies + "\\1", "/v", "Enabled", "/f"}).exit_code, 0);
  EXPECT_GT(Ticks(root), before) << "delete of a value in a set";

  before = Ticks(root);
  ASSERT_EQ(Run({"delete", policies + "\\4", "/f"}).exit_code, 0);
  EXPECT_GT(Ticks(root), before) << "delete of a set";

  // An import writes the root key's own values first and the sets after
  // them; the touch comes after the last one.
  std::ofstream(dir_ / "policy.reg")
      << "Windows Registry Editor Version 5.00\n\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora]\n\"SkipUsers\"=\"backup\"\n\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora\\2]\n\"Enabled\"=dword:00000001\n\n"
         "[HKEY_LOCAL_MACHINE\\Software\\Policies\\Clavora\\3]\n\"MinLength\"=dword:0000000c\n";
  before = Ticks(root);
  ASSERT_EQ(Run({"import", Path("policy.reg")}).exit_code, 0);
  EXPECT_GT(Ticks(root), Ticks(root + "\\2"));
  EXPECT_GT(Ticks(root), Ticks(root + "\\3"));

  // Elsewhere nothing is touched; a refused command touches nothing.
  before = Ticks(root);
  ASSERT_EQ(Run({"add", "HKLM\\Software\\Policies\\Other", "/v", "x", "/d", "1"}).exit_code, 0);
  ASSERT_EQ(Run({"add", "HKLM\\Software\\Policies\\ClavoraX", "/v", "x", "/d", "1"}).exit_code, 0);
  ExpectRefused({"add", policies + "\\3", "/v", "MinLength", "/t", "REG_DWORD", "/d", "x"});
  EXPECT_EQ(Ticks(root), before);
  // The key's letter case and doubled separators do not matter.
  ASSERT_EQ(
      Run({"add", "hklm\\SOFTWARE\\\\policies\\clavora\\5", "/v", "Enabled", "/d", "0"}).exit_code,
      0);
  EXPECT_GT(Ticks(root), before);
}

TEST_F(ZefaregProgram, TheFilterSeesAnEditInsideASetAtItsNextReload) {
  UseProgramRegistry();
  ResetPolicies();
  const std::string policies = "HKLM\\Software\\Policies\\Clavora";
  ASSERT_EQ(Run({"add", policies + "\\1", "/v", "Enabled", "/t", "REG_DWORD", "/d", "1"}).exit_code,
            0);
  ASSERT_EQ(ReloadPolicies(), 1);
  ASSERT_EQ(
      Run({"add", policies + "\\1", "/v", "MinLength", "/t", "REG_DWORD", "/d", "12"}).exit_code,
      0);
  ASSERT_EQ(ReloadPolicies(), 1);
  EXPECT_EQ(CurrentPolicies()->Sets[0].MinLength, 12);
  ResetPolicies();
}

}  // namespace
}  // namespace zefa::reg
