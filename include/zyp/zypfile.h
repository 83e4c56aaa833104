#pragma once
/* libzypfile: the file encryption library. This part holds the encrypted
 * file's header record and its operations, the user's encryption settings,
 * the token, algorithm and key lists for choice boxes, and their labels.
 *
 * Every call returns a 32-bit result, 0 on success, unless stated. The
 * cryptographic calls go through the client library (zyp/zypclient.h), so
 * they run in the provider server; its results come back unchanged
 * (16 when no server can be reached). */
#include <stddef.h>
#include <stdint.h>

#include "zyp/export.h"
#include "zyp/zypprov.h"

/* ---- Results -------------------------------------------------------------- */
#define ZYPFILE_OK 0
#define ZYPFILE_NO_SESSION 1        /* no open session on the primary token; also a failed allocation */
#define ZYPFILE_NOT_FOUND 2         /* the path does not exist */
#define ZYPFILE_UNKNOWN_KEY 17      /* the header's key is not in the token */
#define ZYPFILE_NOT_ENCRYPTED 44    /* not an encrypted file, or its header cannot be read */
#define ZYPFILE_BUFFER_TOO_SMALL 68 /* an output buffer below the record's size */
#define ZYPFILE_NO_HOOK 70          /* the file-system hook is not available */
#define ZYPFILE_NULL_ARGUMENT 80
#define ZYPFILE_NOT_PRESENT 100     /* no such recovery field; an empty algorithm list */

/* ---- The encrypted file's header -----------------------------------------
 *
 * At offset 0 of every encrypted file, little-endian, packed. The 32-bit
 * plain length follows at offset HeaderSize (368), then the encrypted body. */
#define ZYPFILE_HEADER_SIZE 368u
#define ZYPFILE_VERSION 0x00010030u
/* Files of the earlier layout (96-byte header, plain length at 96, body at
 * 100) are recognised and decrypted, never written. */
#define ZYPFILE_VERSION_EARLIER 0x00010000u
#define ZYPFILE_EARLIER_HEADER_SIZE 96u
#define ZYPFILE_NO_KEY 0xFFFFFFFFu /* a record for a file that stays in clear */
#define ZYPFILE_USER_SIZE 16u
#define ZYPFILE_RECOVERY_FIELD_SIZE 128u

/* Options bits. Others are carried as given. */
#define ZYPFILE_OPTION_COMPRESSED 0x1u
#define ZYPFILE_OPTION_CHECK_VALUE 0x2u
#define ZYPFILE_OPTION_RECOVERY0 0x4u
#define ZYPFILE_OPTION_RECOVERY1 0x8u

#pragma pack(push, 1)
typedef struct FileHeader {
  uint32_t HeaderSize;      /* 368 */
  uint8_t Magic[32];        /* "ZYP\0" and 28 fixed bytes */
  uint32_t Version;         /* ZYPFILE_VERSION */
  uint32_t Key;             /* key identifier, ZYPFILE_NO_KEY for none */
  uint32_t Algo;            /* PKCS #11 mechanism type */
  uint32_t Options;         /* ZYPFILE_OPTION_* */
  char User[16];            /* label, zero-terminated, at most 15 characters */
  uint8_t Stamp[17];        /* installation stamp, not interpreted */
  uint8_t CheckValue[24];   /* encrypted digest of the whole file */
  uint8_t RecoveryField0[128];
  uint8_t RecoveryField1[128];
  uint8_t Reserved[3];      /* kept as the caller's record holds them */
} FileHeader;
#pragma pack(pop)

