'use strict';
const { describe, it, afterEach, before, after } = require('node:test');
const assert = require('node:assert');
const { helper, pythonNode, flow, collect, statusMatching, PYTHON } = require('./support');
const redisServer = require('../nalo-redis-server.js');
const mqttBroker = require('../nalo-mqtt-broker.js');
const { urlProblem } = require('../lib/services');

const PW_R = 'redis-pw-7Qx';
const PW_M = 'mqtt-pw-9Zk';
const CREDENTIALS = { rs: { password: PW_R }, mb: { username: 'cam', password: PW_M } };
const ECHO = 'def on_input(msg, node):\n    return msg\n';

/** support.flow's Python node `py` with a Redis server `rs` and a broker `mb` (nothing listens at either). */
async function load(code, config = {}, redisUrl = 'redis://127.0.0.1:1/0', more = []) {
    const records = flow(code, Object.assign({ redis: 'rs', broker: 'mb' }, config)).concat([
        { id: 'rs', type: 'nalo-redis-server', url: redisUrl },
        { id: 'mb', type: 'nalo-mqtt-broker', url: 'mqtt://127.0.0.1:1' },
    ], more);
    await helper.load([pythonNode, redisServer, mqttBroker], records, CREDENTIALS);
    return { py: helper.getNode('py'), out: helper.getNode('out'), caught: helper.getNode('caught') };
}

const logged = () => JSON.stringify(helper.log().args);

describe('the URLs of the configuration nodes', () => {
    for (const [kind, url, problem] of [
        ['redis', 'redis+cluster://a:7000,b:7001', null],
        ['redis', 'redis://acl-user@h:6379/0', null],
        ['redis', 'redis://:pw@h:6379/0', /holds a password/],
        ['redis', 'rediss://h/0?db=1&password=pw', /holds a password/],
        ['redis', 'http://h', /must begin with redis:\/\//],
        ['mqtt', 'mqtt://user@h', /holds a login/],
        ['mqtt', 'mqtts://h', /must begin with mqtt:\/\//],
    ]) {
        it(`${kind}: ${url}`, () => {
            const found = urlProblem(url, kind);
            assert.ok(problem === null ? found === null : problem.test(found) && !found.includes('pw'), found);
        });
    }
});

describe('nalo-python with a Redis server and an MQTT broker', () => {
    before(() => new Promise((resolve) => helper.startServer(resolve)));
    after(() => new Promise((resolve) => helper.stopServer(resolve)));
    afterEach(() => helper.unload());

    it('hands the kit the server, the broker with their passwords, the node and the deployed flows', async () => {
        const code = `import os
from nalo_sdk import constants, mqtt, nodered, redis
def on_input(msg, node):
    r, p, f = redis.NaloRedis(), mqtt.NaloPublisher(), nodered.NaloFlow()
    pw = r._redis_client.connection_pool.connection_kwargs['password']
    return {'payload': [r.url, pw == '${PW_R}', p.url, p._username, p._password == '${PW_M}', constants.NODE_ID,
                        constants.NODE_TYPE, f.parse_flow()['cur_node']['redis'], node.redis_key(1),
                        [k for k, v in os.environ.items() if 'pw-' in v], repr(node.settings)]}
`;
        const { py, out } = await load(code);
        const got = collect(out, 1);
        py.receive({});
        const [{ payload }] = await got;
        assert.deepStrictEqual(payload.slice(0, 10), [
            'redis://127.0.0.1:1/0', true, 'mqtt://127.0.0.1:1', 'cam', true, 'py', 'nalo-python', 'rs', 'redis_py_1', [],
        ]);
        assert.match(payload[10], /redis_password=\*\*\*, mqtt_url=.*flows=<Worker.deployed_flows\(\)>/);
    });

    it('a shared worker applies each node its own server inside its hooks', async () => {
        const code = 'import os\nfrom nalo_sdk.redis import NaloRedis\ndef on_input(msg, node):\n    return {"payload": [NaloRedis().url, os.getpid()]}\n';
        const other = { id: 'py2', type: 'nalo-python', z: 'flow1', code, worker: 'w', interpreter: PYTHON, wires: [['out']] };
        await load(code, { worker: 'w' }, 'redis://127.0.0.1:1/3', [other]);
        const got = collect(helper.getNode('out'), 2);
        helper.getNode('py').receive({});
        helper.getNode('py2').receive({});
        const [a, b] = (await got).map((m) => m.payload);
        assert.deepStrictEqual([a[0], b[0], a[1] === b[1]], ['redis://127.0.0.1:1/3', 'redis://127.0.0.1:6379/0', true]);
    });

    it('refuses a password in the URL: setup fails, Catch hears it, no text shows the password', async () => {
        const { py, caught } = await load(ECHO, {}, `redis://:${PW_R}@127.0.0.1:1/0`);
        const got = collect(caught, 1);
        assert.strictEqual((await statusMatching(py, /setup failed/)).fill, 'red');
        const [msg] = await got;
        assert.match(msg.error.message, /setup failed: its Redis server rs: the URL holds a password/);
        assert.ok(!logged().includes(PW_R) && !JSON.stringify(msg).includes(PW_R));
    });

    it('masks the passwords in every text: errors, logs, status', async () => {
        const code = `def on_input(msg, node):
    node.warn('warned ${PW_M}')
    print('printed', '${PW_R}')
    node.status(text='shown ${PW_R}')
    raise ValueError('raised ${PW_R}')
`;
        const { py, caught } = await load(code);
        const got = collect(caught, 1);
        const status = statusMatching(py, /shown/);
        py.receive({});
        assert.strictEqual((await got)[0].error.message, 'ValueError: raised ***');
        assert.strictEqual((await status).text, 'shown ***');
        while (!/printed \*\*\*/.test(logged())) {
            await new Promise((resolve) => setTimeout(resolve, 10)); // the worker's stdout comes on its own
        }
        assert.match(logged(), /warned \*\*\*/);
        assert.ok(!logged().includes(PW_R) && !logged().includes(PW_M));
    });
});
