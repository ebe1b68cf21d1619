// Trail bytes built by hand for the delivery tests, field by field as the trail layout
// fixes them: column entries, LCRs, quick inserts, transactions, file headers and the
// end-of-file marker. Independent of any writer, so a writer and this reader cannot
// share a mistake.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "lib/bytes.h"

namespace tb {

inline void put32(std::string &s, uint32_t v) {
  char b[4];
  ks::store<uint32_t>(b, v);
  s.append(b, 4);
}
inline void put64(std::string &s, uint64_t v) {
  char b[8];
  ks::store<uint64_t>(b, v);
  s.append(b, 8);
}
inline void put16(std::string &s, uint16_t v) {
  char b[2];
  ks::store<uint16_t>(b, v);
  s.append(b, 2);
}
inline void name32(std::string &s, const std::string &n) {
  std::string f(32, '\0');
  f.replace(0, std::min<size_t>(n.size(), 31), n.substr(0, 31));
  s += f;
}

struct Col {
  std::string name;
  uint32_t ctyp = 1;
  uint32_t clen = 30;
  std::optional<std::string> val;  // nullopt = NULL
  uint32_t flag = 0;
};

inline std::string col_entry(const Col &c, bool with_value = true) {
  std::string v = with_value && c.val ? *c.val : std::string();
  uint32_t flag = c.flag | (with_value && !c.val ? 1u : 0u);
  uint32_t nlen = static_cast<uint32_t>(c.name.size() + 1);
  std::string s;
  put32(s, 24 + nlen + static_cast<uint32_t>(v.size()));
  put32(s, flag);
  put32(s, c.ctyp);
  put32(s, c.clen);
  put32(s, nlen);
  put32(s, static_cast<uint32_t>(v.size()));
  s += c.name;
  s.push_back('\0');
  s += v;
  return s;
}

inline std::string lcr(uint32_t opc, const std::string &owner, const std::string &table, const std::vector<Col> &newc,
                       const std::vector<Col> &oldc = {}, uint32_t flag = 0) {
  std::string body;
  for (const auto &c : newc) body += col_entry(c);
  uint32_t opos = 96 + static_cast<uint32_t>(body.size());
  for (const auto &c : oldc) body += col_entry(c);
  std::string s;
  put32(s, 96 + static_cast<uint32_t>(body.size()));
  put32(s, flag);
  put32(s, opc);
  put32(s, static_cast<uint32_t>(newc.size()));
  put32(s, static_cast<uint32_t>(oldc.size()));
  put32(s, opos);
  put64(s, 0);
  name32(s, owner);
  name32(s, table);
  return s + body;
}

// A record whose body after the header is given as it is: LOB WRITE (u32 amount, u64
// offset, data), LOB TRIM (u64 length), LOB ERASE (u32 amount, u64 offset).
inline std::string raw_lcr(uint32_t opc, const std::string &owner, const std::string &table, const std::string &body,
                           uint32_t flag = 0) {
  std::string s;
  put32(s, 96 + static_cast<uint32_t>(body.size()));
  put32(s, flag);
  put32(s, opc);
  put32(s, 0);
  put32(s, 0);
  put32(s, 96);
  put64(s, 0);
  name32(s, owner);
  name32(s, table);
  return s + body;
}
inline std::string amount_offset(uint32_t amount, uint64_t offset, const std::string &data = "") {
  std::string b;
  put32(b, amount);
  put64(b, offset);
  return b + data;
}
// One LONG piece: a nameless column entry with the piece right after its header.
inline std::string long_piece(const std::string &owner, const std::string &table, const std::string &piece,
                              uint32_t flag = 0) {
  std::string b;
  for (uint32_t v : {24 + static_cast<uint32_t>(piece.size()), 0u, 0u, 0u, 0u, static_cast<uint32_t>(piece.size())})
    put32(b, v);
  return raw_lcr(10, owner, table, b + piece, flag);
}

using Row = std::vector<std::optional<std::string>>;

inline std::string qmi(const std::string &owner, const std::string &table, const std::vector<Col> &desc,
                       const std::vector<Row> &rows) {
  std::string body;
  for (const auto &c : desc) body += col_entry(c, false);
  for (const auto &r : rows)
    for (const auto &v : r) {
      put16(body, v ? static_cast<uint16_t>(v->size()) : 0);
      if (v) body += *v;
    }
  std::string s;
  put32(s, 96 + static_cast<uint32_t>(body.size()));
  put32(s, 0);
  put32(s, 4);
  put32(s, static_cast<uint32_t>(rows.size()));
  put32(s, static_cast<uint32_t>(desc.size()));
  put32(s, 96);
  put64(s, 0);
  name32(s, owner);
  name32(s, table);
  return s + body;
}

inline std::string short_rec(uint32_t opc, const std::string &data = "") {
  std::string s;
  put32(s, 16 + static_cast<uint32_t>(data.size()));
  put32(s, 0x40000000);
  put32(s, opc);
  put32(s, static_cast<uint32_t>(data.size()));
  return s + data;
}
inline std::string commit() { return short_rec(7); }

// A transaction record; the COMMIT short record is appended.
inline std::string trans(const std::vector<std::string> &recs, uint64_t cscn, uint64_t xid, uint32_t flag = 0x40000000,
                         uint32_t csct = 1000) {
  std::string body;
  for (const auto &r : recs) body += r;
  body += commit();
  std::string s;
  put32(s, 32 + static_cast<uint32_t>(body.size()));
  put32(s, flag);
  put32(s, static_cast<uint32_t>(recs.size() + 1));
  put32(s, csct);
  put64(s, cscn);
  put64(s, xid);
  return s + body;
}

// A large transaction: header and the path of its file.
inline std::string big_ref(const std::string &path, uint64_t cscn, uint64_t xid, uint32_t nlcr) {
  std::string s;
  put32(s, 32 + static_cast<uint32_t>(path.size()) + 1);
  put32(s, 0x40000001);
  put32(s, nlcr);
  put32(s, 1000);
  put64(s, cscn);
  put64(s, xid);
  return s + path + std::string(1, '\0');
}

// The transaction file of a large transaction: 32 reserved bytes, records, COMMIT.
inline std::string big_file(const std::vector<std::string> &recs) {
  std::string s(32, '\0');
  for (const auto &r : recs) s += r;
  return s + commit();
}

inline std::string file_header(uint32_t fno, uint64_t first_scn, uint64_t first_xid, uint64_t last_scn,
                               uint64_t last_xid, uint32_t tail = 64, uint32_t chs = 873, uint32_t nchs = 2000) {
  std::string s;
  put32(s, fno);
  put32(s, tail);
  put64(s, first_scn);
  put64(s, first_xid);
  put64(s, last_scn);
  put64(s, last_xid);
  put32(s, chs);
  put32(s, nchs);
  put32(s, chs > 800 ? 2000 : chs);
  s.append(12, '\0');
  return s;
}

// "Every transaction of this thread committed below w is in the trail before this."
inline std::string heartbeat(uint64_t w) {
  std::string s;
  put32(s, 32);
  put32(s, 0x10);
  put32(s, 0);
  put32(s, 1000);
  put64(s, w);
  put64(s, 0);
  return s;
}

inline std::string eof_marker() {
  std::string s;
  put32(s, 32);
  put32(s, 0x80000000);
  s.append(24, '\0');
  return s;
}

inline uint64_t xid(uint32_t usn, uint32_t slot, uint32_t sqn) {
  return (uint64_t{usn} << 48) | (uint64_t{slot} << 32) | sqn;
}

}  // namespace tb
