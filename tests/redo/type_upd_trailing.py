#!/usr/bin/env python3
# Types the redo fixtures upd_trail_le_v19_b512 and upd_trail_be_v11_b512 byte by byte
# from the record layouts (file header, block headers, record header, change vectors),
# independently of the redo writer. They hold two updates whose changed columns lie
# partly or wholly beyond the stored row piece: the undo lists those trailing NULL
# columns after the stored ones, in descending column-number order, without value
# fields, and counts only the stored ones at +23.
# Usage: type_upd_trailing.py OUTDIR
import struct, sys, types

def a4(n):
    return (n + 3) & ~3

class Typer:
    def __init__(self, big, vsn, bs, seq, file_blocks):
        self.e = ">" if big else "<"
        self.vsn, self.bs, self.seq, self.file_blocks = vsn, bs, seq, file_blocks
        self.vhsz = 32 if (vsn >> 24) > 11 else 24
        self.cls_usn = 11 if (vsn >> 24) == 10 else 15

    def u16(self, v): return struct.pack(self.e + "H", v)
    def u32(self, v): return struct.pack(self.e + "I", v)

    def put(self, b, off, data):
        b[off:off + len(data)] = data

    def field(self, size, *sets):                 # (offset, width, value) in the redo's order
        f = bytearray(size)
        for off, w, v in sets:
            self.put(f, off, bytes([v]) if w == 1 else self.u16(v) if w == 2 else self.u32(v))
        return bytes(f)

    def txn(self, usn, slot, sqn):                # a transaction: its XID, undo block classes and header
        return types.SimpleNamespace(usn=usn, slot=slot, sqn=sqn, uh_cls=self.cls_usn + 2 * usn,
                                     ub_cls=self.cls_usn + 2 * usn + 1, uh_dba=0x00C00000 + usn * 0x100 + 0x20,
                                     xid="%d.%d.%d" % (usn, slot, sqn))

    # Vectors of a transaction x (from txn): the undo 5.1 of a heap row operation (its
    # header, values and supplemental fields), the row redo of layer 11, the 5.2 of its
    # first record, its commit (or rollback) 5.4.
    def undo(self, x, objn, hdr, values, sup_fields):
        ubh = self.field(20, (8, 2, x.usn), (10, 2, x.slot), (12, 4, x.sqn))
        uri = self.field(24, (0, 4, objn), (16, 1, 11))
        return (5, 1, self.vector(5, 1, x.ub_cls, x.uh_dba + 1, [ubh, uri, bytes(8), hdr] + values + sup_fields))

    def redo(self, code, dba, fields):
        return (11, code, self.vector(11, code, 1, dba, [bytes(8)] + fields))

    def begin(self, x):
        return (5, 2, self.vector(5, 2, x.uh_cls, x.uh_dba, [bytes(32)]))

    def commit(self, x, rollback=False):
        return (5, 4, self.vector(5, 4, x.uh_cls, x.uh_dba,
                                  [self.field(20, (0, 2, x.slot), (4, 4, x.sqn), (16, 1, 0x16 if rollback else 0x12))]))

    def vector(self, layer, code, cls, dba, fields):
        h = bytearray(self.vhsz)
        h[0], h[1] = layer, code
        self.put(h, 2, self.u16(cls))
        self.put(h, 8, self.u32(dba))
        la = self.u16(2 * (len(fields) + 1)) + b"".join(self.u16(len(f)) for f in fields)
        out = h + la + bytes(a4(len(la)) - len(la))
        for f in fields:
            out += f + bytes(a4(len(f)) - len(f))
        return bytes(out)

    def record(self, scn, vectors):
        h = bytearray(24)
        body = b"".join(vectors)
        self.put(h, 0, self.u32(24 + len(body)))
        h[4] = 1                                  # VLD: 24-byte header
        self.put(h, 6, self.u16(scn >> 32))
        self.put(h, 8, self.u32(scn & 0xFFFFFFFF))
        return bytes(h) + body

    def log(self, records):
        bs = self.bs
        blocks = []

        def new_block():
            b = bytearray(bs)
            self.put(b, 4, self.u32(len(blocks) + 2))
            self.put(b, 8, self.u32(self.seq))
            self.put(b, 12, self.u16(0x8000))
            blocks.append(b)
            return b

        b, off = new_block(), 16
        self.rbas = []                            # (block, offset) of every record's first byte
        for r in records:
            if bs - off <= 23:                    # no record starts in the last 23 bytes
                b, off = new_block(), 16
            self.rbas.append((len(blocks) + 1, off))
            if (struct.unpack(self.e + "H", b[12:14])[0] & 0x7FFF) == 0:
                self.put(b, 12, self.u16(0x8000 | off))
            done = 0
            while True:
                n = min(len(r) - done, bs - off)
                b[off:off + n] = r[done:done + n]
                done += n
                off += n
                if done == len(r):
                    break
                b, off = new_block(), 16
        b0 = bytearray(bs)
        self.put(b0, 20, self.u32(bs))
        self.put(b0, 28, self.u32(0x7A7B7C7D))
        b1 = bytearray(bs)
        self.put(b1, 4, self.u32(1))
        self.put(b1, 8, self.u32(self.seq))
        self.put(b1, 12, self.u16(0x8000))
        self.put(b1, 20, self.u32(self.vsn))
        self.put(b1, 40, self.u32(self.file_blocks))
        self.put(b1, 44, self.u32(bs))
        self.put(b1, 156, self.u32(2 + len(blocks)))  # archived: next available block
        return bytes(b0 + b1 + b"".join(blocks))

