// Positioned and appending file I/O that survives partial transfers and EINTR,
// and the string helpers used to parse commands and object names.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// open(2) retried while a signal interrupts it; new files get mode 0644.
int ks_open_file(const char *name, int flags);
ssize_t ks_read_data(int fd, void *buf, size_t size, off_t offset);
ssize_t ks_write_data(int fd, const void *buf, size_t size, off_t offset);
ssize_t ks_append_data(int fd, const void *buf, size_t size);

char *ks_str_ltrim(char *s);
char *ks_str_rtrim(char *s);
uint32_t ks_str_to_u4(const char *s);
uint64_t ks_str_to_u8(const char *s);
// A whole decimal number (digits only, no sign or space) no greater than max into *out:
// 0, or -1 for anything else (empty, other characters, too large).
int ks_str_to_num(const char *s, uint64_t max, uint64_t *out);
int ks_str_icmp(const char *a, const char *b);
int ks_str_nicmp(const char *a, const char *b, size_t n);
char *ks_str_toupper(char *s);
char *ks_str_tolower(char *s);
// The pos-th (1-based) whitespace-separated token, cut to tlen characters; "" when absent.
// token must hold tlen + 1 bytes.
int ks_str_get_token(const char *s, int pos, char *token, int tlen);
// "owner.object" into two 32-byte names; ups upper-cases the parts not in double quotes.
int ks_get_owner_object(const char *str, char *ownr, char *objnm, int ups);
// Replaces in place every name of a DDL text qualified by owner (outside string literals)
// with map_owner → the number replaced, -1 when the text would not fit in cap bytes (the
// text is then left as it was).
int ks_str_replace_owner(char *ddltxt, size_t cap, const char *owner, const char *map_owner);
