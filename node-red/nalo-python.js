'use strict';
/**
 * The Python node: a message goes through the node's Python code, run in a
 * persistent worker process (python3 -m nalo_sdk.host from the nalo_sdk kit).
 */
const { Worker, guarded } = require('./lib/worker');
const { Client } = require('./lib/client');
const { serviceOf } = require('./lib/services');

const POLICIES = ['refuse', 'drop-oldest', 'drop-newest'];

// The flows deployed last ({flows, rev}), per runtime: workers ask for them
// (the kit's NaloFlow(), the stream cleanup). Node-RED announces them before
// it starts any node of them.
const deployedByRuntime = new WeakMap();

function deployedFlows(events) {
    let deployed = deployedByRuntime.get(events);
    if (!deployed) {
        deployed = { current: null };
        deployedByRuntime.set(events, deployed);
        events.on('flows:starting', guarded(() => {}, (event) => {
            if (event && event.config && Array.isArray(event.config.flows)) {
                deployed.current = { flows: event.config.flows, rev: event.config.rev || null };
            }
        }));
    }
    return () => deployed.current;
}

function number(value, fallback, min) {
    const n = Number(value);
    return Number.isFinite(n) && n >= min ? n : fallback;
}

module.exports = function (RED) {
    // Workers shared by several nodes, by interpreter and worker name.
    const shared = new Map();
    const flowsNow = deployedFlows(RED.events);

    function workerOptions(config) {
        return {
            interpreter: String(config.interpreter || '').trim() || 'python3',
            timeout: number(config.timeout, 0, 0) * 1000,
            queueCount: Math.floor(number(config.queueCount, 100, 1)),
            queueBytes: number(config.queueMiB, 64, 0.001) * 1024 * 1024,
            policy: POLICIES.includes(config.policy) ? config.policy : 'refuse',
            deployedFlows: flowsNow,
        };
    }

    /** What the node's code gets from the configuration nodes: {redis, broker, problem}. */
    function servicesOf(config) {
        const redis = serviceOf(RED, config.redis, 'nalo-redis-server');
        const broker = serviceOf(RED, config.broker, 'nalo-mqtt-broker');
        const problems = [redis.problem, broker.problem].filter(Boolean);
        return {
            redis: redis.value || null,
            broker: broker.value || null,
            problem: problems.length ? problems.join('; ') : null,
        };
    }

    function sourceOf(config) {
        if (config.sourceKind === 'file') {
            return { file: String(config.file || '') };
        }
        if (config.sourceKind === 'module') {
            return { module: String(config.module || '') };
        }
        return { code: String(config.code || '') };
    }

    function NaloPythonNode(config) {
        RED.nodes.createNode(this, config);
        const node = this;
        const options = workerOptions(config);
        const group = String(config.worker || '').trim();
        let worker;
        let release;
        if (group) {
            const key = `${options.interpreter}\0${group}`;
            worker = shared.get(key);
            if (!worker) {
                worker = new Worker(options);
                shared.set(key, worker);
            }
            release = () => {
                if (worker.clients.size > 0) {
                    return Promise.resolve();
                }
                shared.delete(key);
                return worker.stop();
            };
        } else {
            // The kit's constants (NODE_ID, NODE_TYPE) name the node its worker runs.
            worker = new Worker(Object.assign({ env: { NALO_NODE_ID: node.id, NALO_NODE_TYPE: node.type } }, options));
            release = () => worker.stop();
        }
        const client = new Client(RED, node, {
            outputs: number(config.outputs, 1, 0),
            source: sourceOf(config),
            services: servicesOf(config),
            clearStream: config.clearStream === true || config.clearStream === 'true',
            dedicated: !group,
        });
        const report = (err) => client.log('error', `python node: ${err && err.stack}`);
        guarded(report, () => worker.attach(client))();

        node.on('input', (msg, send, done) => {
            try {
                client.input(worker, msg, send, done);
            } catch (err) {
                done(client.scrubError(err));
            }
        });
        node.on('close', (removed, done) => {
            try {
                client.close(worker, removed, release, done);
            } catch (err) {
                report(err);
                done();
            }
        });
    }

    RED.nodes.registerType('nalo-python', NaloPythonNode, {
        credentials: {
            username: { type: 'text' },
            password: { type: 'password' },
            token: { type: 'password' },
        },
    });
};
