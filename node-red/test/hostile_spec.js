'use strict';
const { describe, it, afterEach, before, after } = require('node:test');
const assert = require('node:assert');
const { helper, collect, load, statusMatching, PYTHON } = require('./support');

function alive(pid) {
    try {
        process.kill(pid, 0);
        return true;
    } catch (_) {
        return false;
    }
}

describe('nalo-python under hostile code and values', () => {
    before(() => new Promise((resolve) => helper.startServer(resolve)));
    after(() => new Promise((resolve) => helper.stopServer(resolve)));
    afterEach(() => helper.unload());

    const deaths = [
        ['os._exit', 'os._exit(3)', /code 3/],
        ['SIGKILL', 'os.kill(os.getpid(), signal.SIGKILL)', /signal SIGKILL/],
        ['segfault', 'ctypes.string_at(0)', /signal SIGSEGV/],
    ];
    for (const [name, death, words] of deaths) {
        it(`a worker dying mid-message (${name}) fails that message only`, async () => {
            const code = `import os, signal, ctypes\ndef on_input(msg, node):\n    if msg['payload'] == 'die':\n        ${death}\n    return msg\n`;
            const { py, out, caught } = await load(code);
            const failed = collect(caught, 1);
            const served = collect(out, 2);
            for (const payload of ['die', 'after-1', 'after-2']) {
                py.receive({ payload });
            }
            const [msg] = await failed;
            assert.strictEqual(msg.error.code, 'ERR_WORKER_EXITED');
            assert.match(msg.error.message, words);
            assert.deepStrictEqual((await served).map((m) => m.payload), ['after-1', 'after-2']);
        });
    }

    const junk = [
        "print('hello')",
        "print('no newline', end='')",
        "print('x' * 10000)",
        "print('{\"t\": \"done\", \"seq\": 1}')",
        "os.write(1, b'\\xff\\xfe\\x00raw')",
        "os.write(2, bytes(70000))",
    ];
    it('what the code writes on stdout or stderr never touches the messages', async () => {
        const code = `import os\nJUNK = [${junk.map((j) => `lambda: ${j}`).join(', ')}]\ndef on_input(msg, node):\n    for j in JUNK:\n        j()\n    return msg\n`;
        const { py, out } = await load(code);
        const got = collect(out, 2);
        py.receive({ payload: 1 });
        py.receive({ payload: 2 });
        assert.deepStrictEqual((await got).map((m) => m.payload), [1, 2]);
    });

    const values = [
        ['emoji', 'a😀b'],
        ['lone surrogate', 'x\ud800y'],
        ['NUL', 'a\u0000b'],
        ['a Buffer', Buffer.from([0, 255, 1])],
        ['a 64 MiB Buffer', Buffer.alloc(64 << 20, 7)],
        ['NaN and infinities', [NaN, Infinity, -Infinity]],
        ['deep nesting', JSON.parse('['.repeat(400) + ']'.repeat(400))],
    ];
    for (const [name, payload] of values) {
        it(`${name} crosses both ways unchanged`, async () => {
            const { py, out } = await load('def on_input(msg, node):\n    return msg\n');
            const got = collect(out, 1);
            py.receive({ payload });
            const [msg] = await got;
            assert.deepStrictEqual(msg.payload, payload);
        });
    }

    it('what cannot cross stays in Node.js and is put back', async () => {
        const { py, out } = await load("def on_input(msg, node):\n    return {'payload': sorted(msg.keys())}\n");
        const got = collect(out, 1);
        class Response { end() {} }
        const msg = { payload: 1, res: { _res: new Response(), send() {} }, req: new Response(), fn() {} };
        msg.self = msg;
        py.receive(msg);
        const [sent] = await got;
        assert.deepStrictEqual(sent.payload, ['_msgid', 'payload', 'res']);
        assert.strictEqual(sent.req, msg.req);
        assert.strictEqual(sent.res._res, msg.res._res);
        assert.strictEqual(typeof sent.fn, 'function');
    });

    const failures = [
        ['a missing interpreter', { interpreter: '/nonexistent/python3' }, '', 'ERR_INTERPRETER', /not found/],
        ['a missing kit', { interpreter: PYTHON }, '', 'ERR_KIT_MISSING', /kit is not installed/, { PYTHONPATH: '' }],
        ['a failing setup', {}, "def setup(node):\n    raise OSError('no camera')\n", 'OSError', /setup failed: no camera/],
    ];
    for (const [name, config, code, errCode, words, env] of failures) {
        it(`${name} gives a red status and a Catch message`, async () => {
            const saved = process.env.PYTHONPATH;
            if (env) {
                process.env.PYTHONPATH = env.PYTHONPATH;
            }
            try {
                const red = new Promise((resolve) => {
                    helper.load(require('../nalo-python.js'), require('./support').flow(code, config)).then(() => {
                        resolve([collect(helper.getNode('caught'), 1), statusMatching(helper.getNode('py'), /failed/)]);
                    });
                });
                const [caught, status] = await red;
                const [msg] = await caught;
                assert.strictEqual(msg.error.code, errCode);
                assert.match(msg.error.message, words);
                assert.strictEqual((await status).fill, 'red');
            } finally {
                process.env.PYTHONPATH = saved;
            }
        });
    }

    // A sleep takes the KeyboardInterrupt; a regular expression backtracking in C
    // holds the interpreter and never sees it: the worker is killed and restarted.
    const slow = [
        ['sleeps', 'time.sleep(60)', /was interrupted/],
        ['sits in C code', "re.match('(a*)*b', 'a' * 64)", /the worker was killed/],
    ];
    for (const [name, body, words] of slow) {
        it(`a handler that ${name} past its timeout fails that message and the node goes on`, async () => {
            const code = `import re, time\ndef on_input(msg, node):\n    if msg['payload'] == 'slow':\n        ${body}\n    return msg\n`;
            const { py, out, caught } = await load(code, { timeout: 0.3 });
            const failed = collect(caught, 1);
            const served = collect(out, 1);
            py.receive({ payload: 'slow' });
            py.receive({ payload: 'quick' });
            const [msg] = await failed;
            assert.strictEqual(msg.error.code, 'ERR_TIMEOUT');
            assert.match(msg.error.message, words);
            assert.strictEqual((await served)[0].payload, 'quick');
        });
    }

    it('a full queue refuses with its own error', async () => {
        const code = "import time\ndef on_input(msg, node):\n    time.sleep(0.2)\n    return msg\n";
        const { py, caught } = await load(code, { queueCount: 1 });
        const refused = collect(caught, 1);
        for (let i = 0; i < 40; i++) {
            py.receive({ payload: i });
        }
        assert.strictEqual((await refused)[0].error.code, 'ERR_QUEUE_FULL');
    });

    const stubborn = [
        ['sleeps', 'time.sleep(60)'],
        ['ignores SIGTERM', 'signal.signal(signal.SIGTERM, signal.SIG_IGN); time.sleep(60)'],
        ['holds a grandchild', "subprocess.Popen(['sleep', '60']); time.sleep(60)"],
        ['sits in C code', "re.match('(a*)*b', 'a' * 64)"],
    ];
    for (const [name, body] of stubborn) {
        it(`close ends a worker whose handler ${name}, and all it started`, async () => {
            const code = `import os, re, signal, subprocess, time\ndef on_input(msg, node):\n    node.send({'payload': os.getpid()})\n    ${body}\n`;
            const { py, out } = await load(code);
            const got = collect(out, 1);
            py.receive({ payload: 1 });
            const pid = (await got)[0].payload;
            await helper.unload();
            assert.strictEqual(alive(pid), false);
        });
    }
});
