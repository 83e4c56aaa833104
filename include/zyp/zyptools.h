#pragma once
/* libzyptools: the toolbox every deliverable links against.
 *
 * - Folder archives and file trees: ZYPZip, ZYPUnZip, ZYPXCopy, ZYPDeltree.
 * - Hexadecimal text and the 8-byte check value: ZYPBinToAscii,
 *   ZYPAsciiToBin, ZYPComputeMac8.
 * - The machine-wide configuration and trace output: ZYPReloadConfig,
 *   ZYPTrace.
 * - Language modules: ZYPLoadResource, ZYPFreeResource, ZYPLoadString,
 *   ZYPGetHelpPath.
 * - Registry files: ZYPRegExport, ZYPRegImport.
 *
 * Paths are Linux paths ('/' between components). No call throws; results
 * are as documented below (the toolbox returns 0 or 1). */
#include <stdint.h>

#include "zyp/export.h"

/* ---- Folder archive and file trees ------------------------------------
 *
 * The archive is a plain sequence of entries, each a 272-byte header
 * (magic 0x4EBC6327, a 260-byte relative path with '\' between components,
 * flags with bit 0 for a folder, and the content size, all little-endian)
 * followed by the file's bytes. Names beginning with "." are skipped by all
 * four calls; symbolic links to folders are never descended. */

/* Appends the tree below `folder` to `archive` (created when missing), in
 * depth-first pre-order. 1 when an argument is null, the archive cannot be
 * opened or written, or an item had to be left out because its relative path
 * does not fit the 260-byte field or it is 4 GiB or larger (everything else
 * is packed). Otherwise 0, also when `folder` is missing or not a folder
 * (nothing is written then). Unreadable files are skipped silently, and a
 * file that shrinks while it is packed is padded with zeros to the size its
 * header gives. */
ZYP_API int ZYPZip(const char* folder, const char* archive);

/* Unpacks `archive` into `destination` (created when missing). 0 when the
 * archive was read to its end (a short trailing fragment of a header counts
 * as the end). 1 when an argument is null, the archive cannot be opened, an
 * entry has a wrong magic, a path that is not terminated inside its field or
 * that would leave the destination (absolute, or a ".." component), or the
 * archive ends inside a file's contents. Entries before the fault stay.
 * Nothing is ever written outside `destination`, not even through symbolic
 * links found inside it. */
ZYP_API int ZYPUnZip(const char* archive, const char* destination);

/* Copies a file (never onto an existing destination file; the result is
 * the copy's: 1 success, 0 failure) or a folder tree (same-named files in
 * the destination are replaced; the result is 1). 0 when `source` is missing
 * or an argument is null. */
ZYP_API int ZYPXCopy(const char* source, const char* destination);

/* Deletes a file or a folder tree. 0 when `path` is missing; for a file the
 * delete's result, for a folder the result of removing the folder itself
 * (1 success, 0 failure: a read-only file or a skipped dot-name keeps it). */
ZYP_API int ZYPDeltree(const char* path);

/* ---- Hexadecimal text and check value ---------------------------------- */

/* Writes 2 * length upper-case hexadecimal digits and a NUL to `text`
 * (which holds 2 * length + 1 bytes). A length of 0 or less writes the NUL. */
ZYP_API void ZYPBinToAscii(const unsigned char* bytes, char* text, int length);

/* Reads `digits` characters (no terminator needed) into (digits + 1) / 2
 * bytes; characters other than hexadecimal digits read as 0, and an odd count
 * leaves the low nibble of the last byte 0. Counts above 32767 are refused
 * (nothing is written). */
ZYP_API void ZYPAsciiToBin(const char* text, unsigned char* bytes, int digits);

/* The 8-byte check value of `length` bytes into `out` (when not null);
 * byte k contributes (data[k] + (k - k % 8)) mod 256 to out[k % 8] by XOR.
 * Always 0. */
ZYP_API int ZYPComputeMac8(const unsigned char* data, int length, unsigned char* out);

/* ---- Configuration and trace --------------------------------------------
 *
 * A machine-wide block shared by every process that has the library loaded
 * holds the trace target and mask, the user-interface language and four
 * texts of section "General". The first process to load the library reads
 * them; the others see the shared values until someone calls
 * ZYPReloadConfig. */