#ifdef __cplusplus
#define ZYPFILE_ASSERT(condition, text) static_assert(condition, text)
#else
#define ZYPFILE_ASSERT(condition, text) _Static_assert(condition, text)
#endif
ZYPFILE_ASSERT(sizeof(FileHeader) == 368, "FileHeader is 368 bytes");
ZYPFILE_ASSERT(offsetof(FileHeader, Magic) == 4, "Magic at 4");
ZYPFILE_ASSERT(offsetof(FileHeader, Version) == 36, "Version at 36");
ZYPFILE_ASSERT(offsetof(FileHeader, Key) == 40, "Key at 40");
ZYPFILE_ASSERT(offsetof(FileHeader, Algo) == 44, "Algo at 44");
ZYPFILE_ASSERT(offsetof(FileHeader, Options) == 48, "Options at 48");
ZYPFILE_ASSERT(offsetof(FileHeader, User) == 52, "User at 52");
ZYPFILE_ASSERT(offsetof(FileHeader, Stamp) == 68, "Stamp at 68");
ZYPFILE_ASSERT(offsetof(FileHeader, CheckValue) == 85, "CheckValue at 85");
ZYPFILE_ASSERT(offsetof(FileHeader, RecoveryField0) == 109, "RecoveryField0 at 109");
ZYPFILE_ASSERT(offsetof(FileHeader, RecoveryField1) == 237, "RecoveryField1 at 237");
ZYPFILE_ASSERT(offsetof(FileHeader, Reserved) == 365, "Reserved at 365");
#undef ZYPFILE_ASSERT

/* ---- Header operations ---------------------------------------------------- */

/* Fills HeaderSize, Magic, Version, Algo, Key, Options, User (cut to 15
 * characters and terminated; null is empty), Stamp, and zeroes CheckValue and
 * both recovery fields. Reserved is left as it was. 80 for a null header. */
ZYP_API int ZYPFillHeader(FileHeader* header, uint32_t algo, uint32_t key, uint32_t options, const char* user);

/* The header of the file on disk, through the file-system hook: 0 for an
 * encrypted file (a file of the earlier layout comes back with its 96 header
 * bytes and the rest zero), 2 for a missing path, 44 for anything else that
 * is not an encrypted file or cannot be read, 70 when the hook is not
 * available, 80 for a null argument. */
ZYP_API int ZYPGetFileAttributes(const char* fileName, FileHeader* header);
/* The same for a file that is open at the moment. */
ZYP_API int ZYPGetOpenFileAttributes(const char* fileName, FileHeader* header);
/* Takes the User label of `header` for the file's header. The hook writes no
 * header: the result is the read error, or 70, and nothing changes on disk. */
ZYP_API int ZYPSetFileAttributes(const char* fileName, const FileHeader* header);

/* Whether a file with this header can be decrypted now: 0 yes; 1 the primary
 * token has no open session; 17 its key is not in the token (also when the
 * provider cannot be asked); 80 for a null header. */
ZYP_API int ZYPAskValidHeader(const FileHeader* header);

/* Recovery field `index` (0 or 1) of an encrypted file: 128 bytes into
 * buffer, the file's Algo into *algo. The header reader's failure as it is;
 * 100 when the file has no such field; 68 when *length is below 128 (the
 * length is not changed); 80 for a null argument. */
ZYP_API int ZYPGetRecoveryKey(const char* fileName, uint32_t index, uint32_t* algo, uint8_t* buffer,
                              uint32_t* length);

/* ---- Settings --------------------------------------------------------------
 *
 * Read from section "General", the user's value over the machine's; written
 * to the user's scope. Progress, compression and erase passes are also kept
 * in memory that every process loading the library shares. The Set calls
 * return 0. */
ZYP_API int ZYPSetProgressState(uint32_t state);
ZYP_API uint32_t ZYPGetProgressState(void);            /* "ProgressBar", default 1 */
ZYP_API int ZYPSetCompressionMode(uint32_t mode);
ZYP_API uint32_t ZYPGetCompressionMode(void);          /* "ActiveCompression", default 0 */
/* The calling process's own choice for the operations it runs, without
 * changing the setting that other processes see: 1 compress, 0 do not, a
 * negative value follows "ActiveCompression" again (the default). */
ZYP_API void ZYPSetProcessCompression(int32_t mode);
ZYP_API int ZYPSetSecureEraseCycle(uint32_t passes);
ZYP_API uint32_t ZYPGetSecureEraseCycle(void);         /* "SecureEraseCycle", default 3 */
/* Also passed on to the provider's token presence check. */
ZYP_API int ZYPSetCheckPresence(uint32_t flag);
ZYP_API uint32_t ZYPGetCheckPresence(void);            /* "CheckTokenPresence", default 1 */

/* The screen saver's lock ("PwdKeepAlive") and delay ("PwdKeepAliveDelay"
 * in seconds), kept in the user's profile and in the desktop settings
 * (HKEY_CURRENT_USER "Control Panel\Desktop": "ScreenSaverIsSecure",
 * "ScreenSaveTimeOut"). The Get calls read the desktop settings: the lock
 * flag (0 when none is stored), the timeout in whole minutes. */
