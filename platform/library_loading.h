#pragma once

#include <string>

// Loading the engine library the way the tool always has: the whole library is
// bound at load time, and a failure comes back as one number that the start-up
// message shows. The numbers keep the meaning users and old reports know:
//   126  the file, or a library it needs, cannot be found
//   193  the file is not a loadable library for this machine
//   127  a symbol the library needs cannot be resolved
//   otherwise the errno of the failure (for example 13 when it may not be read)

namespace veltrox {

inline constexpr int kLoadErrorNotFound = 126;
inline constexpr int kLoadErrorBadImage = 193;
inline constexpr int kLoadErrorUnresolvedSymbol = 127;

struct LoadedLibrary {
  void* handle = nullptr;  // null when loading failed
  int errorCode = 0;       // 0 when loaded
};

// dlopen with every symbol bound now and nothing made global. The library is
// never unloaded by this layer.
LoadedLibrary LoadLibraryFile(const std::string& path);

// The address of an exported symbol, or null when it is missing or `handle` is
// null. A null handle never reaches dlsym, where it would mean "search the whole
// process".
void* FindExport(void* handle, const char* name);

}  // namespace veltrox
