#!/usr/bin/env python3
# Types small ASM disk images byte by byte from the metadata layouts (disk header, file
# directory entries, indirect extent blocks, striping), independently of the simulator's
# writer, with a SQLite catalogue of the views extract queries, for the ASM reader test:
#   DATA  little-endian, external redundancy, 64 KiB units, 24 disks (more disk rows than
#         one fetch brings), the file directory on the second disk; file 256 coarse, 5
#         direct extents spread over five disks.
#   BIGE  big-endian metadata, 64 KiB units, 1 disk; file 256 coarse, 3 extents.
#   MIR   normal redundancy (2 copies), 64 KiB units, 3 disks; file 256 coarse, 9
#         extents: 2 in the entry (xtntbrk 4), 5 in a first indirect unit (two blocks,
#         then an unused one), 2 in a second. Mirror copies hold 0xEE, so a reader that
#         takes a copy for the primary returns wrong bytes.
#   FINE  1 MiB units, 2 disks; file 256 fine-striped, 128 KiB stripes, width 8, one
#         stripe set (8 extents).
#   OLD   a dismounted group whose disk does not exist (must not be opened).
# The log content is 512-byte chunks, each "<group>:<offset hex>:" padded with a byte of
# the chunk number; <GROUP>_<fno>.bin holds a file's bytes in order, for comparison.
# Usage: type_asm.py OUTDIR
import os, sqlite3, struct, sys

BLK = 4096
END = 0xFFFFFFFF
K = 1024
DH_F1AU = 244                                  # disk header: the directory's first AU
FD_PTRS = 1216                                 # directory entry: the extent pointers


