'use strict';
/**
 * The node package's example flow, detection-stream.json, in the pinned
 * Node-RED runtime (through its test helper), with a throwaway redis-server
 * and mosquitto of its own: frames (the example's photographs, read here)
 * go into its cascade detector; a frame is through when its payload reaches
 * the flow's `mqtt in` node. In the same run, the same handlers as a process
 * per message: a python per frame that runs the three stages' code and
 * publishes to the same broker, timed up to the same `mqtt in` node.
 *
 * Each Python stage here adds its handler's own time (measured in Python)
 * to the message, so that the host's share of a frame's time shows: the
 * time from the frame in to the publishing node's output, less the time of
 * the handlers.
 *
 * Used by bench_node_red.js: `await detectionStream(tools)`.
 */
const { spawn, execFile } = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const nodeRedDir = path.join(__dirname, '..', 'node-red');
const EXAMPLE = path.join(nodeRedDir, 'examples', 'detection-stream.json');
const LATENCY_FRAMES = 15;
const RATE_FRAMES = 30;
const PROCESS_FRAMES = 5;
const WAIT_MS = 60000;

// Appended to each stage's code: its handler's time, added up on the message.
const TIMED = `
import time as _bench_time
_bench_handler = on_input
def on_input(msg, node):
    started = _bench_time.perf_counter()
    out = _bench_handler(msg, node)
    if isinstance(out, dict):
        out["handler_s"] = msg.get("handler_s", 0.0) + _bench_time.perf_counter() - started
    return out
`;

// The stages' code run once, in a process of its own, on the frame on stdin.
const ONE_FRAME = `
import json, sys, types
class Node:
    def __init__(self, record):
        self.id, self.type, self.name = record["id"], record["type"], record.get("name", "")
    def status(self, *args, **fields):
        pass
    def log(self, text):
        pass
    warn = debug = error = log
with open(sys.argv[1], encoding="utf-8") as file:
    stages = json.load(file)
msg = {"payload": sys.stdin.buffer.read(), "topic": sys.argv[2], "frame": json.loads(sys.argv[3])}
for record in stages:
    module = types.ModuleType("stage")
    exec(compile(record["code"], record["name"], "exec"), module.__dict__)
    node = Node(record)
    if hasattr(module, "setup"):
        module.setup(node)
    msg = module.on_input(msg, node)
`;

