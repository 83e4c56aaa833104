#pragma once
/* libzyphook: the client of the file-system hook. It passes questions and
 * settings to the hook device, runs the request server that carries out the
 * device's queued requests through the file library, and keeps the
 * automatic settings.
 *
 * Results: 0 success; 70 the hook device is absent or cannot be reached (the
 * machine setting "General"/"HookDevice" is 0, or this process stopped its
 * request server); 80 a null argument. Other results are the device's
 * answers, passed on unchanged:
 *   2   the path does not exist;
 *   43  the file already carries a valid header (ZYPHOOKAllowEncrypt);
 *   44  not an encrypted file (plain, unreadable, not a regular file), or a
 *       folder without a mark;
 *   49  the exclusion list refuses the path (ZYPHOOKAllowEncrypt);
 *   102 the caller must convert the file itself (ZYPSetOpenedFileInfo).
 * The device's path fields hold 255 characters; a longer path is never cut
 * short: the header calls answer 2 for it, ZYPHOOKAllowEncrypt 49, and
 * ZYPSetOpenedFileInfo 102 without recording anything. */
#include <stdint.h>

#include "zyp/export.h"
#include "zyp/zypfile.h"

#define ZYPHOOK_NO_DEVICE 70
#define ZYPHOOK_NULL_ARGUMENT 80
#define ZYPHOOK_NOT_FOUND 2
#define ZYPHOOK_NO_HEADER 44
#define ZYPHOOK_ALREADY_ENCRYPTED 43
#define ZYPHOOK_EXCLUDED 49
#define ZYPHOOK_CALLER_PROCESSES 102
/* The request server's answer to a request whose file library call does not
 * exist in the installed libzypfile.so. */
#define ZYPHOOK_CALL_MISSING 120

/* The header at the start of a file on disk: 0 and the 368 bytes (a file of
 * the earlier layout: its 96 bytes and zeros). */
ZYP_API int ZYPGetFileHeader(const char* path, FileHeader* header);
/* The header recorded for an open file with ZYPSetOpenedFileInfo, else the
 * same as ZYPGetFileHeader. */
ZYP_API int ZYPHOOKGetOpenFileHeader(const char* path, FileHeader* header);
/* The mark of a folder (its desktop.ini) as a header: 0 marked, 2 no such
 * folder, 44 not marked. */
ZYP_API int ZYPGetFolderHeader(const char* path, FileHeader* header);
/* Writes nothing: 80 for a null argument, else 70. */
ZYP_API int ZYPSetFileHeader(const char* path, const FileHeader* header);
/* Records what an open file should become (a Key of 0xFFFFFFFF: stay in
 * clear). The device answers 102: the caller converts the file itself. */
ZYP_API int ZYPSetOpenedFileInfo(const char* path, const FileHeader* header);
/* 0 the file may be encrypted, 43 already encrypted, 49 excluded. */
ZYP_API int ZYPHOOKAllowEncrypt(const char* path);
/* 1 marks the start, 0 the end of the library's own file accesses. 0, or 70. */
ZYP_API int ZYPSetAPICaller(uint32_t flag);
/* Sends the user's exclusion list ("NoEncryption") and the Desktop folder
 * (which ends every walk up the list) to the device. 0, or 70. */
ZYP_API int ZYPHOOKRefreshRestriction(void);

/* 0 while a request server is registered, 1 when none is (a server whose
 * process died counts as none), 70 without the device. */
ZYP_API int ZYPGetHookState(void);
/* 0: start the request server in this process when none is registered.
 * Nonzero: stop the one this process runs; this process's later calls
 * answer 70. 0, or 1 when the server could not be started. */
ZYP_API int ZYPSetHookState(uint32_t state);
/* The code of the request being served, 0 when idle. */
ZYP_API uint32_t ZYPGetServerActivity(void);

/* Automatic settings (section "General"). Setters return 0. */
ZYP_API uint32_t ZYPGetAutoSecureErase(void);   /* "AutoSecureErase", user over machine, default 0 */
ZYP_API int ZYPSetAutoSecureErase(uint32_t flag);
ZYP_API uint32_t ZYPGetAutoCheckSign(void);     /* "AutoCheckSign", user over machine, default 0 */
ZYP_API int ZYPSetAutoCheckSign(uint32_t flag);
ZYP_API uint32_t ZYPGetAutoDecrypt(void);       /* "AutoDecrypt", machine, default 0 */
ZYP_API int ZYPSetAutoDecrypt(uint32_t flag);
ZYP_API uint32_t ZYPGetAutoOpenSession(void);   /* "OpenSessionOnStart", user over machine, default 1 */
ZYP_API int ZYPSetAutoOpenSession(uint32_t flag);
