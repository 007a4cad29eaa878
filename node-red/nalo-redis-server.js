'use strict';
/**
 * A Redis server (or Redis Cluster) that Python nodes share: its URL, and
 * its password as a credential. The Python node hands both to its worker
 * over the pipe; the kit's NaloRedis() then connects there.
 */
const { urlProblem } = require('./lib/services');

const DEFAULT_URL = 'redis://127.0.0.1:6379/0';

module.exports = function (RED) {
    function NaloRedisServerNode(config) {
        RED.nodes.createNode(this, config);
        this.name = config.name || '';
        this.url = String(config.url || DEFAULT_URL).trim();
        this.problem = urlProblem(this.url, 'redis');
    }

    RED.nodes.registerType('nalo-redis-server', NaloRedisServerNode, {
        credentials: {
            password: { type: 'password' },
        },
    });
};