/* Reads, in this order: "Debug"/"TraceFile" (a file, or "COM1"/"COM2");
 * "Debug"/"TraceFlag" only when a trace target was found; the language code;
 * "General" "AppTitle", "VersionString", "Version", "Copyright". Returns 0. */
ZYP_API int ZYPReloadConfig(void);

/* Writes one record when `flags` & trace mask is nonzero and flags bit 0x10
 * is clear:
 *   "<L> PID=%08X <executable path> [HH:MM:SS ]\r\n<message>\r\n\r\n"
 * (L: F for 0x08, E 0x04, W 0x02, I 0x01, else ?; the time when mask bit 31
 * is set). The record is appended to the trace file with a single write, so
 * records of several processes and threads never mix. COM1 and COM2 write to
 * /dev/ttyS0 and /dev/ttyS1 at 115200 baud 8N1 ($ZYP_COM1_DEVICE and
 * $ZYP_COM2_DEVICE name another device). The format is printf-style without
 * floating point or %n (such conversions are printed as they stand). */
ZYP_API void ZYPTrace(uint32_t flags, const char* format, ...) __attribute__((format(printf, 2, 3)));

/* ---- Language modules ---------------------------------------------------
 *
 * A language module is the text file STEM.LANG (for example ZYPres.ENU)
 * holding string tables, dialog templates, menus and picture references; the
 * format is described in share/zyp/resources/LANGUAGE_MODULES.txt. Modules
 * are searched in $ZYP_RESOURCE_DIR when set, else in ../share/zyp/resources
 * beside the folder of libzyptools.so. */
typedef struct ZYPResourceModule ZYPResourceModule;

/* The module STEM.<current language>, else STEM.ENU; null when neither
 * exists or parses. Free it with ZYPFreeResource. */
ZYP_API ZYPResourceModule* ZYPLoadResource(const char* stem);
ZYP_API void ZYPFreeResource(ZYPResourceModule* module);

/* Formats string `id` of `module` (printf-style, as ZYPTrace) into `buffer`,
 * cut to size - 1 characters (and to 4095) and terminated. 0 on success;
 * 1 when the buffer is null or size < 1, the module is null, the string does
 * not exist (the buffer is then empty) or memory is lacking. */
ZYP_API int ZYPLoadString(const ZYPResourceModule* module, char* buffer, int size, uint32_t id, ...);

/* Completes the folder in `folder` (a 260-byte buffer) into a help file path
 * in place: folder, '/' unless present, stem, '.', language code; when no such
 * file exists the code becomes "ENU". 1 when the folder is empty, an
 * argument is null or the result would not fit in 260 bytes (nothing is
 * changed), else 0. */
ZYP_API int ZYPGetHelpPath(const char* stem, char* folder);

/* ---- Registry files -------------------------------------------------------
 *
 * INI-layout text files: one section per key "[ROOT\path]", lines
 * "name"="text", "name"=hex:0A,FF, "name"=dword:0000000A; the unnamed string
 * value as @, the unnamed binary or word value as "". Roots are the handles
 * 0x80000000 HKEY_CLASSES_ROOT, 0x80000001 HKEY_CURRENT_USER, 0x80000002
 * HKEY_LOCAL_MACHINE, 0x80000003 HKEY_USERS (0x80000005 HKEY_CURRENT_CONFIG
 * and 0x80000006 HKEY_DYN_DATA have names but no hive here). */

/* Writes the key and its subtree into `file` (other sections and lines of
 * the file stay; same-named lines are replaced). Only string, binary and
 * word values are written; names of 50 or more characters and data above
 * 4096 bytes end the listing of a key. 1 when an argument is null, the key
 * cannot be opened, or the file cannot be written; else 0. */
ZYP_API int ZYPRegExport(uint32_t root, const char* path, const char* file);

/* Writes every section of `file` into the registry; sections of an unknown
 * root are skipped. 1 when the argument is null, the file is missing or
 * unreadable, or memory is lacking; else 0. */
ZYP_API int ZYPRegImport(const char* file);
