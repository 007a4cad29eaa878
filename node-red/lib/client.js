'use strict';
/**
 * One Python node as its worker sees it: its messages in, its outputs,
 * logs and status out, its close.
 */
const { encode, restore } = require('./frames');
const { failure } = require('./errors');
const { StatusLight } = require('./status');
const { guarded, killGroup } = require('./worker');
const { scrub } = require('./services');

const DRAIN_GRACE = 1000;
const CLOSE_HOOK_BY = 3000;
const CLOSE_LIMIT = 4500;
// Shorter secrets are not hunted in texts: masking every "ab" would garble them.
const SHORTEST_SECRET = 3;

class Client {
    constructor(RED, node, options) {
        this.RED = RED;
        this.node = node;
        this.id = node.id;
        this.options = options;
        this.services = options.services || { redis: null, broker: null, problem: null };
        this.secrets = this.secretsOf(node.credentials || {});
        // Every text that leaves for Node-RED (log, status, errors) passes scrub().
        this.light = new StatusLight({ status: (status) => node.status(this.scrubStatus(status)) });
        this.opens = 0;
        this.streamProblem = null;
        this.lastState = ['starting'];
        this.counters = { dropped: 0, refused: 0 };
        this.pending = 0;
        this.onDrained = null;
        this.closing = false;
        this.resetOpen();
    }

    resetOpen() {
        this.isOpen = false;
        this.openSent = false;
        this.openError = null;
        this.userStatusShown = false;
    }

    secretsOf(credentials) {
        const { redis, broker } = this.services;
        return [credentials.password, credentials.token, redis && redis.password, broker && broker.password]
            .filter((s) => typeof s === 'string' && s.length >= SHORTEST_SECRET)
            .sort((a, b) => b.length - a.length);
    }

    scrub(text) {
        return scrub(text, this.secrets);
    }

    scrubStatus(status) {
        return status && typeof status.text === 'string' ? Object.assign({}, status, { text: this.scrub(status.text) }) : status;
    }

    scrubError(err) {
        if (err && this.secrets.length) {
            for (const key of ['message', 'stack']) {
                if (typeof err[key] === 'string') {
                    err[key] = this.scrub(err[key]);
                }
            }
        }
        return err;
    }

    /**
     * The `open` frame's value: the node, its code, and what the kit takes
     * from the host (nalo_sdk.settings): the Redis server and MQTT broker of
     * the configuration nodes, with their passwords, and `flows` (the
     * worker may ask for the deployed flows). `restart` says that the node
     * is opened again in a restarted worker, not started anew.
     */
    openConfig() {
        const node = this.node;
        const { redis, broker, problem } = this.services;
        this.opens += 1;
        return {
            id: node.id,
            type: node.type,
            name: node.name || '',
            z: node.z || '',
            outputs: this.options.outputs,
            credentials: node.credentials || {},
            source: this.options.source,
            dedicated: Boolean(this.options.dedicated),
            restart: this.opens > 1,
            clearStream: Boolean(this.options.clearStream),
            settings: { redis, broker, flows: true, problem },
        };
    }

    opened(err) {
        this.isOpen = true;
        this.openError = err;
        if (err) {
            this.light.set({ fill: 'red', shape: 'dot', text: 'setup failed' });
            this.reportFailure(err);
        } else {
            this.workerState('ready', 0);
        }
    }

    // Status

    counterText() {
        return Object.entries(this.counters)
            .filter(([, n]) => n)
            .map(([kind, n]) => `, ${n} ${kind}`)
            .join('');
    }

    workerState(state, detail) {
        this.lastState = [state, detail];
        if (this.openError && state !== 'restarting') {
            return;
        }
        if (state === 'failed') {
            this.light.set({ fill: 'red', shape: 'dot', text: `failed: ${detail}` });
        } else if (state === 'restarting') {
            const seconds = (detail.delay / 1000).toFixed(1);
            const words = detail.count >= 3 ? 'crash loop, restart' : 'restart';
            this.light.set({ fill: 'yellow', shape: 'ring', text: `${words} ${detail.count} in ${seconds} s (${detail.why})` });
        } else if (state === 'starting' || !this.isOpen) {
            this.light.set({ fill: 'grey', shape: 'ring', text: 'starting' });
        } else if (this.streamProblem && !this.userStatusShown) {
            this.light.set({ fill: 'red', shape: 'ring', text: this.streamProblem });
        } else if (!this.userStatusShown) {
            const text = state === 'busy' ? `busy: ${detail} queued` : 'ready';
            this.light.set({ fill: state === 'busy' ? 'blue' : 'green', shape: 'dot', text: text + this.counterText() });
        }
    }

