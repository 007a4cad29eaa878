'use strict';
/**
 * One Python worker process (`python3 -m nalo_sdk.host`) and the nodes it
 * serves: by default one, several when nodes share a worker.
 *
 * Frames go to the worker on its fd 3 and come back on its fd 4; its
 * stdout and stderr are the user's text, logged line by line. Messages
 * keep their order per worker through one bounded queue; up to WINDOW of
 * them are written ahead so that the worker never waits for Node.js.
 *
 * Every callback here (process, stream, timer) catches what it calls: an
 * exception escaping one would end the whole Node-RED process.
 */
const { spawn } = require('child_process');
const { encode, decode, restore, FrameParser } = require('./frames');
const { failure, pythonError, exitWords } = require('./errors');
const { LineLog } = require('./lines');

const WINDOW = 32;
const BACKOFF_FIRST = 500;
const BACKOFF_MAX = 30000;
const HEALTHY_AFTER = 60000;
const INTERRUPT_GRACE = 1000;
const TERM_GRACE = 1000;

function killGroup(pid, signal) {
    try {
        process.kill(-pid, signal);
    } catch (_) {
        // the group is gone already
    }
}

/** Calls `fn`, reporting what it throws instead of letting it escape. */
function guarded(report, fn) {
    return function (...args) {
        try {
            return fn.apply(this, args);
        } catch (err) {
            try {
                report(err);
            } catch (_) {
                // nothing left to tell
            }
        }
    };
}

class Worker {
    /**
     * options: interpreter, env (extra variables), queueCount, queueBytes,
     * policy ('refuse' | 'drop-oldest' | 'drop-newest'), timeout (ms, 0: none).
     */
    constructor(options) {
        this.options = options;
        this.clients = new Map(); // node id -> client (see ../nalo-python.js)
        this.queue = [];
        this.queuedBytes = 0;
        this.inFlight = [];
        this.seq = 0;
        this.child = null;
        this.state = 'idle';
        this.restarts = 0;
        this.backoff = BACKOFF_FIRST;
        this.restartTimer = null;
        this.timeoutTimer = null;
        this.permanent = null; // a failure that no restart mends
        this.stopping = false;
        this.batching = false; // frames of one chunk being handled: pump after them
        this.report = (err) => this.forEachClient((c) => c.log('error', `python worker: ${err && err.stack}`));
    }

    forEachClient(fn) {
        for (const client of this.clients.values()) {
            fn(client);
        }
    }

    setState(state, detail) {
        this.state = state;
        this.forEachClient((c) => c.workerState(state, detail));
    }

    // Process

    start() {
        this.permanent = null;
        this.setState('starting');
        const env = Object.assign({}, process.env, { PYTHONUNBUFFERED: '1' }, this.options.env);
        let child;
        try {
            child = spawn(this.options.interpreter, ['-m', 'nalo_sdk.host'], {
                stdio: ['ignore', 'pipe', 'pipe', 'pipe', 'pipe'],
                detached: true, // its own process group, killed as one
                env,
                windowsHide: true,
            });
        } catch (err) {
            this.onGone(null, { spawnError: err });
            return;
        }
        const run = { child, hello: null, gone: false, startedAt: Date.now(), stderr: [] };
        this.child = run;
        const onError = guarded(this.report, (err) => this.onGone(run, { spawnError: err }));
        child.on('error', onError);
        child.on('exit', guarded(this.report, (code, signal) => this.onGone(run, { code, signal })));
        const parser = new FrameParser(guarded(this.report, (frame) => this.onFrame(run, decode(frame))));
        // The answers of one chunk free their places at once: one pump, one write.
        child.stdio[4].on('data', guarded(this.report, (chunk) => {
            this.batching = true;
            try {
                parser.push(chunk);
            } finally {
                this.batching = false;
            }
            if (this.child === run) {
                this.pump();
            }
        }));
        for (const fd of [1, 2, 3, 4]) {
            child.stdio[fd].on('error', () => {}); // the exit says what happened
        }
        const logTo = () => this.logTarget();
        run.stdout = new LineLog('info', logTo, null);
        run.stderrLog = new LineLog('warn', logTo, run.stderr);
        child.stdio[1].on('data', guarded(this.report, (chunk) => run.stdout.push(chunk)));
        child.stdio[2].on('data', guarded(this.report, (chunk) => run.stderrLog.push(chunk)));
    }

    logTarget() {
        const head = this.inFlight[0];
        return head ? head.client : this.clients.values().next().value;
    }

    write(run, header, value) {
        const frame = encode(header, value);
        this.writeParts(run, frame.parts);
        return frame;
    }

    writeParts(run, parts) {
        const pipe = run.child.stdio[3];
        if (!pipe.writable) {
            return;
        }
        pipe.cork();
        for (const part of parts) {
            pipe.write(part);
        }
        pipe.uncork();
    }

