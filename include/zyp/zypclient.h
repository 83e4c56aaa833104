#pragma once
/* libzypclient: the crypto provider's interface for every program of the
 * suite. Each ZYPCIP call below has the argument list of the provider's call
 * of the same name (zyp/zypprov.h) and is carried out by the provider inside
 * the one server process, zypserver, which ZYPCIPStartPKCS starts.
 *
 * Results are the provider's results reduced to their low byte, or
 * ZYPCIP_UNREACHABLE (16) when no server can be reached: none was started,
 * the channel objects cannot be opened or the request block cannot be made
 * (a request above 4 GiB + 64 KiB is not tried), or the server ended before
 * it answered (noticed within half a second).
 * Outputs are copied back only into the arguments that are not null.
 *
 * The buffer calls (ZYPCIPCryptBuffer .. ZYPCIPVerifyBuffer) accept a data
 * length of 0xFFFFFFFF: the data pointer is then a zero-terminated descriptor
 * "NAME OFFSET LENGTH" of a named file mapping that the server opens by the
 * whole descriptor text and works on in place; the length stays 0xFFFFFFFF,
 * and 15 means the mapping could not be opened or mapped.
 *
 * ZYPCIPCloseSession returns 1 without asking the server while the session
 * service reports a cryptographic operation in progress (ZYPGetActivity).
 *
 * Requests of every thread and process are served one at a time. The
 * provider-only calls ZYPCIPOpenSessionEx and ZYPCIPCloseSessionEx have no
 * counterpart here. */
#include <stdint.h>

#include "zyp/export.h"
#include "zyp/zypprov.h"

/* Starts the installed zypserver (in the caller's environment, so its PIN
 * dialogs use the caller's UI backend) and a heartbeat that keeps it running
 * while this process lives. 1 once the server is up, else 0. */
ZYP_API int ZYPCIPStartPKCS(void);

/* Stops the heartbeat of this process and ends a running server, waiting
 * (a few seconds at most) until it has ended. Always 0. */
ZYP_API int ZYPCIPShutdownPKCS(void);

/* ---- Session opening and PINs (the dialogs appear in the server) -------- */

/* 1 when a new session was opened and logged in; 0 when one existed
 * already, or the user cancelled, or the login failed. */
ZYP_API int ZYPCIPOpenSession(uint32_t token);
/* 1 when the PIN was changed through the dialogs, else 0. */
ZYP_API int ZYPCIPChangeSecret(uint32_t token);
/* The same without dialogs, from two zero-terminated PINs. */
ZYP_API int ZYPCIPChangeSecretEx(uint32_t token, const char* currentPin, const char* newPin);
/* The insertion dialog's result: 0, or 9 when cancelled. */
ZYP_API int ZYPCIPReInsertKeyHolder(uint32_t token);
/* 0 when the smart-card library is missing, else 1. */
ZYP_API int ZYPCIPCloneCard(uint32_t token);