    count(kind) {
        this.counters[kind] += 1;
    }

    userStatus(status) {
        this.userStatusShown = !status.clear;
        this.light.set(status.clear ? {} : status);
    }

    // Logs and errors

    log(level, text) {
        const node = this.node;
        text = this.scrub(text);
        if (level === 'error') {
            node.error(text);
        } else if (level === 'warn') {
            node.warn(text);
        } else if (level === 'debug') {
            node.debug(text);
        } else {
            node.log(text);
        }
    }

    /** An error of the node itself (interpreter, kit, setup): for Catch nodes too. */
    reportFailure(err) {
        this.scrubError(err);
        this.node.error(err, { _msgid: this.RED.util.generateId(), payload: err.message, error: err });
    }

    /**
     * The stream keys of the node (nalo_sdk/host/stream.py): a failure to
     * store or clear them is an error for Catch nodes (with the message being
     * handled, if any) and a red ring until they are stored again.
     */
    streamState(frame, entry) {
        if (frame.ok) {
            if (this.streamProblem) {
                this.streamProblem = null;
                this.workerState(...this.lastState);
            }
            if (frame.text) {
                this.log('info', frame.text);
            }
            return;
        }
        this.streamProblem = this.scrub(frame.status || frame.text).slice(0, 120);
        const msg = entry ? entry.msg : { _msgid: this.RED.util.generateId() };
        this.node.error(this.scrub(frame.text), msg);
        this.workerState(...this.lastState);
    }

    userLog(level, text, value, entry) {
        if (level !== 'error') {
            this.log(level, text);
            return;
        }
        let msg = entry ? entry.msg : { _msgid: this.RED.util.generateId() };
        if (value && typeof value === 'object') {
            msg = this.restored(value, entry);
        }
        this.node.error(this.scrub(text), msg);
    }

    // Messages

    restored(value, entry) {
        if (entry && value && typeof value === 'object' && !Array.isArray(value)) {
            restore(value, entry.msg, entry.kept);
        }
        return value;
    }

    output(value, entry) {
        if (Array.isArray(value)) {
            for (const item of value) {
                if (Array.isArray(item)) {
                    item.forEach((m) => this.restored(m, entry));
                } else {
                    this.restored(item, entry);
                }
            }
        } else {
            this.restored(value, entry);
        }
        if (entry) {
            entry.send(value);
        } else {
            this.node.send(value);
        }
    }

    input(worker, msg, send, done) {
        let finished = false;
        const entry = {
            client: this,
            msg,
            send,
            finish: (err) => {
                if (finished) {
                    return;
                }
                finished = true;
                this.pending -= 1;
                try {
                    if (err) {
                        done(this.scrubError(err));
                    } else {
                        done();
                    }
                } finally {
                    if (this.pending === 0 && this.onDrained) {
                        this.onDrained();
                    }
                }
            },
        };
        this.pending += 1;
        if (this.closing) {
            entry.finish(failure.closed());
            return;
        }
        try {
            entry.seq = worker.nextSeq();
            entry.frame = encode({ t: 'msg', node: this.id, seq: entry.seq }, msg);
        } catch (err) {
            entry.finish(err);
            return;
        }
        entry.kept = entry.frame.kept;
        entry.bytes = entry.frame.bytes;
        worker.enqueue(entry);
    }

    drained(deadline) {
        return new Promise((resolve) => {
            if (this.pending === 0) {
                resolve();
                return;
            }
            const timer = setTimeout(resolve, Math.max(0, deadline - Date.now()));
            this.onDrained = () => {
                clearTimeout(timer);
                resolve();
            };
        });
    }

    /**
     * Stops intake, lets queued messages finish within DRAIN_GRACE, runs the
     * close hook, and releases the worker (`release` ends it when no other
     * node uses it). `done` is called once, within CLOSE_LIMIT whatever the
     * user's code does.
     */
    close(worker, removed, release, done) {
        const start = Date.now();
        let called = false;
        const finish = () => {
            if (called) {
                return;
            }
            called = true;
            clearTimeout(hardStop);
            this.light.stop();
            done();
        };
        const hardStop = setTimeout(guarded(finish, () => {
            if (worker.clients.size <= 1 && worker.child) {
                killGroup(worker.child.child.pid, 'SIGKILL');
            }
            finish();
        }), CLOSE_LIMIT);
        this.closing = true;
        (async () => {
            await this.drained(start + DRAIN_GRACE);
            await worker.closeNode(this, removed, start + CLOSE_HOOK_BY);
            worker.detach(this);
            await release();
        })().then(finish, (err) => {
            this.log('warn', `close: ${err && err.stack}`);
            finish();
        });
    }
}

module.exports = { Client };
