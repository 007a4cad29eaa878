'use strict';
/**
 * The Python node in the pinned Node-RED runtime (through its test helper):
 * latency and rate of small messages (inject → Python node → collecting
 * node), Buffer round trips, worker ready, crash and close times, deploys
 * and a flood; and in the same run the two baselines, a process per message
 * running the same handler and the raw pipe floor. Prints figures, then one
 * line per target.
 *
 *   cd node-red && NODE_PATH=<node-red install>/node_modules PYTHONPATH=<kit> \
 *     node --expose-gc ../benchmarks/bench_node_red.js [--flood-seconds N]
 */
const { spawn, execFile } = require('child_process');
const fs = require('fs');
const path = require('path');

const nodeRedDir = path.join(__dirname, '..', 'node-red');
const { helper, pythonNode, collect, PYTHON } = require(path.join(nodeRedDir, 'test', 'support'));
const { Client } = require(path.join(nodeRedDir, 'lib', 'client'));
const { detectionStream } = require('./bench_detection_stream');
const injectNode = require('@node-red/nodes/core/common/20-inject.js');
const catchNode = require('@node-red/nodes/core/common/25-catch.js');
const NodePrototype = require('@node-red/runtime/lib/nodes/Node').prototype;

// The helper wraps these methods of every node in sinon spies that record each
// call until unload: a cost of the helper, not of the node, and memory that
// grows with every message. Each deploy here puts the runtime's own back
// (a node with wires holds its own reference to `send`).
const SPIED = ['log', 'status', 'warn', 'error', 'debug', 'trace', 'send'];
const runtimeMethods = Object.fromEntries(SPIED.map((name) => [name, NodePrototype[name]]));
function unspied(ids) {
    helper._sandbox.restore();
    Object.assign(NodePrototype, runtimeMethods);
    for (const id of ids) {
        const node = helper.getNode(id);
        if (node && Object.prototype.hasOwnProperty.call(node, 'send')) {
            node.send = runtimeMethods.send;
        }
    }
}

const argFlood = process.argv.indexOf('--flood-seconds');
const FLOOD_SECONDS = argFlood > 0 ? Number(process.argv[argFlood + 1]) : 60;
const argOnly = process.argv.indexOf('--only');
const ONLY = argOnly > 0 ? process.argv[argOnly + 1].split(',') : null;
const ECHO = 'def on_input(msg, node):\n    return msg\n';
const targets = [];

const now = () => Number(process.hrtime.bigint()) / 1e6; // ms
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function quantile(samples, q) {
    const sorted = [...samples].sort((a, b) => a - b);
    return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

function figure(name, value, unit) {
    console.log(`  ${name.padEnd(44)} ${typeof value === 'number' ? value.toFixed(3) : value} ${unit}`);
}

function target(name, value, op, limit, unit) {
    const ok = op === '<=' ? value <= limit : value >= limit;
    const shown = unit === 'msgs/s' || unit === '' ? `${Math.round(value)}` : `${value.toFixed(3)}`;
    targets.push(`target ${name}: ${shown}${unit ? ' ' + unit : ''} (goal ${op} ${limit}${unit ? ' ' + unit : ''}) ${ok ? 'ok' : 'MISS'}`);
}

function alive(pid) {
    try {
        process.kill(pid, 0);
    } catch (_) {
        return false;
    }
    try {
        return fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1][0] !== 'Z';
    } catch (_) {
        return false;
    }
}

/** Resident memory (KiB) of a process; ours after a full collection when node runs with --expose-gc. */
function rssKiB(pid) {
    if (pid === process.pid && global.gc) {
        global.gc();
    }
    const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
    return Number(/VmRSS:\s+(\d+)/.exec(status)[1]);
}

