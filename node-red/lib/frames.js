'use strict';
/**
 * Frames between Node.js and the Python worker (the worker's side is
 * nalo_sdk/host/frames.py):
 *
 *   u32 header length H, u32 body length B (big-endian, in bytes)
 *   H bytes: the header, one JSON object (UTF-8)
 *   B bytes: the body, the frame's binary values one after another
 *
 * The header's `v` is the frame's value with null where JSON cannot carry
 * a value; `x` lists those places in order, as [path, kind] or
 * [path, "b", length] (b: a Buffer, the next `length` bytes of the body;
 * nan, inf, -inf). Lengths are bytes: never JavaScript string lengths.
 *
 * What cannot cross to Python (functions, sockets, the request and response
 * of an `http in` node, circular references) is held back with its path and
 * put back on the messages that come out (`restore`).
 */

// Deeper than any message a flow builds, and inside Python's JSON limit.
const MAX_DEPTH = 500;
const PREFIX = 8;

class CannotCross extends Error {
    constructor(path, what) {
        super(`${shownPath(path)} cannot cross to Python: ${what}`);
        this.code = 'ERR_CANNOT_CROSS';
    }
}

function shownPath(path) {
    return 'msg' + path.map((key) => (typeof key === 'number' ? `[${key}]` : `.${key}`)).join('');
}

function isPlainObject(value) {
    const proto = Object.getPrototypeOf(value);
    return proto === Object.prototype || proto === null;
}

/** A copy of `value` that JSON carries; the rest goes to `into`. */
function plain(value, path, into, depth) {
    switch (typeof value) {
        case 'string':
        case 'boolean':
            return value;
        case 'number':
            if (Number.isFinite(value)) {
                return value;
            }
            into.extras.push([path, Number.isNaN(value) ? 'nan' : value > 0 ? 'inf' : '-inf']);
            return null;
        case 'undefined':
            return undefined;
        case 'object':
            break;
        default: // function, symbol, bigint
            into.kept.push(path);
            return undefined;
    }
    if (value === null) {
        return null;
    }
    if (ArrayBuffer.isView(value)) {
        const bytes = Buffer.isBuffer(value) ? value : Buffer.from(value.buffer, value.byteOffset, value.byteLength);
        into.extras.push([path, 'b', bytes.length]);
        into.buffers.push(bytes);
        return null;
    }
    if (value instanceof Date) {
        return value.toJSON();
    }
    const array = Array.isArray(value);
    if (into.ancestors.has(value) || (!array && !isPlainObject(value))) {
        into.kept.push(path);
        return undefined;
    }
    if (depth >= MAX_DEPTH) {
        throw new CannotCross(path, `nested deeper than ${MAX_DEPTH} levels`);
    }
    into.ancestors.add(value);
    let copy;
    if (array) {
        copy = new Array(value.length);
        for (let i = 0; i < value.length; i++) {
            const item = plain(value[i], path.concat(i), into, depth + 1);
            copy[i] = item === undefined ? null : item;
        }
    } else {
        copy = {};
        for (const key of Object.keys(value)) {
            const item = plain(value[key], path.concat(key), into, depth + 1);
            if (item !== undefined) {
                copy[key] = item;
            }
        }
    }
    into.ancestors.delete(value);
    return copy;
}

/**
 * One frame: `header` carrying `value`. Returns {parts, bytes, kept}: the
 * Buffers to write, their total length, the paths held back.
 */
function encode(header, value) {
    const into = { extras: [], buffers: [], kept: [], ancestors: new Set() };
    if (value !== undefined) {
        header = Object.assign({}, header, { v: plain(value, [], into, 0) });
        if (into.extras.length) {
            header.x = into.extras;
        }
    }
    const head = Buffer.from(JSON.stringify(header), 'utf8');
    let body = 0;
    for (const buffer of into.buffers) {
        body += buffer.length;
    }
    const prefix = Buffer.allocUnsafe(PREFIX);
    prefix.writeUInt32BE(head.length, 0);
    prefix.writeUInt32BE(body, 4);
    return { parts: [prefix, head, ...into.buffers], bytes: PREFIX + head.length + body, kept: into.kept };
}

