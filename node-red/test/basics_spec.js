'use strict';
const { describe, it, afterEach, before, after } = require('node:test');
const assert = require('node:assert');
const { helper, collect, load } = require('./support');

describe('nalo-python', () => {
    before(() => new Promise((resolve) => helper.startServer(resolve)));
    after(() => new Promise((resolve) => helper.stopServer(resolve)));
    afterEach(() => helper.unload());

    it('runs on_input on each message in order', async () => {
        const { py, out } = await load('def on_input(msg, node):\n    msg["payload"] *= 2\n    return msg\n');
        const got = collect(out, 3);
        for (const n of [1, 2, 3]) {
            py.receive({ payload: n });
        }
        assert.deepStrictEqual((await got).map((m) => m.payload), [2, 4, 6]);
    });

    it('hands exceptions to Catch with type, code and traceback', async () => {
        const { py, caught } = await load('def on_input(msg, node):\n    raise ValueError("bad " + msg["payload"])\n');
        const got = collect(caught, 1);
        py.receive({ payload: 'x' });
        const [msg] = await got;
        assert.strictEqual(msg.error.message, 'ValueError: bad x');
        assert.strictEqual(msg.error.code, 'ValueError');
        assert.match(msg.error.stack, /File "<node pynode>", line 2, in on_input/);
    });
});
