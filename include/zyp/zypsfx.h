#pragma once
/* libzypsfx: password-protected self-extracting archives.
 *
 * An archive is a copy of the extractor program zypsfx16 with the files
 * appended: compressed in 32 KB blocks with zlib and encrypted with DES or
 * triple DES in CBC under a key derived from the password. The recipient runs
 * it (or `zyp sfx extract` reads it) and types the password.
 *
 * Use: start (which asks for the output name when not given, and for the
 * password and the algorithm), add files one by one, close (which writes the
 * archive). Every failure is shown to the user in a message box of the
 * "ZYPSFX" language module. No call throws. */
#include <stdint.h>

#include "zyp/export.h"

typedef struct ZYPSfxContext ZYPSfxContext;

/* Checks that the extractor runs ("zypsfx16 -v"), opens the primary token's
 * session when none is open, asks for the output name in a save dialog and
 * then for the password and algorithm (dialog 129). A new context, or null
 * when the user cancelled or something failed. */
ZYP_API ZYPSfxContext* ZYPCreateAutoExtract_Init(void);
/* The same for the output name given. */
ZYP_API ZYPSfxContext* ZYPCreateAutoExtractTo_Init(const char* outputName);

/* Adds one file: 0; 7 when memory runs out (the context stays usable, the
 * file is not added). A null context or path gives 0 and does nothing. */
ZYP_API int ZYPCreateAutoExtract_Update(ZYPSfxContext* context, const char* path);

/* Writes the archive and frees the context (the password is wiped); the
 * context must not be used again. Always 0: failures are shown to the user
 * and leave the output as far as it was written. Files encrypted by the
 * suite are stored in clear and encrypted again on disk afterwards, also when
 * the generation fails. A null context gives 0. */
ZYP_API int ZYPCreateAutoExtract_Close(ZYPSfxContext* context);
