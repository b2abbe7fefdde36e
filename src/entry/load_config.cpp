// The executable's load configuration. Its one setting that matters here is
// DependentLoadFlags (read from Windows 10 version 1607 on): the loader takes
// the DLLs that the program's static imports need, and theirs, from the
// system directory alone, never from the program's own folder, which may be
// a Downloads folder anyone can write to. Known DLLs come from there anyway;
// this covers what they load in turn.
#include <windows.h>

// In a section of its own, which the build then names in the image's header
// as its load configuration (cmake/load_config.py): the GNU linker of this
// toolchain does not. The field that later headers call DependentLoadFlags is
// Reserved1 in these.
extern "C" __attribute__((used, section(".lcfg")))
const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = {
    .Size = sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64),
    .Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32,
};
