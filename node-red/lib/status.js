'use strict';
/** A node's status, at most one update per INTERVAL: the last one wins. */
const INTERVAL = 250;

class StatusLight {
    constructor(node) {
        this.node = node;
        this.last = 0;
        this.pending = null;
        this.timer = null;
        this.shown = '';
    }

    set(status) {
        const key = JSON.stringify(status);
        if (key === this.shown && !this.timer) {
            return;
        }
        this.pending = status;
        if (this.timer) {
            return; // the timer shows the latest one
        }
        const wait = this.last + INTERVAL - Date.now();
        if (wait <= 0) {
            this.apply();
        } else {
            this.timer = setTimeout(() => {
                this.timer = null;
                try {
                    this.apply();
                } catch (_) {
                    // a node already gone
                }
            }, wait);
        }
    }

    apply() {
        const status = this.pending;
        this.pending = null;
        if (status === null) {
            return;
        }
        this.last = Date.now();
        this.shown = JSON.stringify(status);
        this.node.status(status);
    }

    stop() {
        clearTimeout(this.timer);
        this.timer = null;
    }
}

module.exports = { StatusLight };
