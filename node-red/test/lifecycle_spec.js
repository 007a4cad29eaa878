'use strict';
const { describe, it, afterEach, before, after } = require('node:test');
const assert = require('node:assert');
const { helper, pythonNode, collect, load, statusMatching, PYTHON } = require('./support');

/** Every status the node shows from now on, in order. */
function statuses(node) {
    const seen = [];
    const original = node.status.bind(node);
    node.status = (status) => {
        seen.push(status);
        original(status);
    };
    return seen;
}

describe('nalo-python worker lifecycle and flow control', () => {
    before(() => new Promise((resolve) => helper.startServer(resolve)));
    after(() => new Promise((resolve) => helper.stopServer(resolve)));
    afterEach(() => helper.unload());

    it('a worker that keeps crashing restarts with a doubling delay and shows a crash loop', async () => {
        const { py } = await load('import os\nos._exit(4)\n');
        const seen = statuses(py);
        await statusMatching(py, /crash loop/);
        const restarts = seen.map((s) => s.text).filter((t) => /restart/.test(t));
        assert.deepStrictEqual(restarts, [
            'restart 1 in 0.5 s (code 4)',
            'restart 2 in 1.0 s (code 4)',
            'crash loop, restart 3 in 2.0 s (code 4)',
        ]);
    });

    // 40 messages at a handler taking 20 ms: 32 go to the worker at once, the
    // queue holds 2 of the rest, the policy decides about the other 6.
    const policies = [
        ['refuse', [...range(0, 34)], 6, 'refused'],
        ['drop-newest', [...range(0, 34)], 0, 'dropped'],
        ['drop-oldest', [...range(0, 32), 38, 39], 0, 'dropped'],
    ];
    for (const [policy, served, refused, counter] of policies) {
        it(`a full queue with policy ${policy}`, async () => {
            const code = 'import time\ndef on_input(msg, node):\n    time.sleep(0.02)\n    return msg\n';
            const { py, out, caught } = await load(code, { queueCount: 2, policy });
            await statusMatching(py, /^ready/);
            const counted = statusMatching(py, new RegExp(`^ready, 6 ${counter}$`));
            const got = collect(out, served.length);
            const errors = [];
            caught.on('input', (msg) => errors.push(msg.error.code));
            for (const payload of range(0, 40)) {
                py.receive({ payload });
            }
            assert.deepStrictEqual((await got).map((m) => m.payload), served);
            await counted;
            assert.deepStrictEqual(errors, Array(refused).fill('ERR_QUEUE_FULL'));
        });
    }

    it('nodes naming the same worker share one process, each with its own code', async () => {
        const code = (tag) => `import os\ndef on_input(msg, node):\n    return {'payload': [os.getpid(), node.id, '${tag}']}\n`;
        const node = (id, tag, worker) => ({
            id, type: 'nalo-python', z: 'flow1', interpreter: PYTHON, code: code(tag), outputs: 1, worker, wires: [['out']],
        });
        await helper.load(pythonNode, [
            { id: 'flow1', type: 'tab' },
            node('p1', 'one', 'shared'),
            node('p2', 'two', 'shared'),
            node('p3', 'three', ''),
            { id: 'out', type: 'helper', z: 'flow1' },
        ]);
        const got = collect(helper.getNode('out'), 3);
        for (const id of ['p1', 'p2', 'p3']) {
            helper.getNode(id).receive({ payload: 0 });
        }
        const answers = Object.fromEntries((await got).map((m) => [m.payload[1], m.payload]));
        assert.deepStrictEqual([answers.p1[2], answers.p2[2], answers.p3[2]], ['one', 'two', 'three']);
        assert.strictEqual(answers.p1[0], answers.p2[0]);
        assert.notStrictEqual(answers.p1[0], answers.p3[0]);
    });

    it('a flood of status updates reaches the editor a few times a second, the last one kept', async () => {
        const code = "import time\ndef on_input(msg, node):\n    for i in range(3000):\n        node.status({'text': str(i)})\n        time.sleep(0.0002)\n    return msg\n";
        const { py, out } = await load(code);
        await statusMatching(py, /^ready/);
        const seen = statuses(py);
        const started = Date.now();
        const last = statusMatching(py, /^2999$/);
        py.receive({ payload: 1 });
        await collect(out, 1);
        await last;
        const seconds = (Date.now() - started) / 1000;
        assert.ok(seen.length <= 2 + seconds * 4, `${seen.length} updates in ${seconds} s`);
    });
});

function* range(from, to) {
    for (let i = from; i < to; i++) {
        yield i;
    }
}
