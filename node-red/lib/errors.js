'use strict';
/**
 * The errors a message ends with (done(err)), as Catch nodes show them:
 * `message` the words, `code` what kind, `stack` the Python traceback or
 * the worker's last words.
 */

function makeError(code, message, stack) {
    const err = new Error(message);
    err.code = code;
    err.stack = stack || message;
    return err;
}

/**
 * An exception of the user's code, "TypeName: text" as Node-RED shows it
 * (name: message), code the type name.
 */
function pythonError(error, context) {
    const lead = `${error.type}: `;
    let text = error.message.startsWith(lead) ? error.message.slice(lead.length) : error.message === error.type ? '' : error.message;
    if (context === 'ERR_SETUP') {
        text = `setup failed${text ? ': ' + text : ''}`;
    }
    const err = makeError(error.type, text, error.stack || error.message);
    err.name = error.type;
    return err;
}

function exitWords(how) {
    if (!how) {
        return 'unknown';
    }
    if (how.spawnError) {
        return how.spawnError.code || String(how.spawnError.message);
    }
    return how.signal ? `signal ${how.signal}` : `code ${how.code}`;
}

const failure = {
    fromExit(interpreter, run, how) {
        const spawnError = how && how.spawnError;
        if (spawnError) {
            const words = spawnError.code === 'ENOENT' ? 'not found' : `cannot be started (${exitWords(how)})`;
            const err = makeError('ERR_INTERPRETER', `Python interpreter ${interpreter} ${words}`);
            err.permanent = true;
            return err;
        }
        const lastWords = run ? run.stderr.slice(-5).join('\n') : '';
        if (run && !run.hello) {
            let err = null;
            if (how.code === 3) {
                err = makeError('ERR_PYTHON_VERSION', `${interpreter}: ${lastWords.split('\n').pop()}`);
            } else if (/No module named '?nalo_sdk/.test(lastWords)) {
                err = makeError('ERR_KIT_MISSING', `the nalo_sdk kit is not installed for ${interpreter}`, lastWords);
            }
            if (err) {
                err.permanent = true;
                return err;
            }
        }
        const message = `the Python worker exited (${exitWords(how)})`;
        return makeError('ERR_WORKER_EXITED', message, lastWords ? `${message}; its last lines:\n${lastWords}` : message);
    },
    timeout(ms, stack) {
        const message = `timeout: the handler ran longer than ${ms / 1000} s`;
        return stack
            ? makeError('ERR_TIMEOUT', `${message} and was interrupted`, stack)
            : makeError('ERR_TIMEOUT', `${message}; the worker was killed`);
    },
    queueFull(count, bytes) {
        return makeError('ERR_QUEUE_FULL', `queue full (${count} messages, ${bytes} bytes): message refused`);
    },
    closed() {
        return makeError('ERR_CLOSED', 'the node closed before the message was handled');
    },
};

module.exports = { makeError, pythonError, exitWords, failure };