function place(root, path, item) {
    if (path.length === 0) {
        return item;
    }
    let parent = root;
    for (let i = 0; i < path.length - 1; i++) {
        parent = parent[path[i]];
    }
    parent[path[path.length - 1]] = item;
    return root;
}

const FLOATS = { nan: NaN, inf: Infinity, '-inf': -Infinity };

/** The header of one whole frame, its value in place. */
function decode(frame) {
    const headLength = frame.readUInt32BE(0);
    const header = JSON.parse(frame.toString('utf8', PREFIX, PREFIX + headLength));
    let offset = PREFIX + headLength;
    let value = header.v;
    for (const [path, kind, length] of header.x || []) {
        let item = FLOATS[kind];
        if (kind === 'b') {
            item = frame.subarray(offset, offset + length);
            offset += length;
        }
        value = place(value, path, item);
    }
    delete header.x;
    header.v = value;
    return header;
}

/** Cuts a byte stream into frames, handing each whole to `onFrame`. */
// A frame larger than this is gathered into its own Buffer as its chunks
// arrive (the copying overlaps the peer's writing), not joined at its end.
const GATHER_FROM = 256 * 1024;

class FrameParser {
    constructor(onFrame) {
        this.onFrame = onFrame;
        this.chunks = [];
        this.length = 0;
        this.big = null; // {buffer, filled}: a large frame being gathered
    }

    push(chunk) {
        if (this.big) {
            chunk = this.gather(chunk);
            if (chunk === null) {
                return;
            }
        }
        this.chunks.push(chunk);
        this.length += chunk.length;
        while (this.length >= PREFIX) {
            let first = this.chunks[0];
            if (first.length < PREFIX) {
                first = this.join();
            }
            const size = PREFIX + first.readUInt32BE(0) + first.readUInt32BE(4);
            if (this.length < size) {
                if (size >= GATHER_FROM) {
                    this.big = { buffer: Buffer.allocUnsafeSlow(size), filled: 0 };
                    const held = this.chunks;
                    this.chunks = [];
                    this.length = 0;
                    for (const part of held) {
                        this.gather(part);
                    }
                }
                return;
            }
            if (first.length < size) {
                first = this.join();
            }
            this.chunks[0] = first.subarray(size);
            this.length -= size;
            if (this.chunks[0].length === 0) {
                this.chunks.shift();
            }
            this.onFrame(first.subarray(0, size));
        }
    }

    /** Copies `chunk` into the large frame; hands the frame on once whole and returns what follows it (null: nothing). */
    gather(chunk) {
        const big = this.big;
        const take = Math.min(chunk.length, big.buffer.length - big.filled);
        chunk.copy(big.buffer, big.filled, 0, take);
        big.filled += take;
        if (big.filled < big.buffer.length) {
            return null;
        }
        this.big = null;
        this.onFrame(big.buffer);
        return take < chunk.length ? chunk.subarray(take) : null;
    }

    join() {
        const whole = Buffer.concat(this.chunks, this.length);
        this.chunks = [whole];
        return whole;
    }
}

/**
 * Puts back on `out` (a message leaving the node) what was held back from
 * `original` (the message that came in): at each held path, the first
 * level missing from `out` gets the original's value.
 */
function restore(out, original, kept) {
    if (out === null || typeof out !== 'object') {
        return;
    }
    for (const path of kept) {
        let target = out;
        let source = original;
        for (let i = 0; i < path.length; i++) {
            if (target === null || typeof target !== 'object' || source === null || typeof source !== 'object') {
                break;
            }
            const key = path[i];
            if (target[key] === undefined || target[key] === null) {
                target[key] = source[key];
                break;
            }
            target = target[key];
            source = source[key];
        }
    }
}

module.exports = { encode, decode, restore, FrameParser, CannotCross, MAX_DEPTH };