    onGone(run, how) {
        if (run) {
            if (run.gone) {
                return;
            }
            run.gone = true;
            run.stdout.flush();
            run.stderrLog.flush();
        }
        if (run !== this.child && run !== null) {
            return;
        }
        this.child = null;
        this.clearTimeoutTimer();
        if (this.stopping) {
            if (this.onStopped) {
                this.onStopped();
            }
            return;
        }
        const err = failure.fromExit(this.options.interpreter, run, how);
        if (err.permanent) {
            this.permanent = err;
            this.failAll(err);
            this.setState('failed', err.message);
            this.forEachClient((c) => c.reportFailure(err));
            return;
        }
        // The message that was running gets the error; the others wait for the next worker.
        const head = this.inFlight.shift();
        if (head) {
            head.finish(head.failure || err);
        }
        this.queue.unshift(...this.inFlight.map((entry) => Object.assign(entry, { sent: false })));
        this.inFlight = [];
        this.forEachClient((c) => c.resetOpen());
        if (run && Date.now() - run.startedAt >= HEALTHY_AFTER) {
            this.backoff = BACKOFF_FIRST;
        }
        const delay = this.backoff;
        this.backoff = Math.min(this.backoff * 2, BACKOFF_MAX);
        this.restarts += 1;
        this.setState('restarting', { count: this.restarts, delay, why: exitWords(how) });
        this.restartTimer = setTimeout(guarded(this.report, () => {
            this.restartTimer = null;
            this.start();
        }), delay);
    }

    // Frames from Python

    onFrame(run, frame) {
        if (run !== this.child) {
            return;
        }
        const client = this.clients.get(frame.node);
        switch (frame.t) {
            case 'hello':
                run.hello = frame;
                this.setState('ready', 0);
                this.forEachClient((c) => this.open(c));
                return;
            case 'opened':
            case 'open_failed':
                if (client) {
                    client.opened(frame.t === 'opened' ? null : pythonError(frame.error, 'ERR_SETUP'));
                    this.pump();
                }
                return;
            case 'done':
            case 'error':
                this.onAnswer(frame);
                return;
            case 'closed':
                if (this.closing && this.closing[frame.node]) {
                    this.closing[frame.node]();
                }
                return;
            case 'flows':
                this.answerFlows(run, frame);
                return;
            default:
                break;
        }
        if (!client) {
            return;
        }
        const entry = frame.seq === null || frame.seq === undefined ? null : this.inFlight.find((e) => e.seq === frame.seq);
        if (frame.t === 'send') {
            client.output(frame.v, entry);
        } else if (frame.t === 'status') {
            client.userStatus(frame.v);
        } else if (frame.t === 'log') {
            client.userLog(frame.level, frame.text, frame.v, entry);
        } else if (frame.t === 'stream') {
            client.streamState(frame, entry);
        }
    }

    /** The deployed flows, for the worker that asked (the kit's NaloFlow(), the stream cleanup). */
    answerFlows(run, frame) {
        const deployed = this.options.deployedFlows ? this.options.deployedFlows() : null;
        const header = { t: 'reply', req: frame.req };
        let error = 'the host has not seen a deployment of flows yet';
        if (deployed) {
            try {
                this.write(run, header, deployed);
                return;
            } catch (err) {
                error = `the deployed flows cannot cross to Python: ${err.message}`;
            }
        }
        this.write(run, Object.assign(header, { error }));
    }

    onAnswer(frame) {
        const head = this.inFlight[0];
        if (!head || head.seq !== frame.seq) {
            return; // an answer to a message already failed by a timeout
        }
        this.inFlight.shift();
        this.clearTimeoutTimer();
        if (frame.t === 'done') {
            if (frame.v !== undefined && frame.v !== null) {
                head.client.output(frame.v, head);
            }
            head.finish();
        } else if (frame.interrupted && head.timedOut) {
            head.finish(failure.timeout(this.options.timeout, frame.error.stack));
        } else {
            head.finish(pythonError(frame.error));
        }
        this.startTimeoutTimer();
        if (!this.batching) {
            this.pump();
        }
    }

    open(client) {
        const run = this.child;
        if (!run || !run.hello || client.openSent) {
            return;
        }
        client.openSent = true;
        this.write(run, { t: 'open' }, client.openConfig());
    }

    // Queue

    nextSeq() {
        this.seq += 1;
        return this.seq;
    }

    enqueue(entry) {
        if (this.permanent) {
            entry.finish(this.permanent);
            return;
        }
        const opts = this.options;
        // A message alone is always taken, however large: the bound is on the backlog.
        while (this.queue.length > 0 &&
            (this.queue.length >= opts.queueCount || this.queuedBytes + entry.bytes > opts.queueBytes)) {
            if (opts.policy === 'refuse') {
                entry.client.count('refused');
                entry.finish(failure.queueFull(this.queue.length, this.queuedBytes));
                return;
            }
            if (opts.policy === 'drop-newest') {
                entry.client.count('dropped');
                entry.finish();
                return;
            }
            const oldest = this.queue.shift();
            this.queuedBytes -= oldest.bytes;
            oldest.client.count('dropped');
            oldest.finish();
        }
        this.queue.push(entry);
        this.queuedBytes += entry.bytes;
        this.pump();
    }

