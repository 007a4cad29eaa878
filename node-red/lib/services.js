'use strict';
/**
 * The configuration nodes' side of the Python node: what a Redis server
 * and an MQTT broker hand the worker (in the `open` frame), and the
 * secrets that no text leaving the node may show.
 *
 * A URL is a plain property, kept in the flows file and exported with the
 * flow: it may hold no password. Passwords are credentials, which Node-RED
 * keeps apart (encrypted) and never exports.
 */

const REDIS_SCHEMES = ['redis', 'rediss', 'unix', 'redis+cluster', 'rediss+cluster'];
const MQTT_SCHEMES = ['mqtt'];

/** The user part of a URL ("" for none): the text before the last "@" of the host part. */
function userPart(url) {
    const rest = url.slice(url.indexOf('://') + 3);
    const hostPart = rest.split(/[/?#]/)[0];
    const at = hostPart.lastIndexOf('@');
    return at < 0 ? null : hostPart.slice(0, at);
}

/** Why `url` cannot be a `kind` URL ('redis' | 'mqtt'), or null. Names no part of the URL. */
function urlProblem(url, kind) {
    const schemes = kind === 'redis' ? REDIS_SCHEMES : MQTT_SCHEMES;
    const scheme = url.includes('://') ? url.slice(0, url.indexOf('://')).toLowerCase() : '';
    if (!schemes.includes(scheme)) {
        return `the URL must begin with ${schemes.map((s) => s + '://').join(', ')}`;
    }
    const user = userPart(url);
    if (kind === 'mqtt' && user !== null) {
        return 'the URL holds a login: give the user name and password in their fields';
    }
    if ((user !== null && user.includes(':')) || /[?&]password=/i.test(url)) {
        return 'the URL holds a password: give it in the Password field, which is kept as a credential';
    }
    return null;
}

/** What a configuration node (`id`, of `type`) gives the worker: {value} or {problem}. */
function serviceOf(RED, id, type) {
    if (!id) {
        return { value: null };
    }
    const config = RED.nodes.getNode(id);
    const what = type === 'nalo-redis-server' ? 'Redis server' : 'MQTT broker';
    if (!config || config.type !== type) {
        return { problem: `its ${what} (${type} ${id}) is not deployed` };
    }
    if (config.problem) {
        return { problem: `its ${what} ${config.name || id}: ${config.problem}` };
    }
    const credentials = config.credentials || {};
    const value = { url: config.url, password: credentials.password || null };
    if (type === 'nalo-mqtt-broker') {
        value.username = credentials.username || null;
    }
    return { value };
}

/** Replaces every secret in `text` with ***. */
function scrub(text, secrets) {
    if (typeof text !== 'string' || secrets.length === 0) {
        return text;
    }
    for (const secret of secrets) {
        text = text.split(secret).join('***');
    }
    return text;
}

module.exports = { urlProblem, serviceOf, scrub, REDIS_SCHEMES, MQTT_SCHEMES };
