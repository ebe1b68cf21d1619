// LOBs of the simulated source. A LOB value is its locator, which holds the data while it
// takes at most kLobInRow bytes (such a LOB changes by ordinary row changes); a larger one
// goes out of line and each change of it is a LOB operation in the redo:
//   11.17 first (the row's LOB columns and the columns that identify the row or, for a row
//   being inserted, all its other columns), 11.17 second (what is written where), the data
//   (BasicFile: 19.1 LOB block images; SecureFile: 26.6 new data, 26.2 over existing
//   data), 11.17 third (the LOB's length), and the row change storing the new locator.
// Other columns of the same statement change in an ordinary row change before the stream,
// so that the row change after it changes locators only. A rollback undoes that row change
// like any other: the LOB data is not undone in the redo.
// Offsets and amounts in the locator vectors count characters (CLOB) or bytes (BLOB) from
// 1, except for a SecureFile CLOB held as two bytes per character: bytes from 0.
#include <algorithm>
#include <cstring>

#include "lib/bytes.h"
#include "lib/fmt/block_format.h"
#include "lib/log/log.h"
#include "sim/source/ora_value.h"
#include "sim/source/sim_db.h"
#include "sim/source/sim_txn.h"

namespace ks::sim {

using namespace ks::redo;

// One LOB operation as its stream describes it.
struct ks_lob_op_t {
  int col = 0;
  uint8_t op = 0;  // kLobOp...
  uint16_t nset = 0, nnull = 0;
  std::vector<int> lob_cols;  // the row's LOB columns (first LLB field 4)
  std::vector<int> sup_cols;  // columns whose values it carries (fields 6, 7, 10...)
  std::string data;           // bytes written, as stored out of line
  uint64_t offset = 0;        // first unit written or erased, from 0
  uint64_t amount = 0;        // units written or erased
  uint64_t old_bytes = 0;     // stored bytes of the LOB before (SecureFile: fill up to there, load beyond)
  uint64_t new_len = 0;       // units after
};

namespace {

constexpr uint8_t kLobOpUpdate = 1, kLobOpInsert = 2, kLobOpTrim = 103, kLobOpErase = 104;
constexpr uint8_t kLlbFirst = 4, kLlbSecond = 1, kLlbKeep = 3;
constexpr size_t kLocOut = kLobLocatorOut, kLocInRowHdr = 36, kLocVersion = 6, kLocId = 10, kLobIdLen = 10;
constexpr uint32_t kLobFile = 9;        // file of the LOB segments' blocks
constexpr uint32_t kLobBlockRoom = 60;  // cache header, LOB block header and tail of a LOB block
constexpr uint32_t kLlbFirstSize = 24, kLlbSecondSize = 64, kLlbThirdSize = 20;
constexpr uint16_t kNullLen = 0xFFFF;

// Locator of a LOB: 20 bytes naming it (out of line), or with the in-row header and the data.
std::string locator(uint64_t id, const std::string &content, bool inrow) {
  std::string b(inrow ? kLocInRowHdr + content.size() : kLocOut, '\0');
  uint8_t *p = reinterpret_cast<uint8_t *>(b.data());
  store_be16(p, uint16_t(b.size() - 2));
  store_be16(p + 2, 1);
  p[4] = 0x02;
  p[5] = 0x0C;
  p[9] = inrow ? 0x02 : 0x12;  // 0x10: stored out of line
  store_be16(p + kLocId, 1);
  store_be64(p + kLocId + 2, id);
  if (inrow) {
    store_be16(p + 20, uint16_t(16 + content.size()));
    p[22] = 0x09;
    store_be16(p + 28, uint16_t(content.size()));
    store_be16(p + 30, uint16_t(content.size()));
    std::memcpy(p + kLocInRowHdr, content.data(), content.size());
  }
  return b;
}

// A LOB's contents as stored, in the row or out of it (two-byte CLOB: UTF-16BE), and back.
int stored_form(bool two, const std::string &content, std::string *out) {
  if (!two) return *out = content, 0;
  return ks_utf8_to_utf16be(content, out);
}

void put_u16s(std::string *out, const std::vector<uint16_t> &v, bool big) {
  out->assign(2 * v.size(), '\0');
  for (size_t i = 0; i < v.size(); i++) store16(out->data() + 2 * i, v[i], big);
}

}  // namespace

bool ks_sim_db::two_byte(const ks_col_t &c) const {
  if (c.type != kTypeClob) return false;
  if (c.csform == 2) return true;
  const std::string &cs = cfg_.charset;
  return cs.find("UTF") != std::string::npos || cs.rfind("JA16", 0) == 0 || cs.rfind("ZHS16", 0) == 0 ||
         cs.rfind("ZHT16", 0) == 0 || cs.rfind("KO16", 0) == 0;
}

int ks_sim_db::lob_value(const ks_col_t &c, const std::string &content, ks_val_t *out) const {
  if (!c.is_lob()) return -1;
  if (next_lob_id_ == 0) next_lob_id_ = scn_ << 16;
  // A CLOB of a multi-byte database keeps its characters as UTF-16BE in its row too.
  std::string stored;
  if (stored_form(two_byte(c), content, &stored) != 0) return -1;
  *out = ks_val_t::of(locator(next_lob_id_++, stored, stored.size() <= size_t(kLobInRow)));
  out->lob = content;
  return 0;
}

namespace {
int content_form(bool two, const std::string &stored, std::string *out) {
  if (!two) return *out = stored, 0;
  return ks_utf16be_to_utf8(stored, out);
}
}  // namespace

int ks_sim_db::lob_stream(ks_txn_t *tx, ks_table_t *t, const ks_row_t &r, const ks_lob_op_t &op) {
  const ks_col_t &c = t->cols[size_t(op.col)];
  const ks_val_t &v = r.v[size_t(op.col)];
  if (v.b.size() < kLocId + kLobIdLen) return -1;
  const uint8_t *lob_id = reinterpret_cast<const uint8_t *>(v.b.data()) + kLocId;
  const bool big = rec_.big(), two = two_byte(c), bytes = two && c.securefile;
  const uint64_t unit = two ? 2 : 1;
  const uint32_t cap = cfg_.db_block - kLobBlockRoom;
  const ks_rowref_t ref{r.dba, r.slot};
  auto record = [&](auto &&body) {
    rec_begin();
    uint64_t scn = scn_;
    rec_segment(t);
    txn_start(tx, t->owner);
    body();
    return rec_end(scn);
  };
  // First: the operation and the row.
  uint8_t b1[kLlbFirstSize] = {};
  store32(b1, t->objn, big);
  store16(b1 + 8, xid_usn(tx->xid), big);
  store16(b1 + 10, xid_slot(tx->xid), big);
  store32(b1 + 12, xid_sqn(tx->xid), big);
  b1[16] = op.op;
  store16(b1 + 20, op.nset, big);
  store16(b1 + 22, op.nnull, big);
  std::vector<uint16_t> lobs, scid, lens;
  for (int k : op.lob_cols) lobs.push_back(uint16_t(t->cols[size_t(k)].segcol));
  std::vector<ks_field_t> more;
  std::string f4, f6, f7;
  for (int k : op.sup_cols) {
    const ks_val_t &x = r.v[size_t(k)];
    if (x.b.size() >= kNullLen) {
      KS_ERROR("value of %s.%s column %s too long to identify a LOB's row.", t->owner.c_str(), t->name.c_str(),
               t->cols[size_t(k)].name.c_str());
      return -1;
    }
    scid.push_back(uint16_t(t->cols[size_t(k)].segcol));
    lens.push_back(x.is_null ? kNullLen : uint16_t(x.b.size()));
  }
  put_u16s(&f4, lobs, big);
  put_u16s(&f6, scid, big);
  put_u16s(&f7, lens, big);
  auto field = [](const std::string &s) {
    return ks_field_t{reinterpret_cast<const uint8_t *>(s.data()), uint32_t(s.size())};
  };
  more = {field(f4), {nullptr, 0}, field(f6), field(f7), {nullptr, 0}, {nullptr, 0}};
  for (int k : op.sup_cols) more.push_back(field(r.v[size_t(k)].b));
  if (record([&] { rec_.lob_llb(ref, kLlbFirst, b1, kLlbFirstSize, more.data(), int(more.size())); }) != 0) return -1;
  // Second: what goes where.
  uint8_t b2[kLlbSecondSize] = {};
  b2[0] = op.op;
  store16(b2 + 4, xid_usn(tx->xid), big);
  store16(b2 + 6, xid_slot(tx->xid), big);
  store32(b2 + 8, xid_sqn(tx->xid), big);
  std::memcpy(b2 + 12, lob_id, kLobIdLen);
  store16(b2 + 22, uint16_t(c.segcol), big);
  store32(b2 + 28, cap, big);  // bytes per block, whatever the LOB counts in
  store32(b2 + 32, uint32_t(bytes ? op.amount * unit : op.amount), big);
  store32(b2 + 36, t->objn, big);
  store64(b2 + 52, bytes ? op.offset * unit : op.offset + 1, big);
  if (record([&] { rec_.lob_llb(ref, kLlbSecond, b2, kLlbSecondSize, nullptr, 0); }) != 0) return -1;
  // The data, a block's worth at a time (SecureFile: over the existing data, then new).
  const uint64_t at = op.offset * unit;
  for (size_t done = 0; done < op.data.size();) {
    size_t n = std::min<size_t>(cap, op.data.size() - done);
    const uint64_t pos = at + done;
    const bool fill = c.securefile && pos < op.old_bytes;
    if (fill) n = std::min<size_t>(n, size_t(op.old_bytes - pos));
    const uint8_t *d = reinterpret_cast<const uint8_t *>(op.data.data()) + done;
    const uint32_t dba = kLobFile << 22 | (next_lob_block_++ & 0x3FFFFF);
    int rc = record([&] {
      if (!c.securefile)
        rec_.lob_block(dba, c.lob_objn, lob_id, uint32_t(pos / cap), d, uint32_t(n), cap);
      else if (fill)
        rec_.lob_fill(tx->xid, dba, t->objn, c.lob_objn, lob_id, uint32_t(pos % cap), d, uint16_t(n));
      else
        rec_.lob_load(tx->xid, dba, t->objn, c.lob_objn, lob_id, d, uint16_t(n));
    });
    if (rc != 0) return -1;
    done += n;
  }
  // Third: the LOB's length; the row change storing its locator follows.
  uint8_t b3[kLlbThirdSize] = {};
  store16(b3, xid_usn(tx->xid), big);
  store16(b3 + 2, xid_slot(tx->xid), big);
  store32(b3 + 4, xid_sqn(tx->xid), big);
  store32(b3 + 8, t->objn, big);
  store64(b3 + 12, bytes ? op.new_len * unit : op.new_len, big);
  return record([&] { rec_.lob_llb(ref, kLlbKeep, b3, kLlbThirdSize, nullptr, 0); });
}

int ks_sim_db::lob_locator_update(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, ks_val_t nv) {
  // The change extract delivers is the LOB operation, not this row change.
  FILE *e = expect_;
  expect_ = nullptr;
  lob_inner_ = true;
  const int rc = update(tx, t, ri, {col}, {std::move(nv)});
  lob_inner_ = false;
  expect_ = e;
  return rc;
}

int ks_sim_db::lob_insert(ks_txn_t *tx, ks_table_t *t, std::vector<ks_val_t> vals) {
  ks_lob_op_t op;
  for (size_t i = 0; i < t->cols.size(); i++)
    (ks_lob_out_of_line(t->cols[i], vals[i]) ? op.lob_cols : op.sup_cols).push_back(int(i));
  // The first LOB's stream creates the row (every other column, its LOBs empty) and the
  // row's insert follows it; each further LOB is then written into the row as it stands,
  // its stream followed by the change storing its locator. (Streams of the others before
  // the insert would leave the insert after a stream that does not create the row.)
  std::vector<ks_val_t> later;
  for (size_t k = 1; k < op.lob_cols.size(); k++) {
    ks_val_t &v = vals[size_t(op.lob_cols[k])];
    later.push_back(std::move(v));
    if (lob_value(t->cols[size_t(op.lob_cols[k])], "", &v) != 0) return -1;
  }
  ks_row_t r;  // the row goes to the table's current block, where the locator vectors point
  r.dba = t->file << 22 | t->cur_block;
  r.slot = t->next_slot;
  r.v = vals;
  const ks_col_t &c = t->cols[size_t(op.lob_cols[0])];
  op.col = op.lob_cols[0];
  op.op = kLobOpInsert;
  if (stored_form(two_byte(c), vals[size_t(op.col)].lob, &op.data) != 0) return -1;
  op.amount = op.new_len = op.data.size() / (two_byte(c) ? 2 : 1);
  if (lob_stream(tx, t, r, op) != 0) return -1;
  FILE *e = expect_;
  expect_ = nullptr;
  lob_inner_ = true;
  int rc = insert(tx, t, std::move(vals));
  lob_inner_ = false;
  expect_ = e;
  const uint32_t ri = rc == 0 ? inserted_[0] : 0;
  for (size_t k = 1; rc == 0 && k < op.lob_cols.size(); k++)
    rc = lob_fill_new(tx, t, ri, op.lob_cols[k], 0, std::move(later[k - 1]));
  inserted_.assign(1, ri);
  return rc;
}

int ks_sim_db::lob_fill_new(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint16_t nset, ks_val_t nv) {
  const ks_col_t &c = t->cols[size_t(col)];
  ks_lob_op_t op;
  op.col = col;
  op.op = kLobOpUpdate;
  op.nset = nset;
  op.lob_cols = {col};
  build_suplog_update(t, {}, &op.sup_cols);
  if (stored_form(two_byte(c), nv.lob, &op.data) != 0) return -1;
  op.amount = op.new_len = op.data.size() / (two_byte(c) ? 2 : 1);
  // The stream names the new LOB; the row holds it from the locator update on.
  ks_row_t r = t->rows[ri];
  r.v[size_t(col)] = nv;
  if (lob_stream(tx, t, r, op) != 0) return -1;
  return lob_locator_update(tx, t, ri, col, std::move(nv));
}

int ks_sim_db::lob_update(ks_txn_t *tx, ks_table_t *t, uint32_t ri, const std::vector<int> &cols,
                          std::vector<ks_val_t> vals) {
  std::vector<int> plain, lobs;
  std::vector<ks_val_t> pv, lv;
  for (size_t i = 0; i < cols.size(); i++) {
    const bool ool = ks_lob_out_of_line(t->cols[size_t(cols[i])], vals[i]);
    (ool ? lobs : plain).push_back(cols[i]);
    (ool ? lv : pv).push_back(std::move(vals[i]));
  }
  if (!plain.empty() && update(tx, t, ri, plain, std::move(pv)) != 0) return -1;
  // Each LOB is emptied, then written whole.
  for (size_t i = 0; i < lobs.size(); i++)
    if (lob_fill_new(tx, t, ri, lobs[i], 1, std::move(lv[i])) != 0) return -1;
  return 0;
}

int ks_sim_db::lob_change(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint8_t op_code, uint64_t offset,
                          uint64_t amount, std::string after) {
  const ks_col_t &c = t->cols[size_t(col)];
  ks_row_t &r = t->rows[ri];
  const ks_val_t &cur = r.v[size_t(col)];
  const bool two = two_byte(c);
  const uint64_t unit = two ? 2 : 1;
  std::string content;
  if (content_form(two, after, &content) != 0) {
    KS_ERROR("LOB change of %s.%s column %s splits a character.", t->owner.c_str(), t->name.c_str(), c.name.c_str());
    return -1;
  }
  if (!ks_lob_out_of_line(c, cur)) {
    // A LOB in its row changes as any value does (and moves out of line when it outgrows it).
    ks_val_t nv;
    if (lob_value(c, content, &nv) != 0) return -1;
    return update(tx, t, ri, {col}, {std::move(nv)});
  }
  ks_lob_op_t op;
  op.col = col;
  op.op = op_code;
  op.lob_cols = {col};
  build_suplog_update(t, {}, &op.sup_cols);
  op.offset = offset;
  op.amount = amount;
  std::string before;
  if (stored_form(two, cur.lob, &before) != 0) return -1;
  op.old_bytes = before.size();
  op.new_len = after.size() / unit;
  if (op_code == kLobOpUpdate) op.data = after.substr(size_t(offset * unit), size_t(amount * unit));
  if (lob_stream(tx, t, r, op) != 0) return -1;
  // The same LOB in a new version of its locator.
  ks_val_t nv = cur;
  nv.b[kLocVersion] = char(uint8_t(nv.b[kLocVersion]) + 1);
  nv.lob = std::move(content);
  return lob_locator_update(tx, t, ri, col, std::move(nv));
}

namespace {
// Whether v is a locator with an index node naming its data blocks (a load's).
bool has_node(const ks_col_t &c, const ks_val_t &v) {
  return c.is_lob() && !v.is_null && v.b.size() >= size_t(KS_LOB_NODE_DBA) &&
         !(uint8_t(v.b[size_t(KS_LOB_NODE_FLAGS)]) & KS_LOB_NODE_INROW);
}
}  // namespace

int ks_sim_db::lob_load_node(const ks_col_t &c, ks_val_t *v) {
  std::string data;
  if (stored_form(two_byte(c), v->lob, &data) != 0) return -1;
  const uint32_t cap = cfg_.db_block - kLobBlockRoom;
  const uint32_t nblk = uint32_t((data.size() + cap - 1) / cap);
  v->b.resize(size_t(KS_LOB_NODE_DBA) + 4 * nblk);
  uint8_t *p = reinterpret_cast<uint8_t *>(v->b.data());
  store_be16(p, uint16_t(v->b.size() - 2));
  store_be16(p + KS_LOB_NODE_LENGTH, uint16_t(v->b.size() - KS_LOB_NODE_FLAGS));
  p[KS_LOB_NODE_FLAGS] = 0x01;
  store_be32(p + KS_LOB_NODE_BYTES, uint32_t(data.size()));
  store_be16(p + KS_LOB_NODE_NBLK, uint16_t(nblk));
  for (uint32_t k = 0; k < nblk; k++)
    store_be32(p + KS_LOB_NODE_DBA + 4 * k, kLobFile << 22 | (next_lob_block_++ & 0x3FFFFF));
  return 0;
}

int ks_sim_db::lob_load_blocks(ks_txn_t *tx, ks_table_t *t, const std::vector<ks_val_t> &row) {
  const uint32_t cap = cfg_.db_block - kLobBlockRoom;
  for (size_t i = 0; i < row.size(); i++) {
    const ks_col_t &c = t->cols[i];
    if (!has_node(c, row[i])) continue;
    const uint8_t *p = reinterpret_cast<const uint8_t *>(row[i].b.data());
    std::string data;
    if (stored_form(two_byte(c), row[i].lob, &data) != 0) return -1;
    const uint32_t nblk = load_be16(p + KS_LOB_NODE_NBLK);
    for (uint32_t k = 0; k < nblk; k++) {
      const size_t from = size_t(k) * cap, n = std::min<size_t>(cap, data.size() - from);
      rec_begin();
      const uint64_t scn = scn_;
      rec_segment(t);
      txn_start(tx, t->owner);
      rec_.dp_load(t->objn, tx->xid);
      rec_.lob_block(load_be32(p + KS_LOB_NODE_DBA + 4 * k), c.lob_objn, p + kLocId, k,
                     reinterpret_cast<const uint8_t *>(data.data()) + from, uint32_t(n), cap);
      if (rec_end(scn) != 0) return -1;
    }
  }
  return 0;
}

void ks_sim_db::lob_load_unnode(const ks_col_t &c, ks_val_t *v) {
  if (!has_node(c, *v)) return;
  v->b.resize(kLocOut);
  store_be16(reinterpret_cast<uint8_t *>(v->b.data()), uint16_t(kLocOut - 2));
}

namespace {
// The LOB value a LOB call changes, in its stored form; -1 (reported) when there is none.
int lob_target(const ks_table_t *t, uint32_t ri, int col, const char *call) {
  if (ri >= t->rows.size() || !t->rows[ri].live || col < 0 || size_t(col) >= t->cols.size() ||
      !t->cols[size_t(col)].is_lob()) {
    KS_ERROR("%s: no LOB column %d in a row of %s.%s.", call, col, t->owner.c_str(), t->name.c_str());
    return -1;
  }
  if (t->rows[ri].v[size_t(col)].is_null) {
    KS_ERROR("%s: invalid LOB locator: %s.%s column %s is NULL.", call, t->owner.c_str(), t->name.c_str(),
             t->cols[size_t(col)].name.c_str());
    return -1;
  }
  return 0;
}
std::string blank(const ks_col_t &c, bool two, size_t units) {
  if (c.type == kTypeBlob) return std::string(units, '\0');
  if (!two) return std::string(units, ' ');
  std::string s;
  for (size_t i = 0; i < units; i++) s += std::string("\0 ", 2);
  return s;
}
}  // namespace

int ks_sim_db::lob_write(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint64_t offset, const std::string &data) {
  if (lob_target(t, ri, col, "LOB write") != 0) return -1;
  const ks_col_t &c = t->cols[size_t(col)];
  const bool two = two_byte(c);
  const uint64_t unit = two ? 2 : 1;
  std::string cur, d;
  if (offset < 1 || stored_form(two, t->rows[ri].v[size_t(col)].lob, &cur) != 0 || stored_form(two, data, &d) != 0) {
    KS_ERROR("LOB write: bad offset or data for %s.%s column %s.", t->owner.c_str(), t->name.c_str(), c.name.c_str());
    return -1;
  }
  if (d.empty()) return 0;
  uint64_t pos = (offset - 1) * unit;
  // A write past the end fills the gap: that is written too.
  if (pos > cur.size()) {
    d = blank(c, two, size_t((pos - cur.size()) / unit)) + d;
    pos = cur.size();
  }
  std::string after = cur;
  if (pos + d.size() > after.size()) after.resize(size_t(pos + d.size()));
  after.replace(size_t(pos), d.size(), d);
  return lob_change(tx, t, ri, col, kLobOpUpdate, pos / unit, d.size() / unit, std::move(after));
}

int ks_sim_db::lob_append(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, const std::string &data) {
  if (lob_target(t, ri, col, "LOB append") != 0) return -1;
  const ks_col_t &c = t->cols[size_t(col)];
  std::string cur;
  if (stored_form(two_byte(c), t->rows[ri].v[size_t(col)].lob, &cur) != 0) return -1;
  return lob_write(tx, t, ri, col, cur.size() / (two_byte(c) ? 2 : 1) + 1, data);
}

int ks_sim_db::lob_trim(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint64_t len) {
  if (lob_target(t, ri, col, "LOB trim") != 0) return -1;
  const ks_col_t &c = t->cols[size_t(col)];
  const bool two = two_byte(c);
  std::string cur;
  if (stored_form(two, t->rows[ri].v[size_t(col)].lob, &cur) != 0) return -1;
  const uint64_t unit = two ? 2 : 1;
  if (len * unit > cur.size()) {
    KS_ERROR("LOB trim: new length %llu beyond the end of %s.%s column %s.", (unsigned long long)len, t->owner.c_str(),
             t->name.c_str(), c.name.c_str());
    return -1;
  }
  if (len * unit == cur.size()) return 0;
  cur.resize(size_t(len * unit));
  return lob_change(tx, t, ri, col, kLobOpTrim, 0, 0, std::move(cur));
}

int ks_sim_db::lob_erase(ks_txn_t *tx, ks_table_t *t, uint32_t ri, int col, uint64_t amount, uint64_t offset) {
  if (lob_target(t, ri, col, "LOB erase") != 0) return -1;
  const ks_col_t &c = t->cols[size_t(col)];
  const bool two = two_byte(c);
  const uint64_t unit = two ? 2 : 1;
  std::string cur;
  if (offset < 1 || stored_form(two, t->rows[ri].v[size_t(col)].lob, &cur) != 0) return -1;
  const uint64_t pos = (offset - 1) * unit;
  if (pos >= cur.size() || amount == 0) return 0;
  amount = std::min<uint64_t>(amount, (cur.size() - pos) / unit);
  cur.replace(size_t(pos), size_t(amount * unit), blank(c, two, size_t(amount)));
  return lob_change(tx, t, ri, col, kLobOpErase, pos / unit, amount, std::move(cur));
}

}  // namespace ks::sim