ZYP_API int ZYPSetInactivity(uint32_t flag);
ZYP_API uint32_t ZYPGetInactivity(void);
ZYP_API int ZYPSetInactivityTime(uint32_t minutes);
ZYP_API uint32_t ZYPGetInactivityTime(void);

/* ---- Secure erase ------------------------------------------------------------
 *
 * Every byte of a file is overwritten "SecureEraseCycle" times (0: the file
 * is only deleted), each pass forced to the disk, then the file is deleted.
 * Results: 0 erased; 1 the user kept a read-only file; 2 the path does not
 * exist; 12 the file cannot be opened for writing; 14 a write failed (the
 * file is still deleted); 17 its size cannot be read; 19 the file cannot be
 * deleted or the folder removed; 80 a null path. A symbolic link is removed
 * without touching what it names. */
typedef struct ZYPWindow ZYPWindow;

/* With the "ProgressBar" setting on, in a progress window of its own. */
ZYP_API int ZYPSecureErase(const char* path);
/* A file or a folder tree. `window` (may be null) shows the file's name and
 * its progress up to maxPercent. */
ZYP_API int ZYPSecureEraseEx(const char* path, ZYPWindow* window, float maxPercent);
/* The tree in name order; the first failure stops it and keeps the folder.
 * 19 for a path that is not a folder. */
ZYP_API int ZYPSecureEraseFolderEx(const char* folder, ZYPWindow* window, float maxPercent);
/* With a window, a read-only file is erased only when the user says OK. */
ZYP_API int ZYPSecureEraseFileEx(const char* file, ZYPWindow* window, float maxPercent);
/* Deletes a file (not a read-only one): nonzero on success, 0 on failure. */
ZYP_API int ZYPDeleteFile(const char* file);

/* ---- Lists and labels -----------------------------------------------------
 *
 * The callback is called once per item, on the caller's thread; its result is
 * not used. 80 for a null callback; 1 when the list cannot be allocated; a
 * provider failure as it is. */
typedef int (*ZYPEnumCallback)(const ZYPCIPListEntry* item, void* userValue);

ZYP_API int ZYPEnumToken(ZYPEnumCallback callback, void* userValue);
/* algoClass: ZYPCIP_TYPE_ENCRYPTION, _SIGNATURE or _DIGEST. 100 when the
 * token has none. With flags bit 0x1 only the algorithms for which the token
 * holds at least one key are reported. */
ZYP_API int ZYPEnumAlgo(uint16_t algoClass, uint32_t token, ZYPEnumCallback callback, void* userValue,
                        uint32_t flags);
ZYP_API int ZYPEnumKey(uint16_t algoClass, uint32_t token, uint32_t algo, ZYPEnumCallback callback,
                       void* userValue);

/* The provider's name of a token, key or algorithm in `buffer` of `size`
 * bytes (terminator included), the buffer zeroed first; the provider's result
 * (1 when the name does not fit). 80 for a null buffer or a size of 0. */
ZYP_API int ZYPGetTokenLabel(uint32_t token, char* buffer, uint32_t size);
ZYP_API int ZYPGetKeyLabel(uint32_t token, uint32_t key, char* buffer, uint32_t size);
ZYP_API int ZYPGetAlgoLabel(uint32_t token, uint32_t algo, char* buffer, uint32_t size);

/* ---- Folders: marks, folder trees and permission checks --------------------
 *
 * An encrypted folder carries a mark, its "desktop.ini" (hidden and system):
 * section ".ShellClassInfo" names the directory extension's class (CLSID)
 * and "ConfirmFileOp=0"; section "Ambrel" holds the folder's Algo, Key and
 * Options in decimal and its User label. A marked folder also has the
 * read-only attribute.
 *
 * Exclusion lists: values of section "NoEncryption" (user) and
 * "Private\NoEncryption" (machine), named by a full folder path: 0 the
 * folder and everything below may be encrypted; 1 neither the folder nor
 * anything below; another number: not the folder itself, its subfolders yes.
 * The user's Desktop folder ends every walk up the list. */