/** inject → py → out, with a Catch; returns the nodes. */
async function deploy(code, config = {}) {
    const flow = [
        { id: 'f1', type: 'tab' },
        { id: 'inj', type: 'inject', z: 'f1', props: [{ p: 'payload' }], payload: 'hello', payloadType: 'str', wires: [['py']] },
        Object.assign({ id: 'py', type: 'nalo-python', z: 'f1', interpreter: PYTHON, code, outputs: 1, queueCount: 100000, queueMiB: 1024, wires: [['out']] }, config),
        { id: 'out', type: 'helper', z: 'f1' },
        { id: 'catcher', type: 'catch', z: 'f1', scope: null, wires: [['caught']] },
        { id: 'caught', type: 'helper', z: 'f1' },
    ];
    await helper.load([injectNode, catchNode, pythonNode], flow);
    unspied(flow.map((n) => n.id));
    const nodes = {};
    for (const id of ['inj', 'py', 'out', 'caught']) {
        nodes[id] = helper.getNode(id);
    }
    await collectAfter(nodes.out, () => nodes.py.receive({ payload: 'warm-up' }));
    return nodes;
}

/** Calls `send`, resolves with the time until the first message at `node`. */
function collectAfter(node, send) {
    const got = collect(node, 1);
    const start = now();
    send();
    return got.then((msgs) => ({ ms: now() - start, msg: msgs[0] }));
}

function oneByOne(node, send, count) {
    const samples = [];
    let chain = Promise.resolve();
    for (let i = 0; i < count; i++) {
        chain = chain.then(() => collectAfter(node, send).then((r) => samples.push(r.ms)));
    }
    return chain.then(() => samples);
}

async function smallMessages() {
    console.log('\n== small message: inject → Python node → collecting node (one worker, trivial handler)');
    const { inj, out } = await deploy(ECHO);
    const samples = await oneByOne(out, () => inj.receive({}), 2000);
    const p50 = quantile(samples, 0.5);
    const p99 = quantile(samples, 0.99);
    figure('latency p50', p50, 'ms');
    figure('latency p99', p99, 'ms');
    const count = 20000;
    const all = collect(out, count);
    const start = now();
    for (let i = 0; i < count; i++) {
        inj.receive({});
    }
    await all;
    const rate = count / ((now() - start) / 1000);
    figure(`rate, ${count} messages at once`, rate, 'msgs/s');
    await helper.unload();
    target('small message p50', p50, '<=', 0.5, 'ms');
    target('small message p99', p99, '<=', 3, 'ms');
    target('small messages per second', rate, '>=', 5000, 'msgs/s');
    return { p50 };
}

async function buffers() {
    console.log('\n== Buffer round trips through the Python node (returned as received)');
    const { py, out } = await deploy(ECHO);
    const result = {};
    for (const [name, size, limit] of [['1 MiB', 1 << 20, 3], ['6 MiB', 6 << 20, 10]]) {
        const payload = Buffer.alloc(size, 7);
        const samples = await oneByOne(out, () => py.receive({ payload }), size > 2 << 20 ? 60 : 150);
        const p50 = quantile(samples, 0.5);
        figure(`${name} p50 / p99`, `${p50.toFixed(3)} / ${quantile(samples, 0.99).toFixed(3)}`, 'ms');
        target(`${name} Buffer round trip p50`, p50, '<=', limit, 'ms');
        result[name] = p50;
    }
    await helper.unload();
    return result;
}

