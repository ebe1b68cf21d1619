// The OLTP mix and the SQL script runner; see the header.
#include "sim/source/workload.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <unordered_map>

#include "lib/log/log.h"
#include "sim/source/ora_value.h"
#include "sim/source/sim_txn.h"

namespace ks::sim {

namespace {

const char *kOwner = "OLTP";

ks_col_t col(const char *name, int type, int len, int csform = 1, bool nn = false, int prec = 0, int scale = 0) {
  ks_col_t c;
  c.name = name;
  c.type = type;
  c.length = len;
  c.csform = csform;
  c.not_null = nn;
  c.precision = prec;
  c.scale = scale;
  return c;
}

struct Gen {
  std::mt19937_64 r;
  // Words are drawn from pools made once per length: building text is the slow part of
  // generating rows.
  std::vector<std::vector<std::string>> pools;
  std::string date_txt;
  ks_val_t date_val;
  explicit Gen(uint64_t seed) : r(seed), pools(301) {}
  uint64_t n(uint64_t m) { return m ? r() % m : 0; }
  bool pct(int p) { return int(n(100)) < p; }
  const std::string &word(int minl, int maxl) {
    int want = minl + int(n(uint64_t(maxl - minl + 1)));
    auto &pool = pools[size_t(std::clamp(want, 1, 300))];
    if (pool.size() < 32) {
      pool.push_back(make_word(want));
      return pool.back();
    }
    return pool[n(pool.size())];
  }
  std::string make_word(int want) {
    static const char *syl[] = {"ka", "lo", "mi", "ne",  "ra", "to",  "vu", "shi",
                                "an", "el", "or", "que", "zo", "bri", "dan"};
    std::string s;
    while (int(s.size()) < want) s += syl[n(15)];
    s.resize(size_t(want));
    s[0] = char(toupper(uint8_t(s[0])));
    return s;
  }
  ks_val_t num(int64_t v) {
    ks_val_t x;
    x.is_null = false;
    ks_num_from_int(v, &x.b);
    return x;
  }
  ks_val_t money() {
    ks_val_t x;
    x.is_null = false;
    ks_num_from_scaled(int64_t(n(10000000)), 1, &x.b);
    return x;
  }
  ks_val_t text(const ks_sim_db &db, const ks_col_t &c, const std::string &s) {
    ks_val_t v;
    db.value_from_text(c, s, false, &v);
    return v;
  }
  ks_val_t date(const ks_sim_db &db, bool ts) {
    const std::string &t0 = db.clock_text();
    if (!ts || !pct(80)) {
      if (t0 != date_txt) {
        date_txt = t0;
        std::string b;
        ks_date_from_text(t0, &b, false);
        date_val = ks_val_t::of(b);
      }
      return date_val;
    }
    std::string t = t0;
    {
      char f[16];
      snprintf(f, sizeof f, ".%09llu", (unsigned long long)(n(1000000) * 1000 + 1));
      t += f;
    }
    std::string b;
    ks_date_from_text(t, &b, ts);
    return ks_val_t::of(b);
  }
  ks_val_t raw(int len) {
    std::string b;
    for (int i = 0; i < len; i++) b += char(n(256));
    return ks_val_t::of(b);
  }
};

struct Oltp {
  ks_sim_db &db;
  Gen g;
  ks_table_t *cust, *ord, *line, *ev;
  ks_sequence_t *seq;
  Oltp(ks_sim_db &d, uint64_t seed) : db(d), g(seed) {
    cust = db.table(kOwner, "CUSTOMERS");
    ord = db.table(kOwner, "ORDERS");
    line = db.table(kOwner, "ORDER_LINES");
    ev = db.table(kOwner, "EVENTS");
    seq = db.sequence(kOwner, "SEQ_ID");
  }
  bool ok() const { return cust && ord && line && ev && seq; }
  ks_table_t *wide = nullptr, *longr = nullptr;                          // tables of rows stored as pieces (optional)
  ks_table_t *docs = nullptr, *legacy = nullptr, *legacy_raw = nullptr;  // LOB and LONG tables (optional)
  ks_table_t *packed = nullptr, *packed_log = nullptr;                   // compressed tables (optional)
  int compress_pct = 0;
  ks_table_t *iot = nullptr, *iot_ovf = nullptr;  // index-organised tables (optional)
  int iot_pct = 0;                                // share of the row operations on them

  // A row of an index-organised table: a new key (a number leads every key), the other
  // columns by type, some NULL.
  std::vector<ks_val_t> iot_row(const ks_table_t *t) {
    std::vector<ks_val_t> v(t->cols.size());
    for (size_t c = 0; c < v.size(); c++) v[c] = iot_value(t, c);
    return v;
  }
  ks_val_t iot_value(const ks_table_t *t, size_t c) {
    const ks_col_t &col = t->cols[c];
    if (c >= t->pk.size() && g.pct(10)) return ks_val_t::null();
    if (col.type == kTypeNumber) return g.num(int64_t(g.n(c == 0 ? 1000000000000ull : 100000)));
    if (col.type == kTypeDate) return g.date(db, false);
    return g.text(db, col, g.word(1, std::min(col.length, c == 0 ? 20 : 300)));
  }

  // Contents of a LOB or LONG of column c: n characters (text with some two-byte ones) or
  // bytes; sizes from empty to 10 MiB, most kept in the row, few huge.
  std::string lob_data(const ks_col_t &c, size_t n) {
    std::string s;
    const bool text = c.type == kTypeClob || c.type == kTypeLong;
    while (s.size() < n) s += text ? (g.pct(5) ? "\xc3\xa9" : g.word(1, 12)) : std::string(1, char(g.n(256)));
    // Whole characters only.
    while (text && s.size() > n) {
      s.pop_back();
      while (!s.empty() && (uint8_t(s.back()) & 0xC0) == 0x80) s.pop_back();
      if (!s.empty() && (uint8_t(s.back()) & 0xC0) == 0xC0) s.pop_back();
    }
    return s;
  }
  size_t lob_size() {
    const int k = int(g.n(1000));
    return k < 50 ? 0 : k < 600 ? g.n(size_t(kLobInRow) + 1) : k < 995 ? 4000 + g.n(60000) : g.n(size_t(10) << 20);
  }
  ks_val_t lob_of(const ks_col_t &c) {
    ks_val_t v;
    if (c.is_lob() ? db.lob_value(c, lob_data(c, lob_size()), &v) != 0
                   : db.value_from_text(c, lob_data(c, 100 + g.n(9000)), false, &v) != 0)
      return ks_val_t::null();
    return v;
  }

  // A value for column c of the wide table: a number in every tenth, else text, short or
  // (huge) its whole 4000 bytes.
  ks_val_t wide_value(size_t c, bool huge) {
    if (c % 10 == 0) return g.num(int64_t(g.n(100000)));
    return huge ? long_text(wide->cols[c], 4000) : g.text(db, wide->cols[c], g.word(1, 12));
  }
  // One wide row in a hundred is over a megabyte.
  std::vector<ks_val_t> wide_row(ks_txn_t *tx) {
    std::vector<ks_val_t> v(wide->cols.size());
    v[0] = g.num(db.nextval(seq, tx));
    const bool huge = g.pct(1);
    for (size_t i = 1; i < v.size(); i++) v[i] = wide_value(i, huge);
    return v;
  }
  // A value of about len bytes for a long column.
  ks_val_t long_text(const ks_col_t &c, int len) {
    std::string s;
    while (int(s.size()) < len) s += g.word(200, 300);
    s.resize(size_t(len));
    return g.text(db, c, s);
  }
  std::vector<ks_val_t> long_row(ks_txn_t *tx) {
    std::vector<ks_val_t> v(longr->cols.size());
    v[0] = g.num(db.nextval(seq, tx));
    for (size_t i = 1; i < v.size(); i++)
      if (!g.pct(15)) v[i] = long_text(longr->cols[i], 100 + int(g.n(3900)));
    return v;
  }

