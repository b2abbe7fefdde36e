// The one definition of the product's build number. The program writes it into
// its log and checks installed files against it; every shipped binary carries
// it as the last part of its product version. Also read by the resource
// compiler, so plain C preprocessor only.
#pragma once

#define LUMENQUILL_BUILD 2542
#define LUMENQUILL_VERSION_NUMBERS 1, 0, 0, LUMENQUILL_BUILD
#define LUMENQUILL_STRINGIZE_(x) #x
#define LUMENQUILL_STRINGIZE(x) LUMENQUILL_STRINGIZE_(x)
#define LUMENQUILL_VERSION_STRING "1.0.0." LUMENQUILL_STRINGIZE(LUMENQUILL_BUILD)
