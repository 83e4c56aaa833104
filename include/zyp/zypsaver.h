#pragma once
/* libzypsaver: backup and restore of the user's key store, through the
 * library's own dialogs (language module ZYPSAVER).
 *
 * What is saved depends on the primary token (ZYPGetPrimaryToken): 0, the
 * installed key store (InstallPath + "/data/ambrel.ksl"); 1, the key disk's
 * store (the key-disk folder "A:" + "/ambrel.ksl"); 2, a smart card, which
 * the provider copies onto another card. Backups are written with mode 0600
 * as "<folder>/ambrel.ksl". A restore keeps the previous store as
 * "ambrel.ksl.bak" and replaces the store in one atomic step, so a failed
 * restore leaves the previous store in place.
 *
 * Every call takes the owner window (may be null) and returns 0, except the
 * three tests. No call throws. */
#include <stdint.h>

#include "zyp/export.h"
#include "zyp/zyptools.h"

/* Dialog 107 for kinds 0 and 1; for kind 2 the card is copied at once. */
ZYP_API int ZYPBackupKey(ZYPWindow* owner);
/* The backup offered after a change of the keys: dialog 108 for kinds 0 and
 * 1; for kind 2 dialog 110 asks first and OK copies the card. */
ZYP_API int ZYPBackupKeyAuto(ZYPWindow* owner);
/* The restore dialog 109 (kinds 0 and 1) on a thread of its own; returns
 * when it has ended. The token's session is closed before the store is
 * replaced and opened again afterwards. */
ZYP_API int ZYPRestoreKey(ZYPWindow* owner);
/* 0 for kinds 0, 1 and 2, else 1. */
ZYP_API int ZYPIsBackupKeyAllowed(void);
/* 0 for kind 0, else 1. */
ZYP_API int ZYPIsRestoreKeyAllowed(void);
/* Bit 0 of "General"/"Options" (the user's value, else the machine's,
 * default 0): 1 means keys may not be deleted, backed up or restored. */
ZYP_API int ZYPIsKeyModificationAllowed(void);
