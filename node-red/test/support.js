'use strict';
/**
 * The runtime for the node's tests: the pinned Node-RED and its test helper
 * (tools/node-red, `make node-red`, found through NODE_PATH), and a worker
 * interpreter that imports the staged kit (PYTHONPATH, from `make test`).
 */
const helper = require('node-red-node-test-helper');
const pythonNode = require('../nalo-python.js');

helper.init(require.resolve('node-red'));

const PYTHON = process.env.NALO_TEST_PYTHON || '/usr/bin/python3.11';

/** A flow: a tab, the Python node `py` with `code` wired to a helper node `out`, and a Catch. */
function flow(code, config = {}) {
    return [
        { id: 'flow1', type: 'tab' },
        Object.assign(
            { id: 'py', type: 'nalo-python', z: 'flow1', name: 'pynode', interpreter: PYTHON, code, outputs: 1, wires: [['out']] },
            config,
        ),
        { id: 'out', type: 'helper', z: 'flow1' },
        { id: 'catcher', type: 'catch', z: 'flow1', scope: null, uncaught: false, wires: [['caught']] },
        { id: 'caught', type: 'helper', z: 'flow1' },
    ];
}

/** Resolves with the next `count` messages a helper node receives, then stops listening. */
function collect(node, count) {
    return new Promise((resolve) => {
        const seen = [];
        const listener = (msg) => {
            seen.push(msg);
            if (seen.length === count) {
                node.removeListener('input', listener);
                resolve(seen);
            }
        };
        node.on('input', listener);
    });
}

/** Resolves when the node shows a status whose text matches `pattern`. */
function statusMatching(node, pattern) {
    return new Promise((resolve) => {
        const original = node.status.bind(node);
        node.status = (status) => {
            original(status);
            if (status && pattern.test(status.text || '')) {
                resolve(status);
            }
        };
    });
}

async function load(code, config, credentials) {
    await helper.load(pythonNode, flow(code, config), credentials);
    return {
        py: helper.getNode('py'),
        out: helper.getNode('out'),
        caught: helper.getNode('caught'),
    };
}

module.exports = { helper, pythonNode, flow, collect, statusMatching, load, PYTHON };