def write_fixture(t, out, name, records, tables):
    """Writes NAME.redo, NAME.expected.jsonl and NAME.tables.json for records typed with t:
    [scn, [(layer, code, vector bytes)], change, a list of them or None]; a change's scn defaults to its
    record's."""
    import json
    raw = [t.record(r[0], [v for _, _, v in r[1]]) for r in records]
    log = t.log(raw)
    nblk = len(log) // t.bs
    lines = [{"type": "file", "block_size": t.bs, "byte_order": "big" if t.e == ">" else "little",
              "vsn": "0x%08X" % t.vsn, "major": t.vsn >> 24, "cls_usn": t.cls_usn, "vhsz": t.vhsz,
              "sequence": t.seq, "file_blocks": t.file_blocks, "next_available_block": nblk, "blks": nblk}]
    for (scn_r, vs, ch), r, (blk, off) in zip(records, raw, t.rbas):
        rba = "%d.%d.%d" % (t.seq, blk, off)
        lines.append({"type": "record", "rba": rba, "len": len(r), "vld": 1, "scn": scn_r, "con_uid": 0,
                      "ops": ["%d.%d" % (l, c) for l, c, _ in vs]})
        for ch in ch if isinstance(ch, list) else [ch] if ch else []:   # one change or a list of them
            c = {"type": "change", "op": ch["op"]}
            for k in ("rollback_redo", "owner", "table"):
                if k in ch:
                    c[k] = ch[k]
            c.update({"xid": ch["xid"], "scn": ch.get("scn", scn_r), "con_uid": 0, "rba": rba})
            for k in ("new", "old", "columns", "rows", "amount", "offset", "data", "last"):
                if k in ch:
                    c[k] = ch[k]
            lines.append(c)
    open(out + "/" + name + ".redo", "wb").write(log)
    open(out + "/" + name + ".expected.jsonl", "w").write("".join(json.dumps(l) + "\n" for l in lines))
    open(out + "/" + name + ".tables.json", "w").write(json.dumps(tables, indent=1) + "\n")


def fixture(big, vsn, bs, seq):
    t = Typer(big, vsn, bs, seq, 1024)
    usn, slot, sqn = 3, 9, 4711
    objn, dba = 74520, 0x01C000A0
    uh_cls, ub_cls = t.cls_usn + 2 * usn, t.cls_usn + 2 * usn + 1
    uh_dba = 0x00C00000 + usn * 0x100 + 0x20
    ub_dba = uh_dba + 1

    def ubh():
        f = bytearray(20)
        t.put(f, 8, t.u16(usn)); t.put(f, 10, t.u16(slot)); t.put(f, 12, t.u32(sqn))
        return bytes(f)

    def uri():
        f = bytearray(24)
        t.put(f, 0, t.u32(objn)); f[16] = 11
        return bytes(f)

    def urp(rslot, ncols):
        f = bytearray(28)
        t.put(f, 0, t.u32(dba)); f[10] = 5; f[16] = 0x2C; t.put(f, 20, t.u16(rslot)); f[23] = ncols
        return bytes(f)

    def sup(scid, key_scid, key_val):
        f = bytearray(20)
        f[1] = 0x1C                                # first + last piece, update
        t.put(f, 2, t.u16(1)); t.put(f, 6, t.u16(scid)); t.put(f, 8, t.u16(scid))
        return [bytes(f), t.u16(key_scid), t.u16(len(key_val)), key_val]

    def arr(*n):
        return b"".join(t.u16(x) for x in n)

    # Row 0 stores ID, NAME (QTY, NOTE, TAG trailing NULLs); NAME, NOTE, TAG change.
    r1 = t.record(0x0000000200A10001, [
        t.vector(5, 2, uh_cls, uh_dba, [bytes(32)]),
        t.vector(5, 1, ub_cls, ub_dba, [ubh(), uri(), bytes(8), urp(0, 1), arr(1, 4, 3), b"AB"]
                 + sup(2, 1, bytes.fromhex("c102"))),
        t.vector(11, 5, 1, dba, [bytes(8), urp(0, 3), arr(1, 3, 4), b"CD", b"X", b"Y"]),
    ])
    # Row 1 stores only ID; NAME and TAG change: no before-image values at all.
    r2 = t.record(0x0000000200A10004, [
        t.vector(5, 1, ub_cls, ub_dba, [ubh(), uri(), bytes(8), urp(1, 0), arr(4, 1)]
                 + sup(2, 1, bytes.fromhex("c103"))),
        t.vector(11, 5, 1, dba, [bytes(8), urp(1, 2), arr(1, 4), b"EF", b"Z"]),
    ])
    c = bytearray(20)
    t.put(c, 0, t.u16(slot)); t.put(c, 4, t.u32(sqn)); c[16] = 0x12
    r3 = t.record(0x0000000200A10007, [t.vector(5, 4, uh_cls, uh_dba, [bytes(c)])])
    return t.log([r1, r2, r3])

if __name__ == "__main__":
    out = sys.argv[1]
    open(out + "/upd_trail_le_v19_b512.redo", "wb").write(fixture(False, 0x13000000, 512, 311))
    open(out + "/upd_trail_be_v11_b512.redo", "wb").write(fixture(True, 0x0B200000, 512, 312))
