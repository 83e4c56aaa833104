#pragma once
/* libzypprof: the suite's configuration store.
 *
 * Two scopes: the machine scope (calls without "US") and the current user's
 * scope (calls with "US"). A section is a path that may hold '\'
 * ("Private\NoEncryption"); a null value name means the section's unnamed
 * value. The store does not merge scopes: a caller that honours both reads the
 * user scope with the default 0x80000000 (byte blocks: all 0xFF) and, when
 * that comes back unchanged, the machine scope with the real default.
 *
 * Null section, buffer or output pointers give 0 (or the default for the
 * integer reads); no call crashes on them. */
#include <stdint.h>

#include "zyp/export.h"

/* Copies the value, or the default when absent, cut to size - 1 characters
 * and terminated. Returns the number of characters copied: 0 when nothing was
 * found and the default is empty. */
ZYP_API int ZYPGetProfileString(const char* section, const char* name, const char* defaultText,
                                char* buffer, int size);
ZYP_API int ZYPGetUSProfileString(const char* section, const char* name, const char* defaultText,
                                  char* buffer, int size);

/* The value (a word, or a text holding a decimal number), or the default. */
ZYP_API int ZYPGetProfileInt(const char* section, const char* name, int defaultValue);
ZYP_API int ZYPGetUSProfileInt(const char* section, const char* name, int defaultValue);
ZYP_API uint32_t ZYPGetProfileDWord(const char* section, const char* name, uint32_t defaultValue);
ZYP_API uint32_t ZYPGetUSProfileDWord(const char* section, const char* name, uint32_t defaultValue);

/* Copies `length` bytes of the stored byte block into output; bytes the
 * stored block does not have come from the default (when given). Returns 1
 * when the value was found, 0 when only the default was copied. */
ZYP_API int ZYPGetProfileData(const char* section, const char* name, const void* defaultBytes,
                              void* output, int length);
ZYP_API int ZYPGetUSProfileData(const char* section, const char* name, const void* defaultBytes,
                                void* output, int length);

/* Writers return 1 on success, 0 on failure. A null text deletes the value. */
ZYP_API int ZYPWriteUSProfileString(const char* section, const char* name, const char* text);
ZYP_API int ZYPWriteUSProfileInt(const char* section, const char* name, int value);
ZYP_API int ZYPWriteUSProfileDWord(const char* section, const char* name, uint32_t value);
ZYP_API int ZYPWriteProfileInt(const char* section, const char* name, int value);
ZYP_API int ZYPWriteProfileDWord(const char* section, const char* name, uint32_t value);
/* Machine-scope byte block and text writers, for setup and for tests. */
ZYP_API int ZYPWriteProfileString(const char* section, const char* name, const char* text);
ZYP_API int ZYPWriteProfileData(const char* section, const char* name, const void* data, int length);
ZYP_API int ZYPWriteUSProfileData(const char* section, const char* name, const void* data, int length);

/* Value number `index` of the section: its name (cut to nameSize - 1 and
 * terminated) and up to dataSize bytes of its data. Nonzero while a value
 * exists at that index; callers count the index up from 0. */
ZYP_API int ZYPEnumProfileValue(const char* section, uint32_t index, char* name, int nameSize,
                                void* data, int dataSize);
ZYP_API int ZYPEnumUSProfileValue(const char* section, uint32_t index, char* name, int nameSize,
                                  void* data, int dataSize);

/* Deletes a user value; 1 when it is gone afterwards. */
ZYP_API int ZYPDelUSValue(const char* section, const char* name);

/* "Quillmarsh Folder" and "Quillmarsh", cut to size - 1 and terminated.
 * Return the number of characters copied. */
ZYP_API int ZYPGetProductName(char* buffer, int size);
ZYP_API int ZYPGetShortProductName(char* buffer, int size);
