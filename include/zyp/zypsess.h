#pragma once
/* libzypsess: the token session service. It owns the user's logged-in state
 * on the tokens, which every process of the suite sees alike.
 *
 * Token identifiers are the PKCS #11 slot identifiers of the token module;
 * -1 names the primary token. Session states: 0 a session is open, 1 the
 * token is known and no session is open (the state of every token until the
 * provider reports otherwise), any other value no session can be used. */
#include <stdint.h>

#include "zyp/export.h"

ZYP_API int ZYPGetSessionState(int token);

/* Stores a token's state; the crypto provider stores 0 after it has logged in
 * and 1 after it has closed a session by itself. A state 0 belongs to the
 * process that stored it: once that process has ended, the token reads as 1
 * again. Returns 0, or 1 when the shared state cannot be reached or the state
 * table is full. */
ZYP_API int ZYPSetSessionState(int token, int state);

/* The primary token: from the machine profile "General"/"SOFTTOK" (default
 * "SOFTTOK.DLL"), upper-cased: 1 when it names "SOFTTOKF", 2 when it names
 * "SOFTTOKS" (the later test wins), else 0. */
ZYP_API int ZYPGetPrimaryToken(void);
/* Nonzero when the primary token can be removed (1 or 2). */
ZYP_API int ZYPIsPrimaryTokenRemovable(void);

/* Opens a session on the primary token through the client library, asking the
 * user as needed. 0 when a session is open afterwards, nonzero otherwise
 * (also when the client library is missing or the server cannot be reached). */
ZYP_API int ZYPOpenTokenSession(void);
/* Closes the primary token's session. 0 on success; 1 when an operation is in
 * progress; 16 when the client library or the server cannot be reached. */
ZYP_API int ZYPCloseTokenSession(void);
/* Lets the user change the primary token's PIN: 1 when it was changed, else 0. */
ZYP_API int ZYPChangeTokenSecret(void);

/* Nonzero while any live process holds an activity mark. */
ZYP_API int ZYPGetActivity(void);
/* Marks a cryptographic operation of this process as running; the marks of a
 * process are counted and all released when it ends or dies. 0 on success. */
ZYP_API int ZYPBeginActivity(void);
ZYP_API int ZYPEndActivity(void);