  std::vector<ks_val_t> customer_row(ks_txn_t *tx) {
    const auto &c = cust->cols;
    std::vector<ks_val_t> v(c.size());
    v[0] = g.num(db.nextval(seq, tx));
    std::string name = g.word(4, 12);
    name += ' ';
    name += g.word(5, 14);
    if (g.pct(10)) name += " Zoë";
    v[1] = g.text(db, c[1], name);
    if (g.pct(70)) v[2] = g.text(db, c[2], g.pct(50) ? "Zoë" : g.word(3, 9));
    v[3] = g.text(db, c[3], g.pct(50) ? "FR" : "US");
    v[4] = g.date(db, false);
    v[5] = g.money();
    if (g.pct(40)) v[6] = g.text(db, c[6], g.word(10, 120));
    return v;
  }
  std::vector<ks_val_t> order_row(ks_txn_t *tx, int64_t cust_id) {
    const auto &c = ord->cols;
    std::vector<ks_val_t> v(c.size());
    v[0] = g.num(db.nextval(seq, tx));
    v[1] = g.num(cust_id);
    v[2] = g.text(db, c[2], "N");
    v[3] = g.money();
    v[4] = g.date(db, true);
    if (g.pct(60)) v[5] = g.raw(16);
    if (g.pct(30)) v[6] = g.text(db, c[6], g.word(20, 300));
    return v;
  }
  std::vector<ks_val_t> line_row(const ks_val_t &order_id, int no) {
    const auto &c = line->cols;
    std::vector<ks_val_t> v(c.size());
    v[0] = order_id;
    v[1] = g.num(no);
    v[2] = g.text(db, c[2], g.word(4, 30));
    v[3] = g.num(int64_t(g.n(20) + 1));
    if (g.pct(90)) v[4] = g.money();
    return v;
  }
  std::vector<ks_val_t> event_row() {
    const auto &c = ev->cols;
    std::vector<ks_val_t> v(c.size());
    v[0] = g.num(int64_t(g.n(1000000)));
    v[1] = g.text(db, c[1], g.pct(50) ? "LOGIN" : "VIEW");
    if (g.pct(80)) v[2] = g.text(db, c[2], g.word(5, 90));
    return v;
  }
};

// Rows in use by open transactions (Oracle would make the others wait), and the rows
// each one holds, so that an end releases its own without visiting everyone's (thousands
// of transactions may be open at once).
struct Locks {
  std::unordered_map<uint64_t, ks_txn_t *> m;
  std::unordered_map<ks_txn_t *, std::vector<uint64_t>> held;
  static uint64_t key(const ks_table_t *t, uint32_t ri) { return uint64_t(t->objn) << 32 | ri; }
  bool free_for(const ks_table_t *t, uint32_t ri, ks_txn_t *tx) {
    auto it = m.find(key(t, ri));
    return it == m.end() || it->second == tx;
  }
  void take(const ks_table_t *t, uint32_t ri, ks_txn_t *tx) {
    ks_txn_t *&owner = m[key(t, ri)];
    if (owner != tx) held[tx].push_back(key(t, ri));
    owner = tx;
  }
  void release(ks_txn_t *tx) {
    auto h = held.find(tx);
    if (h == held.end()) return;
    for (uint64_t k : h->second) {
      auto it = m.find(k);
      if (it != m.end() && it->second == tx) m.erase(it);
    }
    held.erase(h);
  }
};

// A live row of t not locked by another transaction, or -1.
int64_t pick_row(Gen &g, ks_table_t *t, Locks &lk, ks_txn_t *tx) {
  if (t->live.empty()) return -1;
  for (int tries = 0; tries < 8; tries++) {
    uint32_t ri = t->live[g.n(t->live.size())];
    if (lk.free_for(t, ri, tx)) return ri;
  }
  return -1;
}

struct Open {
  ks_txn_t *tx;
  int ops_left;
  bool rollback;
  bool savepoint;
};

// A change to a row of the wide or the long table: insert, update of a few columns (those
// of a wide row spread over its pieces), delete, or one of them undone by a rollback to a
// savepoint.
int chained_op(Oltp &o, Open &op, Locks &lk) {
  ks_sim_db &db = o.db;
  Gen &g = o.g;
  ks_txn_t *tx = op.tx;
  ks_table_t *t = g.pct(50) ? o.wide : o.longr;
  const bool sp = g.pct(20);
  if (sp && db.savepoint(tx, "SPC") != 0) return -1;
  const int kind = int(g.n(100));
  int64_t ri = kind < 40 || t->live.size() < 10 ? -1 : pick_row(g, t, lk, tx);
  if (ri < 0) {
    if (db.insert(tx, t, t == o.wide ? o.wide_row(tx) : o.long_row(tx)) != 0) return -1;
    lk.take(t, db.inserted()[0], tx);
  } else if (kind < 80 || t->live.size() < 20) {
    lk.take(t, uint32_t(ri), tx);
    std::vector<int> cols;
    std::vector<ks_val_t> vals;
    for (int k = 0, n = 1 + int(g.n(3)); k < n; k++) {
      int c = 1 + int(g.n(t->cols.size() - 1));
      if (std::find(cols.begin(), cols.end(), c) != cols.end()) continue;
      cols.push_back(c);
      if (t == o.wide)
        vals.push_back(o.wide_value(size_t(c), false));
      else
        vals.push_back(o.long_text(t->cols[size_t(c)], 1 + int(g.n(4000))));
    }
    if (db.update(tx, t, uint32_t(ri), cols, vals) != 0) return -1;
  } else {
    lk.take(t, uint32_t(ri), tx);
    if (db.remove(tx, t, uint32_t(ri)) != 0) return -1;
  }
  return sp ? db.rollback_to(tx, "SPC") : 0;
}

// A change of LOBs or LONGs: a row with LOBs inserted, a LOB set (grown, shrunk, emptied
// or nulled), written into at an offset, appended to, trimmed or erased, a row deleted, or
// a row of the LONG table inserted or changed; a fifth of them undone by a rollback to a
// savepoint.
int lob_op(Oltp &o, Open &op, Locks &lk) {
  ks_sim_db &db = o.db;
  Gen &g = o.g;
  ks_txn_t *tx = op.tx;
  const bool sp = g.pct(20);
  if (sp && db.savepoint(tx, "SPL") != 0) return -1;
  const int kind = int(g.n(100));
  ks_table_t *t = kind < 85 ? o.docs : g.pct(50) ? o.legacy : o.legacy_raw;
  int64_t ri = kind < 25 || t->live.size() < 5 ? -1 : pick_row(g, t, lk, tx);
  if (ri < 0) {
    std::vector<ks_val_t> v(t->cols.size());
    v[0] = g.num(int64_t(g.n(1000000000000ull)));
    for (size_t c = 1; c < v.size(); c++)
      if (!g.pct(10))
        v[c] =
            t->cols[c].is_lob() || t->cols[c].is_long() ? o.lob_of(t->cols[c]) : g.text(db, t->cols[c], g.word(3, 40));
    if (db.insert(tx, t, std::move(v)) != 0) return -1;
    lk.take(t, db.inserted()[0], tx);
    return sp ? db.rollback_to(tx, "SPL") : 0;
  }
  lk.take(t, uint32_t(ri), tx);
  const int c = 2 + int(g.n(t->cols.size() - 2));
  const ks_col_t &col = t->cols[size_t(c)];
  const ks_val_t &cur = t->rows[size_t(ri)].v[size_t(c)];
  int rc = 0;
  if (kind >= 80 && kind < 85) {
    rc = db.remove(tx, t, uint32_t(ri));
  } else if (kind < 45 || t != o.docs || cur.is_null) {
    ks_val_t v;
    if (g.pct(15))
      v = ks_val_t::null();
    else if (col.is_lob() && g.pct(15))
      rc = db.lob_value(col, "", &v);
    else
      v = o.lob_of(col);
    std::vector<int> cols{c};
    std::vector<ks_val_t> vals{std::move(v)};
    if (g.pct(30)) cols.push_back(1), vals.push_back(g.text(db, t->cols[1], g.word(3, 40)));
    rc = rc != 0 ? rc : db.update(tx, t, uint32_t(ri), cols, std::move(vals));
  } else {
    const uint64_t len =
        col.type == kTypeBlob ? cur.lob.size() : uint64_t(std::count_if(cur.lob.begin(), cur.lob.end(), [](char ch) {
          return (uint8_t(ch) & 0xC0) != 0x80;
        }));
    const std::string d = o.lob_data(col, 1 + g.n(g.pct(20) ? 20000 : 200));
    if (kind < 60)
      rc = db.lob_write(tx, t, uint32_t(ri), c, 1 + g.n(len + 10), d);
    else if (kind < 70)
      rc = db.lob_append(tx, t, uint32_t(ri), c, d);
    else if (kind < 75)
      rc = db.lob_trim(tx, t, uint32_t(ri), c, g.n(len + 1));
    else
      rc = db.lob_erase(tx, t, uint32_t(ri), c, 1 + g.n(500), 1 + g.n(len + 1));
  }
  if (rc != 0) return -1;
  return sp ? db.rollback_to(tx, "SPL") : 0;
}

// The compressed tables: OLTP.PACKED (compress for OLTP, with a primary key) and
// OLTP.PACKED_LOG (basic compression, no key), created when a run first asks for them.
int compress_setup(ks_sim_db &db) {
  if (!db.table(kOwner, "PACKED") &&
      ks_script_run(db,
                    "create table OLTP.PACKED (ID number primary key, CODE varchar2(20), QTY number, NOTE "
                    "varchar2(400), SEEN date) compress for oltp") != 0)
    return -1;
  if (!db.table(kOwner, "PACKED_LOG") &&
      ks_script_run(db, "create table OLTP.PACKED_LOG (SRC varchar2(20), N number, TXT varchar2(100)) compress") != 0)
    return -1;
  return 0;
}

// A row of a compressed table: NULLs now and then (trailing ones too), notes past the
// one-byte length of the block row format.
std::vector<ks_val_t> packed_row(Oltp &o, ks_table_t *t, ks_txn_t *tx) {
  Gen &g = o.g;
  std::vector<ks_val_t> v(t->cols.size());
  if (t == o.packed) {
    v[0] = g.num(o.db.nextval(o.seq, tx));
    v[1] = g.text(o.db, t->cols[1], g.word(2, 20));
    if (!g.pct(20)) v[2] = g.num(int64_t(g.n(100000)));
    const bool long_note = g.pct(30);
    if (!g.pct(30)) v[3] = g.text(o.db, t->cols[3], g.word(long_note ? 251 : 1, long_note ? 300 : 60));
    if (!g.pct(40)) v[4] = g.date(o.db, false);
  } else {
    v[0] = g.text(o.db, t->cols[0], g.word(3, 20));
    v[1] = g.num(int64_t(g.n(1000000000)));
    if (!g.pct(25)) v[2] = g.text(o.db, t->cols[2], g.word(1, 100));
  }
  return v;
}

// A change of a compressed table: a row or several inserted, some columns of a row
// updated, a row deleted; a fifth of them undone by a rollback to a savepoint.
int compress_op(Oltp &o, Open &op, Locks &lk) {
  ks_sim_db &db = o.db;
  Gen &g = o.g;
  ks_txn_t *tx = op.tx;
  const bool sp = g.pct(20);
  if (sp && db.savepoint(tx, "SPZ") != 0) return -1;
  ks_table_t *t = g.pct(70) ? o.packed : o.packed_log;
  const int kind = int(g.n(100));
  int64_t ri = kind < 40 || t->live.size() < 10 ? -1 : pick_row(g, t, lk, tx);
  if (kind >= 30 && kind < 40) {
    std::vector<std::vector<ks_val_t>> rows;
    for (int i = 0, n = 2 + int(g.n(4)); i < n; i++) rows.push_back(packed_row(o, t, tx));
    if (db.insert_multi(tx, t, std::move(rows)) != 0) return -1;
    for (uint32_t r : db.inserted()) lk.take(t, r, tx);
  } else if (ri < 0) {
    if (db.insert(tx, t, packed_row(o, t, tx)) != 0) return -1;
    lk.take(t, db.inserted()[0], tx);
  } else if (kind < 85) {
    lk.take(t, uint32_t(ri), tx);
    const std::vector<ks_val_t> fresh = packed_row(o, t, tx);
    std::vector<int> cols;
    std::vector<ks_val_t> vals;
    for (int k = 0, n = 1 + int(g.n(3)); k < n; k++) {
      const int c = t == o.packed ? 1 + int(g.n(t->cols.size() - 1)) : int(g.n(t->cols.size()));
      if (std::find(cols.begin(), cols.end(), c) != cols.end()) continue;
      cols.push_back(c);
      vals.push_back(g.pct(15) ? ks_val_t::null() : fresh[size_t(c)]);
    }
    if (db.update(tx, t, uint32_t(ri), cols, vals) != 0) return -1;
  } else {
    lk.take(t, uint32_t(ri), tx);
    if (db.remove(tx, t, uint32_t(ri)) != 0) return -1;
  }
  return sp ? db.rollback_to(tx, "SPZ") : 0;
}

// A change of an index-organised table: a row or several (one array insert) inserted, non-key
// columns updated, the key updated (the row moves in the index), a row deleted; a fifth of
// them undone by a rollback to a savepoint.
int iot_op(Oltp &o, Open &op, Locks &lk) {
  ks_sim_db &db = o.db;
  Gen &g = o.g;
  ks_txn_t *tx = op.tx;
  ks_table_t *t = g.pct(50) ? o.iot : o.iot_ovf;
  const bool sp = g.pct(20);
  if (sp && db.savepoint(tx, "SPI") != 0) return -1;
  const int kind = int(g.n(100));
  const int64_t ri = kind < 30 || t->live.size() < 10 ? -1 : pick_row(g, t, lk, tx);
  if (ri < 0 && kind < 10) {
    std::vector<std::vector<ks_val_t>> rows;
    for (int i = 0, n = 2 + int(g.n(4)); i < n; i++) rows.push_back(o.iot_row(t));
    if (db.insert_multi(tx, t, rows) != 0) return -1;
    for (uint32_t r : db.inserted()) lk.take(t, r, tx);
  } else if (ri < 0) {
    if (db.insert(tx, t, o.iot_row(t)) != 0) return -1;
    lk.take(t, db.inserted()[0], tx);
  } else {
    lk.take(t, uint32_t(ri), tx);
    int rc;
    if (kind < 65) {
      std::vector<int> cols;
      std::vector<ks_val_t> vals;
      for (int k = 0, n = 1 + int(g.n(2)); k < n; k++) {
        const int c = int(t->pk.size() + g.n(t->cols.size() - t->pk.size()));
        if (std::find(cols.begin(), cols.end(), c) != cols.end()) continue;
        cols.push_back(c);
        vals.push_back(o.iot_value(t, size_t(c)));
      }
      rc = db.update(tx, t, uint32_t(ri), cols, vals);
    } else if (kind < 85) {
      std::vector<int> cols{0};
      std::vector<ks_val_t> vals{o.iot_value(t, 0)};
      if (g.pct(40)) cols.push_back(int(t->cols.size()) - 1), vals.push_back(o.iot_value(t, t->cols.size() - 1));
      rc = db.update(tx, t, uint32_t(ri), cols, vals);
    } else {
      rc = db.remove(tx, t, uint32_t(ri));
    }
    if (rc != 0) return -1;
  }
  return sp ? db.rollback_to(tx, "SPI") : 0;
}

int one_op(Oltp &o, Open &op, Locks &lk, int chained_pct, int lobs_pct) {
  ks_sim_db &db = o.db;
  Gen &g = o.g;
  ks_txn_t *tx = op.tx;
  if (o.compress_pct > 0 && g.pct(o.compress_pct)) return compress_op(o, op, lk);
  if (lobs_pct > 0 && g.pct(lobs_pct)) return lob_op(o, op, lk);
  if (chained_pct > 0 && g.pct(chained_pct)) return chained_op(o, op, lk);
  if (o.iot_pct > 0 && g.pct(o.iot_pct)) return iot_op(o, op, lk);
  int kind = int(g.n(100));
  // Tables stay bounded, as an application purging old rows keeps them.
  constexpr size_t kCap = 20000;
  if ((kind < 25 && o.cust->live.size() > kCap) || (kind >= 25 && kind < 45 && o.ord->live.size() > kCap) ||
      (kind >= 83 && o.ev->live.size() > kCap)) {
    ks_table_t *t = kind < 25 ? o.cust : kind < 45 ? o.ord : o.ev;
    int64_t ri = pick_row(g, t, lk, tx);
    if (ri < 0) return 0;
    lk.take(t, uint32_t(ri), tx);
    return db.remove(tx, t, uint32_t(ri));
  }
  if (kind >= 25 && kind < 45 && o.line->live.size() > 3 * kCap) kind = 75;  // delete lines instead
  if (op.savepoint) {
    // Savepoint, some work, rollback to it: done in one step so the compensation redo
    // follows this transaction's own changes.
    op.savepoint = false;
    if (db.savepoint(tx, "SP1") != 0) return -1;
    auto row = o.event_row();
    if (db.insert(tx, o.ev, row) != 0) return -1;
    lk.take(o.ev, db.inserted()[0], tx);
    int64_t ri = pick_row(g, o.cust, lk, tx);
    if (ri >= 0) {
      lk.take(o.cust, uint32_t(ri), tx);
      if (db.update(tx, o.cust, uint32_t(ri), {5}, {g.money()}) != 0) return -1;
    }
    return db.rollback_to(tx, "SP1");
  }
  if (kind < 25) {  // new customer
    if (db.insert(tx, o.cust, o.customer_row(tx)) != 0) return -1;
    lk.take(o.cust, db.inserted()[0], tx);
  } else if (kind < 45) {  // new order with lines
    int64_t cid = 1;
    if (!o.cust->live.empty()) {
      std::string t;
      int64_t v;
      const ks_val_t &idv = o.cust->rows[o.cust->live[g.n(o.cust->live.size())]].v[0];
      if (!idv.is_null && ks_num_to_int(idv.b, &v) == 0) cid = v;
      (void)t;
    }
    auto orow = o.order_row(tx, cid);
    ks_val_t oid = orow[0];
    if (db.insert(tx, o.ord, orow) != 0) return -1;
    lk.take(o.ord, db.inserted()[0], tx);
    int nl = 1 + int(g.n(4));
    if (g.pct(40)) {
      std::vector<std::vector<ks_val_t>> rows;
      for (int i = 1; i <= nl + 1; i++) rows.push_back(o.line_row(oid, i));
      if (db.insert_multi(tx, o.line, rows) != 0) return -1;
      for (uint32_t ri : db.inserted()) lk.take(o.line, ri, tx);
    } else {
      for (int i = 1; i <= nl; i++) {
        if (db.insert(tx, o.line, o.line_row(oid, i)) != 0) return -1;
        lk.take(o.line, db.inserted()[0], tx);
      }
    }
  } else if (kind < 70) {  // update some columns of a customer or an order
    bool c = g.pct(50);
    ks_table_t *t = c ? o.cust : o.ord;
    int64_t ri = pick_row(g, t, lk, tx);
    if (ri < 0) return 0;
    lk.take(t, uint32_t(ri), tx);
    std::vector<int> cols;
    std::vector<ks_val_t> vals;
    if (c) {
      cols.push_back(5), vals.push_back(g.money());
      if (g.pct(40))
        cols.push_back(2), vals.push_back(g.pct(30) ? ks_val_t::null() : g.text(db, t->cols[2], g.word(3, 9)));
      if (g.pct(30))
        cols.push_back(6), vals.push_back(g.pct(50) ? ks_val_t::null() : g.text(db, t->cols[6], g.word(5, 60)));
    } else {
      static const char *st[] = {"P", "S", "D", "C"};
      cols.push_back(2), vals.push_back(g.text(db, t->cols[2], st[g.n(4)]));
      if (g.pct(50)) cols.push_back(4), vals.push_back(g.date(db, true));
      if (g.pct(20)) cols.push_back(5), vals.push_back(g.pct(50) ? ks_val_t::null() : g.raw(16));
    }
    if (db.update(tx, t, uint32_t(ri), cols, vals) != 0) return -1;
  } else if (kind < 80) {  // delete an order line or an event
    ks_table_t *t = g.pct(50) ? o.line : o.ev;
    int64_t ri = pick_row(g, t, lk, tx);
    if (ri < 0) return 0;
    lk.take(t, uint32_t(ri), tx);
    if (db.remove(tx, t, uint32_t(ri)) != 0) return -1;
  } else if (kind < 83) {  // select ... for update
    int64_t ri = pick_row(g, o.cust, lk, tx);
    if (ri < 0) return 0;
    lk.take(o.cust, uint32_t(ri), tx);
    if (db.lock_row(tx, o.cust, uint32_t(ri)) != 0) return -1;
  } else {  // event
    if (db.insert(tx, o.ev, o.event_row()) != 0) return -1;
    lk.take(o.ev, db.inserted()[0], tx);
  }
  return 0;
}

}  // namespace

int ks_oltp_setup(ks_sim_db &db, uint64_t seed) {
  if (db.table(kOwner, "CUSTOMERS")) return 0;
  if (db.create_user(kOwner) != 0) return -1;
  if (db.create_sequence(kOwner, "SEQ_ID", 1, 100) != 0) return -1;
  if (db.create_table(kOwner, "CUSTOMERS",
                      {col("ID", kTypeNumber, 22, 1, true, 10), col("NAME", kTypeVarchar2, 60),
                       col("NICK", kTypeVarchar2, 60, 2), col("COUNTRY", kTypeChar, 2), col("CREATED", kTypeDate, 7),
                       col("BALANCE", kTypeNumber, 22, 1, false, 12, 2), col("NOTE", kTypeVarchar2, 200)},
                      {"ID"},
                      "create table OLTP.CUSTOMERS (ID number(10) primary key, NAME varchar2(60), NICK nvarchar2(30), "
                      "COUNTRY char(2), CREATED date, BALANCE number(12,2), NOTE varchar2(200))") != 0)
    return -1;
  if (db.create_table(
          kOwner, "ORDERS",
          {col("ID", kTypeNumber, 22, 1, true), col("CUSTOMER_ID", kTypeNumber, 22), col("STATUS", kTypeChar, 1),
           col("AMOUNT", kTypeNumber, 22, 1, false, 12, 2), col("ORDERED", kTypeTimestamp, 11),
           col("TOKEN", kTypeRaw, 16), col("COMMENTS", kTypeVarchar2, 400)},
          {"ID"},
          "create table OLTP.ORDERS (ID number primary key, CUSTOMER_ID number, STATUS char(1), AMOUNT "
          "number(12,2), ORDERED timestamp, TOKEN raw(16), COMMENTS varchar2(400))") != 0)
    return -1;
  if (db.create_table(
          kOwner, "ORDER_LINES",
          {col("ORDER_ID", kTypeNumber, 22, 1, true), col("LINE_NO", kTypeNumber, 22, 1, true),
           col("PRODUCT", kTypeVarchar2, 40), col("QTY", kTypeNumber, 22),
           col("PRICE", kTypeNumber, 22, 1, false, 10, 2)},
          {"ORDER_ID", "LINE_NO"},
          "create table OLTP.ORDER_LINES (ORDER_ID number, LINE_NO number, PRODUCT varchar2(40), QTY number, "
          "PRICE number(10,2), primary key (ORDER_ID, LINE_NO))") != 0)
    return -1;
  if (db.create_table(kOwner, "EVENTS",
                      {col("ID", kTypeNumber, 22), col("KIND", kTypeVarchar2, 20), col("PAYLOAD", kTypeVarchar2, 100)},
                      {}, "create table OLTP.EVENTS (ID number, KIND varchar2(20), PAYLOAD varchar2(100))") != 0)
    return -1;
  Oltp o(db, seed);
  if (!o.ok()) return -1;
  for (int b = 0; b < 5; b++) {
    ks_txn_t *tx = db.begin();
    if (!tx) return -1;
    for (int i = 0; i < 20; i++)
      if (db.insert(tx, o.cust, o.customer_row(tx)) != 0) return -1;
    if (db.commit(tx) != 0) return -1;
  }
  return 0;
}

namespace {
// The tables of rows stored as pieces, created when a run first asks for them.
int chained_setup(ks_sim_db &db) {
  if (!db.table(kOwner, "WIDE")) {
    std::vector<ks_col_t> cols{col("ID", kTypeNumber, 22, 1, true)};
    std::string ddl = "create table OLTP.WIDE (ID number primary key";
    for (int i = 1; i < 300; i++) {
      char name[16];
      snprintf(name, sizeof name, "C%03d", i);
      cols.push_back(i % 10 == 0 ? col(name, kTypeNumber, 22) : col(name, kTypeVarchar2, 4000));
      ddl += std::string(", ") + name + (i % 10 == 0 ? " number" : " varchar2(4000)");
    }
    if (db.create_table(kOwner, "WIDE", cols, {"ID"}, ddl + ")") != 0) return -1;
  }
  if (!db.table(kOwner, "LONG_ROWS") &&
      db.create_table(kOwner, "LONG_ROWS",
                      {col("ID", kTypeNumber, 22, 1, true), col("A", kTypeVarchar2, 4000),
                       col("B", kTypeVarchar2, 4000), col("C", kTypeVarchar2, 4000), col("D", kTypeVarchar2, 4000)},
                      {"ID"},
                      "create table OLTP.LONG_ROWS (ID number primary key, A varchar2(4000), B varchar2(4000), "
                      "C varchar2(4000), D varchar2(4000))") != 0)
    return -1;
  return 0;
}

// The index-organised tables: a two-column key, and one with an overflow segment.
int iot_setup(ks_sim_db &db) {
  if (!db.table(kOwner, "IOT_KV") &&
      ks_script_run(db,
                    "create table OLTP.IOT_KV (K1 number, K2 varchar2(20), V1 varchar2(60), V2 number, V3 date, "
                    "primary key (K1, K2)) organization index") != 0)
    return -1;
  if (!db.table(kOwner, "IOT_OVF") &&
      ks_script_run(db,
                    "create table OLTP.IOT_OVF (ID number primary key, NAME varchar2(40), QTY number, "
                    "NOTE varchar2(1000)) organization index overflow") != 0)
    return -1;
  return 0;
}

// The LOB workload's tables: every LOB kind, a LONG and a LONG RAW (a table has one LONG
// column at most).
int lob_setup(ks_sim_db &db) {
  if (!db.table(kOwner, "DOCS") &&
      ks_script_run(db,
                    "create table OLTP.DOCS (ID number primary key, TITLE varchar2(60), BODY clob, NOTE nclob "
                    "securefile, PIC blob, SPIC blob securefile, SBODY clob securefile)") != 0)
    return -1;
  if (!db.table(kOwner, "LEGACY") &&
      ks_script_run(db, "create table OLTP.LEGACY (ID number primary key, NAME varchar2(40), TXT long)") != 0)
    return -1;
  if (!db.table(kOwner, "LEGACY_RAW") &&
      ks_script_run(db, "create table OLTP.LEGACY_RAW (ID number primary key, NAME varchar2(40), BIN long raw)") != 0)
    return -1;
  return 0;
}

// One DDL of the workload's own table OLTP.DDL_T, the n-th in turn: a column added, the
// oldest added one renamed, the oldest renamed one dropped, the table truncated; then a
// row of it in a transaction of its own, with every column set. The statement is chosen
// by what the table has now, so a later run goes on where the last one stopped.
int workload_ddl(ks_sim_db &db, Oltp &o, uint64_t n) {
  ks_table_t *t = db.table(kOwner, "DDL_T");
  if (!t) {
    if (db.create_table(kOwner, "DDL_T", {col("ID", kTypeNumber, 22, 1, true), col("V", kTypeVarchar2, 20)}, {"ID"},
                        "create table OLTP.DDL_T (ID number primary key, V varchar2(20))") != 0)
      return -1;
    t = db.table(kOwner, "DDL_T");
  } else {
    int top = 0;
    const ks_col_t *added = nullptr, *renamed = nullptr;
    for (const auto &c : t->cols) {
      if (c.col_no == 0 || (c.name[0] != 'C' && c.name[0] != 'R')) continue;
      top = std::max(top, atoi(c.name.c_str() + 1));
      if (c.name[0] == 'C' && !added) added = &c;
      if (c.name[0] == 'R' && !renamed) renamed = &c;
    }
    const std::string q = "alter table OLTP.DDL_T ";
    int rc;
    if (n % 4 == 1 && added) {
      std::string to = "R" + added->name.substr(1);
      rc = db.rename_column(t, added->name, to, q + "rename column " + added->name + " to " + to);
    } else if (n % 4 == 2 && renamed) {
      std::string c = renamed->name;
      rc = db.drop_column(t, c, false, q + "drop column " + c);
    } else if (n % 4 == 3) {
      rc = db.truncate_table(t, "truncate table OLTP.DDL_T");
    } else {
      std::string c = "C" + std::to_string(top + 1);
      rc = db.add_column(t, col(c.c_str(), kTypeNumber, 22), q + "add (" + c + " number)");
    }
    if (rc != 0) return -1;
  }
  ks_txn_t *tx = db.begin();
  if (!tx) return -1;
  std::vector<ks_val_t> v(t->cols.size());
  for (size_t i = 0; i < v.size(); i++)
    if (t->cols[i].col_no > 0)
      v[i] = t->cols[i].type == kTypeNumber ? o.g.num(int64_t(n)) : o.g.text(db, t->cols[i], "ddl");
  v[0] = o.g.num(db.nextval(o.seq, tx));
  return db.insert(tx, t, v) == 0 && db.commit(tx) == 0 ? 0 : -1;
}

}  // namespace

int ks_oltp_run(ks_sim_db &db, const ks_oltp_cfg_t &cfg) {
  if (ks_oltp_setup(db, cfg.seed) != 0) return -1;
  if (cfg.chained_pct > 0 && chained_setup(db) != 0) return -1;
  Oltp o(db, cfg.seed);
  if (!o.ok()) {
    KS_ERROR("the OLTP schema is incomplete.");
    return -1;
  }
  if (cfg.chained_pct > 0) {
    o.wide = db.table(kOwner, "WIDE");
    o.longr = db.table(kOwner, "LONG_ROWS");
  }
  if (cfg.iot_pct > 0) {
    if (iot_setup(db) != 0) return -1;
    o.iot = db.table(kOwner, "IOT_KV");
    o.iot_ovf = db.table(kOwner, "IOT_OVF");
    o.iot_pct = cfg.iot_pct;
  }
  if (cfg.lobs_pct > 0) {
    if (lob_setup(db) != 0) return -1;
    o.docs = db.table(kOwner, "DOCS");
    o.legacy = db.table(kOwner, "LEGACY");
    o.legacy_raw = db.table(kOwner, "LEGACY_RAW");
  }
  if (cfg.compress_pct > 0) {
    if (compress_setup(db) != 0) return -1;
    o.packed = db.table(kOwner, "PACKED");
    o.packed_log = db.table(kOwner, "PACKED_LOG");
    o.compress_pct = cfg.compress_pct;
  }
  db.rng().seed(cfg.seed * 7919 + 17);
  Locks lk;
  std::vector<Open> open;
  // Sessions on several instances: each transaction runs on one of them, in turn.
  for (int k : cfg.instances)
    if (db.set_instance(k) != 0) return -1;
  // Other sessions' changes come between the records of a change of a row stored as pieces,
  // as in a busy database: one time in five, a small insert or update by another open
  // transaction.
  struct Unhook {
    ks_sim_db &db;
    ~Unhook() { db.set_between_pieces(nullptr); }
  } unhook{db};
  if (cfg.chained_pct > 0)
    db.set_between_pieces([&](ks_txn_t *cur) {
      // Paced, a change stays half written for a while now and then, as a slow session's
      // does: readers of the log meet rows whose pieces are only partly there.
      if (cfg.realtime && o.g.pct(10)) {
        if (db.flush() != 0) return -1;
        struct timespec ts {
          0, 250000000
        };
        nanosleep(&ts, nullptr);
      }
      if (open.size() < 2 || !o.g.pct(20)) return 0;
      size_t k = size_t(o.g.n(open.size() - 1));
      if (open[k].tx == cur) k = open.size() - 1;
      ks_txn_t *tx = open[k].tx;
      if (tx == cur || tx->inst != cur->inst) return 0;  // another instance's session writes its own thread
      if (o.g.pct(60)) {
        if (db.insert(tx, o.ev, o.event_row()) != 0) return -1;
        lk.take(o.ev, db.inserted()[0], tx);
        return 0;
      }
      static const char *st[] = {"P", "S", "D", "C"};
      int64_t ri = pick_row(o.g, o.ord, lk, tx);
      if (ri < 0) return 0;
      lk.take(o.ord, uint32_t(ri), tx);
      return db.update(tx, o.ord, uint32_t(ri), {2}, {o.g.text(db, o.ord->cols[2], st[o.g.n(4)])});
    });
  uint64_t started = 0, ended = 0;
  double step = cfg.rate > 0 ? 1.0 / cfg.rate : 0.01;
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  const int conc = std::max(1, cfg.concurrency);
  while (ended < cfg.txns) {
    while (int(open.size()) < conc && started < cfg.txns) {
      if (!cfg.instances.empty() && db.set_instance(cfg.instances[started % cfg.instances.size()]) != 0) return -1;
      ks_txn_t *tx = db.begin();
      if (!tx) return -1;
      Open op{tx, 1 + int(o.g.n(uint64_t(std::max(1, cfg.max_ops)))), o.g.pct(cfg.rollback_pct),
              o.g.pct(cfg.savepoint_pct)};
      open.push_back(op);
      started++;
    }
    size_t k = size_t(o.g.n(open.size()));
    Open &op = open[k];
    if (!cfg.instances.empty() && db.set_instance(op.tx->inst + 1) != 0) return -1;
    if (op.ops_left > 0) {
      if (one_op(o, op, lk, cfg.chained_pct, cfg.lobs_pct) != 0) return -1;
      op.ops_left--;
      // System activity comes between the sessions' changes too.
      if (o.g.pct(db.cfg().noise / 4) && db.noise() != 0) return -1;
      continue;
    }
    int rc = op.rollback ? db.rollback(op.tx) : db.commit(op.tx);
    if (rc != 0) return -1;
    lk.release(op.tx);
    open.erase(open.begin() + long(k));
    ended++;
    db.advance_clock(step);
    // noise is a percentage that may exceed 100: 250 means two or three events per transaction.
    for (int left = db.cfg().noise; left > 0; left -= 100)
      if ((left >= 100 || o.g.pct(left)) && db.noise() != 0) return -1;
    if (cfg.ddl_every > 0 && ended % uint64_t(cfg.ddl_every) == 0 &&
        workload_ddl(db, o, ended / uint64_t(cfg.ddl_every)) != 0)
      return -1;
    if (cfg.switch_every > 0 && ended % uint64_t(cfg.switch_every) == 0 && db.switch_log() != 0) return -1;
    if (cfg.realtime && cfg.rate > 0) {
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      double el = double(now.tv_sec - t0.tv_sec) + double(now.tv_nsec - t0.tv_nsec) / 1e9;
      double due = double(ended) / cfg.rate;
      if (due > el) {
        double d = due - el;
        struct timespec ts {
          time_t(d), long((d - double(time_t(d))) * 1e9)
        };
        nanosleep(&ts, nullptr);
      }
    }
  }
  return db.flush();
}

// ---------------------------------------------------------------------------------------
// Script runner
namespace {

struct Tok {
  enum K { kEnd, kIdent, kNum, kStr, kSym } k = kEnd;
  std::string s;
};

struct Lexer {
  const std::string &t;
  size_t p = 0;
  explicit Lexer(const std::string &text) : t(text) {}
  Tok next() {
    while (p < t.size() && isspace(uint8_t(t[p]))) p++;
    Tok k;
    if (p >= t.size()) return k;
    char c = t[p];
    if (c == '\'') {
      k.k = Tok::kStr;
      p++;
      while (p < t.size()) {
        if (t[p] == '\'') {
          if (p + 1 < t.size() && t[p + 1] == '\'') {
            k.s += '\'';
            p += 2;
            continue;
          }
          p++;
          return k;
        }
        k.s += t[p++];
      }
      k.k = Tok::kEnd;  // unterminated
      return k;
    }
    if (c == '"') {
      k.k = Tok::kIdent;
      p++;
      while (p < t.size() && t[p] != '"') k.s += t[p++];
      p++;
      return k;
    }
    if (isdigit(uint8_t(c)) ||
        ((c == '-' || c == '.') && p + 1 < t.size() && (isdigit(uint8_t(t[p + 1])) || t[p + 1] == '.'))) {
      k.k = Tok::kNum;
      k.s += t[p++];
      while (p < t.size() && (isdigit(uint8_t(t[p])) || t[p] == '.')) k.s += t[p++];
      return k;
    }
    if (isalpha(uint8_t(c)) || c == '_') {
      k.k = Tok::kIdent;
      while (p < t.size() && (isalnum(uint8_t(t[p])) || t[p] == '_' || t[p] == '$' || t[p] == '#'))
        k.s += char(toupper(uint8_t(t[p++])));
      return k;
    }
    k.k = Tok::kSym;
    k.s = std::string(1, c);
    p++;
    return k;
  }
};

struct Parser {
  std::vector<Tok> v;
  size_t i = 0;
  explicit Parser(const std::string &s) {
    Lexer lx(s);
    for (Tok t = lx.next(); t.k != Tok::kEnd; t = lx.next()) v.push_back(t);
  }
  bool end() const { return i >= v.size(); }
  const Tok &peek() const {
    static Tok e;
    return end() ? e : v[i];
  }
  bool kw(const char *w) {
    if (!end() && v[i].k == Tok::kIdent && v[i].s == w) return i++, true;
    return false;
  }
  bool sym(char c) {
    if (!end() && v[i].k == Tok::kSym && v[i].s[0] == c) return i++, true;
    return false;
  }
  bool number(std::string *out) {
    if (!end() && v[i].k == Tok::kNum) return *out = v[i++].s, true;
    return false;
  }
  bool ident(std::string *out) {
    if (!end() && v[i].k == Tok::kIdent) return *out = v[i++].s, true;
    return false;
  }
  // owner.name
  bool qname(std::string *owner, std::string *name) {
    if (!ident(name)) return false;
    if (sym('.')) {
      *owner = *name;
      return ident(name);
    }
    return false;  // scripts always name the owner
  }
};

// A literal: number, 'text', NULL, DATE '..', TIMESTAMP '..', HEXTORAW('..'), owner.seq.NEXTVAL,
// RPAD(literal, n[, 'pad']) (the literal padded to n characters, with blanks or pad repeated;
// for long values), EMPTY_CLOB() / EMPTY_BLOB() (an empty LOB: *empty is set).
// Fills text/null; for a sequence, takes the next value.
bool literal(Parser &p, ks_sim_db &db, ks_txn_t *tx, std::string *text, bool *null, bool *empty = nullptr) {
  *null = false;
  if (empty) *empty = false;
  if (p.end()) return false;
  if (empty && (p.kw("EMPTY_CLOB") || p.kw("EMPTY_BLOB"))) {
    text->clear();
    *empty = true;
    return p.sym('(') && p.sym(')');
  }
  if (p.kw("RPAD")) {
    std::string pad = " ";
    bool n_null = false;
    if (!p.sym('(') || !literal(p, db, tx, text, &n_null) || n_null || !p.sym(',') || p.peek().k != Tok::kNum)
      return false;
    size_t n = size_t(atoll(p.v[p.i++].s.c_str()));
    if (p.sym(',')) {
      if (p.peek().k != Tok::kStr || p.peek().s.empty()) return false;
      pad = p.v[p.i++].s;
    }
    if (n > (size_t(64) << 20)) return false;
    // n characters (UTF-8: a byte that does not continue one starts one).
    auto starts = [](char ch) { return (uint8_t(ch) & 0xC0) != 0x80; };
    size_t chars = 0, keep = 0;
    for (; keep < text->size() && (chars < n || !starts((*text)[keep])); keep++) chars += starts((*text)[keep]);
    text->resize(keep);
    for (size_t k = 0; chars < n || (k % pad.size() && !starts(pad[k % pad.size()])); k++) {
      chars += starts(pad[k % pad.size()]);
      *text += pad[k % pad.size()];
    }
    return p.sym(')');
  }
  const Tok &t = p.peek();
  if (t.k == Tok::kNum || t.k == Tok::kStr) {
    *text = t.s;
    p.i++;
    return true;
  }
  if (p.kw("NULL")) {
    *null = true;
    return true;
  }
  if (p.kw("DATE") || p.kw("TIMESTAMP")) {
    if (p.peek().k != Tok::kStr) return false;
    *text = p.v[p.i++].s;
    return true;
  }
  if (p.kw("HEXTORAW")) {
    std::string raw;
    if (!p.sym('(') || p.peek().k != Tok::kStr || ks_unhex(p.v[p.i].s, &raw) != 0) return false;
    p.i++;
    *text = raw;
    return p.sym(')');
  }
  std::string a, b, c;
  size_t save = p.i;
  if (p.ident(&a) && p.sym('.') && p.ident(&b) && p.sym('.') && p.ident(&c) && c == "NEXTVAL") {
    ks_sequence_t *s = db.sequence(a, b);
    if (!s) return false;
    *text = std::to_string(db.nextval(s, tx));
    return true;
  }
  p.i = save;
  return false;
}

// The value of column c a literal gives (EMPTY_CLOB() only for a LOB column).
bool value_of(ks_sim_db &db, const ks_col_t &c, const std::string &text, bool null, bool empty, ks_val_t *v) {
  if (empty) return c.is_lob() && db.lob_value(c, "", v) == 0;
  return db.value_from_text(c, text, null, v) == 0;
}

int col_index(const ks_table_t *t, const std::string &name) {
  for (size_t i = 0; i < t->cols.size(); i++)
    if (t->cols[i].name == name) return int(i);
  return -1;
}

// WHERE col = lit [AND col = lit]...: matching live rows.
bool where(Parser &p, ks_sim_db &db, ks_txn_t *tx, ks_table_t *t, std::vector<uint32_t> *rows) {
  std::vector<std::pair<int, ks_val_t>> cond;
  if (p.kw("WHERE")) {
    do {
      std::string c, text;
      bool null;
      if (!p.ident(&c) || !p.sym('=') || !literal(p, db, tx, &text, &null)) return false;
      int ci = col_index(t, c);
      ks_val_t v;
      if (ci < 0 || db.value_from_text(t->cols[size_t(ci)], text, null, &v) != 0) return false;
      cond.emplace_back(ci, v);
    } while (p.kw("AND"));
  }
  for (uint32_t ri : t->live) {
    bool ok = true;
    for (auto &c : cond)
      if (c.second.is_null || !(t->rows[ri].v[size_t(c.first)] == c.second)) ok = false;
    if (ok) rows->push_back(ri);
  }
  std::sort(rows->begin(), rows->end());
  return true;
}

bool type_of(Parser &p, ks_col_t *c) {
  std::string t;
  if (!p.ident(&t)) return false;
  int a = 0, b = 0;
  if (p.sym('(')) {
    if (p.peek().k != Tok::kNum) return false;
    a = atoi(p.v[p.i++].s.c_str());
    if (p.sym(',')) {
      if (p.peek().k != Tok::kNum) return false;
      b = atoi(p.v[p.i++].s.c_str());
    }
    p.kw("BYTE") || p.kw("CHAR");
    if (!p.sym(')')) return false;
  }
  c->precision = 0;
  c->scale = 0;
  if (t == "NUMBER" || t == "INTEGER")
    c->type = kTypeNumber, c->length = 22, c->precision = a, c->scale = b;
  else if (t == "VARCHAR2" || t == "VARCHAR")
    c->type = kTypeVarchar2, c->length = a ? a : 4000;
  else if (t == "NVARCHAR2")
    c->type = kTypeVarchar2, c->csform = 2, c->length = 2 * (a ? a : 2000);
  else if (t == "CHAR")
    c->type = kTypeChar, c->length = a ? a : 1;
  else if (t == "NCHAR")
    c->type = kTypeChar, c->csform = 2, c->length = 2 * (a ? a : 1);
  else if (t == "DATE")
    c->type = kTypeDate, c->length = 7;
  else if (t == "TIMESTAMP")
    c->type = kTypeTimestamp, c->length = 11;
  else if (t == "RAW")
    c->type = kTypeRaw, c->length = a ? a : 2000;
  else if (t == "LONG")
    c->type = p.kw("RAW") ? kTypeLongRaw : kTypeLong, c->length = 0;
  else if (t == "CLOB" || t == "NCLOB" || t == "BLOB")
    c->type = t == "BLOB" ? kTypeBlob : kTypeClob, c->csform = t == "NCLOB" ? 2 : 1, c->length = 4000;
  else
    return false;
  // A LOB is stored as BasicFile unless the column says SECUREFILE.
  if (c->is_lob() && !(c->securefile = p.kw("SECUREFILE"))) p.kw("BASICFILE");
  return true;
}

// (name, ...)
bool names(Parser &p, std::vector<std::string> *out) {
  if (!p.sym('(')) return false;
  do {
    std::string c;
    if (!p.ident(&c)) return false;
    out->push_back(c);
  } while (p.sym(','));
  return p.sym(')');
}

// [START WITH n] [INCREMENT BY n] [CACHE n], in any order.
bool seq_options(Parser &p, int64_t *start, int64_t *inc, int64_t *cache) {
  for (;;) {
    int64_t *to = p.kw("START") && p.kw("WITH")     ? start
                  : p.kw("INCREMENT") && p.kw("BY") ? inc
                  : p.kw("CACHE")                   ? cache
                                                    : nullptr;
    if (!to) return p.end();
    bool neg = p.sym('-');
    if (p.peek().k != Tok::kNum) return false;
    *to = atoll(p.v[p.i++].s.c_str()) * (neg ? -1 : 1);
  }
}

// A column definition: name type [NOT NULL | NULL].
bool column_def(Parser &p, ks_col_t *c) {
  if (!p.ident(&c->name) || !type_of(p, c)) return false;
  if (p.kw("NOT")) return p.kw("NULL") && (c->not_null = true);
  p.kw("NULL");
  return true;
}

// The rest of ALTER TABLE owner.table: ADD, MODIFY (one column, in parentheses or not),
// DROP COLUMN c / DROP (c), SET UNUSED COLUMN c / SET UNUSED (c), RENAME COLUMN a TO b,
// RENAME TO name.
bool alter_table(Parser &p, ks_sim_db &db, ks_table_t *t, const std::string &text) {
  if (p.kw("ADD") || p.kw("MODIFY")) {
    bool add = p.v[p.i - 1].s == "ADD";
    bool paren = p.sym('(');
    ks_col_t c;
    if (!column_def(p, &c) || (paren && !p.sym(')')) || !p.end()) return false;
    return add ? db.add_column(t, c, text) == 0 : db.modify_column(t, c, text) == 0;
  }
  bool unused = p.kw("SET") && p.kw("UNUSED");
  if (unused || p.kw("DROP")) {
    std::vector<std::string> c;
    std::string one;
    if (p.kw("COLUMN") ? !p.ident(&one) : !names(p, &c) || c.size() != 1) return false;
    return p.end() && db.drop_column(t, one.empty() ? c[0] : one, unused, text) == 0;
  }
  if (!p.kw("RENAME")) return false;
  std::string from, to;
  if (p.kw("COLUMN"))
    return p.ident(&from) && p.kw("TO") && p.ident(&to) && p.end() && db.rename_column(t, from, to, text) == 0;
  return p.kw("TO") && p.ident(&to) && p.end() && db.rename_table(t, to, text) == 0;
}

// The rest of DBMS_LOB.WRITE(owner.table.column, offset, literal), .WRITEAPPEND(column,
// literal), .TRIM(column, length) or .ERASE(column, amount, offset), then a WHERE naming
// the rows whose LOB it changes.
bool lob_call(Parser &p, ks_sim_db &db, ks_txn_t *tx) {
  std::string fn, owner, name, col;
  ks_table_t *t = nullptr;
  if (!p.sym('.') || !p.ident(&fn) || !p.sym('(') || !p.qname(&owner, &name) || !p.sym('.') || !p.ident(&col) ||
      !(t = db.table(owner, name)))
    return false;
  const int ci = col_index(t, col);
  auto number = [&](uint64_t *n) {
    if (!p.sym(',') || p.peek().k != Tok::kNum) return false;
    *n = strtoull(p.v[p.i++].s.c_str(), nullptr, 10);
    return true;
  };
  uint64_t a = 0, b = 0;
  std::string data;
  bool null = false;
  if (fn == "WRITE" || fn == "WRITEAPPEND") {
    if ((fn == "WRITE" && !number(&a)) || !p.sym(',') || !literal(p, db, tx, &data, &null) || null) return false;
  } else if (fn == "TRIM") {
    if (!number(&a)) return false;
  } else if (fn != "ERASE" || !number(&a) || !number(&b)) {
    return false;
  }
  std::vector<uint32_t> rows;
  if (ci < 0 || !p.sym(')') || !where(p, db, tx, t, &rows) || !p.end()) return false;
  for (uint32_t ri : rows) {
    int rc = fn == "WRITE"         ? db.lob_write(tx, t, ri, ci, a, data)
             : fn == "WRITEAPPEND" ? db.lob_append(tx, t, ri, ci, data)
             : fn == "TRIM"        ? db.lob_trim(tx, t, ri, ci, a)
                                   : db.lob_erase(tx, t, ri, ci, a, b);
    if (rc != 0) return false;
  }
  return true;
}

}  // namespace

int ks_script_run(ks_sim_db &db, const std::string &text) {
  // Split on ';' outside quotes; drop "--" comments.
  std::vector<std::string> stmts;
  std::string cur;
  bool q = false;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (!q && c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
      while (i < text.size() && text[i] != '\n') i++;
      continue;
    }
    if (c == '\'') q = !q;
    if (c == ';' && !q) {
      stmts.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
  }
  if (cur.find_first_not_of(" \t\r\n") != std::string::npos) stmts.push_back(cur);
  ks_txn_t *tx = nullptr;
  auto txn = [&]() {
    if (!tx) tx = db.begin();
    return tx;
  };
  // Each instance's session keeps its transaction while the script works on others.
  std::map<int, ks_txn_t *> sessions;
  auto instance_no = [&](Parser &p, int *k) {
    std::string num;
    if (!p.number(&num) || !p.end()) return false;
    *k = atoi(num.c_str());
    return true;
  };
  // A DDL statement commits the transaction in progress first.
  auto ddl_commit = [&]() {
    bool ok = !tx || db.commit(tx) == 0;
    tx = nullptr;
    return ok;
  };
  int n = 0;
  for (const auto &s : stmts) {
    n++;
    size_t from = s.find_first_not_of(" \t\r\n");
    if (from == std::string::npos) continue;
    std::string stmt = s.substr(from, s.find_last_not_of(" \t\r\n") + 1 - from);
    Parser p(s);
    std::string owner, name;
    bool ok = false;
    int ik = 0;
    if (p.kw("COMMIT")) {
      ok = !tx || db.commit(tx) == 0;
      tx = nullptr;
    } else if (p.kw("INSTANCE")) {
      sessions[db.instance()] = tx;
      ok = instance_no(p, &ik) && db.set_instance(ik) == 0;
      tx = sessions[db.instance()];
    } else if (p.kw("SHUTDOWN")) {
      ok = p.kw("INSTANCE") && instance_no(p, &ik) && db.shutdown_instance(ik) == 0;
    } else if (p.kw("STARTUP")) {
      ok = p.kw("INSTANCE") && instance_no(p, &ik) && db.startup_instance(ik) == 0;
    } else if (p.kw("ROLLBACK")) {
      if (p.kw("TO")) {
        p.kw("SAVEPOINT");
        ok = p.ident(&name) && tx && db.rollback_to(tx, name) == 0;
      } else {
        ok = !tx || db.rollback(tx) == 0;
        tx = nullptr;
      }
    } else if (p.kw("SAVEPOINT")) {
      ok = p.ident(&name) && db.savepoint(txn(), name) == 0;
    } else if (p.kw("ALTER")) {
      if (p.kw("SYSTEM")) {
        ok = p.kw("SWITCH") && p.kw("LOGFILE") && db.switch_log() == 0;
      } else if (ddl_commit() && p.kw("SEQUENCE")) {
        ks_sequence_t *sq = nullptr;
        int64_t start = 0, inc = 0, cache = 0;
        ok = p.qname(&owner, &name) && (sq = db.sequence(owner, name)) && seq_options(p, &start, &inc, &cache) &&
             start == 0 && db.alter_sequence(sq, inc ? inc : sq->increment, cache ? cache : sq->cache, stmt) == 0;
      } else if (p.kw("TABLE")) {
        ks_table_t *t = nullptr;
        ok = p.qname(&owner, &name) && (t = db.table(owner, name)) && alter_table(p, db, t, stmt);
      }
    } else if (p.kw("CREATE")) {
      if (!ddl_commit()) break;
      bool unique = p.kw("UNIQUE");
      if (p.kw("USER")) {
        ok = p.ident(&name) && db.create_user(name) == 0;
      } else if (p.kw("SEQUENCE")) {
        int64_t start = 1, inc = 1, cache = 20;
        ok = p.qname(&owner, &name) && seq_options(p, &start, &inc, &cache) &&
             db.create_sequence(owner, name, start, cache, inc) == 0;
      } else if (p.kw("INDEX")) {
        std::string iowner, iname;
        std::vector<std::string> cols;
        ks_table_t *t = nullptr;
        ok = p.qname(&iowner, &iname) && p.kw("ON") && p.qname(&owner, &name) && iowner == owner &&
             (t = db.table(owner, name)) && names(p, &cols) && p.end() &&
             db.create_index(t, iname, cols, unique, stmt) == 0;
      } else if (p.kw("TABLE") && p.qname(&owner, &name) && p.sym('(')) {
        std::vector<ks_col_t> cols;
        std::vector<std::string> pk;
        ok = true;
        do {
          if (p.kw("PRIMARY")) {
            std::string c;
            if (!p.kw("KEY") || !p.sym('(')) {
              ok = false;
              break;
            }
            do {
              if (!p.ident(&c)) {
                ok = false;
                break;
              }
              pk.push_back(c);
            } while (p.sym(','));
            if (!p.sym(')')) ok = false;
            continue;
          }
          ks_col_t c;
          if (!p.ident(&c.name) || !type_of(p, &c)) {
            ok = false;
            break;
          }
          for (;;) {
            if (p.kw("NOT")) {
              if (!p.kw("NULL")) ok = false;
              c.not_null = true;
            } else if (p.kw("NULL")) {
            } else if (p.kw("PRIMARY")) {
              if (!p.kw("KEY")) ok = false;
              pk.push_back(c.name);
            } else
              break;
          }
          cols.push_back(c);
        } while (ok && p.sym(','));
        // ORGANIZATION INDEX [OVERFLOW]: index-organised; COMPRESS [BASIC | FOR OLTP], or
        // NOCOMPRESS: table compression.
        int org = 0, comp = 0;
        ok = ok && p.sym(')');
        if (ok && p.kw("ORGANIZATION")) {
          ok = p.kw("INDEX");
          org = p.kw("OVERFLOW") ? 2 : 1;
        }
        if (ok && p.kw("COMPRESS")) {
          comp = kCompressBasic;
          if (p.kw("FOR"))
            ok = p.kw("OLTP"), comp = kCompressOltp;
          else
            p.kw("BASIC");
        } else if (ok) {
          p.kw("NOCOMPRESS");
        }
        ok = ok && p.end() && db.create_table(owner, name, cols, pk, stmt, org) == 0 &&
             (comp == 0 || db.set_compression(db.table(owner, name), comp) == 0);
      }
    } else if (p.kw("DROP")) {
      if (!ddl_commit()) break;
      if (p.kw("TABLE")) {
        ok = p.qname(&owner, &name);
        bool purge = p.kw("PURGE");
        ok = ok && p.end() && db.drop_table(owner, name, purge) == 0;
      } else if (p.kw("INDEX")) {
        ok = p.qname(&owner, &name) && p.end() && db.drop_index(owner, name, stmt) == 0;
      } else if (p.kw("SEQUENCE")) {
        ok = p.qname(&owner, &name) && p.end() && db.drop_sequence(owner, name) == 0;
      }
    } else if (p.kw("PURGE")) {
      ok = ddl_commit() && p.kw("TABLE") && p.qname(&owner, &name) && p.end() && db.purge_table(owner, name) == 0;
    } else if (p.kw("TRUNCATE")) {
      ks_table_t *t = nullptr;
      ok = ddl_commit() && p.kw("TABLE") && p.qname(&owner, &name) && (t = db.table(owner, name)) && p.end() &&
           db.truncate_table(t, stmt) == 0;
    } else if (p.peek().s == "INSERT" && p.i + 1 < p.v.size() && p.v[p.i + 1].s == "/") {
      p.i += 2;
      // INSERT /*+ APPEND */ INTO t SELECT * FROM s: a direct-path load of s's rows.
      ks_table_t *t = nullptr, *src = nullptr;
      std::string sowner, sname;
      ok = p.sym('*') && p.sym('+') && p.kw("APPEND") && p.sym('*') && p.sym('/') && p.kw("INTO") &&
           p.qname(&owner, &name) && (t = db.table(owner, name)) && p.kw("SELECT") && p.sym('*') && p.kw("FROM") &&
           p.qname(&sowner, &sname) && (src = db.table(sowner, sname)) && p.end() && src->cols.size() == t->cols.size();
      if (ok) {
        std::vector<std::vector<ks_val_t>> rows;
        for (uint32_t ri : src->live) rows.push_back(src->rows[ri].v);
        ok = rows.empty() || db.load(txn(), t, std::move(rows)) == 0;
      }
    } else if (p.kw("LOAD")) {
      ks_table_t *t = nullptr;
      std::string num;
      int chained = 0, lobs = 0;
      ok = p.qname(&owner, &name) && (t = db.table(owner, name)) && p.kw("ROWS") && p.number(&num);
      while (ok && !p.end()) {
        std::string pct;
        if (p.kw("CHAINED") && p.number(&pct))
          chained = atoi(pct.c_str());
        else if (p.kw("LOBS") && p.number(&pct))
          lobs = atoi(pct.c_str());
        else
          ok = false;
      }
      ok = ok && ks_load_rows(db, txn(), t, strtoull(num.c_str(), nullptr, 10), chained, lobs) == 0;
    } else if (p.kw("INSERT")) {
      ks_table_t *t = nullptr;
      if (p.kw("INTO") && p.qname(&owner, &name) && (t = db.table(owner, name))) {
        std::vector<int> cols;
        ok = true;
        if (p.sym('(')) {
          do {
            std::string c;
            int ci = p.ident(&c) ? col_index(t, c) : -1;
            if (ci < 0) {
              ok = false;
              break;
            }
            cols.push_back(ci);
          } while (p.sym(','));
          ok = ok && p.sym(')');
        } else {
          for (size_t i = 0; i < t->cols.size(); i++)
            if (t->cols[i].col_no > 0) cols.push_back(int(i));
        }
        std::vector<ks_val_t> vals(t->cols.size());
        if (ok && p.kw("VALUES") && p.sym('(')) {
          for (size_t k = 0; k < cols.size() && ok; k++) {
            std::string lit;
            bool null, empty;
            if ((k && !p.sym(',')) || !literal(p, db, txn(), &lit, &null, &empty) ||
                !value_of(db, t->cols[size_t(cols[k])], lit, null, empty, &vals[size_t(cols[k])]))
              ok = false;
          }
          ok = ok && p.sym(')') && p.end();
          for (size_t i = 0; ok && i < t->cols.size(); i++)
            if (t->cols[i].not_null && vals[i].is_null) {
              KS_ERROR("cannot insert NULL into (\"%s\".\"%s\".\"%s\").", owner.c_str(), name.c_str(),
                       t->cols[i].name.c_str());
              ok = false;
            }
          ok = ok && db.insert(txn(), t, vals) == 0;
        } else {
          ok = false;
        }
      }
    } else if (p.kw("UPDATE")) {
      ks_table_t *t = nullptr;
      if (p.qname(&owner, &name) && (t = db.table(owner, name)) && p.kw("SET")) {
        std::vector<int> cols;
        std::vector<ks_val_t> vals;
        ok = true;
        do {
          std::string c, lit;
          bool null, empty;
          int ci = p.ident(&c) ? col_index(t, c) : -1;
          ks_val_t v;
          if (ci < 0 || !p.sym('=') || !literal(p, db, txn(), &lit, &null, &empty) ||
              !value_of(db, t->cols[size_t(ci)], lit, null, empty, &v)) {
            ok = false;
            break;
          }
          cols.push_back(ci);
          vals.push_back(v);
        } while (p.sym(','));
        std::vector<uint32_t> rows;
        ok = ok && where(p, db, txn(), t, &rows) && p.end();
        for (uint32_t ri : rows)
          if (ok && db.update(txn(), t, ri, cols, vals) != 0) ok = false;
      }
    } else if (p.kw("DBMS_LOB")) {
      ok = lob_call(p, db, txn());
    } else if (p.kw("DELETE")) {
      ks_table_t *t = nullptr;
      p.kw("FROM");
      if (p.qname(&owner, &name) && (t = db.table(owner, name))) {
        std::vector<uint32_t> rows;
        ok = where(p, db, txn(), t, &rows) && p.end();
        for (uint32_t ri : rows)
          if (ok && db.remove(txn(), t, ri) != 0) ok = false;
      }
    }
    if (!ok) {
      KS_ERROR("statement %d failed: %.200s", n, s.c_str());
      if (tx) db.rollback(tx);
      return -1;
    }
  }
  // At the end every session commits, the current one first.
  if (tx && db.commit(tx) != 0) return -1;
  sessions.erase(db.instance());
  for (auto &[inst, t] : sessions)
    if (t && (db.set_instance(inst) != 0 || db.commit(t) != 0 || db.flush() != 0)) return -1;
  return db.flush();
}

}  // namespace ks::sim
