// Facts about this installation that Windows keeps in system calls: the
// NetBIOS domain (from the Samba configuration, else from the directory's
// partitions container) and where the installation puts the filter library.
#include "platform/directory_names.h"
#include "platform/system.h"
#include "platform/directory.h"
#include "platform/posix/samba_config.h"

#include <unistd.h>

#include <filesystem>

#ifndef CLAVORA_INSTALLED_LIBRARY
#define CLAVORA_INSTALLED_LIBRARY "/usr/local/lib/libzefa.so"
#endif
#ifndef CLAVORA_LIBRARY_FROM_BINARY
#define CLAVORA_LIBRARY_FROM_BINARY "../lib/libzefa.so"
#endif

namespace zefa::platform {

namespace {

Text UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return Utf8ToText(text);
}

Text WorkgroupFromConfiguration() {
  for (const SambaSection& section : ReadSambaConfig()) {
    if (!SambaNameEquals(section.name, "global")) continue;
    const std::string* workgroup = SambaParameter(section, "workgroup");
    return workgroup == nullptr ? Text() : UpperAscii(*workgroup);
  }
  return Text();
}

std::string FirstValue(const DirectoryEntry& entry, const char* lower_name) {
  for (const DirectoryAttribute& attribute : entry.attributes) {
    std::string name = TextToUtf8(attribute.name);
    for (char& c : name)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (name == lower_name && !attribute.values.empty()) return attribute.values.front();
  }
  return std::string();
}

// The nETBIOSName of the domain's crossRef in the partitions container.
Text NetbiosNameFromDirectory() {
  DirectoryHandle* handle = DirectoryOpen();
  if (handle == nullptr) return Text();
  Text result;
  std::vector<DirectoryEntry> root;
  if (DirectorySearch(handle, Text(), 0, Text(),
                      {ZT("defaultNamingContext"), ZT("configurationNamingContext")}, 0,
                      root) == 0 &&
      !root.empty()) {
    const std::string domain = FirstValue(root.front(), "defaultnamingcontext");
    const std::string configuration = FirstValue(root.front(), "configurationnamingcontext");
    std::vector<DirectoryEntry> refs;
    if (!domain.empty() && !configuration.empty() &&
        DirectorySearch(handle, Utf8ToText("CN=Partitions," + configuration), 1,
                        ZT("(&(objectClass=crossRef)(nCName=") +
                            EscapeFilterValue(Utf8ToText(domain)) + ZT("))"),
                        {ZT("nETBIOSName")}, 0, refs) == 0 &&
        !refs.empty()) {
      result = UpperAscii(FirstValue(refs.front(), "netbiosname"));
    }
  }
  DirectoryClose(handle);
  return result;
}

}  // namespace

Text NetbiosDomainName() {
  const Text workgroup = WorkgroupFromConfiguration();
  return workgroup.empty() ? NetbiosNameFromDirectory() : workgroup;
}

// The installation puts the programs and the library under one prefix, so
// the library is found from the running program's folder wherever the
// prefix is (also in the build tree, whose layout is bin/ and lib/); the
// configured path only when the program's own path cannot be read.
Text InstalledFilterLibrary() {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return Utf8ToText(CLAVORA_INSTALLED_LIBRARY);
  std::string folder(self, static_cast<size_t>(length));
  folder.erase(folder.rfind('/') + 1);
  const auto normal = [](const std::string& path) {
    return std::filesystem::path(path).lexically_normal().string();
  };
  const std::string installed = normal(folder + CLAVORA_LIBRARY_FROM_BINARY);
  const std::string built = normal(folder + "../lib/libzefa.so");
  if (access(installed.c_str(), F_OK) != 0 && access(built.c_str(), F_OK) == 0)
    return Utf8ToText(built);
  return Utf8ToText(installed);
}

}  // namespace zefa::platform
