/* C, not C++: minizip's crypt.h uses the register keyword. */
#include <zlib.h>

#include "crypt.h"
#include "unzip/crypt_check.h"

int DecryptedCheckByte(const unsigned char* header) {
  unsigned long keys[3];
  const z_crc_t* table = get_crc_table();
  int i, c = 0;
  init_keys("", keys, table);
  for (i = 0; i < 12; ++i) {
    c = header[i];
    zdecode(keys, table, c);
  }
  return c & 0xff;
}
