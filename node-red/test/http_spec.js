'use strict';
const { describe, it, afterEach, before, after } = require('node:test');
const assert = require('node:assert');
const request = require('supertest');
const { helper, pythonNode, PYTHON } = require('./support');
const httpNodes = require('@node-red/nodes/core/network/21-httpin.js');
const example = require('../examples/http-echo.json');

describe('nalo-python in an http in → http response flow', () => {
    before(() => new Promise((resolve) => helper.startServer(resolve)));
    after(() => new Promise((resolve) => helper.stopServer(resolve)));
    afterEach(() => helper.unload());

    // The example flow, with the worker on the test interpreter. The helper
    // loads only the nodes it is given (here `http in` and `http response`
    // too), and serves their routes on an app of their own (RED.httpNode).
    async function exampleApp() {
        const flow = example.map((n) => (n.type === 'nalo-python' ? Object.assign({}, n, { interpreter: PYTHON }) : n));
        let app;
        const grabApp = (RED) => {
            app = RED.httpNode;
        };
        await helper.load([grabApp, httpNodes, pythonNode], flow);
        return app;
    }

    const requests = [
        ['/python/echo?text=hello', 200, { echo: 'HELLO' }],
        ['/python/echo?text=%F0%9F%98%80%C3%A9', 200, { echo: '😀É' }],
        ['/python/echo', 200, { echo: '' }],
    ];
    it('the example flow answers requests, one after another and at once', async () => {
        const app = await exampleApp();
        for (const [url, status, body] of requests) {
            const res = await request(app).get(url);
            assert.strictEqual(res.status, status, url);
            assert.deepStrictEqual(res.body, body, url);
        }
        const many = await Promise.all(
            Array.from({ length: 20 }, (_, i) => request(app).get(`/python/echo?text=n${i}`)),
        );
        assert.deepStrictEqual(many.map((r) => r.body.echo), many.map((_, i) => `N${i}`));
    });
});