#define ZYPFILE_MARK_NOT_WRITTEN 21  /* the mark file could not be created or changed */
#define ZYPFILE_ALREADY_MARKED 43    /* a folder already marked (a file already encrypted) */
#define ZYPFILE_BAD_PATH 48          /* a null path or an unknown mode */
#define ZYPFILE_NOT_ALLOWED 49       /* a root, network or CD-ROM path, the Start Menu, an excluded folder */
#define ZYPFILE_ERASE_NOT_ALLOWED 65

/* ZYPScanFolder, then ZYPCipherFolderEx (folder, header, progress, 1), the
 * progress flag being the "ProgressBar" setting. The scan's refusal is
 * returned as it is and the folder left untouched. */
ZYP_API int ZYPCipherFolder(const char* folder, FileHeader* header);
/* Marks the folder with the header's four fields, encrypts every regular
 * file of the tree with ZYPCipherFileEx (the mark files excepted) and marks
 * every subfolder the same way; a failed item does not stop the walk and its
 * result is not reported. Symbolic links and special files are left alone.
 * 0; 21 the mark could not be written (nothing is encrypted then); 2 the
 * read-only attribute could not be given; 80 a null argument; 120 (nothing
 * touched) when the library holds no ZYPCipherFileEx. */
ZYP_API int ZYPCipherFolderEx(const char* folder, FileHeader* header, uint32_t showProgress, uint32_t check);
/* ZYPDecipherFolderEx (folder, progress, 1). */
ZYP_API int ZYPDecipherFolder(const char* folder);
/* Removes the class line and the "Ambrel" section of every mark of the tree
 * ("ConfirmFileOp", the file and the read-only attribute stay) and decrypts
 * every encrypted file with ZYPDecipherFileEx, not stopping at a failure.
 * 0; 21 a mark could not be removed (the files are still decrypted); 80 a
 * null argument; 120 (nothing touched) when the library holds no
 * ZYPDecipherFileEx. */
ZYP_API int ZYPDecipherFolderEx(const char* folder, uint32_t showProgress, uint32_t check);
/* 0 when every encrypted file of the tree can be decrypted now, else the
 * first ZYPAskValidHeader refusal (1 no session, 17 key not in the token).
 * `flag` is not used. Also exported as ZYPFileOrdinal1. */
ZYP_API int ZYPScanFolder(const char* folder, uint32_t flag);
ZYP_API int ZYPFileOrdinal1(const char* folder, uint32_t flag);

/* The folder's mark as a header, through the hook: 0 marked, 44 not marked,
 * 70 without the hook; 2 when the path is not a folder; 80 a null argument. */
ZYP_API int ZYPGetFolderAttributes(const char* folder, FileHeader* header);
/* Writes the header's Algo, Key, Options and User into the mark's "Ambrel"
 * section. 0; 2 not a folder; 21 the mark could not be written; 80 a null
 * argument. */
ZYP_API int ZYPSetFolderAttributes(const char* folder, const FileHeader* header);

/* May the folder be encrypted (mode 0) or decrypted (mode 1)? 0 yes; 48 a
 * null path or another mode; 49 not allowed (file-system root or mount
 * point, network or CD-ROM file system, the Start Menu folder, excluded).
 * Encryption: 43 already marked. Decryption: the mark's ZYPAskValidHeader
 * answer, 44 when the folder carries no readable mark. */
ZYP_API int ZYPAskAutorisation(const char* folder, uint32_t mode, uint32_t reserved);
/* May the file be encrypted? 0 yes; 1 no open session; 43 already
 * encrypted; 48 a null name; 49 a CD-ROM or excluded; 70 without the hook. */
ZYP_API int ZYPAllowEncryption(const char* file);
/* May the file be decrypted? 0 yes (also for a missing path or a folder);
 * 1 no session; 17 its key is not in the token; 44 not an encrypted file;
 * 48 a null name. */
ZYP_API int ZYPAllowDecryption(const char* file);
/* May the file or folder be erased securely? 0 yes; 48 a null name; 65 on a
 * CD-ROM, or the Start Menu folder. */
ZYP_API int ZYPAllowSecureErase(const char* path);

