// The one definition of the product's version, 1.0.0.<build>. The program
// writes the build number into its log and checks installed files against
// it; every shipped binary carries the version in its version resource, and
// the build reads it from here for both setup packages (CMakeLists.txt).
// Also read by the resource compiler, so plain C preprocessor only.
//
// For a release, raise LUMENQUILL_BUILD (and the other parts when the
// product's version changes): docs/release.md.
#pragma once

#define LUMENQUILL_VERSION_MAJOR 1
#define LUMENQUILL_VERSION_MINOR 0
#define LUMENQUILL_VERSION_PATCH 0
#define LUMENQUILL_BUILD 2542

#define LUMENQUILL_VERSION_NUMBERS \
  LUMENQUILL_VERSION_MAJOR, LUMENQUILL_VERSION_MINOR, LUMENQUILL_VERSION_PATCH, LUMENQUILL_BUILD
#define LUMENQUILL_STRINGIZE_(x) #x
#define LUMENQUILL_STRINGIZE(x) LUMENQUILL_STRINGIZE_(x)
#define LUMENQUILL_VERSION_STRING                                              \
  LUMENQUILL_STRINGIZE(LUMENQUILL_VERSION_MAJOR)                               \
  "." LUMENQUILL_STRINGIZE(LUMENQUILL_VERSION_MINOR) "." LUMENQUILL_STRINGIZE( \
      LUMENQUILL_VERSION_PATCH) "." LUMENQUILL_STRINGIZE(LUMENQUILL_BUILD)
