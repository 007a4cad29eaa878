'use strict';
/**
 * An MQTT broker that Python nodes share: its URL, and the login as
 * credentials. The Python node hands them to its worker over the pipe; the
 * kit's NaloPublisher() and publish_result() then publish there.
 */
const { urlProblem } = require('./lib/services');

const DEFAULT_URL = 'mqtt://127.0.0.1:1883';

module.exports = function (RED) {
    function NaloMqttBrokerNode(config) {
        RED.nodes.createNode(this, config);
        this.name = config.name || '';
        this.url = String(config.url || DEFAULT_URL).trim();
        this.problem = urlProblem(this.url, 'mqtt');
    }

    RED.nodes.registerType('nalo-mqtt-broker', NaloMqttBrokerNode, {
        credentials: {
            username: { type: 'text' },
            password: { type: 'password' },
        },
    });
};