async function readyCrashClose() {
    console.log('\n== worker ready, crash, close');
    // Ready: from the deploy to the worker's hello, no user imports.
    const readies = [];
    const original = Client.prototype.workerState;
    let startedAt = 0;
    let readyAt = 0;
    Client.prototype.workerState = function (state, detail) {
        if (state === 'ready' && !readyAt) {
            readyAt = now();
        }
        return original.call(this, state, detail);
    };
    try {
        for (let i = 0; i < 15; i++) {
            readyAt = 0;
            startedAt = now();
            await helper.load(pythonNode, [{ id: 'f1', type: 'tab' }, { id: 'py', type: 'nalo-python', z: 'f1', interpreter: PYTHON, code: ECHO, wires: [] }]);
            unspied(['py']);
            while (!readyAt) {
                await sleep(1);
            }
            readies.push(readyAt - startedAt);
            await helper.unload();
        }
    } finally {
        Client.prototype.workerState = original;
    }
    const ready = quantile(readies, 0.5);
    figure('deploy to worker ready p50 / max', `${ready.toFixed(1)} / ${Math.max(...readies).toFixed(1)}`, 'ms');
    target('worker ready p50', ready, '<=', 100, 'ms');

    // A worker dying mid-message: the time until that message is at Catch.
    // Each time once the restarted worker serves again (restarts back off).
    const crashes = [];
    const nodes = await deploy("import os\ndef on_input(msg, node):\n    if msg['payload'] == 'die':\n        os._exit(1)\n    return msg\n");
    for (let i = 0; i < 4; i++) {
        await collectAfter(nodes.out, () => nodes.py.receive({ payload: 'ok' }));
        crashes.push((await collectAfter(nodes.caught, () => nodes.py.receive({ payload: 'die' }))).ms);
    }
    await helper.unload();
    const crash = quantile(crashes, 0.5);
    figure('crash to message at Catch p50 / max', `${crash.toFixed(1)} / ${Math.max(...crashes).toFixed(1)}`, 'ms');
    target('crash to Catch p50', crash, '<=', 100, 'ms');

    // Close: a handler that returns, and one that sleeps ignoring SIGTERM.
    for (const [name, code, limit] of [
        ['cooperating', ECHO, 2000],
        ['not cooperating', "import signal, time\nsignal.signal(signal.SIGTERM, signal.SIG_IGN)\ndef on_input(msg, node):\n    node.send(msg)\n    time.sleep(60)\n", 5000],
    ]) {
        const nodes = await deploy(code);
        nodes.py.receive({ payload: 'busy' });
        await sleep(50);
        const start = now();
        await helper.unload();
        const ms = now() - start;
        figure(`close, ${name}`, ms, 'ms');
        target(`close ${name}`, ms, '<=', limit, 'ms');
    }
}

async function deploys() {
    console.log('\n== 100 deploys and removals');
    const pids = [];
    const code = "import os\ndef on_input(msg, node):\n    msg['payload'] = os.getpid()\n    return msg\n";
    const start = now();
    for (let i = 0; i < 100; i++) {
        const { py, out } = await deploy(code);
        pids.push((await collectAfter(out, () => py.receive({ payload: 0 }))).msg.payload);
        await helper.unload();
    }
    figure('100 deploy, message, removal cycles', (now() - start) / 1000, 's');
    await sleep(200);
    const left = pids.filter(alive).length;
    figure('distinct workers started / left running', `${new Set(pids).size} / ${left}`, '');
    target('workers left after 100 deploys', left, '<=', 0, '');
}

async function flood() {
    console.log(`\n== a 10-times flood for ${FLOOD_SECONDS} s (handler 5 ms, 2000 messages/s offered, drop-oldest)`);
    const code = "import time\ndef on_input(msg, node):\n    time.sleep(0.005)\n    return msg\n";
    const { inj, out } = await deploy(code, { queueCount: 200, policy: 'drop-oldest' });
    let served = 0;
    out.on('input', () => {
        served += 1;
    });
    const workerPid = await new Promise((resolve) => {
        // The worker's pid: the only child of ours in its own process group.
        execFile('pgrep', ['-P', String(process.pid), '-f', 'nalo_sdk.host'], (err, stdout) => resolve(err ? null : Number(stdout.trim().split('\n')[0])));
    });
    const timer = setInterval(() => {
        for (let i = 0; i < 20; i++) {
            inj.receive({});
        }
    }, 10);
    const warm = Math.min(10, FLOOD_SECONDS / 6) * 1000;
    await sleep(warm);
    const before = rssKiB(process.pid) + (workerPid ? rssKiB(workerPid) : 0);
    await sleep(FLOOD_SECONDS * 1000 - warm);
    const after = rssKiB(process.pid) + (workerPid ? rssKiB(workerPid) : 0);
    clearInterval(timer);
    await helper.unload();
    const growth = ((after - before) / before) * 100;
    figure('served per second', served / FLOOD_SECONDS, 'msgs/s');
    figure('resident memory (Node.js + worker) after warm-up / at end', `${before} / ${after}`, 'KiB');
    target('memory growth under a 10-times flood', growth, '<=', 10, '%');
}