def content(tag, size):
    out = bytearray()
    for off in range(0, size, 512):
        head = b"%s:%08x:" % (tag.encode(), off)
        out += head + bytes([(off // 512) & 0xFF]) * (512 - len(head))
    return bytes(out)


class Group:
    def __init__(self, out, name, num, au, ndisks, copies, big, kind, f1disk=0):
        self.out, self.name, self.num, self.au, self.copies, self.big, self.kind = out, name, num, au, copies, big, kind
        self.e = ">" if big else "<"
        self.nb = au // BLK
        self.paths = [os.path.join(out, "%s_%d.img" % (name.lower(), d)) for d in range(ndisks)]
        self.files = [open(p, "wb") for p in self.paths]
        self.next_au = [1] * ndisks            # AU 0 of every disk holds its header only
        self.f1disk = f1disk
        self.entries = {}                      # file number -> directory entry block
        self.rot = 0

    def u16(self, v): return struct.pack(self.e + "H", v)
    def u32(self, v): return struct.pack(self.e + "I", v)

    def block(self, typ, blkn, obj, sets):
        b = bytearray(BLK)
        b[0], b[1], b[2], b[3] = 0 if self.big else 1, 0x82, typ, 1
        b[4:8], b[8:12], b[16:24] = self.u32(blkn), self.u32(obj), struct.pack(self.e + "Q", 0x1234 + blkn)
        for off, data in sets:
            b[off:off + len(data)] = data
        x = [0, 0, 0, 0]                       # the check word zeroes the XOR of all words
        for i in range(0, BLK, 4):
            for j in range(4):
                x[j] ^= b[i + j]
        b[12:16] = bytes(x)
        return bytes(b)

    def write(self, disk, off, data):
        self.files[disk].seek(off)
        self.files[disk].write(data)

    def alloc(self, disk):
        a = self.next_au[disk]
        self.next_au[disk] += 1
        return a

    def extent(self, first=None):
        """One extent: its copies on distinct disks, the primary first, as (au, disk)."""
        d0 = self.rot if first is None else first
        self.rot = (d0 + 1) % len(self.files)
        return [(self.alloc((d0 + k) % len(self.files)), (d0 + k) % len(self.files)) for k in range(self.copies)]

    def ptrs(self, exts):
        return b"".join(self.u32(a) + self.u16(d) + bytes(2) for ext in exts for a, d in ext)

    def entry(self, fno, exts, brk, width=1, log2sz=None, indirect=()):
        """The directory entry of a file: data extents exts, brk pointers held directly."""
        ndirect = brk // self.copies
        body = self.ptrs(exts[:ndirect]) + self.ptrs(indirect)
        if FD_PTRS + len(body) + 8 <= BLK:
            body += self.u32(END) + bytes(4)
        self.entries[fno] = self.block(4, fno % self.nb, fno, [
            (52, self.u32(len(exts) * self.copies)), (66, bytes([self.copies])), (94, self.u16(brk)),
            (108, bytes([width])), (109, bytes([log2sz if log2sz is not None else self.au.bit_length() - 1])),
            (FD_PTRS, body)])

    def indirect_unit(self, blocks):
        """An indirect unit (all its copies) holding blocks of (xsn, extents)."""
        unit = self.extent()
        for a, d in unit:
            for i, (xsn, exts) in enumerate(blocks):
                blk = self.block(12, i, 0, [(32, self.u32(xsn)), (36, self.u16(len(exts) * self.copies)),
                                           (38, bytes([self.copies])), (44, self.ptrs(exts))])
                self.write(d, a * self.au + i * BLK, blk)
        return unit

    def data(self, exts, data, stripe=None, width=1):
        """Places a file's bytes in its extents: coarse, or fine with width and stripe size."""
        ssz = stripe or self.au
        per_set = (self.au // ssz) * width
        for s in range(len(data) // ssz):
            x = (s // per_set) * width + s % width
            r = (s % per_set) // width
            piece = data[s * ssz:(s + 1) * ssz]
            for k, (a, d) in enumerate(exts[x]):
                self.write(d, a * self.au + r * ssz, piece if k == 0 else b"\xee" * len(piece))

    def directory(self, nexts):
        """File 1: nexts coarse extents, the first on f1disk; its own entry is block 1."""
        exts = [self.extent(self.f1disk)] + [self.extent() for _ in range(nexts - 1)]
        self.entry(1, exts, 60)
        return exts

    def finish(self, dir_exts):
        for fno, blk in self.entries.items():
            for a, d in dir_exts[fno // self.nb]:
                self.write(d, a * self.au + (fno % self.nb) * BLK, blk)
        for d, f in enumerate(self.files):
            f1au = dir_exts[0][0][0] if d == dir_exts[0][0][1] else 0
            head = self.block(1, 0, d, [(32, b"ORCLDISK%s_%04d" % (self.name.encode(), d)),
                                        (72, self.u32(d)), (DH_F1AU, self.u32(f1au))])
            self.write(d, 0, head)
            f.truncate(self.next_au[d] * self.au)
            f.close()



def save(out, name, data):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)


def main(out):
    os.makedirs(out, exist_ok=True)
    groups, files = [], {}

    def coarse(g, nexts):                      # file 256 with nexts direct extents
        d = g.directory(17)                    # 16 entries per unit: file 256 is in extent 16
        exts = [g.extent() for _ in range(nexts)]
        files[g.name + "_256"] = content(g.name, nexts * g.au)
        g.data(exts, files[g.name + "_256"])
        g.entry(256, exts, 60)
        g.finish(d)
        groups.append(g)

    coarse(Group(out, "DATA", 1, 64 * K, 24, 1, False, "EXTERN", f1disk=1), 5)
    coarse(Group(out, "BIGE", 2, 64 * K, 1, 1, True, "EXTERN"), 3)

    g = Group(out, "MIR", 3, 64 * K, 3, 2, False, "NORMAL")
    d = g.directory(17)
    exts = [g.extent() for _ in range(9)]
    files["MIR_256"] = content("MIR", 9 * 64 * K)
    g.data(exts, files["MIR_256"])
    second = g.indirect_unit([(7, exts[7:9])])
    first = g.indirect_unit([(2, exts[2:5]), (5, exts[5:7])])
    g.entry(256, exts, 4, indirect=[first, second])
    g.finish(d)
    groups.append(g)

    g = Group(out, "FINE", 4, 1024 * K, 2, 1, False, "EXTERN")
    d = g.directory(2)                         # 256 entries per unit: file 256 is in extent 1
    exts = [g.extent() for _ in range(8)]
    files["FINE_256"] = content("FINE", 8 * 1024 * K)
    g.data(exts, files["FINE_256"], stripe=128 * K, width=8)
    g.entry(256, exts, 60, width=8, log2sz=17)
    g.finish(d)
    groups.append(g)
    # The worked example: stripe 0 at extent 0's start, stripe 1 in extent 1, stripe 8
    # (byte 1 MiB) in extent 0 at 128 KiB.
    with open(os.path.join(out, "fine_%d.img" % exts[0][0][1]), "rb") as f:
        f.seek(exts[0][0][0] * 1024 * K + 128 * K)
        assert f.read(14) == b"FINE:00100000:"
    with open(os.path.join(out, "fine_%d.img" % exts[1][0][1]), "rb") as f:
        f.seek(exts[1][0][0] * 1024 * K)
        assert f.read(14) == b"FINE:00020000:"

    for name, data in files.items():
        save(out, name + ".bin", data)

    db = sqlite3.connect(os.path.join(out, "asm.db"))
    db.executescript('''
        create table "V$ASM_DISKGROUP" ("GROUP_NUMBER" integer, "NAME" text, "SECTOR_SIZE" integer,
            "BLOCK_SIZE" integer, "ALLOCATION_UNIT_SIZE" integer, "STATE" text, "TYPE" text,
            "TOTAL_MB" integer, "FREE_MB" integer);
        create table "V$ASM_DISK" ("GROUP_NUMBER" integer, "DISK_NUMBER" integer, "NAME" text, "PATH" text,
            "STATE" text);
        create table "V$ASM_ALIAS" ("NAME" text, "GROUP_NUMBER" integer, "FILE_NUMBER" integer,
            "FILE_INCARNATION" integer, "ALIAS_DIRECTORY" text);
        create table "V$LOG" ("GROUP#" integer, "THREAD#" integer, "SEQUENCE#" integer, "BYTES" integer,
            "BLOCKSIZE" integer, "STATUS" text, "FIRST_CHANGE#" integer);
        create table "V$LOGFILE" ("GROUP#" integer, "MEMBER" text, "TYPE" text);
        create table "V$ARCHIVED_LOG" ("THREAD#" integer, "SEQUENCE#" integer, "BLOCKS" integer,
            "BLOCK_SIZE" integer, "ARCHIVAL_THREAD#" integer, "NAME" text, "STANDBY_DEST" text, "STATUS" text,
            "FIRST_CHANGE#" integer, "NEXT_CHANGE#" integer);
    ''')
    for g in groups:
        db.execute('insert into "V$ASM_DISKGROUP" values (?,?,512,4096,?,\'CONNECTED\',?,100,50)',
                   (g.num, g.name, g.au, g.kind))
        for n, p in enumerate(g.paths):
            db.execute('insert into "V$ASM_DISK" values (?,?,?,?,\'NORMAL\')', (g.num, n, "%s_%04d" % (g.name, n), p))
    db.execute('insert into "V$ASM_DISKGROUP" values (9,\'OLD\',512,4096,1048576,\'DISMOUNTED\',\'EXTERN\',1,1)')
    db.execute('insert into "V$ASM_DISK" values (9,0,\'OLD_0000\',\'/nonexistent/old_0.img\',\'NORMAL\')')
    db.execute('insert into "V$ASM_ALIAS" values (\'group_1.log\',1,256,1,\'N\')')
    db.execute('insert into "V$ASM_ALIAS" values (\'group_2.log\',4,256,1,\'N\')')
    db.execute('insert into "V$ASM_ALIAS" values (\'group_1.log\',3,999,1,\'N\')')   # another group's

    def online(grp, seq, size, member, status="INACTIVE"):
        db.execute('insert into "V$LOG" values (?,1,?,?,512,?,0)', (grp, seq, size - 512, status))
        db.execute('insert into "V$LOGFILE" values (?,?,\'ONLINE\')', (grp, member))

    def archived(seq, size, name):
        db.execute('insert into "V$ARCHIVED_LOG" values (1,?,?,512,1,?,\'NO\',\'A\',0,0)',
                   (seq, size // 512 - 1, name))

    online(1, 5, len(files["DATA_256"]), "+DATA/DB/ONLINELOG/group_1.log", "CURRENT")
    archived(6, len(files["BIGE_256"]), "+BIGE/DB/ARCHIVELOG/thread_1_seq_6.256.1187")
    archived(7, len(files["MIR_256"]), "+MIR/DB/ARCHIVELOG/thread_1_seq_7.256.1190")
    online(2, 8, len(files["FINE_256"]), "+FINE/DB/ONLINELOG/group_2.log")
    archived(9, 65536, "+DATA/DB/ARCHIVELOG/thread_1_seq_9.999.1")
    archived(10, 65536, "+NOPE/DB/ARCHIVELOG/thread_1_seq_10.256.1")
    archived(11, 65536, "+DATA")
    online(3, 12, 65536, "+DATA/DB/ONLINELOG/group_3.log")
    archived(13, 65536, "+DATA/DB/ARCHIVELOG/thread_1_seq_13.260.1")
    db.commit()
    db.close()


if __name__ == "__main__":
    main(sys.argv[1])
