'use strict';
const { describe, it, afterEach, before, after } = require('node:test');
const assert = require('node:assert');
const { helper, pythonNode, flow, collect, statusMatching } = require('./support');
const redisServer = require('../nalo-redis-server.js');
const mqttBroker = require('../nalo-mqtt-broker.js');

const SECRET_R = 'redis-pw-7Qx';
const SECRET_M = 'mqtt-pw-9Zk';
const KIT = `
import os
from nalo_sdk import constants
from nalo_sdk.mqtt import NaloPublisher
from nalo_sdk.nodered import NaloFlow
from nalo_sdk.redis import NaloRedis
`;

/** The flow of support.flow with a Redis server `rs` and a broker `mb`, and the Python node using them. */
function servicesFlow(code, config = {}, urls = {}) {
    return flow(code, Object.assign({ redis: 'rs', broker: 'mb' }, config)).concat([
        { id: 'rs', type: 'nalo-redis-server', name: 'store', url: urls.redis || 'redis://127.0.0.1:1/0' },
        { id: 'mb', type: 'nalo-mqtt-broker', url: urls.mqtt || 'mqtt://127.0.0.1:1' },
    ]);
}
const CREDENTIALS = { rs: { password: SECRET_R }, mb: { username: 'cam', password: SECRET_M } };

async function loadServices(code, config, urls) {
    await helper.load([pythonNode, redisServer, mqttBroker], servicesFlow(code, config, urls), CREDENTIALS);
    return { py: helper.getNode('py'), out: helper.getNode('out'), caught: helper.getNode('caught') };
}

/** Every text the runtime logged so far. */
function logged() {
    return JSON.stringify(helper.log().args);
}

describe('nalo-python with a Redis server and an MQTT broker', () => {
    before(() => new Promise((resolve) => helper.startServer(resolve)));
    after(() => new Promise((resolve) => helper.stopServer(resolve)));
    afterEach(() => helper.unload());

    it('hands the kit the server, the broker with their passwords, the node and the deployed flows', async () => {
        const code = `${KIT}
def on_input(msg, node):
    r, p, f = NaloRedis(), NaloPublisher(), NaloFlow()
    kwargs = r._redis_client.connection_pool.connection_kwargs
    return {'payload': [r.url, kwargs['password'] == '${SECRET_R}', p.url, p._username, p._password == '${SECRET_M}',
                        constants.NODE_ID, constants.NODE_TYPE, f.parse_flow()['cur_node']['redis'], f.source,
                        [k for k, v in os.environ.items() if 'pw-' in v], repr(node.settings), node.redis_key(1)]}
`;
        const { py, out } = await loadServices(code);
        const got = collect(out, 1);
        py.receive({});
        const [msg] = await got;
        assert.deepStrictEqual(msg.payload.slice(0, 11), [
            'redis://127.0.0.1:1/0', true, 'mqtt://127.0.0.1:1', 'cam', true,
            'py', 'nalo-python', 'rs', null, [],
            msg.payload[10],
        ]);
        assert.match(msg.payload[10], /redis_password=\*\*\*, mqtt_url=.*flows=<Worker.deployed_flows\(\)>/);
        assert.strictEqual(msg.payload[11], 'redis_py_1');
        assert.ok(!JSON.stringify(msg.payload).includes(SECRET_R));
    });

    it('a shared worker applies each node its own server inside its hooks', async () => {
        const code = `${KIT}\ndef on_input(msg, node):\n    return {'payload': [NaloRedis().url, os.getpid()]}\n`;
        const records = servicesFlow(code, { worker: 'w' }, { redis: 'redis://127.0.0.1:1/3' }).concat([
            Object.assign({}, servicesFlow(code)[1], { id: 'py2', worker: 'w', redis: '', broker: '', wires: [['out']] }),
        ]);
        await helper.load([pythonNode, redisServer, mqttBroker], records, CREDENTIALS);
        const got = collect(helper.getNode('out'), 2);
        helper.getNode('py').receive({});
        helper.getNode('py2').receive({});
        const [a, b] = (await got).map((m) => m.payload);
        assert.deepStrictEqual([a[0], b[0], a[1] === b[1]], ['redis://127.0.0.1:1/3', 'redis://127.0.0.1:6379/0', true]);
    });

    it('refuses a password in the URL: setup fails, Catch hears it, no text shows the password', async () => {
        const { py, caught } = await loadServices('def on_input(msg, node):\n    return msg\n', {}, {
            redis: `redis://:${SECRET_R}@127.0.0.1:1/0`,
        });
        const got = collect(caught, 1);
        const status = await statusMatching(py, /setup failed/);
        const [msg] = await got;
        assert.match(msg.error.message, /holds a password: give it in the Password field/);
        assert.strictEqual(status.fill, 'red');
        assert.ok(!logged().includes(SECRET_R) && !JSON.stringify(msg).includes(SECRET_R));
    });

    it('names a server node that is not deployed', async () => {
        const records = servicesFlow('def on_input(msg, node):\n    return msg\n').filter((n) => n.id !== 'rs');
        await helper.load([pythonNode, redisServer, mqttBroker], records, CREDENTIALS);
        const got = collect(helper.getNode('caught'), 1);
        assert.match((await got)[0].error.message, /its Redis server \(nalo-redis-server rs\) is not deployed/);
    });

    it('masks the passwords in every text: errors, logs, status', async () => {
        const code = `${KIT}
def on_input(msg, node):
    node.warn('warned ${SECRET_M}')
    print('printed', '${SECRET_R}')
    node.status(text='shown ${SECRET_R}')
    raise ValueError('raised ${SECRET_R}')
`;
        const { py, caught } = await loadServices(code);
        const got = collect(caught, 1);
        const status = statusMatching(py, /shown/);
        py.receive({});
        const [msg] = await got;
        assert.strictEqual(msg.error.message, 'ValueError: raised ***');
        assert.strictEqual((await status).text, 'shown ***');
        await new Promise((resolve) => setTimeout(resolve, 100));
        assert.match(logged(), /warned \*\*\*/);
        assert.match(logged(), /printed \*\*\*/);
        assert.ok(!logged().includes(SECRET_R) && !logged().includes(SECRET_M));
    });

    it('a store that fails lets the message go on and tells Catch and the status', async () => {
        const code = 'def on_input(msg, node):\n    return msg\n';
        const { py, out, caught } = await loadServices(code);
        const delivered = collect(out, 2);
        const errors = collect(caught, 1);
        const red = statusMatching(py, /^stream keys not stored/);
        py.receive({ payload: 'a' });
        py.receive({ payload: 'b' });
        assert.deepStrictEqual((await delivered).map((m) => m.payload), ['a', 'b']);
        const [msg] = await errors;
        assert.strictEqual(msg.payload, 'a'); // the message being handled
        assert.match(msg.error.message, /^stream keys not stored: Redis at redis:\/\/127\.0\.0\.1:1\/0: /);
        assert.strictEqual((await red).fill, 'red');
    });

    it('clearing the stream without a Redis server says so at start', async () => {
        await helper.load(pythonNode, flow('def on_input(msg, node):\n    return msg\n', { clearStream: true }));
        const [msg] = await collect(helper.getNode('caught'), 1);
        assert.strictEqual(msg.error.message, 'stream keys not cleared: the node has no Redis server');
    });
});
