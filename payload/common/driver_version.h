// File type and file version of the printer driver's DLLs. The spooler picks
// between copies of a driver file by this version rather than by file date:
// it reads the file as a versioned printer driver whose second number is the
// driver model (3 for a user-mode driver), whose third is the feature set
// (major in the high byte, minor in the low byte) and whose fourth is the
// build. The product version stays the product's own, 1.0.0.<build>.
// Plain C preprocessor only: read by the resource compiler.
#pragma once

#include "build_number.h"

// Documented with the version resource's file subtypes; missing from the
// MinGW-w64 headers.
#ifndef VFT2_DRV_VERSIONED_PRINTER
#define VFT2_DRV_VERSIONED_PRINTER 12
#endif

#define PAYLOAD_FILE_TYPE VFT_DRV
#define PAYLOAD_FILE_SUBTYPE VFT2_DRV_VERSIONED_PRINTER
#define PAYLOAD_FILE_VERSION_NUMBERS 0, 3, 0x0100, LUMENQUILL_BUILD
#define PAYLOAD_FILE_VERSION_STRING "0.3.256." LUMENQUILL_STRINGIZE(LUMENQUILL_BUILD)