function freePort() {
    return new Promise((resolve, reject) => {
        const server = net.createServer();
        server.on('error', reject);
        server.listen(0, '127.0.0.1', () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

function portOpen(port) {
    return new Promise((resolve) => {
        const socket = net.connect(port, '127.0.0.1');
        socket.on('connect', () => {
            socket.destroy();
            resolve(true);
        });
        socket.on('error', () => resolve(false));
    });
}

/** A server of ours on a free loopback port; `stop()` ends it. */
async function startServer(program, args, dir) {
    const port = await freePort();
    const child = spawn(program, args(port, dir), { stdio: 'ignore', cwd: dir });
    let exited = false;
    child.on('exit', () => {
        exited = true;
    });
    child.on('error', () => {
        exited = true;
    });
    for (let i = 0; i < 500 && !exited; i++) {
        if (await portOpen(port)) {
            return { port, stop: () => exited || child.kill('SIGKILL') };
        }
        await new Promise((resolve) => setTimeout(resolve, 20));
    }
    child.kill('SIGKILL');
    throw new Error(`${program} did not start`);
}

function which(program) {
    for (const dir of (process.env.PATH || '').split(':').concat(['/usr/sbin', '/usr/local/sbin'])) {
        const candidate = path.join(dir, program);
        if (fs.existsSync(candidate)) {
            return candidate;
        }
    }
    return null;
}

/** The example's records pointed at our servers, its Python stages timed. */
function flowFor(redisPort, brokerPort, python) {
    const records = JSON.parse(fs.readFileSync(EXAMPLE, 'utf8'));
    for (const record of records) {
        if (record.type === 'nalo-redis-server') {
            record.url = `redis://127.0.0.1:${redisPort}/0`;
        } else if (record.type === 'nalo-mqtt-broker') {
            record.url = `mqtt://127.0.0.1:${brokerPort}`;
        } else if (record.type === 'mqtt-broker') {
            Object.assign(record, { broker: '127.0.0.1', port: String(brokerPort) });
        } else if (record.type === 'nalo-python') {
            Object.assign(record, { interpreter: python, code: record.code + TIMED, queueCount: 1000 });
        } else if (record.type === 'debug') {
            record.type = 'helper'; // collects what reaches it
        }
    }
    return records;
}

/** The chain of Python nodes from the inject node down the wires. */
function stagesOf(records) {
    const byId = new Map(records.map((r) => [r.id, r]));
    const stages = [];
    let current = records.find((r) => r.type === 'inject');
    for (;;) {
        const next = (current.wires || []).flat().map((id) => byId.get(id)).find((r) => r && r.type === 'nalo-python');
        if (!next) {
            return stages;
        }
        stages.push(next);
        current = next;
    }
}

function nodeModules(helperRequire) {
    const pkg = JSON.parse(fs.readFileSync(path.join(nodeRedDir, 'package.json'), 'utf8'));
    const own = Object.values(pkg['node-red'].nodes).map((file) => require(path.join(nodeRedDir, file)));
    const core = ['common/20-inject.js', 'common/25-catch.js', 'common/90-comment.js', 'network/10-mqtt.js'];
    return own.concat(core.map((file) => helperRequire(`@node-red/nodes/core/${file}`)));
}

async function detectionStream({ helper, unspied, figure, target, quantile, now, PYTHON }) {
    console.log('\n== the example flow detection-stream.json: cascade detector → per-class NMS → publish → mqtt in');
    const records = JSON.parse(fs.readFileSync(EXAMPLE, 'utf8'));
    const frameSource = records.find((r) => r.type === 'inject');
    const { directory, files } = JSON.parse(frameSource.payload);
    const photos = files.map((name) => path.join(directory, name));
    const missing = ['redis-server', 'mosquitto'].filter((p) => !which(p)).concat(photos.filter((p) => !fs.existsSync(p)));
    if (missing.length) {
        console.log(`  skipped: not installed: ${missing.join(', ')} (Debian's redis-server, mosquitto, opencv-doc)`);
        return;
    }
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'nalo-bench-stream-'));
    const servers = [];
    // A bench ended by a signal still ends the servers it started.
    const stopAll = () => {
        servers.forEach((server) => server.stop());
        fs.rmSync(dir, { recursive: true, force: true });
    };
    const onSignal = (signal) => {
        stopAll();
        process.exit(128 + os.constants.signals[signal]);
    };
    process.on('exit', stopAll);
    process.once('SIGINT', onSignal);
    process.once('SIGTERM', onSignal);
    try {
        servers.push(await startServer(which('redis-server'), (port) => ['--port', String(port), '--bind', '127.0.0.1', '--save', '', '--appendonly', 'no'], dir));
        const redisPort = servers[0].port;
        servers.push(await startServer(which('mosquitto'), (port) => {
            fs.writeFileSync(path.join(dir, 'mosquitto.conf'), `listener ${port} 127.0.0.1\nallow_anonymous true\npersistence false\n`);
            return ['-c', path.join(dir, 'mosquitto.conf')];
        }, dir));
        const brokerPort = servers[1].port;
        const flow = flowFor(redisPort, brokerPort, PYTHON);
        const stages = stagesOf(flow);
        const [detector, publisher] = [stages[1], stages[stages.length - 1]];
        const mqttIn = flow.find((r) => r.type === 'mqtt in');
        const receivedAt = mqttIn.wires[0][0];
        const publishedAt = publisher.wires[0][0];
        await helper.load(nodeModules((name) => require(name)), flow);
        unspied(flow.map((r) => r.id));
        const frames = photos.map((file, index) => ({ payload: fs.readFileSync(file), topic: path.basename(file), frame: { index, name: path.basename(file), path: file } }));
        const detectorNode = helper.getNode(detector.id);
        const received = helper.getNode(receivedAt);
        const published = helper.getNode(publishedAt);
        // A message at Catch ends the run at once, with what it says.
        let abort = () => {};
        helper.getNode(flow.find((r) => r.type === 'catch').wires[0][0]).on('input', (msg) => {
            abort(new Error(`a stage failed: ${msg.error && msg.error.message}`));
        });
        const within = (promise, what) => Promise.race([promise, new Promise((_, reject) => {
            abort = reject;
            setTimeout(() => reject(new Error(`${what} within ${WAIT_MS / 1000} s`)), WAIT_MS).unref();
        })]);

        // One frame at a time: its time to the mqtt in node, and the host's share.
        const send = (i) => detectorNode.receive(Object.assign({}, frames[i % frames.length], { frame: Object.assign({}, frames[i % frames.length].frame, { index: i }) }));
        // The payload may reach mqtt in before the publishing node's output
        // reaches the node behind it (the broker forwards while Python waits
        // for its acknowledgement): a frame is done when both have.
        const oneFrame = (i) => new Promise((resolve) => {
            const start = now();
            const seen = {};
            const both = () => seen.out && seen.total && resolve(Object.assign(seen.out, { total: seen.total }));
            published.once('input', (msg) => {
                seen.out = { ms: now() - start, handlers: msg.handler_s * 1000, detect: msg.payload['inference time(sec)'] * 1000 };
                both();
            });
            received.once('input', () => {
                seen.total = now() - start;
                both();
            });
            send(i);
        });
        const timedFrame = (i) => within(oneFrame(i), `no payload of frame ${i} at the mqtt in node`);
        await mqttConnected(helper, flow);
        await timedFrame(0); // the worker's first frame: OpenCV's first calls
        const samples = [];
        for (let i = 1; i <= LATENCY_FRAMES; i++) {
            samples.push(await timedFrame(i));
        }
        const latency = quantile(samples.map((s) => s.total), 0.5);
        const overhead = samples.map((s) => s.ms - s.handlers);
        figure('frame → mqtt in, p50 / max', `${latency.toFixed(1)} / ${Math.max(...samples.map((s) => s.total)).toFixed(1)}`, 'ms');
        figure('detector own time p50 (in Python)', quantile(samples.map((s) => s.detect), 0.5), 'ms');
        figure('all handlers p50 (in Python)', quantile(samples.map((s) => s.handlers), 0.5), 'ms');
        figure('host overhead per frame p50 / p90', `${quantile(overhead, 0.5).toFixed(3)} / ${quantile(overhead, 0.9).toFixed(3)}`, 'ms');
        figure(`  of that, per Python node (${stages.length - 1} on the way)`, quantile(overhead, 0.5) / (stages.length - 1), 'ms');

        // Frames at once: the rate the flow sustains.
        const all = new Promise((resolve) => {
            let seen = 0;
            const listener = () => {
                seen += 1;
                if (seen === RATE_FRAMES) {
                    received.removeListener('input', listener);
                    resolve();
                }
            };
            received.on('input', listener);
        });
        const start = now();
        for (let i = 0; i < RATE_FRAMES; i++) {
            send(100 + i);
        }
        await within(all, `not all ${RATE_FRAMES} frames at the mqtt in node`);
        const flowRate = RATE_FRAMES / ((now() - start) / 1000);
        figure(`rate, ${RATE_FRAMES} frames at once`, flowRate, 'frames/s');

        // The same handlers, a process per frame, up to the same mqtt in node.
        const stagesFile = path.join(dir, 'stages.json');
        fs.writeFileSync(stagesFile, JSON.stringify(stages.slice(1).map((r) => ({ id: r.id, type: r.type, name: r.name, code: r.code }))));
        const env = Object.assign({}, process.env, { NALO_NODE_ID: publisher.id, NALO_NODE_TYPE: 'nalo-python', NALO_MQTT_URL: `mqtt://127.0.0.1:${brokerPort}` });
        const perProcess = [];
        for (let i = 0; i < PROCESS_FRAMES; i++) {
            const frame = frames[i % frames.length];
            const arrived = new Promise((resolve) => received.once('input', resolve));
            const began = now();
            await new Promise((resolve, reject) => {
                const child = execFile(PYTHON, ['-c', ONE_FRAME, stagesFile, frame.topic, JSON.stringify(frame.frame)], { env }, (err, _out, stderr) => (err ? reject(new Error(stderr || err.message)) : resolve()));
                child.stdin.end(frame.payload);
            });
            await within(arrived, 'no payload of the process at the mqtt in node');
            perProcess.push(now() - began);
        }
        const processMs = quantile(perProcess, 0.5);
        const processRate = 1000 / processMs;
        figure('process per frame, frame → mqtt in p50', processMs, 'ms');
        figure('process per frame, rate', processRate, 'frames/s');
        await helper.unload();
        target('detection stream rate, Python node / process per frame', flowRate / processRate, '>=', 10, 'x');
        target('detection stream host overhead per frame p50', quantile(overhead, 0.5), '<=', 1, 'ms');
    } finally {
        stopAll();
        process.removeListener('exit', stopAll);
        process.removeListener('SIGINT', onSignal);
        process.removeListener('SIGTERM', onSignal);
    }
}

/** Resolves once the flow's MQTT broker node is connected (its subscription made). */
async function mqttConnected(helper, flow) {
    const config = helper.getNode(flow.find((r) => r.type === 'mqtt-broker').id);
    for (let i = 0; i < 500 && !config.connected; i++) {
        await new Promise((resolve) => setTimeout(resolve, 20));
    }
    await new Promise((resolve) => setTimeout(resolve, 200)); // the SUBACK
}

module.exports = { detectionStream };
