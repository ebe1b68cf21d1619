// Oracle internal value formats as the simulated source stores them in redo, and their
// conversion to and from the readable values kept in the SQLite file (decimal text or
// integers for NUMBER, ISO-8601 text for DATE and TIMESTAMP, UTF-8 text, blobs for RAW).
// Every conversion is exact and deterministic: text -> internal -> text is the identity
// for values in canonical form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ks::sim {

// Oracle type numbers (col$.type#) used by the model.
enum : int {
  kTypeVarchar2 = 1,
  kTypeNumber = 2,
  kTypeLong = 8,
  kTypeDate = 12,
  kTypeRaw = 23,
  kTypeLongRaw = 24,
  kTypeChar = 96,
  kTypeClob = 112,  // NCLOB: csform 2
  kTypeBlob = 113,
  kTypeTimestamp = 180,
};

// NUMBER from a decimal text ("-12.5", "300", "1e3"). -1 on bad text.
int ks_num_from_text(std::string_view text, std::string *out);
void ks_num_from_int(int64_t v, std::string *out);
// NUMBER of v / 100^pairs (e.g. cents with pairs 1), without going through text.
void ks_num_from_scaled(int64_t v, int pairs, std::string *out);
// NUMBER to canonical decimal text ("0", "-12.5", "0.001").
int ks_num_to_text(std::string_view num, std::string *out);
// NUMBER to int64 when integral and in range; -1 otherwise.
int ks_num_to_int(std::string_view num, int64_t *v);

// DATE (7 bytes) and TIMESTAMP (7 bytes, or 11 with nanoseconds) from/to
// "YYYY-MM-DD HH:MM:SS[.fffffffff]". -1 on bad text or bytes.
int ks_date_from_text(std::string_view text, std::string *out, bool timestamp);
int ks_date_to_text(std::string_view d, std::string *out);

// UTF-8 <-> AL16UTF16 (UTF-16 big-endian) for national character columns.
int ks_utf8_to_utf16be(std::string_view in, std::string *out);
int ks_utf16be_to_utf8(std::string_view in, std::string *out);

std::string ks_hex(std::string_view bytes);
int ks_unhex(std::string_view hex, std::string *out);

}  // namespace ks::sim