    pump() {
        const run = this.child;
        if (!run || !run.hello) {
            this.showDepth();
            return;
        }
        let i = 0;
        // One write for all the frames that go now.
        const pipe = run.child.stdio[3];
        pipe.cork();
        try {
            while (this.inFlight.length < WINDOW && i < this.queue.length) {
                const entry = this.queue[i];
                if (!entry.client.isOpen) {
                    i += 1; // its node is still starting; later ones of other nodes go on
                    continue;
                }
                if (i === 0) {
                    this.queue.shift(); // cheap at the head of a long queue
                } else {
                    this.queue.splice(i, 1);
                }
                this.queuedBytes -= entry.bytes;
                if (entry.client.openError) {
                    entry.finish(entry.client.openError);
                    continue;
                }
                this.writeParts(run, entry.frame.parts);
                this.inFlight.push(entry);
                if (this.inFlight.length === 1) {
                    this.startTimeoutTimer();
                }
            }
        } finally {
            pipe.uncork();
        }
        this.showDepth();
    }

    showDepth() {
        const depth = this.queue.length + this.inFlight.length;
        if (this.state === 'ready' || this.state === 'busy') {
            this.setState(depth ? 'busy' : 'ready', depth);
        }
    }

    failAll(err) {
        const entries = this.inFlight.concat(this.queue);
        this.inFlight = [];
        this.queue = [];
        this.queuedBytes = 0;
        for (const entry of entries) {
            entry.finish(err);
        }
    }

    // Timeouts: an interrupt first (KeyboardInterrupt in the handler), then a kill.

    startTimeoutTimer() {
        const head = this.inFlight[0];
        const run = this.child;
        if (!head || !run || !(this.options.timeout > 0)) {
            return;
        }
        this.timeoutTimer = setTimeout(guarded(this.report, () => {
            head.timedOut = true;
            this.write(run, { t: 'interrupt', seq: head.seq });
            this.timeoutTimer = setTimeout(guarded(this.report, () => {
                this.timeoutTimer = null;
                head.failure = failure.timeout(this.options.timeout, null);
                killGroup(run.child.pid, 'SIGKILL');
            }), INTERRUPT_GRACE);
        }), this.options.timeout);
    }

    clearTimeoutTimer() {
        if (this.timeoutTimer) {
            clearTimeout(this.timeoutTimer);
            this.timeoutTimer = null;
        }
    }

    // Clients

    attach(client) {
        this.clients.set(client.id, client);
        if (this.permanent) {
            client.workerState('failed', this.permanent.message);
            client.reportFailure(this.permanent);
        } else if (!this.child && !this.restartTimer) {
            this.start();
        } else {
            client.workerState(this.state, this.state === 'busy' ? this.queue.length + this.inFlight.length : undefined);
            this.open(client);
        }
    }

    /** Runs the node's close hook in Python within `deadline` (ms since the epoch). */
    closeNode(client, removed, deadline) {
        return new Promise((resolve) => {
            const run = this.child;
            if (!run || !run.hello || !client.openSent) {
                resolve();
                return;
            }
            this.closing = this.closing || {};
            const timer = setTimeout(finish, Math.max(0, deadline - Date.now()));
            function finish() {
                clearTimeout(timer);
                resolve();
            }
            this.closing[client.id] = finish;
            this.write(run, { t: 'close', node: client.id, removed: Boolean(removed) });
        });
    }

    detach(client) {
        this.clients.delete(client.id);
        for (const list of [this.queue, this.inFlight]) {
            for (const entry of list.filter((e) => e.client === client)) {
                entry.finish(failure.closed());
            }
        }
        this.queue = this.queue.filter((e) => e.client !== client);
        this.queuedBytes = this.queue.reduce((sum, e) => sum + e.bytes, 0);
    }

    /** Ends the process: its pipe closed, TERM, then KILL, to the whole group. */
    stop() {
        this.stopping = true;
        if (this.restartTimer) {
            clearTimeout(this.restartTimer);
            this.restartTimer = null;
        }
        this.clearTimeoutTimer();
        const run = this.child;
        if (!run) {
            return Promise.resolve();
        }
        return new Promise((resolve) => {
            const timer = setTimeout(guarded(this.report, () => killGroup(run.child.pid, 'SIGKILL')), TERM_GRACE);
            this.onStopped = () => {
                clearTimeout(timer);
                killGroup(run.child.pid, 'SIGKILL'); // what the user's code started
                resolve();
            };
            run.child.stdio[3].end();
            killGroup(run.child.pid, 'SIGTERM');
        });
    }
}

module.exports = { Worker, guarded, killGroup };
