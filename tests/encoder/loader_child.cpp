// Runs the loader in a process of its own, placed beside one of the test libraries, so that the
// plain library name is resolved as vistrel resolves it. Exit code 0: loaded, and the library
// beside this program answered; 1: LoadMediaFramework failed; 2: some other library was loaded.
#include "encoder/loader.h"
#include "encoder/loader_system.h"

int main() {
  if (!LoadMediaFramework()) return 1;
  using Record = void (*)(int*, unsigned long*, unsigned long*);
  const auto record = reinterpret_cast<Record>(
      loader_system::FindEntryPoint(loader_system::OpenFrameworkLibrary(u""), "FakeStartupRecord"));
  if (record == nullptr) return 2;
  int calls = 0;
  unsigned long version = 0;
  unsigned long flags = 0;
  record(&calls, &version, &flags);
  return calls == 1 ? 0 : 2;
}
