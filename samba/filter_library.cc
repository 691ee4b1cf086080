#include "samba/filter_library.h"

#include <dlfcn.h>

namespace zefa::host {

namespace {

template <typename Function>
bool Bind(void* handle, const char* symbol, Function& out, std::string& error) {
  dlerror();
  void* address = dlsym(handle, symbol);
  if (address == nullptr) {
    const char* text = dlerror();
    error =
        std::string("entry point ") + symbol + " missing" + (text ? std::string(": ") + text : "");
    return false;
  }
  out = reinterpret_cast<Function>(address);
  return true;
}

}  // namespace

bool LoadFilterLibrary(const std::string& name, FilterLibrary& library, std::string& error) {
  dlerror();
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    error = text != nullptr ? text : "cannot load " + name;
    return false;
  }
  FilterLibrary bound;
  bound.handle = handle;
  bound.name = name;
  if (!Bind(handle, "InitializeChangeNotify", bound.initialize, error) ||
      !Bind(handle, "PasswordFilter", bound.password_filter, error) ||
      !Bind(handle, "PasswordChangeNotify", bound.change_notify, error)) {
    dlclose(handle);
    return false;
  }
  bound.initialised =
      reinterpret_cast<decltype(bound.initialised)>(dlsym(handle, "ZefaInitialised"));
  bound.password_stamps =
      reinterpret_cast<decltype(bound.password_stamps)>(dlsym(handle, "ZefaPasswordStamps"));
  bound.change_dropped =
      reinterpret_cast<decltype(bound.change_dropped)>(dlsym(handle, "ZefaChangeDropped"));
  bound.check_password =
      reinterpret_cast<decltype(bound.check_password)>(dlsym(handle, "ZefaCheckPassword"));
  library = bound;
  return true;
}

bool UnloadFilterLibrary(FilterLibrary& library) {
  if (library.handle == nullptr) return true;
  const std::string name = library.name;
  dlclose(library.handle);
  library = FilterLibrary{};
  // The loader keeps a library that cannot be unloaded (one with unique
  // symbols, say); then RTLD_NOLOAD still finds it.
  void* still = dlopen(name.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (still == nullptr) return true;
  dlclose(still);
  return false;
}

bool LibraryInitialised(const FilterLibrary& library) {
  return library.initialised == nullptr || library.initialised() != 0;
}

ZEFA_UNICODE_STRING CountedText(char16_t* units, size_t length) {
  ZEFA_UNICODE_STRING text;
  const size_t bytes = length * 2;
  text.Length = static_cast<uint16_t>(bytes > 0xFFFE ? 0xFFFE : bytes);
  text.MaximumLength = text.Length;
  text.Buffer = units;
  return text;
}

}  // namespace zefa::host
