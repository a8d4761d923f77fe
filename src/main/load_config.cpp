// The executable's load configuration. Its one setting, DependentLoadFlags,
// makes Windows 10 1607 and later take the DLLs that the static imports
// (KERNEL32 and the C runtime) need in turn from the system folder only,
// before any of the stub's code runs. Windows 7 and 8 ignore it; their known
// DLLs cover these imports.
#include <windows.h>

#include <cstddef>

#if defined(__MINGW32__)
namespace {

// IMAGE_LOAD_CONFIG_DIRECTORY64 up to the SEH handler count, the size that
// every 64-bit Windows reads. MinGW-w64's headers call the flags field
// Reserved1, so the layout is spelt out here and checked against them.
struct alignas(8) LoadConfigDirectory {
  DWORD size;
  BYTE before[74];
  WORD dependentLoadFlags;
  BYTE after[32];
};
static_assert(offsetof(LoadConfigDirectory, dependentLoadFlags) == 78, "DependentLoadFlags lies at offset 78");
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, CSDVersion) + sizeof(WORD) == 78,
              "the field after CSDVersion is DependentLoadFlags");
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, SEHandlerCount) + 8 == sizeof(LoadConfigDirectory),
              "the directory ends with the SEH handler count");

}  // namespace

// GNU ld links the symbol but leaves the load-configuration directory of the
// file empty; cmake/write_load_config.py points it here after the link, and
// the link keeps the symbol with --require-defined. (MSVC's runtime has a
// _load_config_used of its own; there /DEPENDENTLOADFLAG:0x800 sets the field.)
extern "C" {
extern const LoadConfigDirectory _load_config_used;
const LoadConfigDirectory _load_config_used = {sizeof(LoadConfigDirectory), {}, LOAD_LIBRARY_SEARCH_SYSTEM32, {}};
}
#endif
