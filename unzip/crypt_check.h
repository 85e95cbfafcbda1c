// The check byte of a traditional PKWARE encryption header, decrypted with
// the empty password. minizip decrypts entries but never checks this byte.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// header: the 12 encrypted bytes in front of an entry's data.
// Returns the last of them decrypted (0-255).
int DecryptedCheckByte(const unsigned char* header);

#ifdef __cplusplus
}
#endif
