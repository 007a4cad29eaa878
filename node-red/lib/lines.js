'use strict';
/**
 * The text that the user's code writes on stdout or stderr, as log lines:
 * cut at newlines (or MAX_LINE), at most PER_SECOND lines a second, the rest
 * counted. The last KEEP lines of stderr are kept for the error that says
 * why a worker exited.
 */
const { StringDecoder } = require('string_decoder');

const MAX_LINE = 1000;
const PER_SECOND = 20;
const KEEP = 10;

class LineLog {
    constructor(level, target, keep) {
        this.level = level;
        this.target = target;
        this.keep = keep;
        this.decoder = new StringDecoder('utf8');
        this.partial = '';
        this.windowStart = 0;
        this.count = 0;
        this.suppressed = 0;
    }

    push(chunk) {
        const lines = (this.partial + this.decoder.write(chunk)).split('\n');
        this.partial = lines.pop();
        if (this.partial.length > MAX_LINE) {
            lines.push(this.partial);
            this.partial = '';
        }
        for (const line of lines) {
            this.line(line);
        }
    }

    line(text) {
        text = text.replace(/\r$/, '');
        if (text.length > MAX_LINE) {
            text = `${text.slice(0, MAX_LINE)}… (${text.length} characters)`;
        }
        if (this.keep) {
            this.keep.push(text);
            if (this.keep.length > KEEP) {
                this.keep.shift();
            }
        }
        const now = Date.now();
        if (now - this.windowStart >= 1000) {
            this.reportSuppressed();
            this.windowStart = now;
            this.count = 0;
        }
        if (this.count < PER_SECOND) {
            this.count += 1;
            this.emit(text);
        } else {
            this.suppressed += 1;
        }
    }

    reportSuppressed() {
        if (this.suppressed) {
            this.emit(`(${this.suppressed} more lines not logged)`);
            this.suppressed = 0;
        }
    }

    emit(text) {
        const client = this.target();
        if (client) {
            client.log(this.level, text);
        }
    }

    flush() {
        const rest = this.partial + this.decoder.end();
        this.partial = '';
        if (rest) {
            this.line(rest);
        }
        this.reportSuppressed();
    }
}

module.exports = { LineLog };
