#pragma once
// The platform's PKCS #11 types (p11-kit's header: native CK_ULONG, natural
// packing) and the vendor values of the software token module.
#include <p11-kit-1/p11-kit/pkcs11.h>

#include "zyp/softtok.h"
