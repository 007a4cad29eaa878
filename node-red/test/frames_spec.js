'use strict';
const { describe, it } = require('node:test');
const assert = require('node:assert');
const { encode, decode, FrameParser } = require('../lib/frames');

describe('frames cut into chunks', () => {
    // Small frames around large ones (gathered as they arrive), in one stream.
    const values = [
        { payload: 'a😀' },
        { payload: Buffer.alloc(300 * 1024, 1) },
        { payload: 2 },
        { payload: Buffer.alloc(1 << 20, 3), more: Buffer.from('xyz') },
        { payload: Buffer.alloc(256 * 1024 - 40, 4) },
        { payload: 'end' },
    ];
    const stream = Buffer.concat(values.flatMap((v, seq) => encode({ t: 'msg', seq }, v).parts));
    const cuts = [
        ['the whole stream at once', () => stream.length],
        ['one byte at a time', () => 1],
        ['7 bytes', () => 7],
        ['pipe-sized chunks', () => 65536],
        ['uneven chunks', (i) => [3, 65536, 11, 200000, 5][i % 5]],
    ];
    for (const [name, size] of cuts) {
        it(`every frame whole and in order: ${name}`, () => {
            const got = [];
            const parser = new FrameParser((frame) => got.push(decode(frame)));
            for (let at = 0, i = 0; at < stream.length; i++) {
                const next = Math.min(stream.length, at + size(i));
                parser.push(stream.subarray(at, next));
                at = next;
            }
            assert.deepStrictEqual(got.map((f) => f.seq), values.map((_, seq) => seq));
            assert.deepStrictEqual(got.map((f) => f.v), values);
        });
    }
});
