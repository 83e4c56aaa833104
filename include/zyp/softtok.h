#pragma once
/* Vendor-defined PKCS #11 values of the software token module libsofttok.so
 * and of its callers. Everything here lies in the vendor range (0x80000000
 * and above); the standard values come from the platform's pkcs11.h. */

/* Key types. */
#define CKK_CS_CIPHER_40 0x80000001UL  /* CS-Cipher, 5-byte value */
#define CKK_CS_CIPHER_64 0x80000002UL  /* CS-Cipher, 8-byte value */
#define CKK_CS_CIPHER_128 0x80000003UL /* CS-Cipher, 16-byte value */
#define CKK_DES_40 0x80000004UL        /* DES with 40 effective key bits, 8-byte value */

/* Key generation mechanisms. */
#define CKM_CS_CIPHER_40_KEY_GEN 0x80000002UL
#define CKM_CS_CIPHER_64_KEY_GEN 0x80000003UL
#define CKM_CS_CIPHER_128_KEY_GEN 0x80000004UL
#define CKM_DES_KEY_GEN_40 0x80000005UL

/* Cipher mechanisms, all in cipher block chaining without padding; the
 * mechanism parameter is the 8-byte initialisation vector. */
#define CKM_CS_CIPHER_40 0x80000100UL
#define CKM_CS_CIPHER_64 0x80000101UL
#define CKM_CS_CIPHER_128 0x80000102UL
#define CKM_DES_40_CBC 0x80000103UL
#define CKM_DES2_CBC 0x80000104UL /* two-key triple DES */

/* One byte: TRUE on objects loaded from the key store; never stored. */
#define CKA_FROM_KEY_STORE 0x80000001UL
