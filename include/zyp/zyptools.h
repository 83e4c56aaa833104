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
 * - Windows and pictures: the progress window (ZYPInitProgress, ...),
 *   ZYPMsgBox, ZYPAbout, the picture area of dialogs (ZYPSetAnimation,
 *   ZYPAnimate, ZYPDeleteAnimation), the cycling icon (ZYPStartAnim,
 *   ZYPStopAnim), ZYPDisplayBitmap, ZYPDrawTransparentBitmap and
 *   ZYPCenterWindow.
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
 * does not fit the 260-byte field, its name holds a backslash (which the
 * archive reads as a separator) or it is 4 GiB or larger (everything else
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

/* ---- Windows, dialogs and pictures ----------------------------------------
 *
 * Everything is shown through the user-interface host ($ZYP_UI: script:FILE,
 * tty or none; see platform/ui/ui.h). A ZYPWindow* is the address of a host
 * window (zyp::platform::ui::Window), so callers pass their own dialogs to
 * these calls; C++ callers convert with zyp::tools::window_handle and
 * zyp::tools::window_of below. A window is used on the thread that made it.
 * The toolbox's dialogs (about box 101, progress window 102) and its default
 * picture IDB_DEFAULTBITMAP come from its language module ZYPres. */
typedef struct ZYPWindow ZYPWindow;

/* -- Progress window (dialog 102: file line 1001, bar 1000, Cancel 2).
 * Cancel destroys the window; every later call with its handle is harmless
 * and answers "gone". The toolbox keeps the handle's record until
 * ZYPDestroyProgress, so a handle never comes to name another window while
 * its owner still holds it: call ZYPDestroyProgress once per window, also
 * after Cancel. */

/* Makes the progress window, owned by `owner` (may be null), with `title` as
 * its caption (null keeps the template's). It is centred on the desktop and
 * comes on screen with the first file line or progress value. Null when the
 * toolbox's language module or its dialog 102 is missing. */
ZYP_API ZYPWindow* ZYPInitProgress(ZYPWindow* owner, const char* title, uint32_t reserved);

/* Shows the window if hidden and sets the file line. 0, or 1 when the window
 * is null or gone (or the call comes from another thread than the one that
 * made the window). */
ZYP_API int ZYPSetProgressFilename(ZYPWindow* window, const char* text);

/* Yields the processor, handles one pending event of the calling thread's
 * windows (the user's Cancel, for example), shows the window if hidden and
 * sets the bar to `percent` truncated to an integer (99.9 gives 99; values
 * below 0 or NaN give 0, above 100 give 100). 0, or 1 when the window is
 * null or gone, also when that pending event was the Cancel that closed it
 * (or the call comes from another thread than the one that made the window). */
ZYP_API int ZYPSetProgress(ZYPWindow* window, float percent);

/* Always 0.0. */
ZYP_API float ZYPGetProgress(ZYPWindow* window);

/* Nonzero while the progress window exists, 0 once it is gone (Cancel or
 * ZYPDestroyProgress) and for a null window. Any thread may ask. */
ZYP_API int ZYPIsProgressCanceled(ZYPWindow* window);

/* Destroys the window and forgets its handle. 0, or 1 when the window was
 * null or already gone (the handle is forgotten all the same). Another
 * thread than the one that made the window gets 1 and changes nothing. */
ZYP_API int ZYPDestroyProgress(ZYPWindow* window);

/* -- Message box and about box */

/* A message box: caption = string `captionId` of `module` (empty for id 0 or
 * a missing string), text = string `textId` used as a format for the
 * following arguments (as ZYPLoadString; at most 4095 characters). The style
 * is that of the host's message boxes plus 0x10000 (set foreground). Returns
 * the button that closed it (1 OK, 2 Cancel, 6 Yes, 7 No, ...), 0 when it
 * could not be shown. */
ZYP_API int ZYPMsgBox(ZYPWindow* owner, const ZYPResourceModule* module, uint32_t style, uint32_t captionId,
                      uint32_t textId, ...);

/* The about box (dialog 101 of ZYPres, else the built-in ABOUTENU): string
 * `textId` of `module` as its title (the "General" "AppTitle" value when the
 * id is 0 or the string is missing), icon `iconId` of `module`, and the
 * version string, "V" + version and copyright of section "General". Modal;
 * OK or Cancel close it. */
ZYP_API void ZYPAbout(ZYPWindow* owner, const ZYPResourceModule* module, uint32_t iconId, uint32_t textId);

/* -- Picture area of a dialog (control 1024 in every dialog)
 *
 * "General" "Animation" may name a clip (an AVI file) that the picture areas
 * play; otherwise ZYPAnimate shows the "General" "Bitmap" picture file, else
 * the toolbox's default picture. A terminal shows neither; a script
 * transcript records the picture area's file. The choice between clip and
 * picture is one flag per process, set by the last ZYPSetAnimation. */
typedef struct ZYPAnimation ZYPAnimation;

/* Makes the animation of control `control` of `dialog` and starts the
 * configured clip in it when it names an AVI file. `module` is not used (it
 * may be null). Null when the dialog is null or has no such control. Free it
 * with ZYPDeleteAnimation while the dialog still exists (at its destroy event
 * at the latest). */
ZYP_API ZYPAnimation* ZYPSetAnimation(ZYPWindow* dialog, const ZYPResourceModule* module, uint32_t control);

/* Called while the dialog paints: unless a clip plays, puts the configured
 * picture file (or the default picture) into control `control`. */
ZYP_API void ZYPAnimate(ZYPWindow* dialog, void* reserved, uint32_t control);

/* Closes the clip and frees the animation; nothing for null or an animation
 * already deleted. */
ZYP_API void ZYPDeleteAnimation(ZYPAnimation* animation);

/* -- Cycling icon
 *
 * A thread shows icons `firstIcon` .. `firstIcon` + `count` - 1 of `module`
 * in turn at (x, y) of `window` on the background colour `background`, each
 * for `delayMs` milliseconds. The host has no pixel surface for windows, so
 * nothing of it appears on a terminal or in a transcript. */
typedef struct ZYPIconAnimation ZYPIconAnimation;

/* Starts the thread; null when memory is lacking. Icons missing from the
 * module are skipped when drawn. */
ZYP_API ZYPIconAnimation* ZYPStartAnim(ZYPWindow* window, int x, int y, uint32_t background,
                                       const ZYPResourceModule* module, uint32_t firstIcon, int count,
                                       uint32_t delayMs);

/* Stops the thread (without waiting out its delay), waits for it to end and
 * frees the animation: the handle is invalid afterwards. 1 for a null or
 * unknown handle, else 0. Animations still running when the library is
 * unloaded are stopped the same way. */
ZYP_API int ZYPStopAnim(ZYPIconAnimation* animation);

/* -- Drawing */

/* A picture in memory: `width` x `height` pixels, rows top to bottom, each a
 * colour 0x00BBGGRR (the top byte is carried along and never compared). */
typedef struct ZYPPixelBuffer {
  int32_t width;
  int32_t height;
  uint32_t* pixels;
} ZYPPixelBuffer;

/* Shows bitmap `bitmapId` of `module` on `window`'s own surface (picture 0);
 * the host places pictures itself, so (x, y) are not used. 1 when the module
 * has no such bitmap or its file is missing or not a picture, else 0 (also
 * for a null window, which shows nothing). */
ZYP_API int ZYPDisplayBitmap(const ZYPResourceModule* module, uint32_t bitmapId, ZYPWindow* window, int x,
                             int y);

/* Draws `bitmap` onto `target` with its top-left corner at (x, y), clipped to
 * the target; pixels of the transparent colour leave the target unchanged.
 * The bitmap is not changed. Nothing for null or empty buffers. */
ZYP_API void ZYPDrawTransparentBitmap(ZYPPixelBuffer* target, const ZYPPixelBuffer* bitmap, int x, int y,
                                      uint32_t transparentColour);

/* Moves the window, keeping its size: mode 1 centres it over its owner (on
 * the desktop when it has none); mode 2 centres it on the desktop; a higher
 * mode n puts its centre at 1/n of the desktop's height. Modes below 1 leave
 * it where it is. Always 0. */
ZYP_API int ZYPCenterWindow(ZYPWindow* window, int mode);

#ifdef __cplusplus
namespace zyp::platform::ui {
class Window;
}
namespace zyp::tools {
inline ZYPWindow* window_handle(zyp::platform::ui::Window* window) { return reinterpret_cast<ZYPWindow*>(window); }
inline zyp::platform::ui::Window* window_of(ZYPWindow* handle) {
  return reinterpret_cast<zyp::platform::ui::Window*>(handle);
}
}  // namespace zyp::tools
#endif