/* ---- Encrypting and decrypting files ----------------------------------------
 *
 * The provider's work runs in the server: the file image is handed to it as a
 * named file mapping ("ZYPCRYPT_FILE 372 g", "ZYPUNCRYPT_FILE 0 g" and the
 * like). The destination is rewritten in place: it keeps its inode, owner,
 * mode, extended attributes and hard links, and its access and modification
 * times are those of the source. An operation holds an advisory lock on the
 * source and the destination for its length, so two operations on one file
 * wait for each other. Temporary files are made mode 0600 and securely erased
 * before the call returns.
 *
 * For encryption the caller fills Algo, Key, Options and User of the record
 * (normally with ZYPFillHeader); the operation fills the rest and sets the
 * Options bits 0x1 (compressed), 0x2, 0x4 and 0x8 in the record as in the
 * file. With the "ActiveCompression" setting on, the contents are stored as a
 * zlib stream when that is shorter. For decryption the file's own header
 * (and so its key and algorithm) is used; a file of the earlier layout is
 * recognised by its header. `showProgress` nonzero shows a progress window;
 * `check` 1 applies the permission checks first (an already encrypted file
 * is then decrypted and encrypted again with the record's key).
 *
 * Results, besides the provider's, the hook's and the permission checks':
 *   1     the check value does not match (decryption; nothing is changed);
 *   12    a file could not be opened or created, or a mapping could not be made;
 *   17    the source's size cannot be read;
 *   44    the source is not an encrypted file (decryption);
 *   45    a marker does not match after decryption (nothing is changed);
 *   67    the decrypted contents could not be expanded;
 *   70    the hook is not available (ZYPCipherFileEx, ZYPDecipherFileEx);
 *   80    a null argument;
 *   223   the file is too large: the plain length and the encrypted image
 *         must each fit in 32 bits (refused before anything is touched);
 *   other the system's error number when the destination cannot be written. */
#define ZYPFILE_CHECK_MISMATCH 1
#define ZYPFILE_CANNOT_OPEN 12
#define ZYPFILE_NO_SIZE 17
#define ZYPFILE_BAD_MARKER 45
#define ZYPFILE_CANNOT_EXPAND 67
#define ZYPFILE_TOO_LARGE 223

/* ZYPCipherFileEx (file, header, 1, 1). */
ZYP_API int ZYPCipherFile(const char* file, FileHeader* header);
/* Tells the hook what the file becomes (ZYPSetOpenedFileInfo); when the hook
 * leaves the work to the caller (102) encrypts the file in place, else
 * returns the hook's answer (70 without the hook, nothing encrypted). */
ZYP_API int ZYPCipherFileEx(const char* file, FileHeader* header, uint32_t showProgress, uint32_t check);
/* ZYPCipherFileToEx (source, destination, header, 1, 1). */
ZYP_API int ZYPCipherFileTo(const char* source, const char* destination, FileHeader* header);
/* Encrypts source into destination (the same path: in place). */
ZYP_API int ZYPCipherFileToEx(const char* source, const char* destination, FileHeader* header,
                              uint32_t showProgress, uint32_t check);
/* ZYPDecipherFileToEx (file, file, header, 1, 1). */
ZYP_API int ZYPDecipherFile(const char* file, FileHeader* header);
/* Tells the hook that the file becomes clear, then decrypts it in place when
 * the hook leaves the work to the caller (102); other answers come back. */
ZYP_API int ZYPDecipherFileEx(const char* file, FileHeader* header, uint32_t showProgress, uint32_t check);
/* Decrypts the file in place without telling the hook. */
ZYP_API int ZYPSyncDecipherFileEx(const char* file, FileHeader* header, uint32_t showProgress, uint32_t check);
/* ZYPDecipherFileToEx (source, destination, header, 1, 1). */
ZYP_API int ZYPDecipherFileTo(const char* source, const char* destination, FileHeader* header);
/* Decrypts source into destination (the same path: in place). */
ZYP_API int ZYPDecipherFileToEx(const char* source, const char* destination, FileHeader* header,
                                uint32_t showProgress, uint32_t check);

/* Completes or undoes the in-place rewrites that an operation killed or
 * stopped midway left behind (their files then hold their whole old or
 * whole new contents) and erases their temporary files. Operations still
 * running are left alone. Done by every process when it loads the library;
 * returns how many were settled. */
ZYP_API int ZYPRecoverFiles(void);