/** A process per message running the same handler (JSON on stdin and stdout). */
async function processPerMessage() {
    console.log('\n== baseline: a process per message, the same handler');
    const script = 'import json, sys\ndef on_input(msg, node):\n    return msg\njson.dump(on_input(json.load(sys.stdin), None), sys.stdout)\n';
    const samples = [];
    for (let i = 0; i < 30; i++) {
        const start = now();
        await new Promise((resolve, reject) => {
            const child = execFile(PYTHON, ['-c', script], (err) => (err ? reject(err) : resolve()));
            child.stdin.end(JSON.stringify({ payload: 'hello' }));
        });
        samples.push(now() - start);
    }
    figure('small message p50 / p99', `${quantile(samples, 0.5).toFixed(3)} / ${quantile(samples, 0.99).toFixed(3)}`, 'ms');
}

/** The raw pipe floor: length-prefixed frames echoed by a Python process, no Node-RED. */
async function pipeFloor() {
    console.log('\n== baseline: raw pipe floor (length-prefixed echo, Node.js ↔ Python)');
    const script = [
        'import os, struct',
        'def read(n):',
        '    parts = []',
        '    while n:',
        '        b = os.read(0, min(n, 1 << 20))',
        '        if not b:',
        '            raise SystemExit',
        '        parts.append(b); n -= len(b)',
        "    return b''.join(parts)",
        'while True:',
        '    head = read(4)',
        "    body = read(struct.unpack('>I', head)[0])",
        '    os.write(1, head)',
        '    view = memoryview(body)',
        '    while view:',
        '        view = view[os.write(1, view):]',
    ].join('\n');
    const child = spawn(PYTHON, ['-c', script], { stdio: ['pipe', 'pipe', 'inherit'] });
    let chunks = [];
    let have = 0;
    let want = -1;
    let resolveOne = null;
    child.stdout.on('data', (chunk) => {
        chunks.push(chunk);
        have += chunk.length;
        if (want < 0 && have >= 4) {
            want = Buffer.concat(chunks).readUInt32BE(0) + 4;
        }
        if (want >= 0 && have >= want) {
            chunks = [];
            have = 0;
            want = -1;
            resolveOne();
        }
    });
    const roundTrip = (body) => new Promise((resolve) => {
        resolveOne = resolve;
        const head = Buffer.alloc(4);
        head.writeUInt32BE(body.length);
        child.stdin.write(head);
        child.stdin.write(body);
    });
    for (const [name, size, count] of [['small', 40, 2000], ['1 MiB', 1 << 20, 150], ['6 MiB', 6 << 20, 60]]) {
        const body = Buffer.alloc(size, 7);
        const samples = [];
        for (let i = 0; i < count; i++) {
            const start = now();
            await roundTrip(body);
            samples.push(now() - start);
        }
        figure(`${name} round trip p50 / p99`, `${quantile(samples, 0.5).toFixed(3)} / ${quantile(samples, 0.99).toFixed(3)}`, 'ms');
    }
    child.stdin.end();
    await new Promise((resolve) => child.on('exit', resolve));
}

async function main() {
    await new Promise((resolve) => helper.startServer(resolve));
    try {
        console.log(`Node.js ${process.version}, Python ${PYTHON}, ${require('os').cpus().length} cores`);
        const parts = [
            ['small', smallMessages],
            ['buffers', buffers],
            ['lifecycle', readyCrashClose],
            ['deploys', deploys],
            ['baselines', processPerMessage],
            ['baselines', pipeFloor],
            ['flood', flood],
            ['detection', () => detectionStream({ helper, unspied, figure, target, quantile, now, PYTHON })],
        ];
        for (const [name, part] of parts) {
            if (!ONLY || ONLY.includes(name)) {
                await part();
            }
        }
    } finally {
        await new Promise((resolve) => helper.stopServer(resolve));
    }
    console.log('');
    for (const line of targets) {
        console.log(line);
    }
}

main().then(
    () => process.exit(0),
    (err) => {
        console.error(err);
        process.exit(1);
    },
);
