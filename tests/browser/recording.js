// Recordings written by hand for the browser tests, in MYMALLOC_TRACE's format (docs/heaprun.md):
// a header record, then records of 32 bytes, a kind in the top byte of the first word and the
// sequence below it, three words after it by kind.
'use strict';

const KIND = { malloc: 1, free: 2, realloc: 3, calloc: 4, module: 16, exec: 17, thread: 18, extra: 19 };

class Recording {
  // pid and flags (1: a child of fork) go into the header.
  constructor(pid = 4242, flags = 0) {
    this.buf = Buffer.alloc(32 * 1024);
    this.length = 0;
    const head = this.next();
    this.buf.write('MYMTRACE', head);
    this.buf.writeUInt32LE(1, head + 8);
    this.buf.writeUInt32LE(32, head + 12);
    this.buf.writeUInt32LE(pid, head + 16);
    this.buf.writeUInt32LE(flags, head + 24);
  }

  // The offset of a new record, zeroed; the buffer doubles as it fills.
  next() {
    if (this.length + 32 > this.buf.length) {
      const bigger = Buffer.alloc(this.buf.length * 2);
      this.buf.copy(bigger, 0, 0, this.length);
      this.buf = bigger;
    }
    this.length += 32;
    return this.length - 32;
  }

  // One record: kind (a name of KIND or a number), its sequence, and its words a, b, c (numbers
  // below 2^53 or BigInts). Returns the record's number, the header being record 0.
  put(kind, seq, a = 0, b = 0, c = 0) {
    const o = this.next();
    this.buf.writeBigUInt64LE((BigInt(KIND[kind] ?? kind) << 56n) | BigInt(seq), o);
    [a, b, c].forEach((w, i) => this.buf.writeBigUInt64LE(BigInt(w), o + 8 + 8 * i));
    return o / 32;
  }

  thread(id) { return this.put('thread', 0, id); }

  // A module: where its code lies, then its path in whole records after a second record.
  module(seq, bias, lo, hi, path) {
    const bytes = Buffer.from(path);
    const first = this.put('module', seq, bias, lo, hi);
    this.put('extra', 0, bytes.length);
    for (let at = 0; at < bytes.length; at += 32) bytes.copy(this.buf, this.next(), at, Math.min(at + 32, bytes.length));
    return first;
  }

  bytes() { return this.buf.subarray(0, this.length); }
}

module.exports = { Recording };
