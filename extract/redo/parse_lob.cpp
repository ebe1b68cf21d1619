// In-row LOB locators. Invariants: a locator is read only inside its value.
#include "extract/redo/redo.h"
#include "lib/bytes.h"

int ks_parse_lob_inrow(uint8_t *cdata, int clen, uint8_t **lob, int *dlen) {
  *lob = nullptr;
  *dlen = 0;
  if (clen < 8) return clen == 0 ? 0 : -1;
  if (cdata[7] < 0x80) {
    if (clen <= 20) return 0;
    if (clen < 36) return -1;
    if (cdata[24] | cdata[25] | cdata[26] | cdata[27]) return -1;
    int n = ks::load_be16(cdata + 28);
    if (n > 3964 || 36 + n > clen) return -1;
    *lob = cdata + 36;
    *dlen = n;
    return 0;
  }
  if (clen > 22 && (cdata[22] & 0x08)) {
    if (clen < 29) return -1;
    int n = cdata[26] & 0x0F;
    if (cdata[26] & 0xF0) return -1;
    if (28 + n + 1 > clen) return -1;
    uint64_t len = 0;
    for (int i = 0; i <= n; i++) len = len << 8 | cdata[28 + i];
    int start = 28 + n + 1 + cdata[27] + 1;
    if (start > clen || len > static_cast<uint64_t>(clen - start)) return -1;
    *lob = cdata + start;
    *dlen = static_cast<int>(len);
  }
  return 0;
}
